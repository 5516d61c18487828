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

  public Signal[] history;

  // Messages stored into an element and into a member of another object.
  thread void Record(int slot) {
    history = new Signal[4];
    wait() {
      on "Log", "Slot", history[slot]: slot++;
      on "Log", "Partner", partner.partner: break;
    }
  }

  public void Start(void) { Watch(3); Record(0); }
};
