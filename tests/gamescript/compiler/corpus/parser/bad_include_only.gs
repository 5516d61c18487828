// A file needs at least one class.
include "a.gs"
include "b.gs"
// EXPECT: bad_include_only.gs(5) : parse error, line 5
