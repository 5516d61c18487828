class A
{
}

class B { };
// EXPECT: bad_missing_class_semicolon.gs(5) : parse error, line 5
