// gsrun --game Worker 2
// Thread methods started on this and on another game object, with their
// arguments; sleeps counted in steps of 0.1 s; a thread that fails stops
// alone; the 65th thread of one object is refused, and one message resumes
// every thread waiting for it.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Worker isclass GameObject {
  public thread void Count(int from, string label) {
    int i;
    for (i = from; i < from + 3; i++) {
      Test.Print(label + " " + i + " on " + GetName());
      Sleep(0.2);
    }
  }
  public thread void Idle(void) {
    wait() {
      on "Stop", "": ;
    }
  }
  public thread void Fail(void) {
    Worker w;
    w.GetId();
  }
  void Spawn(int n) {
    int i;
    for (i = 0; i < n; i++) Idle();
  }
  public thread void Crowd(void) {
    Spawn(63);
    Test.Print("64 threads");
    Spawn(1);
    Test.Print("unreached");
  }
  thread void Init(void) {
    if (GetName() != "Worker1") return;
    Worker other = cast<Worker> Router.GetGameObject("Worker2");
    other.Count(5, "other");
    Count(1, "self");
    Fail();
    Sleep(1.0);
    Test.Print("slept ten steps");
    Crowd();
    PostMessage(me, "Stop", "", 0.5);
  }
};
