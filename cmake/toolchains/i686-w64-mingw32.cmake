# The win32 preset: 32-bit Windows (i686).
set(WIREPEEK_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
