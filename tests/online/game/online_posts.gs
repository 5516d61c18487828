// gsrun --game PostScenario
// The post credit: 61 posts in one step go, the 62nd is refused with 4, and a
// second later one more goes.
include "player.gs"

class PostScenario isclass Player {
  thread void Init(void) {
    Start();
    oa.Connect();
    while (oa.GetStatus() != 7) Sleep(0.1);
    Soup s = Note("flood");
    int i, refused = -1;
    for (i = 0; i < 62 and refused < 0; i++) {
      int r = oa.PostMessage("flood", s);
      if (r != 0) {
        refused = i;
        Test.Print("post " + (i + 1) + " gave " + r);
      }
    }
    Test.Print("posts accepted in one step: " + refused);
    Test.Print("one more in the same step: " + oa.PostMessage("flood", s));
    Sleep(1.0);
    Test.Print("a second later: " + oa.PostMessage("flood", s));
    Test.Print("and then: " + oa.PostMessage("flood", s));
    Finish();
  }
};
