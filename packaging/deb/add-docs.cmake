# CPack pre-build script: puts Debian's copyright and changelog files into
# /usr/share/doc/<package>/ of every package being built. They belong to the
# packages alone, so `cmake --install` does not write them.
#
# CPack stages each package in a directory named after its component group;
# CPACK_DEBIAN_<GROUP>_PACKAGE_NAME gives the package's name.

# License text from the repository's LICENSE, as a machine-readable
# copyright file: its "Copyright (c) YEAR HOLDER" line, then the terms.
function(velto_copyright_text out)
  file(STRINGS "${CPACK_VELTO_SOURCE_DIR}/LICENSE" lines)
  set(holder "")
  set(terms "")
  set(after_notice FALSE)
  foreach(line IN LISTS lines)
    if(NOT after_notice)
      if(line MATCHES "^Copyright \\(c\\) (.*)$")
        set(holder "${CMAKE_MATCH_1}")
        set(after_notice TRUE)
      endif()
    elseif(line STREQUAL "")
      string(APPEND terms " .\n")
    else()
      string(APPEND terms " ${line}\n")
    endif()
  endforeach()
  string(REGEX REPLACE "^ \\.\n" "" terms "${terms}")
  string(REGEX REPLACE "( \\.\n)+$" "" terms "${terms}")
  set(${out} "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: VeltoClient

Files: *
Copyright: ${holder}
License: Expat
${terms}" PARENT_SCOPE)
endfunction()

# SOURCE_DATE_EPOCH (set by scripts/package.sh from the last commit) keeps
# the date, and so the packages, reproducible.
string(TIMESTAMP velto_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
velto_copyright_text(velto_copyright)
find_program(VELTO_GZIP gzip REQUIRED)

file(GLOB velto_stages LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(stage IN LISTS velto_stages)
  if(NOT IS_DIRECTORY "${stage}")
    continue()
  endif()
  get_filename_component(group "${stage}" NAME)
  string(TOUPPER "${group}" group)
  set(package "${CPACK_DEBIAN_${group}_PACKAGE_NAME}")
  if(NOT package)
    message(FATAL_ERROR "no Debian package name for the component group ${group}")
  endif()
  set(doc "${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(WRITE "${doc}/copyright" "${velto_copyright}")
  # A version without a Debian revision makes these native packages, whose
  # changelog is changelog.gz.
  file(WRITE "${doc}/changelog" "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium

  * Release ${CPACK_PACKAGE_VERSION}, built for the caster ${CPACK_VELTO_CASTER_HOST}.

 -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${velto_date}
")
  execute_process(COMMAND "${VELTO_GZIP}" -9nf "${doc}/changelog" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${doc}/changelog failed")
  endif()
  file(CHMOD "${doc}/copyright" "${doc}/changelog.gz"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
