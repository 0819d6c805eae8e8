# toolchain-mingw64.cmake: cross-builds a 64-bit Windows flatcull.exe with
# Debian's mingw-w64 (the posix-threads flavour, package
# g++-mingw-w64-x86-64-posix).
#   cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${_triple}-g++-posix ${_triple}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${_triple}-gcc-posix ${_triple}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})

# Libraries and headers come from the target's root only; programs (the
# compilers, windres) from the build host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The exe must run on a clean Windows: no libstdc++, libgcc or winpthread
# DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
