# The console for Windows: one static executable of the GUI subsystem, with
# its icon and the manifest that asks for the common controls of version 6.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/serial/CommDeviceWin32.cpp OR
   NOT EXISTS ${PROJECT_SOURCE_DIR}/net/IdStackWindows.cpp)
  message(STATUS "torin5.exe waits for the serial and socket parts for Windows")
  return()
endif()
enable_language(RC)
add_executable(torin5 WIN32 mainWin32.cpp torin5.rc)
target_link_libraries(torin5 PRIVATE t5_app t5_controls_win32)
target_link_options(torin5 PRIVATE -static)
set_source_files_properties(torin5.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_CURRENT_SOURCE_DIR}/torin5.ico;${CMAKE_CURRENT_SOURCE_DIR}/torin5.manifest")
