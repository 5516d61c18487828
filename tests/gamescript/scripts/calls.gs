// Recursion, overrides, inherited calls, virtual calls through a base view,
// initialisers of every class, and a static class.
static class Util {
  public int Twice(int v) { return v * 2; }
};

class Animal {
  public int legs = 4;
  public string Speak(void) { return "..."; }
  public int Legs(void) { return legs; }
};

class Dog isclass Animal {
  public int tricks = 3;
  public string Speak(void) { return "Woof " + inherited(); }
  public int Legs(void) { return inherited() + Util.Twice(tricks); }
};

class Puppy isclass Dog {
  public string Speak(void) { return "Yip " + inherited(); }
};

class Test {
  public native void Print(string s);
  public int Fib(int n) {
    if (n < 2) return n;
    return Fib(n - 1) + Fib(n - 2);
  }
  public int Main(void) {
    Animal[] all = new Animal[3];
    all[0] = new Animal();
    all[1] = new Dog();
    all[2] = new Puppy();
    int i, legs = 0;
    for (i = 0; i < all.size(); i++) {
      Print(all[i].Speak());
      legs = legs + all[i].Legs();
      if (all[i].isclass(Dog)) Print("a dog");
    }
    Dog d = cast<Dog>all[2];
    if (d != null) Print("cast ok");
    Dog none = cast<Dog>all[0];
    if (none == null) Print("cast null");
    Print((string)legs);
    return Fib(20);
  }
};
