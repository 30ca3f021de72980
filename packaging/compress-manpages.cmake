# Run by CPack on its staging tree before it builds the package: compresses
# the manual pages with gzip, as Debian packages carry them.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*.[1-9]")
if(NOT pages)
    message(FATAL_ERROR "no manual page found under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(page IN LISTS pages)
    # -n: no name or time stamp in the header, so the same page gives the same bytes.
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "gzip ${page} failed: ${status}")
    endif()
endforeach()
