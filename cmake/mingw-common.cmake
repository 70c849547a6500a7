# What both MinGW-w64 toolchain files share; MAILQUARRY_MINGW_TRIPLET names
# the target (i686-w64-mingw32 or x86_64-w64-mingw32).
set(CMAKE_SYSTEM_NAME Windows)
if(MAILQUARRY_MINGW_TRIPLET MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

# The win32 thread model of the compilers: with it the statically linked C++
# runtime needs no libwinpthread-1.dll beside the database server.
foreach(tool gcc g++)
  find_program(MAILQUARRY_MINGW_${tool} NAMES ${MAILQUARRY_MINGW_TRIPLET}-${tool}-win32
               ${MAILQUARRY_MINGW_TRIPLET}-${tool} REQUIRED)
endforeach()
set(CMAKE_C_COMPILER ${MAILQUARRY_MINGW_gcc})
set(CMAKE_CXX_COMPILER ${MAILQUARRY_MINGW_g++})
find_program(CMAKE_RC_COMPILER NAMES ${MAILQUARRY_MINGW_TRIPLET}-windres)
find_program(CMAKE_DLLTOOL NAMES ${MAILQUARRY_MINGW_TRIPLET}-dlltool REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${MAILQUARRY_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
