// Game classes with thread functions, waits and message handlers.
game class Signal {
  public int state;
  public Signal partner;

  thread void Watch(int times) {
    int seen = 0;
    Signal sender;
    while (seen < times) {
      wait() {
        on "Signal", "Red", sender: { state = 1; seen++; }
        on "Signal", "Green": { state = 2; seen++; continue; }
        on "Train", "": break;
      }
      if (sender != null) partner = sender;
    }
    on "Signal", "Reset": state = 0;
  }

  public void Start(void) { Watch(3); }
};
