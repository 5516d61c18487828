// gsrun --game -m64 Printer
// An HTML buffer's text counts against the script memory limit (64 MiB
// here): appending megabytes stops the thread with a report once the buffer
// would pass it. Appending pays into the run budget, so a loop of
// megabyte appends and clears stops after a bounded number of turns.
include "gs.gs"
include "HTMLBuffer.gs"

static class Test {
  public native void Print(string s);
};

class Printer isclass GameObject {
  int appended, cleared;

  string Megabyte(void) {
    string big = "x";
    int i;
    for (i = 0; i < 20; i++) big = big + big;
    return big;
  }
  thread void Fill(void) {
    string big = Megabyte();
    HTMLBuffer buffer = HTMLBufferStatic.Construct();
    while (appended < 100) {
      buffer.Print(big);
      appended++;
    }
  }
  thread void Churn(void) {
    string big = Megabyte();
    HTMLBuffer buffer = HTMLBufferStatic.Construct();
    while (1) {
      buffer.Escape(big);
      buffer.Clear();
      cleared++;
    }
  }
  thread void Init(void) {
    Fill();
    Sleep(0.3);
    if (appended > 1 and appended < 64) Test.Print("the buffer stopped short of the limit");
    else Test.Print("appended " + appended + " megabytes");
    Churn();
    Sleep(0.3);
    if (cleared > 50 and cleared < 5000) Test.Print("escapes stopped after a bounded number of turns");
    else Test.Print("escapes stopped after " + cleared + " turns");
  }
};
