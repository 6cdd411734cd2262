# Cross-compiling for Windows x64 with Debian's mingw-w64 (scripts/build-windows
# passes this file as CMAKE_TOOLCHAIN_FILE). LUMIDEX_WINDOWS_PREFIX names the
# directory holding the cross-built Xapian, utf8proc, yyjson, libcsv and
# CLI11; only it and the mingw-w64 system root are searched for libraries and
# headers, never the Linux ones. Test programs run under wine64 through the
# cross-compiling emulator, so CTest runs them as it runs native ones.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LUMIDEX_WINDOWS_HOST x86_64-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which GCC 12's win32
# model lacks. Its winpthreads is linked statically like the rest.
set(CMAKE_C_COMPILER ${LUMIDEX_WINDOWS_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMIDEX_WINDOWS_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMIDEX_WINDOWS_HOST}-windres)

if(NOT LUMIDEX_WINDOWS_PREFIX)
  message(FATAL_ERROR "set LUMIDEX_WINDOWS_PREFIX to the cross-built libraries")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMIDEX_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${LUMIDEX_WINDOWS_HOST} ${LUMIDEX_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the .pc files of the cross-built libraries.
set(ENV{PKG_CONFIG_LIBDIR} ${LUMIDEX_WINDOWS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Every library of the toolchain (GCC's C and C++ runtimes, winpthreads, the
# stack-protection helpers, zlib) goes into each program and the engine DLL
# statically, so a host needs nothing beyond the system's own DLLs and
# nolvaris-lumidex-core.dll itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

find_program(LUMIDEX_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(LUMIDEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMIDEX_WINE})
endif()
