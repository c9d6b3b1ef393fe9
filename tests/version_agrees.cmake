# Fails when debian/changelog's newest entry names another version than CMake's project():
# the package, the programs and the About box must all say the same.
#   cmake -DSOURCE=<tree> -DVERSION=<project version> -P version_agrees.cmake
file(STRINGS "${SOURCE}/debian/changelog" first LIMIT_COUNT 1)
if(NOT first MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\)")
  message(FATAL_ERROR "debian/changelog: no version in its first line: ${first}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "debian/changelog names ${CMAKE_MATCH_1}, CMakeLists.txt's project() ${VERSION}")
endif()
