// tokens: class IDENTIFIER { public void IDENTIFIER ( int SYMBOL_OP_DIM IDENTIFIER ) { IDENTIFIER = CONSTANT_HEX + CONSTANT_INT * CONSTANT_FLOAT ; } } ;
// last line: 6
class Foo {
  public void Run(int[] xs) {
    y = 0xFF + 12 * .25; // trailing
  } };
