// gsrun --game Worker
// The run budget: one run of a thread may execute 16 MiB of byte code, about
// 500,000 turns of the loop in Spin. A thread that sleeps or waits starts its
// next run with the budget whole, so three rounds of 250,000 turns with a
// sleep between them finish; two rounds without one do not.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Worker isclass GameObject {
  int Spin(int turns) {
    int i;
    int sum = 0;
    for (i = 0; i < turns; i++) sum = sum + i % 7;
    return sum;
  }
  public thread void Init(void) {
    int round;
    for (round = 1; round <= 3; round++) {
      Spin(250000);
      Test.Print("round " + round + " done");
      Sleep(0.1);
    }
    Spin(250000);
    Test.Print("one more round done");
    Spin(250000);
    Test.Print("not reached: the budget ran out");
  }
};
