// result: 0
// (compiles to a library)
include "Cycle_A.gs"
class CycleB { };
