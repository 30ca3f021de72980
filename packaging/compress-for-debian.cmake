# Run by CPack on its staging tree before it builds the package: compresses
# the manual pages and the changelog with gzip, as Debian packages carry them.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*.[1-9]")
file(GLOB_RECURSE changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/*/changelog")
if(NOT pages OR NOT changelogs)
    message(FATAL_ERROR "no manual page or changelog found under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(file IN LISTS pages changelogs)
    # -n: no name or time stamp in the header, so the same file gives the same bytes.
    execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "gzip ${file} failed: ${status}")
    endif()
endforeach()
