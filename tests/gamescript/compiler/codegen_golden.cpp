#include <gtest/gtest.h>

#include "tests/gamescript/compiler/codegen_support.h"

using namespace CodegenTest;

// Listings below were worked out by hand from the instruction table: cells are
// counted from `me` (0), then parameters, locals and temporaries; member cells
// start at 2 and a base class's part comes before the class's own members.

TEST(CodegenGolden, LoopsWithBreakAndContinueAndSwitchWithUnorderedKeys)
{
    Built b = Build(R"(class A {
  public int count;
  public void Loop(int n) {
    int i;
    for (i = 0; i < n; i++) {
      if (i == 3) continue;
      if (i > 7) break;
      count = count + i;
    }
    while (count > 0) count--;
    switch (n) { case 3: count = 1; break; case 1: count = 2; case 2: break; default: count = 0; }
  }
};
)");
    ASSERT_EQ(b.errors, 0) << b.Log();
    EXPECT_EQ(b.problem, "");
    EXPECT_EQ(b.Listing("A", "Loop"),
              "0000: PUSHK 0\n0005: STL 2\n"                          // i = 0
              "0008: LDL 2\n000b: LDL 1\n000e: CMPI\n000f: LT\n0010: JZ 0053\n"
              "0015: LDL 2\n0018: PUSHK 3\n001d: CMPI\n001e: EQ\n001f: JZ 0029\n"
              "0024: JMP 0047\n"                                      // continue: to the step
              "0029: LDL 2\n002c: PUSHK 7\n0031: CMPI\n0032: GT\n0033: JZ 003d\n"
              "0038: JMP 0053\n"                                      // break: past the loop
              "003d: LDS 2\n0040: LDL 2\n0043: ADDI\n0044: STS 2\n"
              "0047: LDL 2\n004a: INCI\n004b: STL 2\n004e: JMP 0008\n"
              "0053: LDS 2\n0056: PUSHK 0\n005b: CMPI\n005c: GT\n005d: JZ 006e\n"
              "0062: LDS 2\n0065: DECI\n0066: STS 2\n0069: JMP 0053\n"
              "006e: LDL 1\n"
              "0071: SWITCH 1 -> 009d, 2 -> 00a5, 3 -> 0090, default -> 00aa\n"
              "0090: PUSHK 1\n0095: STS 2\n0098: JMP 00b2\n"
              "009d: PUSHK 2\n00a2: STS 2\n"                          // falls into case 2
              "00a5: JMP 00b2\n"
              "00aa: PUSHK 0\n00af: STS 2\n"
              "00b2: RET\n");
    const LibraryCheck::Function* f = b.Find("A", "Loop");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->locals, 1u);
    EXPECT_EQ(f->frameSize - f->stackAdvance, 2u);  // deepest point: two operands
    // Lines: one entry per change of source line, in code order.
    ASSERT_FALSE(f->lines.empty());
    EXPECT_EQ(f->lines.front(), (std::pair<uint32_t, uint32_t>{0, 5}));
    EXPECT_EQ(f->lines.back().second, 12u);  // the RET added at the closing brace
}

TEST(CodegenGolden, SwitchWithoutDefaultEndsAtTheEndAndDuplicatesAreRefused)
{
    Built b = Build("class A {\n public int v;\n public void F(int n) {\n"
                    "  switch (n) { case 5: v = 1; default: v = 2; }\n"
                    "  switch (n) { case 2: case 2: break; default: break; }\n }\n};\n");
    EXPECT_EQ(b.errors, 1);
    EXPECT_EQ(b.log, (std::vector<std::string>{"m.gs(5) : case has duplicate value, line 5",
                                               ".. while compiling 'm.gs'"}));

    Built c = Build("class A {\n public int v;\n public void F(int n) {\n"
                    "  switch (n) { case 5: v = 1; break; default: break; }\n v = 3;\n }\n};\n");
    ASSERT_EQ(c.errors, 0) << c.Log();
    EXPECT_EQ(c.Listing("A", "F"), "0000: LDL 1\n0003: SWITCH 5 -> 0012, default -> 001f\n"
                                   "0012: PUSHK 1\n0017: STS 2\n001a: JMP 0024\n"
                                   "001f: JMP 0024\n"
                                   "0024: PUSHK 3\n0029: STS 2\n002c: RET\n");
}

TEST(CodegenGolden, WaitsAndOnStatements)
{
    Built b = Build(R"(game class G {
  public G next;
  public int value;
  public void Waits(void) {
    G got;
    wait() {
      on "Major", "Minor": { value = 1; }
      on "Other", "", got: break;
    }
    on "Solo", "One": value = 2;
    on "Solo", "Two", next: value = 3;
  }
};
)");
    ASSERT_EQ(b.errors, 0) << b.Log();
    EXPECT_EQ(b.problem, "");
    EXPECT_EQ(b.Listing("G", "Waits"),
              "0000: WAIT 0 \"Major\"/1 \"Minor\" -> 0013, 2 \"Other\"/3 \"\" -> 0021\n"
              "0013: POPO\n0014: PUSHK 1\n0019: STS 3\n"
              "001c: JMP 002c\n"                                 // end of the first handler
              "0021: CAST 0\n0024: STLO 1\n0027: JMP 002c\n"       // message into `got`; break
              "002c: WAIT 4 \"Solo\"/5 \"One\" -> 0037\n"          // an on waits by itself
              "0037: POPO\n0038: PUSHK 2\n003d: STS 3\n"
              "0040: WAIT 4 \"Solo\"/6 \"Two\" -> 004b\n"
              "004b: CAST 0\n004e: STSO 2\n0051: PUSHK 3\n0056: STS 3\n0059: RET\n");
    const LibraryCheck::Function* f = b.Find("G", "Waits");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->referenceCells, (std::vector<int32_t>{1}));
}

TEST(CodegenGolden, MemberArrayAndStringStores)
{
    Built b = Build(R"(class Node {
  public Node next;
  public int value;
};
class A isclass Node {
  public int[] items;
  public string text;
  public void Stores(Node other, string s) {
    other.value = 4;
    items[2] = other.value = 5;
    text = s;
    text = "lit";
    text = s + 1;
    text = other.next.next == null;
    s[0] = 65;
    other.next = me;
    items[1, 3] = items;
    items.copy(items);
  }
};
)");
    ASSERT_EQ(b.errors, 0) << b.Log();
    EXPECT_EQ(b.problem, "");
    EXPECT_EQ(b.Listing("A", "Stores"),
              "0000: LDLO 1\n0003: PUSHK 4\n0008: STM 3\n"
              "000b: LDSO 6\n000e: PUSHK 2\n0013: LDLO 1\n0016: PUSHK 5\n001b: STMK 3\n001e: STA\n"
              "001f: LDLO 2\n0022: SCOPY\n0023: STSO 7\n"            // a string from a variable is copied
              "0026: LDSTR 0 \"lit\"\n0029: STSO 7\n"                 // a literal is a new string already
              "002c: LDLO 2\n002f: PUSHK 1\n0034: ITOS\n0035: SCAT\n0036: STSO 7\n"
              "0039: LDLO 1\n003c: LDMO 2\n003f: LDMO 2\n0042: PUSH0\n0043: CMPO\n0044: EQ\n0045: BTOS\n"
              "0046: STSO 7\n"
              "0049: LDLO 2\n004c: PUSHK 0\n0051: PUSHK 65\n0056: STCH\n"
              "0057: LDLO 1\n005a: LDLO 0\n005d: CAST 0\n0060: STMO 2\n"   // me seen as a Node
              "0063: LDSO 6\n0066: PUSHK 3\n006b: PUSHK 1\n0070: LDSO 6\n0073: ASET\n"  // array, end, start, source
              "0074: LDSO 6\n0077: ACOPY\n0078: STSO 6\n"
              "007b: RET\n");
}
