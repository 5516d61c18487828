include "gs.gs"

game class Signal isclass GameObject
{
  public define int RED = 0, GREEN = 0x1;
  int state = RED;
  float[] delays;

  public void Init(void)
  {
    delays = new float[4];
    delays[0] = 1.5;
    string s = "state: " + (string)state + '\t';
    Run();
  }

  thread void Run(void)
  {
    while (true) {
      wait() {
        on "Signal", "Change", source : { state = GREEN; break; }
        on "Timer", "" : continue;
      }
      if (state == RED and delays.size() >= 2) state = GREEN; else state = RED;
      Sleep(delays[0]);
    }
  }
};
