// gsrun --game -m8 LimitScenario
// Member names a script gives a group, and the keys of the groups it opens,
// are kept while they live: they count against the script memory limit
// (8 MiB here), so a script that adds large ones without end stops with a
// report.
include "player.gs"

class LimitScenario isclass Player {
  OnlineGroup[] opened = new OnlineGroup[0];
  thread void Add(string name) {
    OnlineGroup group = oa.CreateGroup(5);
    int i;
    for (i = 0; i < 64; i++) group.AddUser(name + i);
    Test.Print("members held: " + group.CountUsers());
  }
  thread void Open(string key) {
    int i;
    for (i = 0; i < 64; i++) opened[i] = oa.OpenGroup(key + i, 5);
    Test.Print("groups held: " + opened.size());
  }
  thread void Init(void) {
    Start();
    string name = "x";
    while (name.size() < 1048576) name = name + name;
    Add(name);
    Open(name);
    Sleep(0.5);
    // The owner's Disconnect closes the groups it opened.
    oa.Disconnect();
    opened = null;
  }
};
