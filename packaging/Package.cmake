# `make package`: a Debian package with the console, the simulated device,
# the desktop entry and the icon.
install(TARGETS torin5 torin5-devsim RUNTIME DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/torin5.desktop DESTINATION share/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/torin5.svg DESTINATION share/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME torin5)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "TORIN5 project")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service console for the TORIN5 field device")
set(CPACK_PACKAGE_DESCRIPTION
    "A single-window console: serial terminal with DTR/RTS and modem lines, text and packet display, acknowledgement of framed requests, and a UDP console. Includes torin5-devsim, a simulated device for trying the console without one.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TORIN5 developers <torin5@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries the programs link come from shlibdeps; the SVG plugins are
# loaded at run time (the window's icon), so they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
set(CPACK_STRIP_FILES ON)
include(CPack)
