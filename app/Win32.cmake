# The console for Windows: one static executable of the GUI subsystem, with
# its icon, its version record and the manifest that asks for the common
# controls of version 6 and to run with the rights of whoever starts it.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/serial/CommDeviceWin32.cpp OR
   NOT EXISTS ${PROJECT_SOURCE_DIR}/net/IdStackWindows.cpp)
  message(STATUS "torin5.exe waits for the serial and socket parts for Windows")
  return()
endif()
enable_language(RC)
# The manifest and the version record carry the project's version.
set(T5_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/torin5.manifest)
configure_file(torin5.manifest.in ${T5_MANIFEST} @ONLY)
add_executable(torin5 WIN32 mainWin32.cpp torin5.rc)
target_link_libraries(torin5 PRIVATE t5_app t5_controls_win32)
target_link_options(torin5 PRIVATE -static)
target_include_directories(torin5 PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
set_source_files_properties(torin5.rc PROPERTIES
  COMPILE_DEFINITIONS "T5_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};T5_VERSION_MINOR=${PROJECT_VERSION_MINOR};T5_VERSION_PATCH=${PROJECT_VERSION_PATCH}"
  OBJECT_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/torin5.ico;${T5_MANIFEST}")
