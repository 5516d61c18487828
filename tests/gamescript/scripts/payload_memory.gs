// gsrun --game -m64 Holder
// A payload counts against the script memory limit (64 MiB here) for as
// long as its message lives, also while a thread keeps the message queued:
// sends of megabyte payloads that a busy thread queues stop being sent, with
// the overflow report, once the limit is reached.
include "gs.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
};

class Holder isclass GameObject {
  thread void Hold(void) {
    Message m;
    int held = 0;
    while (1) {
      wait() {
        on "Big", "", m: held++;
        on "Done", "", m: {
          if (held > 16 and held < 64) Test.Print("held fewer payloads than were sent");
          else Test.Print("held " + held + " payloads");
          return;
        }
      }
    }
  }
  thread void Init(void) {
    Hold();
    Sleep(0.3);
    string big = "x";
    int i;
    for (i = 0; i < 20; i++) big = big + big;
    Soup payload = Constructors.NewSoup();
    payload.SetNamedTag("big", big);
    for (i = 0; i < 64; i++) SendMessage(me, "Big", "", payload);
    SendMessage(me, "Done", "");
  }
};
