# Read by cpack before it makes each package (CPACK_PROJECT_CONFIG_FILE).
#
# Every package made from one commit is the same bytes: CPack stamps each
# file with SOURCE_DATE_EPOCH where it is set, and it is set here, as
# reproducible distributions do, to the time of the last commit. A caller's
# own value stands; sources that are not a git checkout take the date of
# this release in CHANGELOG.md.
function(isabench_git result format)
  execute_process(COMMAND git -C "${CPACK_ISABENCH_SOURCE}" log -1 "--format=${format}"
                  OUTPUT_VARIABLE out OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(out "")
  endif()
  set(${result} "${out}" PARENT_SCOPE)
endfunction()

if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  isabench_git(epoch %ct)
  if(NOT epoch MATCHES "^[0-9]+$")
    file(STRINGS "${CPACK_ISABENCH_SOURCE}/CHANGELOG.md" heading REGEX "^## " LIMIT_COUNT 1)
    if(NOT heading MATCHES "\\(([0-9]+-[0-9]+-[0-9]+)\\)")
      message(FATAL_ERROR "no commit and no release date in CHANGELOG.md to date the packages by")
    endif()
    execute_process(COMMAND date -u -d "${CMAKE_MATCH_1}" +%s OUTPUT_VARIABLE epoch
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()

# A .deb names its maintainer with an address, and the project has none of
# its own: the packager, as Debian's tools take it (DEBFULLNAME and
# DEBEMAIL), else the author of the last commit.
if(CPACK_GENERATOR STREQUAL "DEB")
  if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
  else()
    isabench_git(CPACK_DEBIAN_PACKAGE_MAINTAINER "%an <%ae>")
  endif()
  if(NOT CPACK_DEBIAN_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
    message(FATAL_ERROR "the .deb needs a maintainer with an address: "
                        "set DEBFULLNAME and DEBEMAIL, as for Debian's own tools")
  endif()
endif()
