# Turns one file into a C++ source holding its bytes as an array, so a page
# can be compiled into a program. Run as a script at build time:
#
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -DSYMBOL=name -P embed_file.cmake
#
# The source defines `const unsigned char SYMBOL[]` (the bytes, plus one NUL
# that is not counted) and `const size_t SYMBOL_len`, with C linkage.
if(NOT INPUT OR NOT OUTPUT OR NOT SYMBOL)
  message(FATAL_ERROR "embed_file.cmake needs INPUT, OUTPUT and SYMBOL")
endif()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_count "${hex_len} / 2")
# Sixteen bytes a line keeps the generated file readable in a diff viewer.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n  " bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp"
"/* Generated from ${INPUT} by embed_file.cmake; do not edit. */
#include <stddef.h>

extern \"C\" {
extern const unsigned char ${SYMBOL}[];
extern const size_t ${SYMBOL}_len;
const unsigned char ${SYMBOL}[] = {
  ${bytes}0x00};
const size_t ${SYMBOL}_len = ${byte_count};
}
")
# Rewriting only on change keeps a rebuild from recompiling for nothing.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
