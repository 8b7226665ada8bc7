# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
# Test executables run under Wine: export WINEPREFIX (and WINEDEBUG=-all) before
# configuring, since test discovery runs them at build time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARNIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARNIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNIX_MINGW_TRIPLE}-windres)

# VARNIX_MINGW_EXTRA_ROOTS: prefixes of libraries built for the target outside
# the sysroot (scripts/build-windows passes its static libpng and wxMSW).
set(CMAKE_FIND_ROOT_PATH /usr/${VARNIX_MINGW_TRIPLE} ${VARNIX_MINGW_EXTRA_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without -static every .exe needs the MinGW runtime DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
