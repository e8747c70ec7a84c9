# Cross compilation with mingw-w64 (posix threads variant); ZORV_MINGW_TRIPLET names the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZORV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORV_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZORV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The Debian packages of these programs: the installer kit names them, so that zorv-pack can say
# what to install when one is missing, and the Debian package of zorv-pack depends on them.
string(REPLACE "_" "-" ZORV_MINGW_DEBIAN_ARCH ${CMAKE_SYSTEM_PROCESSOR})
set(ZORV_MINGW_PACKAGE_BINUTILS binutils-mingw-w64-${ZORV_MINGW_DEBIAN_ARCH})
set(ZORV_MINGW_PACKAGE_GCC gcc-mingw-w64-${ZORV_MINGW_DEBIAN_ARCH}-posix)
set(ZORV_MINGW_PACKAGE_GXX g++-mingw-w64-${ZORV_MINGW_DEBIAN_ARCH}-posix)
