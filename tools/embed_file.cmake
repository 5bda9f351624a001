# cmake -DIN=file -DOUT=file.cpp -DNAME=Symbol [-DNAMESPACE=ns] -P embed_file.cmake
# Writes a C++ source that holds the bytes of IN and defines
# std::string_view NAMESPACE::NAME() (qelctl by default) returning them, so
# that a program needs no data file at run time (any working directory,
# installed or not).
if(NOT NAMESPACE)
  set(NAMESPACE qelctl)
endif()
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# 16 bytes a line keeps the generated file readable.
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(from "${IN}" NAME)
file(WRITE "${OUT}.tmp"
  "// Generated from ${from} by embed_file.cmake; do not edit.\n"
  "#include <cstddef>\n#include <string_view>\n\n"
  "namespace ${NAMESPACE} {\nnamespace {\n"
  "constexpr unsigned char kBytes[${size} + 1] = {\n    ${bytes}0x00};\n"
  "}  // namespace\n\n"
  "std::string_view ${NAME}() {\n"
  "  return {reinterpret_cast<const char*>(kBytes), std::size_t{${size}}};\n"
  "}\n\n}  // namespace ${NAMESPACE}\n")
# Only a changed file is replaced, so an unchanged input rebuilds nothing.
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
