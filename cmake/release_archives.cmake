# Makes the release files, run by the `package` target:
#
#   cmake -DQ7_SOURCE_DIR=... -DQ7_BUILD_DIR=... -DQ7_VERSION=... -DQ7_MODULE_FILE=...
#         [-DQ7_RELEASE_DIR=...] -P release_archives.cmake
#
# Q7_RELEASE_DIR (default Q7_BUILD_DIR/release) then holds exactly
# quorlan7-VERSION.zip, quorlan7-VERSION.tar.gz, quorlan7.gau and SHA256SUMS.
#
# The archives hold what the build tree's `release` install component installs,
# under one folder quorlan7-VERSION/, and are the same bytes whoever makes them,
# wherever and whenever: names sorted, owner 0, modes 644 and 755, every time
# set to SOURCE_DATE_EPOCH, no time in the gzip header, and zip entries without
# the extra fields that carry owner and times, with their DOS times written in
# UTC rather than the local zone.
cmake_minimum_required(VERSION 3.25)

foreach(var IN ITEMS Q7_SOURCE_DIR Q7_BUILD_DIR Q7_VERSION Q7_MODULE_FILE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "release_archives.cmake needs -D${var}=...")
  endif()
endforeach()
if(NOT DEFINED Q7_RELEASE_DIR)
  set(Q7_RELEASE_DIR ${Q7_BUILD_DIR}/release)
endif()

foreach(tool IN ITEMS tar gzip zip touch)
  find_program(Q7_${tool} ${tool})
  if(NOT Q7_${tool})
    message(FATAL_ERROR "release archives: '${tool}' is not installed (bash scripts/setup.sh installs it)")
  endif()
endforeach()

# The time of every file in the archives: SOURCE_DATE_EPOCH, else the date of
# the commit the sources are at, else 1980-01-01, the earliest a zip can hold.
set(earliest 315532800)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(from "SOURCE_DATE_EPOCH")
else()
  find_program(Q7_git git)
  set(epoch "")
  if(Q7_git)
    execute_process(COMMAND ${Q7_git} -C ${Q7_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_status ERROR_QUIET)
    if(NOT git_status EQUAL 0)
      set(epoch "")
    endif()
  endif()
  set(from "the date of the last commit")
  if(epoch STREQUAL "")
    set(epoch ${earliest})
    set(from "no SOURCE_DATE_EPOCH and no git history: 1980-01-01")
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$" OR epoch LESS earliest)
  message(FATAL_ERROR "SOURCE_DATE_EPOCH '${epoch}' is not a time in whole seconds since 1970, from 1980 on")
endif()

set(name quorlan7-${Q7_VERSION})
set(stage ${Q7_RELEASE_DIR}-staging)
file(REMOVE_RECURSE ${stage} ${Q7_RELEASE_DIR})
file(MAKE_DIRECTORY ${Q7_RELEASE_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "release archives: '${command}' failed (${status})")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${Q7_BUILD_DIR} --component release --prefix ${stage}/${name})

file(GLOB_RECURSE members LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
list(SORT members)
file(CHMOD_RECURSE ${stage}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                           WORLD_READ WORLD_EXECUTE)
run(${Q7_touch} -h -d @${epoch} ${stage}/${name})
foreach(m IN LISTS members)
  run(${Q7_touch} -h -d @${epoch} ${stage}/${m})
endforeach()

# tar.gz: ustar (no extended headers with access or change times).
run(${Q7_tar} --create --format=ustar --sort=name --owner=0 --group=0 --numeric-owner
    --mtime=@${epoch} --directory=${stage} --file=${stage}/${name}.tar ${name})
run(${Q7_gzip} -9 -n -f ${stage}/${name}.tar)
file(RENAME ${stage}/${name}.tar.gz ${Q7_RELEASE_DIR}/${name}.tar.gz)

# zip: -X leaves out the owner and time extra fields, -D the folder entries;
# TZ=UTC0 makes the DOS times the same in every time zone.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0
                        ${Q7_zip} -X -D -9 -q ${stage}/${name}.zip ${members}
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "release archives: zip failed (${status})")
endif()
file(RENAME ${stage}/${name}.zip ${Q7_RELEASE_DIR}/${name}.zip)

file(COPY_FILE ${Q7_MODULE_FILE} ${Q7_RELEASE_DIR}/quorlan7.gau)
file(REMOVE_RECURSE ${stage})

# SHA256SUMS in the format `sha256sum -c` reads.
set(sums "")
foreach(f IN ITEMS ${name}.tar.gz ${name}.zip quorlan7.gau)
  file(SHA256 ${Q7_RELEASE_DIR}/${f} hash)
  string(APPEND sums "${hash}  ${f}\n")
endforeach()
file(WRITE ${Q7_RELEASE_DIR}/SHA256SUMS "${sums}")

list(TRANSFORM members REPLACE "^${name}/" "")
list(JOIN members ", " listed)
message(STATUS "Release files in ${Q7_RELEASE_DIR} (${listed}; times ${epoch}, from ${from}):\n${sums}")
