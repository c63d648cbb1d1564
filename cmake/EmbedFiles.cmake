# Writes a C++ source that holds files as std::string_view constants, so that a program carries
# them without reading anything at run time. Run as a script:
#   cmake -DOUTPUT=out.cpp -DHEADER=dir/Header.h -DNAMES=kA,kB -DFILES=a.html,b.css
#         -P EmbedFiles.cmake
# Each name in NAMES is defined in namespace fp from the file at the same place in FILES; the
# header declares them. Every byte is written as an escape, so any content is taken as it is.
string(REPLACE "," ";" NAMES "${NAMES}")
string(REPLACE "," ";" FILES "${FILES}")
list(LENGTH NAMES count)
math(EXPR last "${count} - 1")
set(text "// Made by cmake/EmbedFiles.cmake from the files named below; edit those instead.\n")
string(APPEND text "#include \"${HEADER}\"\n\nnamespace fp {\n")
foreach(i RANGE ${last})
  list(GET NAMES ${i} name)
  list(GET FILES ${i} file)
  file(READ "${file}" hex HEX)
  # 32 bytes a line, each byte as \xNN.
  string(REPEAT "[0-9a-f]" 64 line_pattern)
  string(REGEX REPLACE "(${line_pattern})" "\\1\n" chunked "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${chunked}")
  string(REPLACE "\n" "\"\n    \"" lines "${escaped}")
  get_filename_component(base "${file}" NAME)
  string(APPEND text "\n// ${base}\nconst std::string_view ${name}(\n    \"${lines}\",\n")
  file(SIZE "${file}" size)
  string(APPEND text "    ${size});\n")
endforeach()
string(APPEND text "\n}  // namespace fp\n")
file(WRITE "${OUTPUT}" "${text}")
