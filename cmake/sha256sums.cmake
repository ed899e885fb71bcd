# Run at install time: writes SHA256SUMS beside `release_files` in the
# format of sha256sum, so that `sha256sum -c SHA256SUMS` checks them.
set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(sums "")
foreach(name IN LISTS release_files)
  file(SHA256 "${folder}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${folder}/SHA256SUMS" "${sums}")
