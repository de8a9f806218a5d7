# Common settings of every target of this tree.
set(TALVIRO_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
cmake_path(NORMAL_PATH TALVIRO_SOURCE_ROOT)

# C++17, warnings on, and the repo root as include directory, so code
# includes "probe/...", "d2xx/...", "gui/...".
function(talviro_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_17)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    return()
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(type MATCHES "LIBRARY")
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${TALVIRO_SOURCE_ROOT}>)
  else()
    target_include_directories(${target} PRIVATE ${TALVIRO_SOURCE_ROOT})
  endif()
endfunction()
