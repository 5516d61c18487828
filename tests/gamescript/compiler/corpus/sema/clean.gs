// A source that uses every checked construct correctly: no message.
static class Limits
{
  public define int MAX = 4 * 25;
  public define float RATIO = 3 / 2;
  public define string LABEL = "limits";
  public define bool ON = 1 < 2 and 3 > 2;
  public int used;
};

class Message { public string major; };

class Vehicle
{
  public int wheels = Limits.MAX / 50;
  public float speed;
  public define int DOORS = 2;

  public int Wheels() { return wheels; }
  public void Accelerate(float by) { speed = speed + by; }
  public void Accelerate(int by) { Accelerate(cast<float> by * 2); }
  final void Stop() { speed = 0; }
};

game class Train isclass Vehicle
{
  Vehicle[] cars;
  string name = Limits.LABEL + "-" + 7;

  public int Wheels()
  {
    int total = inherited();
    int i;
    for (i = 0; i < cars.size(); i++) {
      if (cars[i] == null)
        continue;
      total = total + cars[i].Wheels();
    }
    return total;
  }

  thread void Run()
  {
    Message msg;
    int count = 0;
    while (count < Limits.MAX) {
      wait() {
        on "Train", "Stop", msg: {
          Stop();
          break;
        }
        on "Train", "Go": count++;
      }
      switch (count % 3) {
        case 0: Accelerate(1); break;
        case -1 + 2: Accelerate(0.5); break;
        default: ;
      }
    }
  }

  void Couple(Vehicle v)
  {
    Vehicle[] more = new Vehicle[cars.size() + 1];
    more[0, cars.size()].copy(cars);
    more[cars.size()] = v;
    cars = more;
    if (v.isclass(Train))
      name = name[0, 3] + (cast<Train> v).name;
    string letters = "abc";
    letters[0] = 'x';
    Limits.used = Limits.used + 1;
    bool fast = speed > Limits.RATIO or !Limits.ON;
    int doors = Vehicle.DOORS + v.DOORS;
  }
};
