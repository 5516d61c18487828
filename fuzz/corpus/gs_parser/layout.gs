// Three generations: every class is laid out after all it inherits.
class Vehicle
{
  int wheels, seats;
  void Start() { }
};

class Train isclass Vehicle
{
  float speed;
  void Start() { }
  void Stop() { }
};

final class Express isclass Train
{
  string name;
  void Announce(string text, int platform) { }
};

class Two isclass Vehicle, Mixin { };
class Mixin { int m; void Mix() { } };

// LAYOUT: Vehicle 2 0
// LAYOUT: Train 6 1 Vehicle:2:0
// LAYOUT: Express 9 3 Train:2:0 Vehicle:4:0*
// LAYOUT: Two 9 2 Vehicle:2:0 Mixin:6:1
// LAYOUT: Mixin 2 0
