// tokens: include CONSTANT_STRING ; IDENTIFIER & & IDENTIFIER SYMBOL_RIGHT_SHIFT = IDENTIFIER
// last line: 4
include "gs.gs";
a && b >>= c
/* unterminated comment ends the input
class X {};
