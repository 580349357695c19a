# Cross-building the Windows programs with Debian's mingw-w64, for the
# processor the including file names (WIREPEEK_MINGW_ARCH). The posix thread
# model: the win32 one has no std::thread or std::mutex.
set(triple ${WIREPEEK_MINGW_ARCH}-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${WIREPEEK_MINGW_ARCH})
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Each .exe runs alone: the C and C++ runtimes and winpthread linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# DWARF 4, which the image-help library and the map tool read; frame
# pointers for whole stack walks; each function in one piece, so that a
# fault on its unlikely path still lies within its range in the map.
set(CMAKE_C_FLAGS_INIT "-gdwarf-4 -fno-omit-frame-pointer -fno-reorder-blocks-and-partition")
set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4 -fno-omit-frame-pointer -fno-reorder-blocks-and-partition")
