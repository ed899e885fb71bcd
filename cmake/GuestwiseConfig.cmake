# Guestwise::guestwise: the public header, and the static libraries and
# Windows system libraries that detect() needs, linked with it.
include("${CMAKE_CURRENT_LIST_DIR}/GuestwiseTargets.cmake")
