#include <gtest/gtest.h>

#include "tests/gamescript/compiler/codegen_support.h"

using namespace CodegenTest;

// Listings below were worked out by hand from the instruction table: cells are
// counted from `me` (0), then parameters, locals and temporaries; member cells
// start at 2 and a base class's part comes before the class's own members.

TEST(CodegenGolden, LoopsWithBreakAndContinueAndSwitchWithUnorderedKeys) {
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
            "0000: PUSHK 0\n0005: STL 2\n"  // i = 0
            "0008: LDL 2\n000b: LDL 1\n000e: CMPI\n000f: LT\n0010: JZ 0053\n"
            "0015: LDL 2\n0018: PUSHK 3\n001d: CMPI\n001e: EQ\n001f: JZ 0029\n"
            "0024: JMP 0047\n"  // continue: to the step
            "0029: LDL 2\n002c: PUSHK 7\n0031: CMPI\n0032: GT\n0033: JZ 003d\n"
            "0038: JMP 0053\n"  // break: past the loop
            "003d: LDS 2\n0040: LDL 2\n0043: ADDI\n0044: STS 2\n"
            "0047: LDL 2\n004a: INCI\n004b: STL 2\n004e: JMP 0008\n"
            "0053: LDS 2\n0056: PUSHK 0\n005b: CMPI\n005c: GT\n005d: JZ 006e\n"
            "0062: LDS 2\n0065: DECI\n0066: STS 2\n0069: JMP 0053\n"
            "006e: LDL 1\n"
            "0071: SWITCH 1 -> 009d, 2 -> 00a5, 3 -> 0090, default -> 00aa\n"
            "0090: PUSHK 1\n0095: STS 2\n0098: JMP 00b2\n"
            "009d: PUSHK 2\n00a2: STS 2\n"  // falls into case 2
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

TEST(CodegenGolden, SwitchWithoutDefaultEndsAtTheEnd) {
  Built c = Build(
      "class A {\n public int v;\n public void F(int n) {\n"
      "  switch (n) { case 5: v = 1; break; default: break; }\n v = 3;\n }\n};\n");
  ASSERT_EQ(c.errors, 0) << c.Log();
  EXPECT_EQ(c.Listing("A", "F"),
            "0000: LDL 1\n0003: SWITCH 5 -> 0012, default -> 001f\n"
            "0012: PUSHK 1\n0017: STS 2\n001a: JMP 0024\n"
            "001f: JMP 0024\n"
            "0024: PUSHK 3\n0029: STS 2\n002c: RET\n");
}

TEST(CodegenGolden, WaitsAndOnStatements) {
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
            "001c: JMP 002c\n"                              // end of the first handler
            "0021: CAST 0\n0024: STLO 1\n0027: JMP 002c\n"  // message into `got`; break
            "002c: WAIT 4 \"Solo\"/5 \"One\" -> 0037\n"     // an on waits by itself
            "0037: POPO\n0038: PUSHK 2\n003d: STS 3\n"
            "0040: WAIT 4 \"Solo\"/6 \"Two\" -> 004b\n"
            "004b: CAST 0\n004e: STSO 2\n0051: PUSHK 3\n0056: STS 3\n0059: RET\n");
  const LibraryCheck::Function* f = b.Find("G", "Waits");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->referenceCells, (std::vector<int32_t>{1}));
}

TEST(CodegenGolden, MemberArrayAndStringStores) {
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
  EXPECT_EQ(
      b.Listing("A", "Stores"),
      "0000: LDLO 1\n0003: PUSHK 4\n0008: STM 3\n"
      "000b: LDSO 6\n000e: PUSHK 2\n0013: LDLO 1\n0016: PUSHK 5\n001b: STMK 3\n001e: STA\n"
      "001f: LDLO 2\n0022: SCOPY\n0023: STSO 7\n"  // a string from a variable is copied
      "0026: LDSTR 0 \"lit\"\n0029: STSO 7\n"      // a literal is a new string already
      "002c: LDLO 2\n002f: PUSHK 1\n0034: ITOS\n0035: SCAT\n0036: STSO 7\n"
      "0039: LDLO 1\n003c: LDMO 2\n003f: LDMO 2\n0042: PUSH0\n0043: CMPO\n0044: EQ\n0045: BTOS\n"
      "0046: STSO 7\n"
      "0049: LDLO 2\n004c: PUSHK 0\n0051: PUSHK 65\n0056: STCH\n"
      "0057: LDLO 1\n005a: LDLO 0\n005d: CAST 0\n0060: STMO 2\n"                // me seen as a Node
      "0063: LDSO 6\n0066: PUSHK 3\n006b: PUSHK 1\n0070: LDSO 6\n0073: ASET\n"  // array, end, start, source
      "0074: LDSO 6\n0077: ACOPY\n0078: STSO 6\n"
      "007b: RET\n");
}

// Member initialisers with "and" and "or" jump forward inside the class
// initialiser; the targets must be patched there as in a function.
TEST(CodegenGolden, InitialiserJumpsLandAfterTheirOperands) {
  Built b = Build(
      "class A {\n  public int x = 3;\n  public bool b = x > 1 and x < 9;\n"
      "  public bool c = x == 0 or b;\n};\n");
  ASSERT_EQ(b.errors, 0) << b.Log();
  EXPECT_EQ(b.problem, "");
  EXPECT_EQ(b.Listing("A", "::A()"),
            "0000: PUSHK 3\n0005: STS 2\n"
            "0008: LDS 2\n000b: PUSHK 1\n0010: CMPI\n0011: GT\n0012: JZK 0022\n0017: POP\n"
            "0018: LDS 2\n001b: PUSHK 9\n0020: CMPI\n0021: LT\n0022: STS 3\n"
            "0025: LDS 2\n0028: PUSHK 0\n002d: CMPI\n002e: EQ\n002f: JNZK 0038\n0034: POP\n"
            "0035: LDS 3\n0038: STS 4\n003b: RET\n");
}

TEST(CodegenGolden, ExpressionForms) {
  Built b = Build(R"(class Node {
  public Node next;
  public int value;
  public native int Peek(int k);
  public int Twice(int k) { return k * 2; }
};
game class G isclass Node {
  public int[] items;
  thread void Run(int n) { }
  public int Twice(int k) { return inherited(k) + 1; }
  public int Exprs(int a, float f, string s, Node o) {
    float g = a + f * 2;
    bool c = s == "x" and f > a or o != null;
    int k = -a + ~a;
    k = a++ + --items[a];
    o.value++;
    s = s[1, ] + s[, 2] + (string)f + (string)c;
    k = items.size() + s.size() + s[0];
    c = o.isclass(G) and !c and !s;
    items = new int[a];
    o = new Node();
    G gg = cast<G>o;
    Run(3);
    o.Peek(1);
    k = Twice(Peek(2));
    return o.Peek(a);
  }
};
)");
  ASSERT_EQ(b.errors, 0) << b.Log();
  EXPECT_EQ(b.problem, "");
  EXPECT_EQ(b.Listing("G", "Twice"),
            "0000: LDLO 0\n0003: LDL 1\n0006: CALLP -1\n0009: PUSHK 1\n000e: ADDI\n000f: RETV\n");
  // Cells: a 1, f 2, s 3, o 4; locals g 5, c 6, k 7, gg 8; the temporary 9.
  EXPECT_EQ(
      b.Listing("G", "Exprs"),
      "0000: LDL 1\n0003: ITOF\n0004: LDL 2\n0007: PUSHK 2\n000c: ITOF\n000d: MULF\n000e: ADDF\n000f: STL 5\n"
      // (s == "x" and f > a) or o != null, each side left on the stack as the value
      "0012: LDLO 3\n0015: LDSTR 0 \"x\"\n0018: SCMP\n0019: EQ\n001a: JZK 0029\n001f: POP\n"
      "0020: LDL 2\n0023: LDL 1\n0026: ITOF\n0027: CMPF\n0028: GT\n"
      "0029: JNZK 0035\n002e: POP\n002f: LDLO 4\n0032: PUSH0\n0033: CMPO\n0034: NE\n0035: STL 6\n"
      "0038: LDL 1\n003b: NEGI\n003c: LDL 1\n003f: COMPL\n0040: ADDI\n0041: STL 7\n"
      // a++ keeps the old value, --items[a] the new one, each in the temporary
      "0044: LDL 1\n0047: STLK 9\n004a: INCI\n004b: STL 1\n004e: LDL 9\n"
      "0051: LDSO 6\n0054: LDL 1\n0057: DUP2O\n0058: LDA\n0059: DECI\n005a: STLK 9\n005d: STA\n"
      "005e: LDL 9\n0061: ADDI\n0062: STL 7\n"
      "0065: LDLO 4\n0068: DUPO\n0069: LDM 3\n006c: INCI\n006d: STM 3\n"
      // ranges push the end, then the start; a missing one is -1
      "0070: LDLO 3\n0073: PUSHK -1\n0078: PUSHK 1\n007d: SSUB\n"
      "007e: LDLO 3\n0081: PUSHK 2\n0086: PUSHK -1\n008b: SSUB\n008c: SCAT\n"
      "008d: LDL 2\n0090: FTOS\n0091: SCAT\n0092: LDL 6\n0095: BTOS\n0096: SCAT\n0097: STLO 3\n"
      "009a: LDSO 6\n009d: ALEN\n009e: LDLO 3\n00a1: SLEN\n00a2: ADDI\n"
      "00a3: LDLO 3\n00a6: PUSHK 0\n00ab: LDCH\n00ac: ADDI\n00ad: STL 7\n"
      "00b0: LDLO 4\n00b3: ISA 1\n00b6: JZK 00c0\n00bb: POP\n00bc: LDL 6\n00bf: EQ\n"
      "00c0: JZK 00ca\n00c5: POP\n00c6: LDLO 3\n00c9: ISNULL\n00ca: STL 6\n"
      "00cd: LDL 1\n00d0: NEWA\n00d1: STSO 6\n"
      "00d4: NEW 0\n00d7: STLO 4\n"
      "00da: LDLO 4\n00dd: CAST 1\n00e0: STLO 8\n"
      // calls: receiver, arguments, then the distance 1 - P and the slot
      "00e3: LDLO 0\n00e6: PUSHK 3\n00eb: START -1 2\n"
      "00f0: LDLO 4\n00f3: PUSHK 1\n00f8: CALLN -1 0\n00fd: POP\n"
      "00fe: LDLO 0\n0101: LDLO 0\n0104: PUSHK 2\n0109: CALLN -1 0\n010e: CALL -1 3\n0113: STL 7\n"
      "0116: LDLO 4\n0119: LDL 1\n011c: CALLN -1 0\n0121: RETV\n");
  const LibraryCheck::Function* f = b.Find("G", "Exprs");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->temporaries, 1u);
  EXPECT_EQ(f->referenceCells, (std::vector<int32_t>{3, 4, 8}));
  // The native function has a record without code.
  const LibraryCheck::Function* peek = b.Find("Node", "Peek");
  ASSERT_NE(peek, nullptr);
  EXPECT_TRUE(peek->code.empty());
  EXPECT_EQ(peek->flags, 0x3u);
}

TEST(CodegenGolden, GotoLabels) {
  Built b = Build(
      "class A {\n public int v;\n public void F(void) {\n again: v = v + 1;\n"
      "  if (v < 3) goto again;\n  goto done;\n  v = 9;\n done: v = 0;\n }\n};\n");
  ASSERT_EQ(b.errors, 0) << b.Log();
  EXPECT_EQ(b.Listing("A", "F"),
            "0000: LDS 2\n0003: PUSHK 1\n0008: ADDI\n0009: STS 2\n"
            "000c: LDS 2\n000f: PUSHK 3\n0014: CMPI\n0015: LT\n0016: JZ 0020\n"
            "001b: JMP 0000\n0020: JMP 002d\n0025: PUSHK 9\n002a: STS 2\n"
            "002d: PUSHK 0\n0032: STS 2\n0035: RET\n");
}

TEST(CodegenGolden, OperandsBeyondSixteenBitsAreErrorsNotWrapped) {
  // 65,537 distinct strings: the last one's index does not fit LDSTR's operand.
  std::string text = "class A {\n public string s;\n public void F(void) {\n";
  for (int i = 0; i <= 65536; ++i) text += "  s = \"t" + std::to_string(i) + "\";\n";
  text += " }\n};\n";
  Built b = Build(text);
  EXPECT_EQ(b.errors, 1);
  ASSERT_FALSE(b.log.empty());
  EXPECT_EQ(b.log[0], "m.gs(65540) : string index 65536 does not fit in 16 bits, line 65540.");
}

TEST(CodegenGolden, ClassesBeyondSixteenBitCellsOrSlotsAreRefused) {
  std::string members = "class Big {\n";
  for (int i = 0; i < 33000; ++i) members += " int v" + std::to_string(i) + ";\n";
  members += "};\n";
  Built b = Build(members);
  EXPECT_EQ(b.errors, 1);
  ASSERT_FALSE(b.log.empty());
  EXPECT_EQ(b.log[0], "m.gs(1) : Too many member variables in one class: cells do not fit in 16 bits.");

  std::string functions = "class Big {\n";
  for (int i = 0; i < 33000; ++i) functions += " int f" + std::to_string(i) + "(void) { return 1; }\n";
  functions += "};\n";
  Built c = Build(functions);
  EXPECT_EQ(c.errors, 1);
  ASSERT_FALSE(c.log.empty());
  EXPECT_EQ(c.log[0], "m.gs(1) : Too many functions in one class: slots do not fit in 16 bits.");
}

// A class is generated a member at a time as it is read, yet reports what
// generating it whole would: only its first failing member, where a
// prototype fails only when no body follows anywhere in the class.
TEST(CodegenGolden, AClassReportsOnlyItsFirstFailingMember) {
  const std::string implementedLater =
      "class A {\n public int P(int a);\n public int G(void) { return P(2); }\n"
      " public int v = 4;\n public int P(int a) { return a + v; }\n};\n";
  Built fine = Build(implementedLater);
  ASSERT_EQ(fine.errors, 0) << fine.Log();
  EXPECT_NE(fine.Find("A", "::G("), nullptr);

  const auto mentions = [](const Built& b, const char* text) {
    for (const std::string& line : b.log)
      if (line.find(text) != std::string::npos) return true;
    return false;
  };
  Built prototypeFirst = Build(
      implementedLater + "class B {\n public void P(void);\n public void G(void) { goto nowhere; }\n};\n");
  EXPECT_EQ(prototypeFirst.errors, 1);
  ASSERT_FALSE(prototypeFirst.log.empty());
  EXPECT_EQ(prototypeFirst.log[0], "Function ::P() not implemented");
  EXPECT_FALSE(mentions(prototypeFirst, "no matching label")) << prototypeFirst.Log();

  Built failureFirst = Build(
      "class B {\n public int v = 1;\n public void G(void) { goto nowhere; }\n public void P(void);\n};\n");
  EXPECT_EQ(failureFirst.errors, 1);
  EXPECT_EQ(failureFirst.log, (std::vector<std::string>{"m.gs(3) : no matching label, line 3",
                                                        "\nInternal Code Generation Error..."}));

  Built nativeFirst = Build(
      "class B {\n public void P(void);\n public native void N(void) { }\n public void P(void) { }\n"
      " public void Q(void);\n};\n");
  EXPECT_EQ(nativeFirst.errors, 1);
  ASSERT_FALSE(nativeFirst.log.empty());
  EXPECT_EQ(nativeFirst.log[0], "Native function ::N() has been implemented");
  EXPECT_FALSE(mentions(nativeFirst, "not implemented")) << nativeFirst.Log();
}
