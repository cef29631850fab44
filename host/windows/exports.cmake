# The names each system DLL exports, as data: host/windows/exports/NAME.txt,
# one name a line (taken from MinGW-w64's import libraries for those DLLs),
# made into a source the host compiles in. Windows's loader refuses an import
# of a DLL that is none of these, or of a name its DLL does not export.
set(Q7_EXPORT_LISTS_DIR ${CMAKE_CURRENT_LIST_DIR}/exports)
function(q7_write_known_dlls out)
  file(GLOB lists ${Q7_EXPORT_LISTS_DIR}/*.txt)
  list(SORT lists)
  set(body "// Made by host/windows/exports.cmake from host/windows/exports/*.txt; do not edit.\n")
  set(table "")
  foreach(list ${lists})
    get_filename_component(dll ${list} NAME_WE)
    file(STRINGS ${list} names)
    string(JOIN "\",\n    \"" joined ${names})
    string(APPEND body "static const char* const k_${dll}[] = {\n    \"${joined}\"};\n")
    string(APPEND table "    {\"${dll}.dll\", k_${dll}, std::size(k_${dll})},\n")
  endforeach()
  string(APPEND body "static const KnownDll kKnownDlls[] = {\n${table}};\n")
  file(CONFIGURE OUTPUT ${out} CONTENT "${body}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${lists})
endfunction()
