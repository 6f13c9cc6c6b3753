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
