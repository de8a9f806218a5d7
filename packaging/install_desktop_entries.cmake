# Run at install time: writes the desktop entries with the paths of this
# install (cmake --install --prefix, or the package's /usr), since the
# program reads logo.jpg from its working directory.
foreach(var TALVIRO_SOURCE_DIR TALVIRO_STAGE_DIR TALVIRO_BINDIR_REL TALVIRO_DATADIR_REL
            TALVIRO_APP_ID)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not set")
  endif()
endforeach()

set(TALVIRO_BINDIR "${CMAKE_INSTALL_PREFIX}/${TALVIRO_BINDIR_REL}")
set(TALVIRO_DATADIR "${CMAKE_INSTALL_PREFIX}/${TALVIRO_DATADIR_REL}")

set(TALVIRO_PROGRAM talviro_gui)
set(TALVIRO_ENTRY_NAME "TALVIRO Measurement")
set(TALVIRO_ENTRY_COMMENT "Target voltage, supply current and analogue inputs of a TALVIRO probe")
configure_file("${TALVIRO_SOURCE_DIR}/talviro.desktop.in"
               "${TALVIRO_STAGE_DIR}/${TALVIRO_APP_ID}.desktop" @ONLY)

set(TALVIRO_PROGRAM talviro_gui_demo)
set(TALVIRO_ENTRY_NAME "TALVIRO Measurement (demo)")
set(TALVIRO_ENTRY_COMMENT "The measurement window on a simulated probe, no hardware needed")
configure_file("${TALVIRO_SOURCE_DIR}/talviro.desktop.in"
               "${TALVIRO_STAGE_DIR}/${TALVIRO_APP_ID}Demo.desktop" @ONLY)

# The window's entry is named after its AppStream id, which the metainfo
# file's launchable names.
file(INSTALL "${TALVIRO_STAGE_DIR}/${TALVIRO_APP_ID}.desktop"
             "${TALVIRO_STAGE_DIR}/${TALVIRO_APP_ID}Demo.desktop"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications")
