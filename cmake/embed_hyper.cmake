# Turns the hyper bootloader file into a C++ source with a constant array, and says whether it
# is the repository's stand-in (the same bytes as STANDIN).
file(READ "${INPUT}" hex HEX)
file(SHA256 "${INPUT}" input_hash)
file(SHA256 "${STANDIN}" standin_hash)
if(input_hash STREQUAL standin_hash)
  set(is_standin true)
else()
  set(is_standin false)
endif()
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n"
  "#include \"image/pad_image.h\"\n"
  "const std::array<uint8_t, HyperBootloaderSize> HyperBootloaderImage = {\n${bytes}\n};\n"
  "static_assert(${byte_count} == HyperBootloaderSize);\n"
  "const bool HyperBootloaderIsStandIn = ${is_standin};\n")
