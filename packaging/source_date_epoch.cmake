# Read by cpack before it writes the package. Every time in the package (its
# members, its files and directories) is SOURCE_DATE_EPOCH: the builder's when
# set, else the last commit's, else the date of the newest changelog entry, so
# that a build from an unpacked tarball, without git, gives the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(tolvane_epoch "")
  find_program(TOLVANE_GIT git)
  if(TOLVANE_GIT AND EXISTS "${CPACK_TOLVANE_SOURCE_DIR}/.git")
    execute_process(COMMAND "${TOLVANE_GIT}" -C "${CPACK_TOLVANE_SOURCE_DIR}" log -1 --format=%ct
                    OUTPUT_VARIABLE tolvane_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT tolvane_epoch MATCHES "^[0-9]+$")
    # The trailer line of an entry: " -- Name <address>  Mon, 07 Dec 2026 09:00:00 +0000".
    file(STRINGS "${CPACK_TOLVANE_SOURCE_DIR}/packaging/changelog" trailers REGEX "^ -- .*>  ")
    list(GET trailers 0 newest)
    string(REGEX REPLACE "^.*>  " "" newest "${newest}")
    execute_process(COMMAND date -u -d "${newest}" +%s
                    OUTPUT_VARIABLE tolvane_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(NOT tolvane_epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "no date for the package: set SOURCE_DATE_EPOCH")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} "${tolvane_epoch}")
endif()
