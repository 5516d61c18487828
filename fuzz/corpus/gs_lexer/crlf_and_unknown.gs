// tokens: if ( IDENTIFIER SYMBOL_LTE CONSTANT_INT and ! IDENTIFIER ) IDENTIFIER SYMBOL_INC ;
// tokens: SYMBOL_UNKNOWN IDENTIFIER SYMBOL_UNKNOWN
// last line: 6
/* block
 comment */ if (a <= 3 and !b) a++;
#x?
