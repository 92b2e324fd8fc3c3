# cmake -DINPUT=FILE -DOUTPUT=HEADER -DNAME=IDENTIFIER -P EmbedFile.cmake
# Writes HEADER holding FILE's bytes as `inline constexpr unsigned char IDENTIFIER[]`, so a
# program carries small images without files beside it at run time.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
if(digits EQUAL 0)
  message(FATAL_ERROR "EmbedFile: ${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line (CMake's expressions know no repeat counts).
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
get_filename_component(source "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
     "// Generated at build time from ${source}; edit the image, not this file.\n"
     "#pragma once\n"
     "inline constexpr unsigned char ${NAME}[] = {\n    ${bytes}\n};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
