# Cross build for 64-bit Windows with Debian's mingw-w64 (scripts/windows).
#
# The -posix compilers: GCC 12's default win32 thread model has no
# std::thread or std::mutex. Every program is linked statically, so that it
# needs no DLL beside it but Windows' own.
#
# TALVIRO_MINGW_PREFIX names the folder of the Windows libraries built for
# this tree (wxWidgets, libpng, libjpeg, ncurses, GoogleTest); libraries,
# headers, CMake packages and pkg-config files are looked up there and in
# the mingw-w64 folder only, never on the build machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TALVIRO_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALVIRO_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVIRO_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVIRO_MINGW_HOST}-windres)
set(CMAKE_AR ${TALVIRO_MINGW_HOST}-gcc-ar-posix CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${TALVIRO_MINGW_HOST}-gcc-ranlib-posix CACHE FILEPATH "Archive indexer")
set(CMAKE_OBJDUMP ${TALVIRO_MINGW_HOST}-objdump CACHE FILEPATH "Object file reader")
set(CMAKE_STRIP ${TALVIRO_MINGW_HOST}-strip CACHE FILEPATH "Symbol stripper")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(TALVIRO_MINGW_PREFIX "" CACHE PATH "Folder of the Windows libraries this build links")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALVIRO_MINGW_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${TALVIRO_MINGW_HOST} ${TALVIRO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers from the Windows libraries' .pc files alone.
if(TALVIRO_MINGW_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${TALVIRO_MINGW_PREFIX}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
