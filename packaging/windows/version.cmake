# Prints the version of a configured build tree: the project() version CMake
# stored in its cache, checked against NEWS as the .deb's changelog is, so
# that a Windows package never carries a version NEWS does not describe.
#   cmake -D BUILD_DIR=build-windows -P packaging/windows/version.cmake
if(NOT BUILD_DIR OR NOT EXISTS "${BUILD_DIR}/CMakeCache.txt")
  message(FATAL_ERROR "BUILD_DIR='${BUILD_DIR}' is not a configured build tree")
endif()
load_cache("${BUILD_DIR}" READ_WITH_PREFIX cache_ CMAKE_PROJECT_VERSION CMAKE_HOME_DIRECTORY)
if(NOT cache_CMAKE_PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "${BUILD_DIR}: no project version in CMakeCache.txt "
                      "('${cache_CMAKE_PROJECT_VERSION}')")
endif()
set(PROJECT_VERSION "${cache_CMAKE_PROJECT_VERSION}")
include("${CMAKE_CURRENT_LIST_DIR}/../../cmake/TalviroNews.cmake")
talviro_read_news("${cache_CMAKE_HOME_DIRECTORY}/NEWS")
execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${PROJECT_VERSION}")
