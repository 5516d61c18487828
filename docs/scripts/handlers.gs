// Message handlers: they run on the context's one static thread.
include "gs.gs"

static class Test {
  public native void Print(string s);
};

class Bell isclass GameObject {
  void Rung(Message msg) {
    Test.Print(GetName() + " rung by " + msg.src.GetName());
    Sleep(5.0);
    Test.Print(GetName() + " did not sleep");
    PostMessage(msg.src, "Bell", "Answer", 0.0);
    SendMessage(msg.src, "Bell", "Answer");
    Test.Print("not printed");
  }

  void Answered(Message msg) {
    Test.Print(GetName() + " got the answer of " + msg.src.GetName());
  }

  thread void Init(void) {
    AddHandler(me, "Bell", "Ring", "Rung");
    AddHandler(me, "Bell", "Answer", "Answered");
    if (GetName() == "Bell1") {
      Sleep(0.5);
      SendMessage(Router.GetGameObject("Bell2"), "Bell", "Ring");
      Test.Print("Bell1 slept and rang");
    }
  }
};
