// Scopes, member tables, overloads, class layouts and hierarchy checks of the
// compiler's symbol table.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "gamescript/compiler/Messages.h"
#include "gamescript/compiler/SymbolTable.h"
#include "tests/gamescript/compiler/parser_support.h"

using namespace GSCompiler;

namespace {

struct Fixture {
  CompileLog log;
  ParseContext context;
  GSSymbolTable table;
  GSDependentSymbol* file = nullptr;

  Fixture() {
    context.Reset(&log, &table);
    context.fileName = context.stringPool.StrDup("main.gs");
    table.SetContext(&context);
    file = table.NewDependent("main.gs");
    EXPECT_TRUE(table.Add(file, nullptr, false));
    table.currentFile = file;
  }
  std::vector<std::string> Lines() const { return ParserTest::LogLines(log); }

  GSClassSymbol* Class(const std::string& name, std::vector<std::string> bases = {}, uint32_t specifiers = 0,
                       int line = 1) {
    GSClassSymbol* c = table.NewClass(name);
    c->specifiers = specifiers;
    for (const std::string& b : bases) c->extends.push_back({b, line});
    EXPECT_TRUE(table.Add(c, nullptr, false)) << name;
    return c;
  }
  // K0 .. Kn, each Ki deriving from K(i-1) on line i; returns Kn.
  GSClassSymbol* Chain(int n) {
    auto name = [](int i) { return std::string(1, 'K').append(std::to_string(i)); };
    GSClassSymbol* last = Class("K0");
    for (int i = 1; i <= n; ++i) last = Class(name(i), {name(i - 1)}, 0, i);
    return last;
  }
  GSVariableSymbol* Variable(GSClassSymbol* cls, const std::string& name) {
    GSVariableSymbol* v = table.NewVariable(name);
    v->type = TypeInt;
    EXPECT_TRUE(table.Add(v, cls, true)) << name;
    return v;
  }
  GSFunctionSymbol* Function(GSClassSymbol* cls, const std::string& name, std::vector<std::string> types) {
    GSFunctionSymbol* f = table.NewFunction(FunctionSymbolName(name, types));
    f->parameterCells = 1 + static_cast<int32_t>(types.size());
    EXPECT_TRUE(table.Add(f, cls, true)) << name;
    return f;
  }
};

TEST(SymbolsScopes, InnerDeclarationShadowsUntilItsBlockCloses) {
  Fixture f;
  GSClassSymbol* c = f.Class("C");
  GSVariableSymbol* member = f.Variable(c, "x");
  GSVariableSymbol* global = f.table.NewVariable("g");
  ASSERT_TRUE(f.table.Add(global, nullptr, false));

  ASSERT_TRUE(f.table.OpenBlock());
  GSVariableSymbol* local = f.table.NewVariable("x");
  ASSERT_TRUE(f.table.Add(local, c, false));
  EXPECT_EQ(local->level, 1);
  EXPECT_TRUE(local->specifiers & SymInnerMember);
  EXPECT_EQ(local->index, -1);  // locals are not numbered as members
  ASSERT_TRUE(f.table.OpenBlock());
  GSVariableSymbol* inner = f.table.NewVariable("x");
  ASSERT_TRUE(f.table.Add(inner, c, false));

  EXPECT_EQ(f.table.Lookup("x", c, true, false), inner);
  EXPECT_EQ(f.table.Lookup("x", c, true, true), member);  // members only: level 0
  EXPECT_EQ(f.table.Lookup("g", c, true, false), global);
  EXPECT_EQ(f.table.Lookup("g", c, false, false), nullptr);

  f.table.CloseBlock();
  EXPECT_EQ(f.table.Lookup("x", c, true, false), local);
  EXPECT_FALSE(inner->HasOwner());
  f.table.CloseBlock();
  EXPECT_EQ(f.table.Lookup("x", c, true, false), member);
  EXPECT_EQ(f.table.Level(), 0);
  // Level 0 never closes: the members and globals stay.
  f.table.CloseBlock();
  EXPECT_EQ(f.table.Lookup("x", c, true, false), member);
  EXPECT_EQ(f.table.Lookup("g", nullptr, true, false), global);
}

// Locals and parameters are freed once their blocks have closed and the caller
// says their tree is gone; members, functions and open blocks' symbols stay.
TEST(SymbolsScopes, ClosedBlocksSymbolsAreReleased) {
  Fixture f;
  GSClassSymbol* c = f.Class("C");
  GSVariableSymbol* member = f.Variable(c, "x");
  GSFunctionSymbol* run = f.Function(c, "Run", {"int"});
  const std::size_t held = f.table.HeldCount();
  ASSERT_TRUE(f.table.OpenBlock());
  for (const char* name : {"a", "x", "b"}) ASSERT_TRUE(f.table.Add(f.table.NewVariable(name), c, false));
  ASSERT_TRUE(f.table.OpenBlock());
  ASSERT_TRUE(f.table.Add(f.table.NewVariable("inner"), c, false));
  f.table.CloseBlock();
  f.table.ReleaseRetired();  // the outer block is still open: only "inner" goes
  EXPECT_EQ(f.table.HeldCount(), held + 3);
  EXPECT_NE(f.table.Lookup("a", c, false, false), nullptr);
  f.table.CloseBlock();
  GSVariableSymbol* later = f.table.NewVariable("later");
  ASSERT_TRUE(f.table.Add(later, c, true));
  f.table.ReleaseRetired();
  EXPECT_EQ(f.table.HeldCount(), held + 1);
  EXPECT_EQ(f.table.Lookup("a", c, false, false), nullptr);
  EXPECT_EQ(f.table.Lookup("x", c, false, false), member);
  EXPECT_EQ(f.table.Lookup("later", c, false, false), later);
  EXPECT_EQ(c->members.FunctionsNamed("Run"), std::vector<GSSymbol*>{run});
  f.table.ReleaseRetired();  // nothing more to free
  EXPECT_EQ(f.table.HeldCount(), held + 1);
}

TEST(SymbolsScopes, AddRefusesDuplicatesAndOwnedSymbols) {
  Fixture f;
  GSClassSymbol* c = f.Class("C");
  GSVariableSymbol* a = f.Variable(c, "a");
  EXPECT_FALSE(f.table.Add(a, c, true));  // already owned
  GSVariableSymbol* again = f.table.NewVariable("a");
  EXPECT_FALSE(f.table.Add(again, c, true));
  EXPECT_FALSE(again->HasOwner());
  GSClassSymbol* twin = f.table.NewClass("C");
  EXPECT_FALSE(f.table.Add(twin, nullptr, false));
  // Same name one level up is a different symbol; removing it frees the name.
  ASSERT_TRUE(f.table.OpenBlock());
  EXPECT_TRUE(f.table.Add(again, c, false));
  EXPECT_TRUE(f.table.Remove(again));
  EXPECT_FALSE(f.table.Remove(again));
  f.table.CloseBlock();
}

TEST(SymbolsScopes, MembersAreNumberedPerKindAndFunctionsBecomeCurrent) {
  Fixture f;
  GSClassSymbol* c = f.Class("C");
  EXPECT_EQ(f.Variable(c, "a")->index, 0);
  GSFunctionSymbol* g = f.Function(c, "g", {});
  EXPECT_EQ(g->index, 0);
  EXPECT_EQ(f.table.currentFunction, g);
  EXPECT_EQ(f.Variable(c, "b")->index, 1);
  EXPECT_EQ(f.Function(c, "h", {"int"})->index, 1);
  EXPECT_EQ(c->ownVariables, 2);
  EXPECT_EQ(c->ownFunctions, 2);
  GSVariableSymbol* unnumbered = f.table.NewVariable("u");
  ASSERT_TRUE(f.table.Add(unnumbered, c, false));
  EXPECT_EQ(unnumbered->index, -1);
}

TEST(SymbolsScopes, NestingBeyondTheLastLevelIsRefusedAndStillBalances) {
  Fixture f;
  GSClassSymbol* c = f.Class("C");
  for (int i = 0; i < GSSymbolTable::kMaxLevel; ++i) ASSERT_TRUE(f.table.OpenBlock()) << i;
  GSVariableSymbol* deepest = f.table.NewVariable("d");
  ASSERT_TRUE(f.table.Add(deepest, c, false));
  EXPECT_FALSE(f.table.OpenBlock());
  EXPECT_FALSE(f.table.OpenBlock());
  EXPECT_EQ(f.table.Level(), GSSymbolTable::kMaxLevel);
  f.table.CloseBlock();
  f.table.CloseBlock();
  EXPECT_TRUE(deepest->HasOwner());  // closing the refused blocks kept the real one
  f.table.CloseBlock();
  EXPECT_FALSE(deepest->HasOwner());
  f.table.ClearScopes();
  EXPECT_EQ(f.table.Level(), 0);
  EXPECT_TRUE(f.table.OpenBlock());
}

TEST(SymbolsFunctions, OverloadsAreFoundByPlainNameAndArgumentCount) {
  Fixture f;
  GSClassSymbol* base = f.Class("Base");
  GSFunctionSymbol* b1 = f.Function(base, "Go", {"int"});
  GSFunctionSymbol* b3 = f.Function(base, "Go", {"int", "int", "int"});
  GSClassSymbol* d = f.Class("Derived", {"Base"});
  ASSERT_TRUE(f.table.ResolveExtends(d));
  GSFunctionSymbol* d1a = f.Function(d, "Go", {"float"});
  GSFunctionSymbol* d1b = f.Function(d, "Go", {"string"});
  f.Function(d, "Going", {"int"});
  f.Function(d, "Go", {"int", "int"});

  GSFunctionSymbol* found[8];
  int n = f.table.FindFunctions(d, "Go", 1, found, 8, true);
  ASSERT_EQ(n, 2);  // the class's own; the base's Go(int) is not consulted
  EXPECT_TRUE((found[0] == d1a && found[1] == d1b) || (found[0] == d1b && found[1] == d1a));
  // None of three arguments in the class: the ancestors are searched.
  n = f.table.FindFunctions(d, "Go", 3, found, 8, true);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(found[0], b3);
  EXPECT_EQ(f.table.FindFunctions(d, "Go", 3, found, 8, false), 0);
  EXPECT_EQ(f.table.FindFunctions(d, "Go", 0, found, 8, true), 0);
  EXPECT_EQ(f.table.FindFunctions(d, "Go", 1, found, 1, true), 1);  // capacity holds
  EXPECT_EQ(f.table.FindFunctions(base, "Go", 1, found, 8, true), 1);
  EXPECT_EQ(found[0], b1);
}

// Out of line: GCC 12 warns falsely (-Wrestrict) on the inlined string sums.
[[gnu::noinline]] std::string Numbered(char prefix, uint32_t n) { return prefix + std::to_string(n); }

// The name index under many inserts and removes (names that collide, emptied
// chains, overloads entered and dropped): every lookup agrees with a plain
// model, and a name's entries keep the highest level first.
TEST(SymbolsHash, LookupsAgreeWithAModelThroughInsertsAndRemoves) {
  SymbolHash table(31);
  std::vector<std::unique_ptr<GSSymbol>> owned;
  std::map<std::pair<std::string, int32_t>, GSSymbol*> model;  // (name, level)
  std::map<std::string, std::set<GSSymbol*>> plain;            // functions by plain name
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  const auto check = [&] {
    ASSERT_EQ(table.Count(), model.size());
    uint32_t visited = 0;
    table.ForEach([&](GSSymbol*) { ++visited; });
    EXPECT_EQ(visited, model.size());
    for (int v = 0; v < 400; ++v) {
      const std::string name = Numbered('v', uint32_t(v));
      GSSymbol* highest = nullptr;
      for (int32_t level = 0; level < 4; ++level) {
        const auto it = model.find({name, level});
        GSSymbol* expected = it == model.end() ? nullptr : it->second;
        ASSERT_EQ(table.FindName(name, level), expected) << name << " " << level;
        if (expected) highest = expected;
      }
      ASSERT_EQ(table.FindName(name, -1), highest) << name;
    }
    for (const auto& [name, functions] : plain) {
      const std::vector<GSSymbol*> found = table.FunctionsNamed(name);
      EXPECT_EQ(std::set<GSSymbol*>(found.begin(), found.end()), functions) << name;
      EXPECT_EQ(found.size(), functions.size()) << name;
    }
  };
  for (int step = 0; step < 20000; ++step) {
    if (next(3) != 0 || model.empty()) {
      const bool function = next(4) == 0;
      std::unique_ptr<GSSymbol> symbol;
      if (function) {
        const std::string name = Numbered('F', next(40));
        symbol = std::make_unique<GSFunctionSymbol>();
        symbol->name = FunctionSymbolName(name, std::vector<std::string>(next(3), "int"));
      } else {
        symbol = std::make_unique<GSVariableSymbol>();
        symbol->name = Numbered('v', next(400));
      }
      symbol->level = function ? 0 : static_cast<int32_t>(next(4));
      const auto key = std::make_pair(symbol->name, symbol->level);
      const bool fresh = model.count(key) == 0;
      ASSERT_EQ(table.Insert(symbol.get()), fresh) << symbol->name;
      if (!fresh) continue;
      model[key] = symbol.get();
      if (function) plain[PlainFunctionName(symbol->name)].insert(symbol.get());
      owned.push_back(std::move(symbol));
    } else {
      auto it = model.begin();
      std::advance(it, next(static_cast<uint32_t>(model.size())));
      GSSymbol* gone = it->second;
      ASSERT_TRUE(table.Remove(gone));
      EXPECT_FALSE(table.Remove(gone));
      if (gone->kind == SymFunction) plain[PlainFunctionName(gone->name)].erase(gone);
      model.erase(it);
    }
    if (step % 1000 != 999) continue;
    if (step % 2000 == 1999) table.Compact();  // shrinks what removals left behind
    check();
  }
  // Nearly emptied, then compacted: what is left is still found, and the
  // table takes new entries again.
  while (model.size() > 5) {
    GSSymbol* gone = model.begin()->second;
    ASSERT_TRUE(table.Remove(gone));
    if (gone->kind == SymFunction) plain[PlainFunctionName(gone->name)].erase(gone);
    model.erase(model.begin());
  }
  table.Compact();
  check();
  auto late = std::make_unique<GSVariableSymbol>();
  late->name = "late";
  ASSERT_TRUE(table.Insert(late.get()));
  EXPECT_EQ(table.FindName("late", 0), late.get());
}

// The visit order the library's layout follows: by the name's bucket (a
// hash h = 3h + byte of the signed bytes, source files' lower-cased, modulo
// the bucket count), then source files before declared names, then by name
// (bytes unsigned; files without case), the higher level first. A large
// table is ordered by a quicker key than a small one: both must agree with
// this model, also for names that share their first eight bytes, that are
// the start of another name, or that hold bytes above 0x7F.
TEST(SymbolsHash, VisitOrderFollowsBucketsThenNames) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  const auto bucket = [&](const GSSymbol& s, uint32_t buckets) {
    uint32_t h = 0;
    for (char c : s.name) {
      const char b = s.kind == SymDependent ? lower(c) : c;
      h = h * 3u + uint32_t(int32_t(static_cast<signed char>(b)));
    }
    return h % buckets;
  };
  const auto modelBefore = [&](const GSSymbol* a, const GSSymbol* b, uint32_t buckets) {
    if (bucket(*a, buckets) != bucket(*b, buckets)) return bucket(*a, buckets) < bucket(*b, buckets);
    const bool fa = a->kind == SymDependent, fb = b->kind == SymDependent;
    if (fa != fb) return fa;
    std::string x = a->name, y = b->name;
    if (fa) {
      for (char& c : x) c = lower(c);
      for (char& c : y) c = lower(c);
    }
    const int c = x.compare(y);
    if (c != 0) return c < 0;
    return a->level > b->level;
  };
  for (const std::size_t count : {std::size_t(12), std::size_t(400)}) {
    SCOPED_TRACE(count);
    const uint32_t buckets = 7;  // few buckets: most comparisons get to the names
    SymbolHash table(buckets);
    std::vector<std::unique_ptr<GSSymbol>> owned;
    const auto add = [&](std::unique_ptr<GSSymbol> s, const std::string& name, int32_t level) {
      s->name = name;
      s->level = level;
      ASSERT_TRUE(table.Insert(s.get())) << name;
      owned.push_back(std::move(s));
    };
    const std::vector<std::string> stems = {"ab",         "abc",        "abcdefgh",  "abcdefghi",
                                            "abcdefgh_1", "abcdefgh_2", "\xe9t\xe9", "\x7f",
                                            "Z",          "zz",         "::F1(int)", "::F1(int,int)"};
    for (std::size_t i = 0; owned.size() < count; ++i) {
      const std::string name = stems[i % stems.size()] + (i < stems.size() ? "" : std::to_string(i));
      add(std::make_unique<GSVariableSymbol>(), name, int32_t(i % 3));
      if (i % 5 == 0 && owned.size() < count) add(std::make_unique<GSVariableSymbol>(), name, 3);
      if (i % 7 == 0 && owned.size() < count)
        add(std::make_unique<GSDependentSymbol>(), (i % 2 ? "Lib" : "lib") + std::to_string(i) + ".gs", 0);
    }
    std::vector<const GSSymbol*> visited;
    table.ForEach([&](GSSymbol* s) { visited.push_back(s); });
    ASSERT_EQ(visited.size(), owned.size());
    for (std::size_t i = 1; i < visited.size(); ++i)
      EXPECT_TRUE(modelBefore(visited[i - 1], visited[i], buckets))
          << visited[i - 1]->name << " / " << visited[i]->name;
  }
}

TEST(SymbolsFunctions, SymbolNamesAndSignatureKeys) {
  EXPECT_EQ(FunctionSymbolName("Init", {"int", "string"}), "::Init(int,string)");
  EXPECT_EQ(FunctionSymbolName("Run", {}), "::Run()");
  EXPECT_EQ(SignatureKey("void", "GameObject", "::Sleep(float)"), "$void@GameObject::Sleep(float)");
  EXPECT_EQ(TypeText(TypeObject, "Asset"), "Asset");
  EXPECT_EQ(TypeText(TypeObjectArray, "Asset"), "Asset[]");
  EXPECT_EQ(TypeText(TypeObject, ""), "object");
  EXPECT_EQ(TypeText(TypeObjectArray, "object"), "object[]");
  EXPECT_EQ(TypeText(TypeVoidArray, ""), "void[]");
  EXPECT_EQ(TypeText(TypeFloat, "ignored"), "float");
  EXPECT_EQ(PlainFunctionName("::Go(int,float)"), "Go");
  EXPECT_EQ(SpecifierText(SpecDefine | SpecGame | SpecSecured | SpecPublic), "public game secured define ");
}

// A: 2 variables, 1 function. B isclass A: 1 variable, 2 functions.
// C isclass B: 1 variable, 1 function. Layout numbers follow from the bases.
TEST(SymbolsClasses, ThreeLevelLayout) {
  Fixture f;
  GSClassSymbol* a = f.Class("A");
  GSVariableSymbol* a0 = f.Variable(a, "a0");
  GSVariableSymbol* a1 = f.Variable(a, "a1");
  GSFunctionSymbol* af = f.Function(a, "fa", {});
  GSClassSymbol* b = f.Class("B", {"A"});
  GSVariableSymbol* b0 = f.Variable(b, "b0");
  GSFunctionSymbol* bf0 = f.Function(b, "fb0", {});
  GSFunctionSymbol* bf1 = f.Function(b, "fb1", {});
  GSClassSymbol* c = f.Class("C", {"B"});
  GSVariableSymbol* c0 = f.Variable(c, "c0");
  GSFunctionSymbol* cf = f.Function(c, "fc", {});

  // A class without bases.
  EXPECT_EQ(a->variableBase, 2);
  EXPECT_EQ(a->functionBase, 0);
  EXPECT_TRUE(a->ancestors.empty());

  // Resolving C resolves B first.
  ASSERT_TRUE(f.table.ResolveExtends(c));
  EXPECT_TRUE(b->extends.empty());
  EXPECT_EQ(b->variableBase, 6);
  EXPECT_EQ(b->functionBase, 1);
  EXPECT_EQ(c->variableBase, 9);
  EXPECT_EQ(c->functionBase, 3);
  ASSERT_EQ(c->ancestors.size(), 2u);
  EXPECT_EQ(c->ancestors[0].base, b);
  EXPECT_EQ(c->ancestors[0].vo, 2);
  EXPECT_EQ(c->ancestors[0].fo, 0);
  EXPECT_TRUE(c->ancestors[0].direct);
  EXPECT_EQ(c->ancestors[1].base, a);
  EXPECT_EQ(c->ancestors[1].vo, 4);
  EXPECT_EQ(c->ancestors[1].fo, 0);
  EXPECT_FALSE(c->ancestors[1].direct);

  // Every member of C's instance has its own cell and every function its slot.
  EXPECT_EQ(f.table.MemberPosition(c, a0), 6);
  EXPECT_EQ(f.table.MemberPosition(c, a1), 7);
  EXPECT_EQ(f.table.MemberPosition(c, b0), 8);
  EXPECT_EQ(f.table.MemberPosition(c, c0), 9);
  EXPECT_EQ(f.table.MemberPosition(c, af), 0);
  EXPECT_EQ(f.table.MemberPosition(c, bf0), 1);
  EXPECT_EQ(f.table.MemberPosition(c, bf1), 2);
  EXPECT_EQ(f.table.MemberPosition(c, cf), 3);
  EXPECT_EQ(f.table.MemberPosition(b, a1), 5);
  EXPECT_EQ(f.table.MemberPosition(a, c0), -1);  // not an ancestor of A

  // Members of the ancestors are found from C, its own first.
  EXPECT_EQ(f.table.Lookup("a1", c, false, true), a1);
  AncestorEntry entry;
  ASSERT_TRUE(f.table.FindAncestor(c, "A", entry));
  EXPECT_EQ(entry.vo, 4);
  EXPECT_FALSE(entry.direct);
  ASSERT_TRUE(f.table.FindAncestor(c, "C", entry));
  EXPECT_EQ(entry.base, c);
  EXPECT_EQ(entry.vo, 0);
  EXPECT_FALSE(f.table.FindAncestor(c, "Z", entry));
  EXPECT_TRUE(f.Lines().empty());
}

TEST(SymbolsClasses, HierarchyErrors) {
  Fixture f;
  f.Class("Static", {}, SpecStatic);
  f.Class("Final", {}, SpecFinal);
  GSClassSymbol* root = f.Class("Root");
  GSClassSymbol* b = f.Class("B", {"Root"});
  GSClassSymbol* c = f.Class("C", {"Root"});
  GSClassSymbol* diamond = f.Class("D", {"B", "C"}, 0, 7);
  GSClassSymbol* undeclared = f.Class("U", {"Missing"}, 0, 3);
  GSClassSymbol* fromStatic = f.Class("S", {"Static"}, 0, 4);
  GSClassSymbol* fromFinal = f.Class("F", {"Final"}, 0, 5);
  GSVariableSymbol* v = f.Variable(root, "v");
  GSClassSymbol* notClass = f.Class("N", {"v"}, 0, 6);
  (void)v;

  EXPECT_FALSE(f.table.ResolveExtends(undeclared));
  EXPECT_FALSE(f.table.ResolveExtends(fromStatic));
  EXPECT_FALSE(f.table.ResolveExtends(fromFinal));
  EXPECT_FALSE(f.table.ResolveExtends(diamond));
  EXPECT_FALSE(f.table.ResolveExtends(notClass));
  ASSERT_TRUE(f.table.ResolveExtends(b));
  ASSERT_TRUE(f.table.ResolveExtends(c));
  EXPECT_EQ(f.Lines(), (std::vector<std::string>{
                           "main.gs(3) : Class Missing has not been declared, line 3.",
                           "main.gs(4) : Cannot extend static class Static, line 4.",
                           "main.gs(5) : Cannot extend final class Final, line 5.",
                           "main.gs(7) : Class C and Root causes cyclic derivation, line 7.",
                           "main.gs(6) : Class v has not been declared, line 6.",
                       }));
  EXPECT_EQ(f.context.errorCount, 5);
  // A failed class is reported once; later resolutions fail quietly.
  EXPECT_FALSE(f.table.ResolveExtends(undeclared));
  EXPECT_EQ(f.context.errorCount, 5);
}

TEST(SymbolsClasses, DerivingFromItselfIsCyclic) {
  Fixture f;
  GSClassSymbol* self = f.Class("Self", {"Self"}, 0, 2);
  GSClassSymbol* ping = f.Class("Ping", {"Pong"}, 0, 3);
  f.Class("Pong", {"Ping"}, 0, 4);
  EXPECT_FALSE(f.table.ResolveExtends(self));
  EXPECT_FALSE(f.table.ResolveExtends(ping));
  EXPECT_EQ(f.Lines(), (std::vector<std::string>{
                           "main.gs(2) : Class Self and Self causes cyclic derivation, line 2.",
                           "main.gs(4) : Class Ping and Pong causes cyclic derivation, line 4.",
                       }));
  EXPECT_TRUE(self->ancestors.empty());
}

TEST(SymbolsClasses, LongInheritanceChainsResolveWithoutDeepRecursionFailures) {
  Fixture f;
  GSClassSymbol* last = f.Chain(256);
  ASSERT_TRUE(f.table.ResolveExtends(last));
  EXPECT_EQ(last->ancestors.size(), 256u);
  EXPECT_EQ(last->variableBase, 2 + 2 * 256);
  // One more class has more ancestors than a library may record.
  GSClassSymbol* over = f.Class("Over", {"K256"}, 0, 300);
  EXPECT_FALSE(f.table.ResolveExtends(over));
  EXPECT_EQ(f.Lines(), std::vector<std::string>{
                           "main.gs(300) : Class Over has more than 256 ancestor classes, line 300."});
}

TEST(SymbolsClasses, UnresolvedChainsDeeperThanTheBoundAreRefusedOnce) {
  Fixture f;
  GSClassSymbol* last = f.Chain(1100);
  EXPECT_FALSE(f.table.ResolveExtends(last));
  EXPECT_EQ(f.Lines(), std::vector<std::string>{
                           "main.gs(844) : Class K843 derives through too many classes, line 844."});
  // Classes near the root were never touched by the failure and still resolve.
  auto* near = static_cast<GSClassSymbol*>(f.table.Lookup("K10", nullptr, true, false));
  EXPECT_TRUE(f.table.ResolveExtends(near));
}

TEST(SymbolsImports, IndexesFollowFirstUseAndReset) {
  Fixture f;
  GSClassSymbol* a = f.Class("A");
  GSFunctionSymbol* fa = f.Function(a, "fa", {});
  GSClassSymbol* b = f.Class("B");
  GSFunctionSymbol* fb = f.Function(b, "fb", {});
  EXPECT_EQ(a->importIndex, -1);

  EXPECT_EQ(f.table.Lookup("fb", nullptr, true, false), nullptr);  // plain names are not symbol names
  EXPECT_EQ(f.table.Lookup("::fb()", b, false, true), fb);
  EXPECT_EQ(fb->importIndex, 0);
  EXPECT_EQ(b->importIndex, 0);  // a function's class comes with it
  EXPECT_EQ(f.table.Lookup("A", nullptr, true, false), a);
  EXPECT_EQ(a->importIndex, 1);
  EXPECT_EQ(f.table.Lookup("A", nullptr, true, false), a);
  EXPECT_EQ(a->importIndex, 1);  // once only
  EXPECT_EQ(fa->importIndex, -1);
  EXPECT_EQ(f.table.ClassImportCount(), 2);
  EXPECT_EQ(f.table.FunctionImportCount(), 1);

  // Inheriting gives every inherited function an import index.
  GSClassSymbol* c = f.Class("C", {"A"});
  ASSERT_TRUE(f.table.ResolveExtends(c));
  EXPECT_EQ(fa->importIndex, 1);

  f.table.ResetImportIndexes();
  EXPECT_EQ(a->importIndex, -1);
  EXPECT_EQ(fb->importIndex, -1);
  EXPECT_EQ(f.table.ClassImportCount(), 0);
  EXPECT_EQ(f.table.FunctionImportCount(), 0);
}

TEST(SymbolsFiles, DependentsCompareWithoutCaseAndNeverMeetDeclaredNames) {
  Fixture f;
  GSDependentSymbol* lib = f.table.NewDependent("Lib.GS");
  ASSERT_TRUE(f.table.Add(lib, nullptr, false));
  EXPECT_EQ(f.table.FindDependent("lib.gs"), lib);
  EXPECT_EQ(f.table.FindDependent("LIB.GS"), lib);
  EXPECT_FALSE(f.table.Add(f.table.NewDependent("lib.gs"), nullptr, false));
  EXPECT_EQ(f.table.Lookup("Lib.GS", nullptr, true, false), nullptr);
  GSClassSymbol* same = f.table.NewClass("main");
  EXPECT_TRUE(f.table.Add(same, nullptr, false));
  EXPECT_EQ(f.table.FindDependent("main"), nullptr);
  EXPECT_EQ(same->declaringFile, f.file);
}

TEST(SymbolsDump, GlobalSymbolsInTableOrder) {
  Fixture f;
  f.file->sourceCrc = 0xABCD;
  f.file->fileNameCrc = 0x12;
  GSClassSymbol* a = f.Class("A", {}, SpecGame);
  GSVariableSymbol* v = f.Variable(a, "v");
  v->className = "A";
  v->type = TypeObject;
  GSFunctionSymbol* fn = f.Function(a, "Go", {"int"});
  fn->type = TypeVoid;
  fn->specifiers |= SpecPublic;
  GSClassSymbol* b = f.Class("B", {"A"});
  ASSERT_TRUE(f.table.ResolveExtends(b));
  std::vector<std::string> globals;
  f.table.ForEachGlobal([&](GSSymbol* s) { globals.push_back(s->name); });
  std::sort(globals.begin(), globals.end());
  EXPECT_EQ(globals, (std::vector<std::string>{"A", "B", "main.gs"}));
  const std::string dump = f.table.Dump();
  EXPECT_EQ(dump.rfind("Symbol Table\n", 0), 0u);
  EXPECT_NE(dump.find("\nDependent \"main.gs\", crc 0xABCD, filename crc 0x12\n"), std::string::npos);
  EXPECT_NE(dump.find("========================================\n0:A game  (main.gs)::\n"
                      "========================================\n"),
            std::string::npos);
  EXPECT_NE(dump.find("0:0:object<A> v \n"), std::string::npos);
  EXPECT_NE(dump.find("0:0:void ::Go(int) public \n"), std::string::npos);
  EXPECT_NE(dump.find("0:B  (main.gs)::2:A,\n"), std::string::npos);
}

TEST(SymbolsMessages, LineFormCountsAndCut) {
  CompileLog log;
  ParseContext context;
  context.Reset(&log, nullptr);
  context.fileName = context.stringPool.StrDup("x.gs");
  ReportError(context, true, false, 12, "variable %s not declared, line %d.", "y", 12);
  ReportError(context, false, true, 3, "warning %d", 1);
  ReportErrorInFile(context, "other.gs", true, true, 4, "%s", "both");
  ReportErrorInFile(context, nullptr, true, false, 5, "no file");
  ReportPlain(context, "plain %s", "text");
  const std::string longName(400, 'n');
  ReportError(context, true, false, 9, "%s", longName.c_str());
  const auto lines = ParserTest::LogLines(log);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "x.gs(12) : variable y not declared, line 12.");
  EXPECT_EQ(lines[1], "x.gs(3) : warning 1");
  EXPECT_EQ(lines[2], "other.gs(4) : both");
  EXPECT_EQ(lines[3], "(5) : no file");
  EXPECT_EQ(lines[4], "plain text");
  EXPECT_EQ(lines[5], "x.gs(9) : " + std::string(255, 'n'));
  EXPECT_EQ(context.errorCount, 4);
  EXPECT_EQ(context.warningCount, 2);

  // Without a log the counts still move and nothing is written anywhere.
  context.log = nullptr;
  ReportError(context, true, false, 1, "dropped");
  EXPECT_EQ(context.errorCount, 5);
}

}  // namespace
