// A group of users on the online-access service, made or joined through an
// OnlineAccess object. It messages itself on changes: ("OnlineGroup",
// "StatusChange"), ("OnlineGroup", "UsersChange"), ("OnlineGroup",
// "ReceiveMessage"), and ("OnlineGroup.UserAdded" / "OnlineGroup.UserRemoved" /
// "OnlineGroup.UserStatus", member name).
// Status: 0 not connected, 1 connecting, 2 joined, 3 closed.
include "Soup.gs"

final class OnlineGroup isclass GameObject {
  public native void Connect(void);
  public native int GetStatus(void);
  public native void Disconnect(void);
  public native string GetOnlineGroupCookie(void);
  public native void AddUser(string name);
  public native void RemoveUser(string name);
  public native int CountUsers(void);
  public native string GetIndexedUser(int index);
  public native int FindUser(string name);
  public native int GetUserStatus(int index);
  public native int PostMessage(Soup message);
  public native int CollectMessage(string text, Soup message);
  public native void SetModeFlags(int set, int clear);
  public native void SetUserModeFlags(string name, int set, int clear);
  public native int GetUserModeFlags(string name);
};
