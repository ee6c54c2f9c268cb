# Installation: the public header, the shared library, a CMake package
# (find_package(VeltoClient) -> imported target VeltoClient::VeltoClient)
# and a pkg-config file (veltoclient.pc).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELTO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VeltoClient
    CACHE STRING "Where the CMake package files go, relative to the prefix")

install(TARGETS VeltoClient EXPORT VeltoClientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../include/velto.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT VeltoClientTargets
  NAMESPACE VeltoClient::
  DESTINATION ${VELTO_INSTALL_CMAKEDIR}
  COMPONENT development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/VeltoClientConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VeltoClientConfig.cmake
  INSTALL_DESTINATION ${VELTO_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/VeltoClientConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/VeltoClientConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/VeltoClientConfigVersion.cmake
  DESTINATION ${VELTO_INSTALL_CMAKEDIR}
  COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own place
# (${pcfiledir}), so the file stays right for `cmake --install --prefix DIR`
# and for an installed tree that is moved as a whole.
file(RELATIVE_PATH VELTO_PC_UP "/velto-prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/velto-prefix")
string(REGEX REPLACE "/$" "" VELTO_PC_UP "${VELTO_PC_UP}")
set(VELTO_PC_PREFIX "\${pcfiledir}/${VELTO_PC_UP}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VELTO_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(VELTO_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VELTO_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VELTO_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/veltoclient.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/veltoclient.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/veltoclient.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The Python and .NET bindings, under share/veltoclient/.
include(${CMAKE_CURRENT_LIST_DIR}/VeltoBindings.cmake)
