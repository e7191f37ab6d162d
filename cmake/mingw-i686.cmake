# The i686 binaries: setup.exe and the 32-bit Windows-side tests, which ctest runs
# under 32-bit Wine in a WOW64 prefix and in a 32-bit-only one.
set(MORVANE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
