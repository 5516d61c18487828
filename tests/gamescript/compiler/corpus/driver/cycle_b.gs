// result: 0
// expect: Library '$DIR/cycle_b.gsl' not written: code generation is not available yet.
include "Cycle_A.gs"
class CycleB { };
