static class Tools { };
final class Sealed { };
game class Actor { };

class A isclass Tools { };
class B isclass Sealed { };
class C isclass Actor { };
// EXPECT: static_final.gs(5) : Cannot extend static class Tools, line 5.
// EXPECT: static_final.gs(6) : Cannot extend final class Sealed, line 6.
// LAYOUT: C 4 0 Actor:2:0
