# The program with one part of it replaced, for the tests: the fault
# executables (tests/faults), each with one fault planted in one part, and
# the drivers that run the real measuring functions in ways the real driver
# does not.
#
# isabench_replacing_part(NAME PART SOURCE [compile options]) links the
# executable NAME from the real program's objects with PART replaced by
# SOURCE, built as that part is built, plus any extra compile options. PART
# is a variant (scalar, sse2, ...: its measuring function), a source of the
# harness by its name without .cpp (main, ticks, ...), or `added`: nothing
# replaced, SOURCE linked beside every real object, built as the harness is.
function(isabench_replacing_part name part source)
  set(objects)
  if(part STREQUAL "added")
    add_library(${name}_objects OBJECT ${source})
    target_compile_options(${name}_objects PRIVATE ${ISABENCH_BASELINE_FLAGS} ${ARGN})
    list(APPEND objects $<TARGET_OBJECTS:${name}_objects> $<TARGET_OBJECTS:isabench_harness>)
  elseif(part IN_LIST ISABENCH_VARIANTS)
    isabench_variant_objects(${name}_objects ${part} ${source} ${ARGN})
    # The replacing object goes first, after the C runtime's start-up code:
    # behind an aligned function it could land aligned by chance (PE object
    # files pad such a section to its full alignment).
    list(APPEND objects $<TARGET_OBJECTS:${name}_objects> $<TARGET_OBJECTS:isabench_harness>)
  else()
    get_target_property(harness isabench_harness SOURCES)
    set(replaced src/harness/${part}.cpp)
    if(NOT replaced IN_LIST harness)
      message(FATAL_ERROR "${name}: ${part} is neither a variant nor a source of the harness (${harness})")
    endif()
    list(REMOVE_ITEM harness ${replaced})
    list(TRANSFORM harness PREPEND ${PROJECT_SOURCE_DIR}/)
    add_library(${name}_objects OBJECT ${source} ${harness})
    # As the real harness is built: the clock, real or replaced, at the
    # measured level.
    target_compile_options(${name}_objects PRIVATE ${ISABENCH_BASELINE_FLAGS} ${ARGN})
    if(part STREQUAL "ticks")
      set(clock ${source})
    else()
      set(clock ${PROJECT_SOURCE_DIR}/src/harness/ticks.cpp)
    endif()
    set_source_files_properties(${clock} TARGET_DIRECTORY ${name}_objects
                                PROPERTIES COMPILE_OPTIONS "${ISABENCH_MEASURED_OPTIMISATION}")
    list(APPEND objects $<TARGET_OBJECTS:${name}_objects>)
  endif()
  foreach(variant ${ISABENCH_VARIANTS})
    if(NOT variant STREQUAL part)
      list(APPEND objects $<TARGET_OBJECTS:isabench_${variant}>)
    endif()
  endforeach()
  add_executable(${name} ${objects})
endfunction()
