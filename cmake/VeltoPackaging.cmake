# Debian packages of a Linux build, made by CPack's DEB generator
# (scripts/package.sh runs it; `cpack -G DEB` in a build tree does the same):
#   lib<name>  (libveltoclient64 / libveltoclient32)  the shared library
#   libveltoclient-dev   header, pkg-config file, CMake package, and every
#                        other install component (the bindings among them)
#   veltoclient-tools    the command-line tools, when the build has them
# The runtime package is named after the library's SONAME, as Debian names
# library packages. Versions come from project(); the description carries
# the caster the build talks to.
if(WIN32 OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(VELTO_PACKAGE_MAINTAINER "VeltoClient developers <veltoclient@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")

string(TOLOWER "lib${VELTO_OUTPUT_NAME}" velto_runtime_package)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(velto_deb_arch i386)
else()
  set(velto_deb_arch amd64)
endif()

set(CPACK_PACKAGE_NAME veltoclient)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The VeltoClient developers")
set(CPACK_PACKAGE_CONTACT "${VELTO_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${velto_deb_arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELTO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Every install component lands in one of three packages; a component this
# file does not know (bindings, anything added later) goes with the
# development files, so that the packages carry all `cmake --install` writes.
# Programs belong in COMPONENT tools. The list of components is complete
# only once every directory has been added: this file is included last.
get_cmake_property(velto_components COMPONENTS)
foreach(component IN LISTS velto_components)
  if(component STREQUAL "runtime" OR component STREQUAL "tools")
    set(group ${component})
  else()
    set(group development)
  endif()
  string(TOUPPER "${component}" upper)
  set(CPACK_COMPONENT_${upper}_GROUP ${group})
endforeach()
set(CPACK_COMPONENTS_ALL ${velto_components})
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)

set(velto_about "VeltoClient connects to one NTRIP caster, asks it for a mount point and
hands the received correction bytes (RTCM) to the host program through a
callback, reporting every change of state and reconnecting by itself. Its
interface is plain C.

This build talks to the caster ${VELTO_CASTER_HOST} on TCP port 2101, fixed when the
library was built.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${velto_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# Multiarch, as Debian's libraries are: the library and its development
# files live in the architecture's own directories, and the files the amd64
# and i386 packages share (the header, the bindings, the docs) are the same
# byte for byte, so that both can be installed side by side. CPack (3.25)
# cannot write the field: packaging/deb/finish-packages.cmake adds it.
set(CPACK_VELTO_MULTIARCH_SAME ${velto_runtime_package} libveltoclient-dev)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "NTRIP client library
${velto_about}

This package holds the shared library ${CMAKE_SHARED_LIBRARY_PREFIX}${VELTO_OUTPUT_NAME}${CMAKE_SHARED_LIBRARY_SUFFIX}.")
# The library needs ldconfig after it is installed or removed: a trigger,
# not maintainer scripts (packaging/deb/finish-packages.cmake).
# Its SONAME has no version, which the shlibs format cannot express; a
# symbols file can, and lets dpkg-shlibdeps give a program built against
# libveltoclient-dev its dependency on the runtime package.
file(STRINGS ${PROJECT_SOURCE_DIR}/src/exports.map velto_exports REGEX "^ +[A-Za-z_][A-Za-z0-9_]*;$")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/exports.map)
set(velto_symbols "${CMAKE_SHARED_LIBRARY_PREFIX}${VELTO_OUTPUT_NAME}${CMAKE_SHARED_LIBRARY_SUFFIX} ${velto_runtime_package} #MINVER#\n")
string(APPEND velto_symbols "* Build-Depends-Package: libveltoclient-dev\n")
foreach(line IN LISTS velto_exports)
  string(REGEX REPLACE "^ +([A-Za-z0-9_]+);$" "\\1" symbol "${line}")
  string(APPEND velto_symbols " ${symbol}@Base ${PROJECT_VERSION}\n")
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/deb/symbols "${velto_symbols}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/triggers ${PROJECT_BINARY_DIR}/deb/symbols)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libveltoclient-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "NTRIP client library - development files
${velto_about}

This package holds the header velto.h, the pkg-config file veltoclient.pc,
the CMake package VeltoClient and the language bindings.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME veltoclient-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "NTRIP command-line client and test caster
${velto_about}

This package holds velto, a command-line NTRIP client on the library, and
velto-caster, a local NTRIP caster for demonstrations and tests.")

# Copyright and changelog go into each package's /usr/share/doc directory;
# they are Debian's, not part of `cmake --install`.
set(CPACK_VELTO_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_VELTO_CASTER_HOST ${VELTO_CASTER_HOST})
set(CPACK_VELTO_PACKAGES ${velto_runtime_package} libveltoclient-dev veltoclient-tools)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb/add-docs.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/deb/finish-packages.cmake)

include(CPack)
