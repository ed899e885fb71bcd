# Run at install time, before SHA256SUMS is written: signs each of
# `programs` in place with osslsigncode (Authenticode, SHA-256) by `cert`
# and `key`, time-stamped by the RFC 3161 server `timestamp_url` if set.
set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(timestamp "")
if(timestamp_url)
  set(timestamp -ts "${timestamp_url}")
endif()
foreach(name IN LISTS programs)
  execute_process(
    COMMAND "${osslsigncode}" sign -certs "${cert}" -key "${key}" -h sha256 -n Guestwise
      ${timestamp} -in "${folder}/${name}" -out "${folder}/${name}.signed"
    COMMAND_ERROR_IS_FATAL ANY)
  file(RENAME "${folder}/${name}.signed" "${folder}/${name}")
endforeach()
