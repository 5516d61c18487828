// The parse ends at the first error; later ones are never seen.
class A
{
  void f()
  {
    int x = 1 +;
    int y = );
  }
};
// EXPECT: bad_only_first_error.gs(6) : parse error, line 6
