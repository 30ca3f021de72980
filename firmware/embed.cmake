# Turns a firmware file into the C++ array CAN_bin and its length CAN_bin_len,
# with the file's name and SHA-256 for the program's --version, and whether it
# is the project's test image (whose checksum file is TEST_SHA256_FILE).
# Usage: cmake -DINPUT=<image> -DOUTPUT=<source.cpp> -DTEST_SHA256_FILE=<file> -P embed.cmake
file(SIZE "${INPUT}" length)
file(READ "${INPUT}" hex HEX)
file(SHA256 "${INPUT}" sha256)
include("${CMAKE_CURRENT_LIST_DIR}/test-image.cmake")
torvex_is_test_image("${INPUT}" "${TEST_SHA256_FILE}" test_image)
if(test_image)
    set(test_image true)
else()
    set(test_image false)
endif()
get_filename_component(name "${INPUT}" NAME)
string(REPLACE "\\" "\\\\" name "${name}")
string(REPLACE "\"" "\\\"" name "${name}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
if(length EQUAL 0)
    # An array cannot be empty; the length says that no byte of it is used.
    set(bytes "0x00")
endif()
file(WRITE "${OUTPUT}.tmp"
    "// Generated from ${INPUT}; do not edit.\n"
    "#include <cstdint>\n\n"
    "extern const unsigned char CAN_bin[];\n"
    "extern const uint32_t CAN_bin_len;\n"
    "extern const char CAN_bin_name[];\n"
    "extern const char CAN_bin_sha256[];\n"
    "extern const bool CAN_bin_is_test_image;\n\n"
    "const unsigned char CAN_bin[] = {\n${bytes}\n};\n"
    "const uint32_t CAN_bin_len = ${length}U;\n"
    "const char CAN_bin_name[] = \"${name}\";\n"
    "const char CAN_bin_sha256[] = \"${sha256}\";\n"
    "const bool CAN_bin_is_test_image = ${test_image};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
