# Writes a C++ source holding the bytes of INPUT as the resource NAME of the
# numbered type TYPE, for the POSIX resource lookup.
# Usage: cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=ID -DTYPE=10 -P EmbedResource.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
if(size EQUAL 0)
  set(bytes "0")
else()
  # Sixteen bytes to a line keeps the source readable in a debugger.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
endif()
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT}; do not edit.
#include \"Streams/Resources.h\"

namespace {
const uint8_t Data[] = {
    ${bytes}
};
const TEmbeddedResource Table[] = {{u\"${NAME}\", ${TYPE}, Data, ${size}}};
}  // namespace

extern \"C\" const TEmbeddedResource* NvxEmbeddedResources(size_t* count) {
    *count = sizeof Table / sizeof Table[0];
    return Table;
}
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
