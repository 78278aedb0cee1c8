# Cross build for 32-bit Windows: the program that ships.
set(T5_MINGW_TARGET i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
