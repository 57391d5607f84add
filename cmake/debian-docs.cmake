# Run by CPack after it has installed the files to pack and before it packs
# them (CPACK_PRE_BUILD_SCRIPTS): gives the .deb the documents Debian
# requires under the names Debian gives them. The other packages keep
# LICENSE and CHANGELOG.md alone.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(doc "${root}/usr/share/doc/isabench")
if(NOT IS_DIRECTORY "${doc}")
  message(FATAL_ERROR "no usr/share/doc/isabench in ${root}")
endif()

# The licence is the package's copyright file.
file(RENAME "${doc}/LICENSE" "${doc}/copyright")

# A package with no Debian revision keeps its changelog in Debian's format
# in changelog.gz: this release's entry of CHANGELOG.md, whose heading must
# be the version packed ("## 1.1.0 (2026-12-08)"), so that no package goes
# out with the notes of another release. Compressed without a name or time
# stamp, so that the same sources give the same package.
file(READ "${doc}/CHANGELOG.md" notes)
string(FIND "${notes}" "\n## " start)
math(EXPR start "${start} + 4")
string(SUBSTRING "${notes}" ${start} -1 notes)
string(FIND "${notes}" "\n## " end)
string(SUBSTRING "${notes}" 0 ${end} entry)
if(NOT entry MATCHES "^([^ \n]+) \\(([0-9]+-[0-9]+-[0-9]+)\\)\n\n(.*[^\n])\n*$"
   OR NOT CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "CHANGELOG.md: the first entry must be \"## ${CPACK_PACKAGE_VERSION} (YYYY-MM-DD)\", its notes below")
endif()
set(date "${CMAKE_MATCH_2}")
string(REPLACE "\n  " "\n    " items "\n${CMAKE_MATCH_3}")
string(REPLACE "\n- " "\n  * " items "${items}")
execute_process(COMMAND date -R -u -d "${date}" OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
file(WRITE "${doc}/changelog"
  "isabench (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n${items}\n\n"
  " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
execute_process(COMMAND gzip -9n "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

# isabench keeps its symbol table: isabench-fidelity finds each line's loop
# in it, and the binary audit reads it.
file(WRITE "${root}/usr/share/lintian/overrides/isabench"
  "# isabench-fidelity finds each line's loop by the executable's symbol table.\n"
  "isabench: unstripped-binary-or-object [usr/bin/isabench]\n")

# The fidelity tool needs no symbols of its own.
execute_process(COMMAND "${CPACK_ISABENCH_STRIP}" "${root}/usr/bin/isabench-fidelity" COMMAND_ERROR_IS_FATAL ANY)

# Manual pages are compressed in a Debian package, without a name or time
# stamp.
file(GLOB pages "${root}/usr/share/man/man1/*.1")
foreach(page ${pages})
  execute_process(COMMAND gzip -9n "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
