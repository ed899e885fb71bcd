# The msvc preset's toolchain: vcpkg's, from the clone that
# VCPKG_INSTALLATION_ROOT names (the hosted Windows runners set it). Without
# it, one line says what is missing instead of a path CMake cannot find.
if(NOT DEFINED ENV{VCPKG_INSTALLATION_ROOT} OR "$ENV{VCPKG_INSTALLATION_ROOT}" STREQUAL "")
  message(FATAL_ERROR "VCPKG_INSTALLATION_ROOT is not set: it must name a vcpkg clone.")
endif()
include("$ENV{VCPKG_INSTALLATION_ROOT}/scripts/buildsystems/vcpkg.cmake")
