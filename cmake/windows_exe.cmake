# What every program the release ships gets: its own version resource and
# manifest, both made from the one template in src/app, and the image flags
# that Microsoft's linker gives a console program by default.

if(MINGW)
  # No runtime DLL beside the exe (libstdc++, libgcc and winpthread go in,
  # so none can be planted beside it); a relocatable image with ASLR of high
  # entropy and DEP; terminal-server aware, or on a Remote Desktop Session
  # Host GetWindowsDirectory names the user's private Windows folder and the
  # guest drivers are looked for there; stripped, unused sections dropped; no
  # time stamp, so that the same commit links to the same bytes. Control
  # Flow Guard needs the compiler's help, which GCC 12 does not give.
  set(GUESTWISE_EXE_LINK_OPTIONS -static -s -Wl,--gc-sections -Wl,--dynamicbase
    -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--tsaware -Wl,--no-insert-timestamp)
elseif(MSVC)
  # link.exe already sets the four flags above for a console program; it
  # would also embed a manifest of its own beside the one in the .rc, and
  # stamp the time.
  set(GUESTWISE_EXE_LINK_OPTIONS /MANIFEST:NO /Brepro /guard:cf)
endif()

# windres hands the .rc's path and the include folders to the preprocessor
# through a shell, escaping only blanks and parentheses in the folders and
# at most double-quoting the path: a quote or a '$' in the checkout's path
# breaks the command. Read from standard input, the .rc needs neither
# (it includes only <windows.h>, and names the manifest by its full path).
if(CMAKE_RC_COMPILER MATCHES "windres")
  set(CMAKE_RC_COMPILE_OBJECT "<CMAKE_RC_COMPILER> -O coff <DEFINES> <FLAGS> -o <OBJECT> < <SOURCE>")
endif()

# guestwise_windows_exe(TARGET DESCRIPTION): DESCRIPTION is the
# FileDescription that Windows shows in the file's properties.
function(guestwise_windows_exe target description)
  set(GUESTWISE_EXE_NAME ${target})
  set(GUESTWISE_EXE_DESCRIPTION "${description}")
  set(generated ${PROJECT_BINARY_DIR}/generated/${target})
  set(GUESTWISE_MANIFEST ${generated}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/src/app/guestwise.manifest.in ${GUESTWISE_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/src/app/guestwise.rc.in ${generated}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${generated}/${target}.rc)
  target_link_options(${target} PRIVATE ${GUESTWISE_EXE_LINK_OPTIONS})
endfunction()
