// result: 0
// (compiles to a library)
include "cycle_b.gs"
include "cycle_a.gs"
class CycleA { };
