// Inheritance, overrides, inherited calls, static classes and natives.
static class Tools {
  public native int Clamp(int v, int low, int high);
  public int Twice(int v) { return v * 2; }
};

class Animal {
  public string name;
  public int legs = 4;
  public string Speak(void) { return "..."; }
  public int Legs(void) { return legs; }
};

class Dog isclass Animal {
  public int tricks;
  public string Speak(void) { return "Woof " + inherited(); }
  public int Legs(void) { return inherited() + Tools.Twice(tricks); }
  public void Learn(int n) { tricks = Tools.Clamp(tricks + n, 0, 10); }
};

final class Puppy isclass Dog {
  public string Speak(void) { return "Yip"; }
};

class Kennel {
  public Animal[] animals;
  public int Count(void) {
    int i, legs = 0;
    for (i = 0; i < animals.size(); i++) {
      Animal a = animals[i];
      if (a.isclass(Dog)) {
        Dog d = cast<Dog>a;
        d.Learn(1);
      }
      legs = legs + a.Legs();
    }
    return legs;
  }
  public Animal First(void) { return animals[0]; }
};
