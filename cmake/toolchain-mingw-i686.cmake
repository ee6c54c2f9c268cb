# 32-bit Windows DLLs (VeltoClient.dll, VeltoClientD.dll) cross-compiled on
# Debian with mingw-w64 (g++-mingw-w64-i686):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
#         -DCMAKE_BUILD_TYPE=Release      (Debug gives VeltoClientD.dll)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VELTO_MINGW_PREFIX i686-w64-mingw32)
# Prefer the win32 thread model: its runtime needs no winpthread DLL.
find_program(CMAKE_C_COMPILER NAMES ${VELTO_MINGW_PREFIX}-gcc-win32 ${VELTO_MINGW_PREFIX}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${VELTO_MINGW_PREFIX}-g++-win32 ${VELTO_MINGW_PREFIX}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${VELTO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built here run under Wine.
find_program(CMAKE_CROSSCOMPILING_EMULATOR NAMES wine)
