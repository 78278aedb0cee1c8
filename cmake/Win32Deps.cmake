# What the Windows build takes from Debian's sources instead of its Linux
# packages: GoogleTest from the googletest package's source tree, and the
# Zstandard library from its Debian source package (fetched by make windows
# into T5_ZSTD_SOURCE).
enable_language(C)

set(T5_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${T5_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# The googletest tree names its own GTest:: targets.
foreach(t gtest gtest_main gmock)
  if(NOT TARGET GTest::${t})
    add_library(GTest::${t} ALIAS ${t})
  endif()
endforeach()

set(T5_ZSTD_SOURCE "" CACHE PATH "Zstandard sources (the directory holding lib/)")
if(NOT EXISTS ${T5_ZSTD_SOURCE}/lib/zstd.h)
  message(FATAL_ERROR "No Zstandard sources in '${T5_ZSTD_SOURCE}' (make windows fetches them)")
endif()
file(GLOB T5_ZSTD_FILES ${T5_ZSTD_SOURCE}/lib/common/*.c ${T5_ZSTD_SOURCE}/lib/compress/*.c
     ${T5_ZSTD_SOURCE}/lib/decompress/*.c)
add_library(t5_zstd STATIC ${T5_ZSTD_FILES})
target_include_directories(t5_zstd PUBLIC ${T5_ZSTD_SOURCE}/lib)
target_compile_definitions(t5_zstd PRIVATE ZSTD_DISABLE_ASM XXH_NAMESPACE=ZSTD_)
target_compile_options(t5_zstd PRIVATE -w -O2)
add_library(zstd::libzstd_shared ALIAS t5_zstd)

# g++ 12 at -O3 reports string inserts of its own library as overlapping
# copies (a known false alarm of -Wrestrict).
add_compile_options(-Wno-restrict)
