// EXPECT: bad_empty.gs(2) : parse error, line 2
