# Turns a binary file into a C++ source that defines orv::kCarriedHrtfData.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR byteCount "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}
"// Generated from the committed HRTF data file; do not edit.\n#include <cstddef>\nnamespace orv {\nextern const unsigned char kCarriedHrtfData[];\nextern const std::size_t kCarriedHrtfDataSize;\nalignas(16) const unsigned char kCarriedHrtfData[] = {\n${bytes}0x00};\n// One zero byte follows the records; it is passed along but never read.\nconst std::size_t kCarriedHrtfDataSize = ${byteCount} + 1;\n}\n")
