# Writes the bytes of the file IN into the C++ source OUT as the array NAME
# (unsigned char, with a terminating 0 not counted) and NAME_size.
#   cmake -DIN=page.html -DOUT=page.cpp -DNAME=console_page -P embed.cmake
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR bytes "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
file(WRITE "${OUT}.tmp"
     "// Made by service/embed.cmake from ${IN}: do not edit.\n"
     "#include <cstddef>\n"
     "extern const unsigned char ${NAME}[];\n"
     "extern const size_t ${NAME}_size;\n"
     "const unsigned char ${NAME}[] = {${body}0};\n"
     "const size_t ${NAME}_size = ${bytes};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
