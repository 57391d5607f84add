# The README's run command on a machine with nothing but CMake, Ninja and a
# C++ compiler (with its assembler and linker): no Python, no Node.js, no C
# compiler. It must configure and build the benchmark, and nothing else.
#
# usage: cmake -DSOURCE=DIR -DWORK=DIR -DTOOLS="cmake;ninja;c++;as;ld" -P run_command.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/bin)
foreach(tool ${TOOLS})
  get_filename_component(name ${tool} NAME)
  file(CREATE_LINK ${tool} ${WORK}/bin/${name} SYMBOLIC)
endforeach()
execute_process(
  COMMAND env -i PATH=${WORK}/bin HOME=${WORK}
          /bin/sh -c "cmake -S '${SOURCE}' -B '${WORK}/build' -G Ninja && cmake --build '${WORK}/build'"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the run command failed with only ${TOOLS} on the path")
endif()
if(NOT EXISTS ${WORK}/build/isabench)
  message(FATAL_ERROR "the run command built no isabench")
endif()
if(EXISTS ${WORK}/build/tests)
  message(FATAL_ERROR "the run command also built the tests")
endif()
