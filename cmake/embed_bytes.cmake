# Turns a file into a C++ byte array, so that the host build serves the entry
# listing from the very bytes that the .rc embeds in the real program.
# Inputs: IN (file), OUT (generated .cpp), SYMBOL (array name).
file(READ "${IN}" hex HEX)
file(SIZE "${IN}" size)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}"
  "// Generated from ${IN}; do not edit.\n"
  "#include <cstddef>\n"
  "extern const unsigned char ${SYMBOL}[] = {${bytes} 0};\n"
  "extern const std::size_t ${SYMBOL}Size = ${size};\n")
