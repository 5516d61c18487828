// gsrun --game -m64 Checker
// Objects of an asset (64 MiB of script memory here) whose string table
// holds an entry of 4,096 "$0": substituting a 256 KiB parameter would give
// a 1 GiB text, refused before it is made; string-table parameters and the
// rights of security tokens count against the limit, and merging a
// thousand references to five tokens of 20,000 rights each takes a moment.
include "Rovana.gs"
include "Constructors.gs"

static class Test {
  public native void Print(string s);
  public native GameObject NewObject(KUID asset, string source);
};

class Checker isclass GameObject {
  string Object(string body) {
    return "include \"Rovana.gs\"\nclass CustomObject isclass RovanaGameObject {\n" +
           "  string Text(int bytes) { string t = \"x\"; while (t.size() < bytes) t = t + t; return t; }\n" +
           "  public void Init(Asset self) {\n" + body + "  }\n};\n";
  }

  thread void Init(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", "<kuid:523:310>");
    KUID notes = s.GetNamedTagAsKUID("k");
    Test.NewObject(notes, Object(
        "    StringTable strings = self.GetStringTable();\n" +
        "    strings.SetParam(0, Text(262144));\n" +
        "    World.Log(\"one parameter: \" + strings.GetString(\"many\").size());\n"));
    Test.NewObject(notes, Object(
        "    StringTable strings = self.GetStringTable();\n" +
        "    string big = Text(8388608);\n" +
        "    int i;\n" +
        "    for (i = 0; i < 10; i++) strings.SetParam(i, big + i);\n" +
        "    World.Log(\"ten parameters held\");\n"));
    Test.NewObject(notes, Object(
        "    string[] rights = new string[20000];\n" +
        "    int i;\n" +
        "    for (i = 0; i < 20000; i++) rights[i] = \"right-\" + i;\n" +
        "    SecurityToken[] tokens = new SecurityToken[1000];\n" +
        "    for (i = 0; i < 1000; i++) {\n" +
        "      if (i < 5) tokens[i] = IssueSecurityToken(self.GetKUID(), rights);\n" +
        "      else tokens[i] = tokens[i % 5];\n" +
        "    }\n" +
        "    SecurityToken merged = MergeSecurityTokens(tokens);\n" +
        "    World.Log(\"merged: \" + Validate(merged, self.GetKUID(), \"right-19999\"));\n" +
        "    tokens = new SecurityToken[100];\n" +
        "    for (i = 0; i < 100; i++) tokens[i] = IssueSecurityToken(self.GetKUID(), rights);\n" +
        "    World.Log(\"a hundred tokens held\");\n"));
    Test.Print("done");
  }
};
