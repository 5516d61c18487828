// gsrun --game -m8 LimitScenario
// Member names a script gives a group are kept until it removes them: they
// count against the script memory limit (8 MiB here), so a script that adds
// large names without end stops with a report.
include "player.gs"

class LimitScenario isclass Player {
  thread void Init(void) {
    Start();
    OnlineGroup group = oa.CreateGroup(5);
    string name = "x";
    while (name.size() < 1048576) name = name + name;
    int i;
    for (i = 0; i < 64; i++) group.AddUser(name + i);
    Test.Print("members held: " + group.CountUsers());
  }
};
