// gsrun --game StatusScenario
// Status and message events of an OnlineAccess object: idle until it is asked
// to connect, the login, a post that comes back, and a status change with a
// message waiting, announced in the same step as "ReceiveMessage".
include "player.gs"

class StatusScenario isclass Player {
  thread void Init(void) {
    Start();
    Sleep(0.1);
    Test.Print("status after a step without Connect: " + oa.GetStatus());
    Test.Print("collect while not online: " + Collect());
    Test.Print("user name: " + oa.GetUsername());

    oa.Connect();
    while (oa.GetStatus() != 7) Sleep(0.1);
    Test.Print("online; collect with nothing waiting: " + Collect());

    Test.Print("post: " + oa.PostMessage("hello", Note("one")));
    while (received < 1) Sleep(0.1);
    Test.Print("collect: " + Collect());

    Test.Print("post: " + oa.PostMessage("again", Note("two")));
    Sleep(0.3);
    Test.Print("disconnect with the answer uncollected");
    oa.Disconnect();
    Sleep(0.2);
    Test.Print("status: " + oa.GetStatus());
    Test.Print("collect: " + Collect());
    Test.Print("collect: " + Collect());
    Finish();
  }
};
