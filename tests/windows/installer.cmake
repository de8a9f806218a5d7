# The Windows packages, made from this cross-built tree and tried under Wine
# on the build machine: installed, started from the Start menu and removed
# again, and the portable zip started from its folder. Included from this
# folder's CMakeLists.txt.
if(NOT WIN32)
  return()
endif()
add_test(NAME windows.installer
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/installer.sh ${CMAKE_BINARY_DIR})
# It rewrites dist/ and shows the demo's window.
set_tests_properties(windows.installer PROPERTIES TIMEOUT 900 LABELS windows
                     RESOURCE_LOCK "windows_dist;x_display")
