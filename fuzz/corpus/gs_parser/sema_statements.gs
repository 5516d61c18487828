// Statement checks: conditions, switch, jumps, returns and waits.
class Other { };
class A
{
  void Nothing() { }

  int Conditions(int i)
  {
    if (Nothing())
      i = 1;
    while (Nothing())
      i = 2;
    for (i = 0; Nothing(); i++)
      i = 3;
    for (;;)
      break;
    return i;
  }

  void Switches(int i, float f)
  {
    switch (i) {
      i = 1;
    }
    switch (i) {
      case 1: break;
    }
    switch (f) {
      case 1: break;
      default: break;
    }
    switch (i) {
      case i: break;
      case 2.5: break;
      case 2 * 3: break;
      default: break;
      default: break;
    }
    case 4: i = 2;
    default: i = 3;
  }

  void Jumps(int i)
  {
    break;
    continue;
    switch (i) {
      case 1: continue;
      default: break;
    }
    while (i) {
      switch (i) {
        case 1: continue;
        default: break;
      }
    }
    wait() {
      on "A", "B": break;
    }
  }

  int Returns(A a)
  {
    if (a)
      return;
    return "text";
  }

  Other MakeOther() { return new A(); }

  void VoidReturn() { return 1; }

  int NoReturn(int i) { i = 2; }

  void Waits(int i, A a, string s)
  {
    wait() {
      i = 1;
    }
    wait() {
      on "A", 1: i = 2;
      on "A", "B", i: i = 3;
      on "A", "B", me: i = 4;
      on "A", "B", a: i = 5;
    }
    on "Alone", "Minor": i = 6;
  }
};

// EXPECT: statements.gs(11) : invalid if expression, line 11.
// EXPECT: statements.gs(12) : invalid while expression, line 12.
// EXPECT: statements.gs(14) : invalid for expression, line 14.
// EXPECT: statements.gs(24) : switch statement without case, line 24.
// EXPECT: statements.gs(27) : switch statement without default, line 27.
// EXPECT: statements.gs(31) : switch expression not integral, line 31.
// EXPECT: statements.gs(33) : case expression not constant or integral, line 33.
// EXPECT: statements.gs(34) : case expression not constant or integral, line 34.
// EXPECT: statements.gs(37) : switch already has default, line 37.
// EXPECT: statements.gs(39) : illegal case, line 39.
// EXPECT: statements.gs(40) : illegal default, line 40.
// EXPECT: statements.gs(45) : illegal break, line 45.
// EXPECT: statements.gs(46) : illegal continue, line 46.
// EXPECT: statements.gs(48) : illegal continue, line 48.
// EXPECT: statements.gs(65) : return type mismatch, expecting int, line 65.
// EXPECT: statements.gs(66) : return type mismatch, expecting int, line 66.
// EXPECT: statements.gs(69) : cannot cast from object<A> to object<Other>, line 69.
// EXPECT: statements.gs(71) : return type mismatch, expecting void, line 71.
// EXPECT: statements.gs(73) : expecting return type of int, line 73.
// EXPECT: statements.gs(79) : wait statement must have at least 1 on statement, line 79.
// EXPECT: statements.gs(81) : on statement requires string constant for major and minor message types, line 81
// EXPECT: statements.gs(82) : on statement requires object type for third parameter, line 82
// EXPECT: statements.gs(83) : on statement requires object type for third parameter, line 83
