# Man pages as Debian wants them: gzipped, with no time stamp in the gzip
# header, so that two builds of one tree give the same bytes.
include(GNUInstallDirs)
find_program(TALVIRO_GZIP gzip REQUIRED)

# talviro_man_pages(PAGE...): each PAGE of section 1 (a path, relative to
# the current source directory or absolute) gets @PROJECT_VERSION@ filled
# in, is gzipped by the build and installed to man1 under its name and .gz.
function(talviro_man_pages)
  set(gzipped "")
  foreach(path IN LISTS ARGN)
    cmake_path(GET path FILENAME page)
    set(configured "${CMAKE_CURRENT_BINARY_DIR}/man/${page}")
    configure_file("${path}" "${configured}" @ONLY)
    add_custom_command(OUTPUT "${configured}.gz"
                       COMMAND "${TALVIRO_GZIP}" -9 -n -f -k "${configured}"
                       DEPENDS "${configured}"
                       COMMENT "Compressing the man page ${page}"
                       VERBATIM)
    list(APPEND gzipped "${configured}.gz")
  endforeach()
  list(GET ARGN 0 first)
  cmake_path(GET first STEM target)
  add_custom_target(man_${target} ALL DEPENDS ${gzipped})
  install(FILES ${gzipped} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
