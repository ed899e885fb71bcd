# Run by CPack once the zip is made (CPACK_POST_BUILD_SCRIPTS): rewrites it
# so that two builds of one commit give the same bytes. Its entries are
# dated SOURCE_DATE_EPOCH when set, else the source tree's last commit, else
# 1980-01-01 (a tree without git history).
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(origin "SOURCE_DATE_EPOCH")
else()
  # The tree may belong to another user (a CI container): trusting it for
  # this one read gives nothing away, and the build runs its code anyway.
  execute_process(
    COMMAND git -c "safe.directory=${CPACK_GUESTWISE_SOURCE_DIR}"
      -C "${CPACK_GUESTWISE_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status ERROR_QUIET)
  if(status EQUAL 0 AND epoch MATCHES "^[0-9]+$")
    set(origin "the last commit")
  else()
    set(epoch 0)
    set(origin "no git history: 1980-01-01")
  endif()
endif()
if(NOT CPACK_GUESTWISE_PYTHON)
  message(FATAL_ERROR "The zip needs Python 3 to be made reproducible: install python3")
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(
    COMMAND "${CPACK_GUESTWISE_PYTHON}" "${CPACK_GUESTWISE_SOURCE_DIR}/scripts/reproducible-zip.py"
      "${package}" "${epoch}"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "Could not make ${package} reproducible")
  endif()
  message(STATUS "${package}: entries dated ${epoch} (${origin})")
endforeach()
