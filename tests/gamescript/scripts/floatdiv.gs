// Float division by +0.0 stops the thread; by -0.0 it does not.
class Test {
  public float Main(void) {
    float z = 0.0;
    return 1.0 / z;
  }
};
