# Cross-build of the 64-bit Windows module with mingw-w64 (posix threads):
# the same sources as the 32-bit product, for a 64-bit host and for running
# every Windows suite under 64-bit Wine where 32-bit programs cannot run.
# Test programs run under 64-bit Wine through CTest's emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Debian keeps the 64-bit loader off the PATH (its `wine` starts the 32-bit
# one whenever that is installed).
find_program(WINE64_PROGRAM NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE64_PROGRAM})
