# src/tables.json: the program's two tables (src/harness/cpu_features.def,
# src/variants/variants.def) as one JSON document, for everything outside the
# program's C++ to read: the build, the audit, the tests and the results'
# renderer. No one parses a .def by hand: the C++ compiler's preprocessor
# expands src/tables.json.in over both, one row per line, and this file only
# gathers those rows, turning the expressions the preprocessor leaves as
# text into numbers and lists, and adding each variant's extensions and
# compiler flags up the ladder.
#
# Included by CMakeLists.txt, it sets ISABENCH_TABLES to the document made
# with the build's compiler, and stops the configure where the committed
# src/tables.json says anything else: everything that reads the file then
# reads what the program is built from. Run as a script, it writes the file:
#   cmake [-DCXX=COMPILER] -P cmake/tables.cmake

cmake_policy(VERSION 3.20)
set(ISABENCH_TABLES_DIR ${CMAKE_CURRENT_LIST_DIR}/../src)

# `out` set to the JSON array of the strings in the list `items`.
function(isabench_json_array out)
  set(items ${ARGN})
  list(TRANSFORM items REPLACE "(.+)" "\"\\1\"")
  list(JOIN items ", " items)
  set(${out} "[${items}]" PARENT_SCOPE)
endfunction()

# `out` set to the list of the strings in the JSON array at `path` in `json`.
function(isabench_json_list out json)
  string(JSON count LENGTH "${json}" ${ARGN})
  set(items)
  if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(k RANGE ${last})
      string(JSON item GET "${json}" ${ARGN} ${k})
      list(APPEND items "${item}")
    endforeach()
  endif()
  set(${out} ${items} PARENT_SCOPE)
endfunction()

# `out` set to the names an expression `text` of the form "PREFIX_A | PREFIX_B"
# joins ("0": none), checked against the names `known`; `what` says whose.
function(isabench_names out text prefix what)
  set(known ${ARGN})
  set(names)
  if(NOT text STREQUAL "0")
    if(NOT text MATCHES "^${prefix}[A-Z0-9_]+( \\| ${prefix}[A-Z0-9_]+)*$")
      message(FATAL_ERROR "${what}: \"${text}\" is not ${prefix}* names joined by |")
    endif()
    string(REGEX MATCHALL "${prefix}[A-Z0-9_]+" names "${text}")
    list(TRANSFORM names REPLACE "^${prefix}" "")
    foreach(name IN LISTS names)
      if(NOT name IN_LIST known)
        message(FATAL_ERROR "${what} names ${prefix}${name}, which cpu_features.def does not list")
      endif()
    endforeach()
  endif()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# `out` set to the value of the C integer expression `text` (a mask, a
# family or a model: 1u << N, or hexadecimal).
function(isabench_number out text)
  string(REGEX REPLACE "([0-9A-Fa-f])[uU]" "\\1" expression "${text}")
  math(EXPR value "${expression}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# `out` set to the tables as one JSON document, made by the C++ compiler
# `compiler` (with its first arguments after it, if any).
function(isabench_tables out compiler)
  execute_process(COMMAND ${compiler} ${ARGN} -E -P -x c++ ${ISABENCH_TABLES_DIR}/tables.json.in
                  OUTPUT_VARIABLE rows ERROR_VARIABLE error RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${compiler} could not preprocess src/tables.json.in:\n${error}")
  endif()
  set(json "{}")
  foreach(table features states processors models families variants loops)
    string(JSON json SET "${json}" ${table} "[]")
  endforeach()
  set(features)
  set(extensions)
  set(extensions_so_far)
  set(flags)
  set(known_processors DEFAULT)
  string(REPLACE "\n" ";" rows "${rows}")
  foreach(row IN LISTS rows)
    if(NOT row MATCHES "^{")
      continue()
    endif()
    string(JSON table GET "${row}" table)
    string(JSON row REMOVE "${row}" table)
    string(JSON name ERROR_VARIABLE none GET "${row}" NAME)
    if(table STREQUAL "features" OR table STREQUAL "states")
      string(JSON mask GET "${row}" mask)
      isabench_number(mask "${mask}")
      string(JSON row SET "${row}" mask ${mask})
      list(APPEND extensions ${name})
      if(table STREQUAL "features")
        string(JSON compiler GET "${row}" compiler)
        set(flag_${name} -m${compiler})
      endif()
    elseif(table STREQUAL "processors")
      list(APPEND known_processors ${name})
    elseif(table STREQUAL "models")
      foreach(column family first_model last_model leaf7_edx)
        string(JSON value GET "${row}" ${column})
        isabench_number(value "${value}")
        string(JSON row SET "${row}" ${column} ${value})
      endforeach()
    elseif(table STREQUAL "variants")
      # Each variant needs what the variants before it need, and its build
      # may use exactly those extensions, by their compiler flags.
      string(JSON needs GET "${row}" needs)
      isabench_names(needs "${needs}" FEATURE_ "variants.def: ${name}" ${extensions})
      list(APPEND extensions_so_far ${needs})
      foreach(need IN LISTS needs)
        if(DEFINED flag_${need})
          list(APPEND flags ${flag_${need}})
        endif()
      endforeach()
      isabench_json_array(needs ${needs})
      isabench_json_array(all ${extensions_so_far})
      isabench_json_array(all_flags ${flags})
      string(JSON row SET "${row}" needs "${needs}")
      string(JSON row SET "${row}" extensions "${all}")
      string(JSON row SET "${row}" flags "${all_flags}")
    elseif(table STREQUAL "loops")
      string(JSON runs GET "${row}" processors)
      string(JSON number GET "${row}" number)
      string(JSON family GET "${row}" family)
      isabench_names(runs "${runs}" ON_ "variants.def: loop ${family} ${number}" ${known_processors})
      isabench_json_array(runs ${runs})
      string(JSON row SET "${row}" processors "${runs}")
    endif()
    string(JSON count LENGTH "${json}" ${table})
    string(JSON json SET "${json}" ${table} ${count} "${row}")
  endforeach()
  set(${out} "${json}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT CXX)
    set(CXX $ENV{CXX})
  endif()
  if(NOT CXX)
    set(CXX c++)
  endif()
  isabench_tables(json ${CXX})
  file(WRITE ${ISABENCH_TABLES_DIR}/tables.json "${json}\n")
  message(STATUS "wrote src/tables.json")
  return()
endif()

isabench_tables(ISABENCH_TABLES ${CMAKE_CXX_COMPILER} ${CMAKE_CXX_COMPILER_ARG1})
file(READ ${ISABENCH_TABLES_DIR}/tables.json ISABENCH_COMMITTED_TABLES)
string(JSON ISABENCH_TABLES_AGREE ERROR_VARIABLE ISABENCH_TABLES_ERROR
       EQUAL "${ISABENCH_TABLES}" "${ISABENCH_COMMITTED_TABLES}")
if(NOT ISABENCH_TABLES_AGREE)
  if(ISABENCH_TABLES_ERROR)
    set(ISABENCH_TABLES_ERROR " (${ISABENCH_TABLES_ERROR})")
  else()
    set(ISABENCH_TABLES_ERROR)
  endif()
  message(FATAL_ERROR "src/tables.json is not what src/variants/variants.def and src/harness/cpu_features.def "
                      "say${ISABENCH_TABLES_ERROR}: write it again with\n"
                      "  cmake -DCXX=${CMAKE_CXX_COMPILER} -P cmake/tables.cmake\nand commit it with them")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ISABENCH_TABLES_DIR}/tables.json.in
  ${ISABENCH_TABLES_DIR}/tables.json ${ISABENCH_TABLES_DIR}/variants/variants.def
  ${ISABENCH_TABLES_DIR}/harness/cpu_features.def)
