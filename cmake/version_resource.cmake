# Gives a target the VERSIONINFO resource: file type VFT_DLL or VFT_APP.
function(quelto_version_resource target file_type file_name)
  set(QUELTO_FILE_TYPE ${file_type})
  set(QUELTO_FILE_NAME ${file_name})
  set(QUELTO_INTERNAL_NAME ${target})
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
