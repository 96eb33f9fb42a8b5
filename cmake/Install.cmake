# Where `cmake --install` puts the program (GNU layout under the prefix):
#   bin/                          mirelo-share, mirelo-tracker
#   share/mirelo-share/system/    the fixed pictures (SystemFolder finds them)
#   share/mirelo-share/plugins/   plug-in libraries (PluginFolder)
#   share/applications/           the desktop entry
#   share/icons/hicolor/32x32/apps/mirelo-share.png
#   share/man/man1/               the manual pages
#   share/doc/mirelo-share/       the licence (as "copyright")
#   lib/systemd/user/             mirelo-share.service (the headless program)
#   lib/systemd/system/           mirelo-tracker.service
# The program writes nothing under the prefix: an installed program keeps its
# settings, cache and log in the per-user working folder.
include(GNUInstallDirs)

set(MIRELO_DATA_DIR ${CMAKE_INSTALL_DATADIR}/mirelo-share)

install(TARGETS mirelo-share RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET mirelo-tracker)
  install(TARGETS mirelo-tracker RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(DIRECTORY ${CMAKE_SOURCE_DIR}/assets/system/ DESTINATION ${MIRELO_DATA_DIR}/system)
# The plug-in folder exists even when empty, so that a plug-in has its place.
install(DIRECTORY DESTINATION ${MIRELO_DATA_DIR}/plugins)

install(FILES ${CMAKE_SOURCE_DIR}/packaging/mirelo-share.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES "${CMAKE_SOURCE_DIR}/assets/system/mirelo tray.png"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME mirelo-share.png)

install(FILES ${CMAKE_SOURCE_DIR}/packaging/mirelo-share.1 ${CMAKE_SOURCE_DIR}/packaging/mirelo-tracker.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/mirelo-share RENAME copyright)

# The units name the installed executables, so they are written when the
# prefix is known: at install time (cpack installs with the package's prefix).
install(CODE "
  set(MIRELO_INSTALLED_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  foreach(unit mirelo-share.service mirelo-tracker.service)
    configure_file(\"${CMAKE_SOURCE_DIR}/packaging/\${unit}.in\"
      \"${CMAKE_BINARY_DIR}/packaging/\${unit}\" @ONLY)
  endforeach()")
# systemd reads units from lib/ under /usr, never from a multiarch folder.
install(FILES ${CMAKE_BINARY_DIR}/packaging/mirelo-share.service DESTINATION lib/systemd/user)
install(FILES ${CMAKE_BINARY_DIR}/packaging/mirelo-tracker.service DESTINATION lib/systemd/system)
