# What both Windows cross builds share; the toolchain file that includes this
# sets T5_MINGW_TARGET (i686 or x86_64) first. Debian's mingw-w64, the -posix
# variant, whose C++ library has std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${T5_MINGW_TARGET})
set(CMAKE_C_COMPILER ${T5_MINGW_TARGET}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${T5_MINGW_TARGET}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${T5_MINGW_TARGET}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${T5_MINGW_TARGET}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One program with nothing beside it: the C and C++ runtimes and the thread
# library go into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Tests and tools built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
