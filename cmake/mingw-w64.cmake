# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The programs are linked statically, so they need no DLL beside the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KIV_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KIV_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KIV_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${KIV_MINGW_TARGET}-windres)

# Libraries and headers come from the cross toolchain's own tree only; the
# host's /usr/include stays out of sight (the header-only libraries are added
# on their own, see KIV_HOST_HEADERS).
set(CMAKE_FIND_ROOT_PATH /usr/${KIV_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Boost, CLI11 and nlohmann-json are used header-only; Debian's -dev headers
# serve every target.
set(KIV_HOST_HEADERS /usr/include/boost /usr/include/CLI /usr/include/nlohmann)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
