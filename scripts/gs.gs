// The script classes every game script builds on: the root of script
// objects, game objects that exchange messages, the message a handler or a
// wait receives, the router, and the string and math helpers. Each native
// method here is one record of the runtime's built-in table.

class GSObject {
  // The name of the object's script class.
  public native string GetGSClassName(void);
};

// A node of its context's router. Its thread methods run over time; its
// handlers run when messages arrive.
game class GameObject isclass GSObject {
  // Delivers a message at once; dest null sends to every subscriber.
  public native void SendMessage(GameObject dest, string major, string minor);
  public native void SendMessage(GameObject dest, string major, string minor, GSObject paramSoup);
  // Queues a message, delivered after delay seconds (0: on the next step).
  public native void PostMessage(GameObject dest, string major, string minor, float delay);
  public native void PostMessage(GameObject dest, string major, string minor, GSObject paramSoup, float delay);
  // Drops this object's delayed messages of that major and minor ("": any minor).
  public native void ClearMessages(string major, string minor);
  // Runs target's method handler(Message) for every message of that major
  // and minor ("": any) this object receives; an empty handler removes it.
  public native void AddHandler(GameObject target, string major, string minor, string handler);
  // Hands target a copy of every such message this object receives.
  public native void Sniff(GameObject target, string major, string minor, bool enable);
  // Suspends the calling thread for that many seconds.
  public native void Sleep(float seconds);
  public native int GetId(void);
  public native string GetName(void);
  // Reports the text as a script error; the thread goes on.
  public native void Exception(string text);
};

// A message as a handler or a wait receives it.
class Message isclass GSObject {
  public string major;
  public string minor;
  public GameObject src;
  public GameObject dst;
  public GSObject paramSoup;
};

static class Router {
  public native GameObject GetGameObject(int id);
  // The same search over the routers of every context.
  public native GameObject GetForeignGameObject(int id);
  public native GameObject GetGameObject(string name);
  public native void Info(void);
  public native void PostMessage(int src, int dst, string major, string minor, float delay);
};

static class Str {
  public native void TrimLeft(string s, string set);
  public native void TrimRight(string s, string set);
  public native int ToInt(string s);
  public native float ToFloat(string s);
  public native void ToUpper(string s);
  public native void ToLower(string s);
  public native string[] Tokens(string s, string delimiters);
  public native int UnpackInt(string s);
  public native float UnpackFloat(string s);
  public native string UnpackString(string s);
  public native int Find(string s, string sub, int start);
};

static class Math {
  public native float Rand(float a, float b);
  public native int Rand(int a, int b);
  public native float Sqrt(float x);
};
