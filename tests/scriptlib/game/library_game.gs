// gsrun --game Visitor
// A script reaches a library asset of the sample user data: the library
// starts by reading its own config, string table and kuid table and searching
// the assets; the script then calls its plug-in, and makes script objects
// of the asset whose classes are compiled from source texts.
include "Rovana.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
  public native GameObject NewObject(KUID asset, string source);
};

class Visitor isclass GameObject {
  KUID Kuid(string text) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }

  thread void Init(void) {
    KUID greeter = Kuid("<kuid:523:300>");
    Library lib = World.GetLibrary(greeter);
    if (lib == World.GetLibrary(greeter)) Test.Print("one library object per context");
    string[] args = new string[3];
    args[0] = "hello";
    args[2] = "world";
    Test.Print("plug-in echo: " + lib.LibraryCallNative("echo", args, null));
    Test.Print("plug-in inits: " + lib.LibraryCallNative("inits", null, null));
    Test.Print("plug-in unknown: [" + lib.LibraryCallNative("unknown", args, null) + "]");
    Test.Print("plug-in lent: " + lib.LibraryCallNative("lent-name", args, null) + ", [" +
               lib.LibraryCallNative("lent-array", args, null) + "], " +
               lib.LibraryCallNative("lent-first", args, null));

    GameObject made = Test.NewObject(greeter, "include \"Rovana.gs\"\ninclude \"greeter.gs\"\n\n" +
        "class CustomObject isclass Greeter\n{\n  public void Init(Asset self)\n  {\n" +
        "    inherited(self);\n    World.Log(\"custom object of \" + self.GetLocalisedName());\n  }\n};\n");
    if (made) Test.Print("made a " + made.GetGSClassName());
    if (!Test.NewObject(greeter, "class CustomObject isclass {"))
      Test.Print("a source that does not compile makes no object");
    if (!World.GetLibrary(Kuid("<kuid:523:301>"))) Test.Print("the shed is no library");
  }
};
