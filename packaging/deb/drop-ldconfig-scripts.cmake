# CPack post-build script. CPack gives a package with a library under
# /usr/lib postinst and postrm scripts that run ldconfig; the package's
# `triggers` file (activate-noawait ldconfig) already has dpkg run it once
# per run, which is the way Debian wants it. This repacks such packages
# without the two scripts; the rest of each package stays as CPack made it.
find_program(VELTO_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${VELTO_DPKG_DEB}" --raw-extract "${deb}" "${tree}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb --raw-extract ${deb} failed")
  endif()
  if(EXISTS "${tree}/DEBIAN/triggers"
     AND (EXISTS "${tree}/DEBIAN/postinst" OR EXISTS "${tree}/DEBIAN/postrm"))
    file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
    execute_process(COMMAND "${VELTO_DPKG_DEB}" --root-owner-group -Zgzip --build "${tree}" "${deb}"
                    OUTPUT_QUIET RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "dpkg-deb --build ${deb} failed")
    endif()
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
