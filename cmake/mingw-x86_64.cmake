# Cross build for 64-bit Windows. The program ships as the 32-bit build; this
# one runs the same suites on a machine whose Wine has only its 64-bit half,
# and keeps the code honest about pointer-sized fields.
set(T5_MINGW_TARGET x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
