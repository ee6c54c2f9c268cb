# CPack post-build script: what CPack's DEB generator (3.25) cannot say
# itself, mended in one repack of each package that needs it.
# - CPack gives a package with a library under /usr/lib postinst and postrm
#   scripts that run ldconfig; the package's `triggers` file (activate-noawait
#   ldconfig) already has dpkg run it once per run, which is the way Debian
#   wants it, so the two scripts go.
# - The packages named in CPACK_VELTO_MULTIARCH_SAME (the library and its
#   development files) get "Multi-Arch: same" after their Architecture line.
# The rest of each package stays as CPack made it.
find_program(VELTO_DPKG_DEB dpkg-deb REQUIRED)

function(velto_dpkg_deb)
  execute_process(COMMAND "${VELTO_DPKG_DEB}" ${ARGN} OUTPUT_QUIET RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-deb ${ARGN} failed")
  endif()
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  velto_dpkg_deb(--raw-extract "${deb}" "${tree}")
  set(changed FALSE)
  if(EXISTS "${tree}/DEBIAN/triggers"
     AND (EXISTS "${tree}/DEBIAN/postinst" OR EXISTS "${tree}/DEBIAN/postrm"))
    file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
    set(changed TRUE)
  endif()
  file(READ "${tree}/DEBIAN/control" control)
  string(REGEX MATCH "(^|\n)Package: ([^\n]*)" unused "${control}")
  if(CMAKE_MATCH_2 IN_LIST CPACK_VELTO_MULTIARCH_SAME AND NOT control MATCHES "(^|\n)Multi-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control "${control}")
    file(WRITE "${tree}/DEBIAN/control" "${control}")
    set(changed TRUE)
  endif()
  if(changed)
    velto_dpkg_deb(--root-owner-group -Zgzip --build "${tree}" "${deb}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
