// A clean file compiles.
// result: 0
// (compiles to a library)
class Clean {
  public int count = 3;
};
