// A script's handle on the online-access service, one per context and asset.
// It messages itself with ("OnlineAccess", "StatusChange") and
// ("OnlineAccess", "ReceiveMessage").
// Results: 0 done, 1 not online, 4 refused (too many posts), 6 nothing waiting.
include "OnlineGroup.gs"

final class OnlineAccess isclass GameObject {
  public native void Connect(void);
  public native int GetStatus(void);
  public native void Disconnect(void);
  public native string GetUsername(void);
  public native int GetLocalData(string name, Soup data);
  public native int SetLocalData(string name, Soup data);
  public native int GetProfileData(string name, Soup data);
  public native int SetProfileData(string name, Soup data);
  public native int PostMessage(string text, Soup message);
  public native int CollectMessage(string text, Soup message);
  public native OnlineGroup CreateGroup(int mode);
  public native OnlineGroup OpenGroup(string key, int mode);
  public native int PostOfflineMessage(Soup message);
  public native int CollectOfflineMessage(Soup message);
};
