# CPack post-build script: marks the packages named in
# CPACK_VELTO_MULTIARCH_SAME "Multi-Arch: same" (the library and its
# development files), which CPack's DEB generator cannot write. Each such
# package is repacked with the field after its Architecture line; the rest
# stays as CPack made it. A package that has the field already is left alone.
find_program(VELTO_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  execute_process(COMMAND "${VELTO_DPKG_DEB}" --field "${deb}" Package
                  OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --field ${deb} failed")
  endif()
  if(NOT package IN_LIST CPACK_VELTO_MULTIARCH_SAME)
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${VELTO_DPKG_DEB}" --raw-extract "${deb}" "${tree}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --raw-extract ${deb} failed")
  endif()
  file(READ "${tree}/DEBIAN/control" control)
  if(NOT control MATCHES "(^|\n)Multi-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control "${control}")
    file(WRITE "${tree}/DEBIAN/control" "${control}")
    execute_process(COMMAND "${VELTO_DPKG_DEB}" --root-owner-group -Zgzip --build "${tree}" "${deb}"
                    OUTPUT_QUIET RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "dpkg-deb --build ${deb} failed")
    endif()
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
