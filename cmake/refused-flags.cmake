# Compiler options that instrument or wrap the code they build stop the
# configure, each named: in the measuring functions they would put calls,
# counters or checks between a run's two clock readings, and every line
# would time them along with its loop. The binary audit names them too when
# it meets such an executable; refusing them here says so before a build.
#
#   AddressSanitizer and its kin, ThreadSanitizer, MemorySanitizer: a check
#     around memory accesses, the frame's stores into t and s among them;
#   -fsanitize-coverage: a call or counter at every edge;
#   -pg, -p: a call to mcount at every function's entry;
#   -fprofile-generate, -fprofile-arcs, --coverage, -fprofile-instr-generate,
#     -fcs-profile-generate: a counter on every edge, the timed loop's too;
#   -finstrument-functions: a call at every function's entry and exit;
#   -fsplit-stack: a call to __morestack at every function's entry, and a
#     runtime that maps stacks.
#
# UndefinedBehaviorSanitizer stays allowed with GCC: the measuring functions
# and the clock are built without it (ISABENCH_MEASURED_OPTIMISATION), so it
# checks the driver and the detection only, through the system's libubsan.
# Clang links a runtime of its own into the program instead, whose code the
# binary audit would have to read as the program's: refused with Clang.

set(ISABENCH_INSTRUMENTING_SANITIZERS address kernel-address hwaddress kernel-hwaddress thread memory)
set(ISABENCH_INSTRUMENTING_OPTIONS -pg -p --coverage -fprofile-arcs -fprofile-generate -fprofile-instr-generate
    -fcs-profile-generate -finstrument-functions -finstrument-functions-after-inlining -fsplit-stack)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  list(APPEND ISABENCH_INSTRUMENTING_SANITIZERS undefined)
endif()

# The first option in `flags` that instruments the code, as written there,
# into `out` (empty where there is none).
function(isabench_instrumenting_option out flags)
  separate_arguments(options UNIX_COMMAND "${flags}")
  foreach(option IN LISTS options)
    string(REGEX REPLACE "=.*" "" name "${option}")
    if(name IN_LIST ISABENCH_INSTRUMENTING_OPTIONS OR name STREQUAL "-fsanitize-coverage")
      set(${out} "${option}" PARENT_SCOPE)
      return()
    endif()
    if(option MATCHES "^-fsanitize=(.*)")
      string(REPLACE "," ";" sanitizers "${CMAKE_MATCH_1}")
      foreach(sanitizer IN LISTS sanitizers)
        if(sanitizer IN_LIST ISABENCH_INSTRUMENTING_SANITIZERS)
          set(${out} "-fsanitize=${sanitizer}" PARENT_SCOPE)
          return()
        endif()
      endforeach()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

string(TOUPPER "${CMAKE_BUILD_TYPE}" isabench_build_type)
isabench_instrumenting_option(ISABENCH_INSTRUMENTING "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${isabench_build_type}}")
if(ISABENCH_INSTRUMENTING)
  message(FATAL_ERROR "${ISABENCH_INSTRUMENTING} in the compiler flags instruments the code it builds, the measuring "
                      "functions included, which must run as written, or links a runtime of its own into the "
                      "program; remove it")
endif()
isabench_instrumenting_option(ISABENCH_INSTRUMENTING "${CMAKE_EXE_LINKER_FLAGS}")
if(ISABENCH_INSTRUMENTING)
  message(FATAL_ERROR "${ISABENCH_INSTRUMENTING} in the linker flags links a runtime that instruments or wraps the "
                      "measured code; remove it")
endif()
