# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model):
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MX_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${MX_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${MX_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${MX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs run here under Wine (tests and test discovery).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
