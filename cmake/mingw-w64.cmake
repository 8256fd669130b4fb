# Cross build for 64-bit Windows with the MinGW-w64 compilers of the posix
# thread model (std::thread and friends need it):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRELVIK_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${BRELVIK_MINGW_PREFIX}-gcc-posix ${BRELVIK_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${BRELVIK_MINGW_PREFIX}-g++-posix ${BRELVIK_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${BRELVIK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BRELVIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tools run the Windows binaries through wine when asked to execute one.
find_program(BRELVIK_WINE NAMES wine64 wine)
if(BRELVIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BRELVIK_WINE})
endif()
