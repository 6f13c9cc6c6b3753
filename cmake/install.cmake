# install.cmake - what `cmake --install` puts in place and what CPack packs: one program folder.
#
# The bridges read plugins/MP.cfg and write their logs under plugins/, relative to the working
# directory, and the monitor starts the bridges from the folder it runs in; so everything is
# installed flat into one folder (the host program's folder on Windows), not into bin/ and
# share/. The settings are installed as plugins/MP.cfg.sample: a reinstall or an upgrade over
# an existing folder must never overwrite the settings that a user has made there.
# The monitor starts a bridge only from a folder that nobody else may change, so the folders
# made by an installation are 0755 whatever the installing user's mask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The Debian package installs into the system's folders instead (debian/rules turns this on):
# the programs that a person runs on the PATH, the bridges, which only the services start, in
# libexec/vistrel, and the samples and documentation under share/. The services' units, the
# system user and the settings under /etc/vistrel are the package's own (debian/).
option(VISTREL_SYSTEM_LAYOUT "Install into bin/, libexec/ and share/ (the Debian package)" OFF)
if(VISTREL_SYSTEM_LAYOUT)
  # The units name these paths, so they are fixed rather than taken from GNUInstallDirs.
  install(TARGETS Vistrel_Status vistrel_tvsim vistrel_wifisim vistrel_peek vistrel_lcd RUNTIME DESTINATION bin)
  install(TARGETS Vistrel_MPExtended Vistrel_WIFIRemote RUNTIME DESTINATION libexec/vistrel)
  # The samples beside the settings that the services read: the settings with every key at its
  # default (the package makes /etc/vistrel/MP.cfg from it) and the display's built-in layout.
  install(FILES ${PROJECT_SOURCE_DIR}/dist/MP.cfg DESTINATION /etc/vistrel RENAME MP.cfg.sample)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/lcd.layout DESTINATION /etc/vistrel RENAME lcd.layout.sample)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/vistrel)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/vistrel/docs
          FILES_MATCHING PATTERN "*.md" PATTERN "*.h" PATTERN "*.c")
  return()
endif()

install(TARGETS Vistrel_MPExtended Vistrel_WIFIRemote Vistrel_Status
                vistrel_tvsim vistrel_wifisim vistrel_peek vistrel_lcd
        RUNTIME DESTINATION .)
# The sample becomes the settings, with the services' passwords, where it lies: readable and
# writable by its owner only (POSIX; a zip for Windows keeps no such rights), and a copy made
# with cp keeps that.
install(FILES ${PROJECT_SOURCE_DIR}/dist/MP.cfg DESTINATION plugins RENAME MP.cfg.sample
        PERMISSIONS OWNER_READ OWNER_WRITE)
# The display client's layout, as it is built in, for a user to copy to plugins/lcd.layout and
# change; like the settings, never installed under the name that is read.
install(FILES ${PROJECT_SOURCE_DIR}/dist/lcd.layout DESTINATION plugins RENAME lcd.layout.sample)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
# The whole documentation folder: the pages, and the readers' header and example sources.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.h" PATTERN "*.c")
if(WIN32)
  # The demo for Windows users: the simulators, settings that point at them, and the monitor.
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/dist/demo.cmd DESTINATION .)
endif()

set(CPACK_PACKAGE_NAME Vistrel)
set(CPACK_PACKAGE_VENDOR "Vistrel")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bridges from two media-centre services to shared-memory tag blocks, and their monitor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "Vistrel-${PROJECT_VERSION}-windows-x64")
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "Vistrel-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
endif()
include(CPack)
