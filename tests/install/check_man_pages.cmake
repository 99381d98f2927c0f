# Each committed man page renders without a warning from man and groff at 80 columns; where the build made the pages
# from their source (MADE_DIR), the committed ones are the same bytes.
foreach(page ${PAGES})
  if(MADE_DIR)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${MAN_DIR}/${page} ${MADE_DIR}/${page}
                    RESULT_VARIABLE differs)
    if(differs)
      message(FATAL_ERROR "man/${page} is not what its source man/${page}.scd gives: "
                          "cmake --build <build> --target man_pages_update, then commit man/${page}")
    endif()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 LC_ALL=C.UTF-8 ${MAN} --warnings -l ${MAN_DIR}/${page}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE warnings)
  if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "man ${page} (status ${rc}):\n${warnings}")
  endif()
  if(NOT text MATCHES "NAME.*SYNOPSIS.*DESCRIPTION.*SEE ALSO")
    message(FATAL_ERROR "man ${page}: sections missing:\n${text}")
  endif()
endforeach()
