// gsrun --game GroupScenario
// A group made while the login is still going: joined with its events, its
// member list, a name added again in another letter case (nothing sent), a
// group post that comes back, and the owner's Disconnect, which closes it.
include "player.gs"

class GroupScenario isclass Player {
  OnlineGroup group;

  thread void Init(void) {
    Start();
    oa.Connect();
    group = oa.CreateGroup(5);
    Watch(group, "OnlineGroup");
    Watch(group, "OnlineGroup.UserAdded");
    Watch(group, "OnlineGroup.UserRemoved");
    Watch(group, "OnlineGroup.UserStatus");
    Test.Print("made: " + Members(group));
    while (group.GetStatus() != 2) Sleep(0.1);
    Sleep(0.1);
    Test.Print("joined: " + Members(group));

    group.AddUser("TESTER");
    group.AddUser("alice");
    Test.Print("added: " + Members(group));
    group.RemoveUser("ALICE");
    Test.Print("removed: " + Members(group));

    Soup s = Note("g");
    Test.Print("group post: " + group.PostMessage(s));
    while (received < 1) Sleep(0.1);
    string text = "-";
    Soup got = Constructors.NewSoup();
    Test.Print("group collect: " + group.CollectMessage(text, got) + ":" + text + ":" + got.GetNamedTag("n"));
    Test.Print("group collect: " + group.CollectMessage(text, got));

    oa.Disconnect();
    Sleep(0.1);
    Test.Print("owner gone: " + Members(group));
    Test.Print("group post: " + group.PostMessage(s) + ", collect: " + group.CollectMessage(text, got));
    group = null;
    Finish();
  }
};
