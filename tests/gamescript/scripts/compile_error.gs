// A source that does not compile: status 255 with the compiler's messages.
class Test {
  public int Main(void) { return undefined_name; }
};
