# Cross toolchain for the Windows kernel image: Debian's mingw-w64 (x86_64, win32 thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VCB_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VCB_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${VCB_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${VCB_MINGW_PREFIX}-windres)

# Libraries and headers come only from the mingw-w64 sysroot; programs (python3, the check) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VCB_MINGW_PREFIX} /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
