// A clean file compiles; no library is written yet.
// result: 0
// expect: Library '$DIR/clean.gsl' not written: code generation is not available yet.
class Clean {
  public int count = 3;
};
