// Includes first, then classes with every specifier and base lists.
include "gs.gs"
include "Sub/Other.GS"

class Plain { };

public native final thread static game secured define class AllSpecifiers { };

game class Derived isclass Plain, Other
{
  public int count = 0, total;
  define string NAME = "derived";
  float[] weights;
  Plain[] friends;

  public void Reset(void);
  public native int Native(int a, string b, Plain[] c);
  final Plain Make(void[] nothing) { return null; }
  thread void Run() { }
  object Self() { return me; }
};
