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
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -mconsole)
endfunction()
