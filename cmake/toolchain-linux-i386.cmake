# Linux i386 build (libVeltoClient32.so and its test programs) on an x86-64
# Debian host with the multilib compilers (g++-multilib):
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i386.cmake
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Look for libraries of the i386 multiarch tree only, and never take a
# 64-bit one from the host's tree by mistake.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_IGNORE_PATH
  /usr/lib/x86_64-linux-gnu
  /usr/lib/x86_64-linux-gnu/cmake
  /usr/lib/x86_64-linux-gnu/cmake/GTest
  /usr/lib/x86_64-linux-gnu/cmake/benchmark
  /lib/x86_64-linux-gnu)

# Debian ships GoogleTest prebuilt for the host architecture only, and the
# paths above keep that copy out of reach. The i386 test programs use a copy
# built from /usr/src/googletest with this same file and installed where
# GTest_DIR points (scripts/stage-30-i386.sh does both).
