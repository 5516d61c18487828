// gsrun --game DataScenario
// Local data kept by the asset database under a lower-cased name, profile
// data (not kept), the offline boxes (the inbox of the user data's cache
// holds one message and one entry that is none), and a locked Soup given to
// GetLocalData, which stops the script.
include "player.gs"

class DataScenario isclass Player {
  thread void Init(void) {
    Start();
    Soup paint = Constructors.NewSoup();
    paint.SetNamedTag("colour", "red");
    Test.Print("set local data: " + oa.SetLocalData("Paint", paint));
    Soup got = Constructors.NewSoup();
    Test.Print("get local data: " + oa.GetLocalData("PAINT", got) + " " + got.GetNamedTag("colour"));
    Soup none = Constructors.NewSoup();
    Test.Print("get unknown local data: " + oa.GetLocalData("nothing", none) + " " + none.CountTags());
    Test.Print("profile data: " + oa.GetProfileData("x", none) + " " + oa.SetProfileData("x", none));

    Test.Print("offline posts: " + oa.PostOfflineMessage(Note("a")) + " " + oa.PostOfflineMessage(Note("b")));
    Soup in = Constructors.NewSoup();
    Test.Print("offline collect: " + oa.CollectOfflineMessage(in) + " " + in.GetNamedTag("n"));
    Test.Print("offline collect: " + oa.CollectOfflineMessage(in));

    Test.Print("a locked soup:");
    oa.GetLocalData("paint", got.GetLockedReference());
    Test.Print("not reached");
  }
};
