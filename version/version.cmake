# Writes quorlan7/version.h under OUT_DIR from a version "MAJOR.MINOR.PATCH"
# (optionally ".TWEAK"); both the top-level project and the module's own
# project call it with the top-level project's version.
function(q7_write_version_header version out_dir)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)(\\.([0-9]+))?$")
    message(FATAL_ERROR "version '${version}' is not MAJOR.MINOR.PATCH")
  endif()
  set(Q7_VERSION ${version})
  set(Q7_VERSION_MAJOR ${CMAKE_MATCH_1})
  set(Q7_VERSION_MINOR ${CMAKE_MATCH_2})
  set(Q7_VERSION_PATCH ${CMAKE_MATCH_3})
  set(Q7_VERSION_TWEAK 0)
  if(CMAKE_MATCH_5)
    set(Q7_VERSION_TWEAK ${CMAKE_MATCH_5})
  endif()
  # The version block holds each part in 16 bits.
  foreach(part IN ITEMS MAJOR MINOR PATCH TWEAK)
    if(Q7_VERSION_${part} GREATER 65535)
      message(FATAL_ERROR "version '${version}': each part must be at most 65535")
    endif()
  endforeach()
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.h.in ${out_dir}/quorlan7/version.h @ONLY)
endfunction()
