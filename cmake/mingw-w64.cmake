# Cross-builds the Windows program with Debian's MinGW-w64 (x86_64-w64-mingw32):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix thread flavour: a site run walks its boxes on std::thread, which
# GCC 12's win32 flavour lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_lf_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${_lf_triple}-gcc-posix)
find_program(CMAKE_CXX_COMPILER NAMES ${_lf_triple}-g++-posix)
if(NOT CMAKE_CXX_COMPILER)
  message(FATAL_ERROR "${_lf_triple}-g++-posix not found: install g++-mingw-w64-x86-64")
endif()
find_program(CMAKE_RC_COMPILER NAMES ${_lf_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_lf_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C, C++ and thread runtimes of MinGW are not part of Windows: link them in
# so that logfetch.exe needs only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Lets CMake run what it builds (try_run, test commands) through Wine.
find_program(_lf_wine NAMES wine)
if(_lf_wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_lf_wine})
endif()
