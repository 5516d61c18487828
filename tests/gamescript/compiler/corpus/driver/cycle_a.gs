// result: 0
// expect: Library '$DIR/cycle_a.gsl' not written: code generation is not available yet.
include "cycle_b.gs"
include "cycle_a.gs"
class CycleA { };
