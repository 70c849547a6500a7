# Cross build of the 64-bit Windows DLLs (PE32+, x86-64) with MinGW-w64:
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(MAILQUARRY_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
