# torvex_is_test_image(<image> <checksum file> <result>): sets <result> to TRUE
# when <image> has the content of the test image, whose SHA-256 starts
# <checksum file> (as "sha256sum" writes it).
function(torvex_is_test_image image checksum_file result)
    file(STRINGS "${checksum_file}" line LIMIT_COUNT 1)
    string(REGEX MATCH "^[0-9a-f]+" expected "${line}")
    file(SHA256 "${image}" actual)
    if(actual STREQUAL expected)
        set(${result} TRUE PARENT_SCOPE)
    else()
        set(${result} FALSE PARENT_SCOPE)
    endif()
endfunction()
