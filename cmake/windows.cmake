# Windows executables: the application manifest, and a self-contained link so
# the executable needs no compiler runtime DLLs beside it.
enable_language(RC)

function(comscan_windows_executable target)
  set(MANIFEST_PROCESSOR ${COMSCAN_MANIFEST_PROCESSOR})
  configure_file(${CMAKE_SOURCE_DIR}/app/windows/comscan.manifest.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest @ONLY)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc
       "1 24 \"${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest\"\n")
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  # No link time in the PE header: a rebuild of the same sources gives the
  # same bytes. Symbols are stripped by the linker, as strip would stamp the
  # header with the current time.
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -mconsole
                      -Wl,--no-insert-timestamp $<$<CONFIG:Release,MinSizeRel>:-s>)
endfunction()

# The README.txt that goes into the Windows zip beside the exe; Notepad on
# older systems wants CR LF.
configure_file(${CMAKE_SOURCE_DIR}/packaging/README.txt.in ${CMAKE_BINARY_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
