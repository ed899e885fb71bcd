# What `cmake --install` puts into a prefix, and the release zip that
# `cmake --build --preset windows --target package` makes.
include(CMakePackageConfigHelpers)

# The program, and the library with its CMake package:
# find_package(Guestwise 1.0) gives Guestwise::guestwise.
install(TARGETS Guestwise RUNTIME DESTINATION bin COMPONENT Runtime)
install(TARGETS guestwise guestwise_win32 guestwise_core EXPORT GuestwiseTargets
  ARCHIVE DESTINATION lib COMPONENT Development)
install(FILES include/guestwise/guestwise.h DESTINATION include/guestwise COMPONENT Development)
install(EXPORT GuestwiseTargets NAMESPACE Guestwise:: DESTINATION lib/cmake/Guestwise
  COMPONENT Development)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/GuestwiseConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES cmake/GuestwiseConfig.cmake ${PROJECT_BINARY_DIR}/GuestwiseConfigVersion.cmake
  DESTINATION lib/cmake/Guestwise COMPONENT Development)

# The zip: these programs (signed, if the build is given a certificate) and
# documents side by side, the docs in docs/ as in the sources so that the
# README's links work in the unpacked folder, and SHA256SUMS over them all
# by their paths there. Only the package installs them (EXCLUDE_FROM_ALL).
set(release_programs Guestwise)
file(GLOB release_docs RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/docs/*.md ${PROJECT_SOURCE_DIR}/docs/*.json)
set(release_documents README.md CHANGELOG.md LICENSE ${release_docs})
if(TARGET guestwise_facts)
  list(APPEND release_programs GuestwiseFacts GuestwiseReplay)
endif()

set(release_files "")
foreach(program IN LISTS release_programs)
  install(TARGETS ${program} RUNTIME DESTINATION . COMPONENT Release EXCLUDE_FROM_ALL)
  list(APPEND release_files $<TARGET_FILE_NAME:${program}>)
endforeach()

# Signing, for a release that names a code-signing certificate and its key
# (PEM, both): the programs are signed in the zip, the build's own exes stay
# unsigned and reproducible. Without them the zip is unsigned.
set(GUESTWISE_SIGNING_CERT "" CACHE FILEPATH "PEM code-signing certificate for the release zip")
set(GUESTWISE_SIGNING_KEY "" CACHE FILEPATH "PEM private key of GUESTWISE_SIGNING_CERT")
set(GUESTWISE_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server (optional)")
if(GUESTWISE_SIGNING_CERT OR GUESTWISE_SIGNING_KEY)
  if(NOT GUESTWISE_SIGNING_CERT OR NOT GUESTWISE_SIGNING_KEY)
    message(FATAL_ERROR "Signing needs both GUESTWISE_SIGNING_CERT and GUESTWISE_SIGNING_KEY")
  endif()
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  install(CODE "set(programs \"${release_files}\")
set(osslsigncode \"${OSSLSIGNCODE}\")
set(cert \"${GUESTWISE_SIGNING_CERT}\")
set(key \"${GUESTWISE_SIGNING_KEY}\")
set(timestamp_url \"${GUESTWISE_SIGNING_TIMESTAMP_URL}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/sign.cmake\")"
    COMPONENT Release EXCLUDE_FROM_ALL)
endif()

foreach(document IN LISTS release_documents)
  cmake_path(GET document PARENT_PATH folder)
  if(folder STREQUAL "")
    set(folder .)
  endif()
  install(FILES ${document} DESTINATION ${folder} COMPONENT Release EXCLUDE_FROM_ALL)
  list(APPEND release_files ${document})
endforeach()
install(CODE "set(release_files \"${release_files}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/sha256sums.cmake\")"
  COMPONENT Release EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME Guestwise)
set(CPACK_PACKAGE_VENDOR Kestrova)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME Guestwise-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# The Release component alone, in one archive under the name above.
set(CPACK_COMPONENTS_ALL Release)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
# CPack dates the entries by the clock and orders them as the file system
# lists them: the zip is written again with fixed times, order and
# permissions (cmake/reproducible-zip.cmake).
find_program(GUESTWISE_PYTHON NAMES python3 python)
set(CPACK_GUESTWISE_PYTHON ${GUESTWISE_PYTHON})
set(CPACK_GUESTWISE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/reproducible-zip.cmake)
include(CPack)
