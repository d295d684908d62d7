# Turns the hyper bootloader file into a C++ source with a constant array.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n"
  "#include \"image/pad_image.h\"\n"
  "const std::array<uint8_t, HyperBootloaderSize> HyperBootloaderImage = {\n${bytes}\n};\n"
  "static_assert(${byte_count} == HyperBootloaderSize);\n")
