// A class may not reach itself through its bases, and no class may inherit
// the same ancestor twice (a diamond counts as a cycle).
class Self isclass Self { };

class Ping isclass Pong { };
class Pong isclass Ping { };

class Base { };
class Left isclass Base { };
class Right isclass Base { };
class Diamond isclass Left, Right { };
class Twice isclass Base, Base { };
// EXPECT: cycles.gs(3) : Class Self and Self causes cyclic derivation, line 3.
// EXPECT: cycles.gs(6) : Class Ping and Pong causes cyclic derivation, line 6.
// EXPECT: cycles.gs(11) : Class Right and Base causes cyclic derivation, line 11.
// EXPECT: cycles.gs(12) : Class Base and Base causes cyclic derivation, line 12.
// LAYOUT: Left 4 0 Base:2:0
