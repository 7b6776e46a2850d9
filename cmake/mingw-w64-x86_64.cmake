# Cross-building the Windows programs on Debian with mingw-w64
# (g++-mingw-w64-x86-64-posix: the POSIX thread model, which the standard
# library's threads and mutexes need).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Every program is linked statically against the compiler's runtime
# (libgcc, libstdc++, winpthread), so that each .exe needs only the DLLs
# that Windows itself ships. Tests run under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRAILMARK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRAILMARK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRAILMARK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TRAILMARK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TRAILMARK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Wine runs the tests; WINEPREFIX and WINEDEBUG come from the environment
# (scripts/windows.sh sets them).
find_program(TRAILMARK_WINE wine)
if(TRAILMARK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRAILMARK_WINE})
endif()
