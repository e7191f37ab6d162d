# Shared part of the mingw-w64 toolchains.
#
# Debian's mingw-w64 compilers come in two thread models. The test builds use the
# -posix compilers, whose std::mutex GoogleTest needs. The release builds of the
# deliverables use the -win32 ones (MORVANE_MINGW_THREADS=win32): the product uses no
# standard threads, and the posix model's static winpthreads imports GetTickCount64,
# which Windows XP does not have.
if(NOT DEFINED MORVANE_MINGW_THREADS)
  set(MORVANE_MINGW_THREADS posix)
endif()
set(MORVANE_MINGW_THREADS ${MORVANE_MINGW_THREADS} CACHE STRING "Thread model of the mingw-w64 compilers (posix or win32)")
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${MORVANE_MINGW_TRIPLE}-gcc-${MORVANE_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${MORVANE_MINGW_TRIPLE}-g++-${MORVANE_MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${MORVANE_MINGW_TRIPLE}-windres)
set(CMAKE_OBJCOPY      ${MORVANE_MINGW_TRIPLE}-objcopy CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${MORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static runtime: nothing but system DLLs is imported by any binary.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# ctest runs the Windows-side test programs through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
