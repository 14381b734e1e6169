# Cross build for 64-bit Windows with Debian's mingw-w64 compiler, the
# posix thread model (package g++-mingw-w64-x86-64-posix; GoogleTest needs
# std::thread and std::mutex). Used by scripts/windows.sh:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Libraries and packages come from the target's sysroot and from
# REGISTRY_WIN_PREFIX, where the target's own builds of yyjson and
# GoogleTest are installed; never from the build host.
set(REGISTRY_WIN_PREFIX "" CACHE PATH "Install prefix of yyjson and GoogleTest built for Windows")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES REGISTRY_WIN_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${REGISTRY_WIN_PREFIX})
# pkg-config (yyjson's fallback) sees the target's .pc files alone.
set(ENV{PKG_CONFIG_LIBDIR} "${REGISTRY_WIN_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained executables: libgcc, libstdc++ and winpthread are linked
# in, so healthz.exe runs on a machine without the compiler's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run under Wine on the build host (ctest, gtest_discover_tests).
find_program(WINE_PROGRAM NAMES wine64 wine PATHS /usr/lib/wine)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
