# toolchain-s390x.cmake: cross-builds for 64-bit s390x Linux, a big-endian
# host, with Debian's s390x-linux-gnu-g++; run the results under
#   qemu-s390x -L /usr/s390x-linux-gnu
#   cmake -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-s390x.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(_triple s390x-linux-gnu)
find_program(CMAKE_CXX_COMPILER NAMES ${_triple}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${_triple}-gcc)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CTest and gtest_discover_tests run the test programs on this machine.
find_program(_qemu NAMES qemu-s390x qemu-s390x-static)
if(_qemu)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu} -L /usr/${_triple})
endif()
