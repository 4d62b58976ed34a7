# Cross build of talven.dll with MinGW-w64 (i686) from a Debian/Ubuntu host.
# Prefers the win32 thread model: the library starts its one worker with CreateThread and must
# not pull in libwinpthread-1.dll. Falls back to the posix variant or the plain driver name.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TALVEN_MINGW_TRIPLE i686-w64-mingw32)

include("${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake")
