// gsrun --game JoinScenario
// A group opened by its key: no cookie until joined, the service's member
// list (its host and us) in place of ours, a member added and then given
// flags as the service reports back, a member removed (the service's removal
// of a name no longer listed changes nothing), mode flags, and Disconnect.
include "player.gs"

class JoinScenario isclass Player {
  OnlineGroup group;

  thread void Init(void) {
    Start();
    oa.Connect();
    while (oa.GetStatus() != 7) Sleep(0.1);
    group = oa.OpenGroup("club", 3);
    Watch(group, "OnlineGroup");
    Watch(group, "OnlineGroup.UserAdded");
    Watch(group, "OnlineGroup.UserRemoved");
    Watch(group, "OnlineGroup.UserStatus");
    Test.Print("opened: " + Members(group));
    while (group.GetStatus() != 2) Sleep(0.1);
    Sleep(0.1);
    Test.Print("joined: " + Members(group) + ", host flags " + group.GetUserModeFlags("HOST"));

    group.AddUser("bob");
    Test.Print("added: " + Members(group) + ", bob's status " + group.GetUserStatus(2));
    Sleep(0.2);
    Test.Print("reported: bob's status " + group.GetUserStatus(2));
    group.SetUserModeFlags("BOB", 6, 2);
    Sleep(0.2);
    Test.Print("bob's flags " + group.GetUserModeFlags("bob"));
    group.RemoveUser("Bob");
    Sleep(0.2);
    Test.Print("removed: " + group.CountUsers() + " member(s)");
    group.SetModeFlags(1, 0);

    group.Disconnect();
    Sleep(0.1);
    Test.Print("disconnected: " + Members(group));
    group = null;
    Finish();
  }
};
