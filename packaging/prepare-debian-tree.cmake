# Run by CPack on its staging tree before it builds the package: compresses
# the manual pages and the changelog with gzip, as Debian packages carry them,
# and gives every directory mode 755, which the build's umask may not have.
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

file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
set(directories "")
foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${entry}")
        list(APPEND directories "${entry}")
    endif()
endforeach()
file(CHMOD ${directories} PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
