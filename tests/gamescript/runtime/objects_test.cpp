#include <gtest/gtest.h>

#include "gamescript/runtime/DateTime.h"
#include "gamescript/runtime/HashTable.h"
#include "gamescript/runtime/Machine.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;

namespace {

// Two objects of a class with an object member that point at each other, and
// strings and arrays holding both: the context's teardown ends them all.
TEST(RuntimeObjects, PoolTeardownWithCyclesLeavesNothing) {
  RuntimeTest::Folder folder;
  folder.Compile("m", "class Node {\n  public Node next;\n  public string name;\n};\n");
  GSMachine machine;
  ASSERT_TRUE(machine.AddLibrary(folder.Path(), "m.gsl"));
  GSClass* node = machine.GetLibraryByName("m.gsl")->FindClass("Node");
  ASSERT_NE(node, nullptr);
  const std::size_t handles = HandleTable::Instance().LiveCount();
  const int64_t heap = ContextHeap().LiveBlocks();
  const int64_t objects = Kiv::Alloc::LiveBlocks();
  {
    GSContext context;
    auto* a = new GSObject();
    auto* b = new GSObject();
    ASSERT_TRUE(a->BindScriptClass(node, &context));
    ASSERT_TRUE(b->BindScriptClass(node, &context));
    const int32_t next = 2;  // the first member after the block header
    StoreMember(a->Instance(), next, b->GetScriptHandle());
    StoreMember(b->Instance(), next, a->GetScriptHandle());
    GSArray* array = GSArray::Create(&context, true);
    ASSERT_TRUE(array->SetObjectElement(3, a->GetScriptHandle()));
    ASSERT_TRUE(array->SetObjectElement(0, array->GetScriptHandle()));  // holds itself
    GSString* s = GSString::Create(&context, "text");
    StoreMember(a->Instance(), 3, s->GetScriptHandle());
    ReleaseHandle(s->GetScriptHandle());  // the member now holds the only reference
    // The native objects go first: the instances live on, held by each other.
    delete a;
    delete b;
    EXPECT_GT(HandleTable::Instance().LiveCount(), handles);
  }
  EXPECT_EQ(HandleTable::Instance().LiveCount(), handles);
  EXPECT_EQ(ContextHeap().LiveBlocks(), heap);
  EXPECT_EQ(Kiv::Alloc::LiveBlocks(), objects);
}

// A lookup finds only live handles: never the null slot under any
// generation, never a freed handle, even after its slot is reused.
TEST(RuntimeObjects, HandleLookupFindsOnlyLiveHandles) {
  HandleTable& table = HandleTable::Instance();
  GSScriptInstance instance;
  const uint32_t a = table.Add({&instance, 0, 0});
  ASSERT_NE(a, 0u);
  ASSERT_NE(table.Find(a), nullptr);
  EXPECT_EQ(table.Get(a), &instance);
  for (uint32_t generation = 0; generation < 256; ++generation)
    EXPECT_EQ(table.Find(generation << HandleTable::kIndexBits), nullptr) << generation;
  table.Remove(a);
  EXPECT_EQ(table.Find(a), nullptr);
  table.Remove(a);  // a second removal of a stale handle changes nothing
  const uint32_t b = table.Add({&instance, 2, 0});
  ASSERT_NE(b, 0u);
  EXPECT_EQ(b & HandleTable::kIndexMask, a & HandleTable::kIndexMask);  // the freed slot, reused
  EXPECT_NE(b, a);
  EXPECT_EQ(table.Find(a), nullptr);
  ASSERT_NE(table.Find(b), nullptr);
  EXPECT_EQ(table.Find(b)->block, 2u);
  // Past the table's end.
  EXPECT_EQ(table.Find(HandleTable::kIndexMask), nullptr);
  table.Remove(b);
}

// Each static class has one instance per context, whichever was asked for
// last; other classes have none.
TEST(RuntimeObjects, StaticInstancesAreOnePerClassAndContext) {
  RuntimeTest::Folder folder;
  folder.Compile("s",
                 "static class A {\n  public native int F(void);\n};\n"
                 "static class B {\n  public native int G(void);\n};\n"
                 "class C {\n  public int n;\n};\n");
  GSMachine machine;
  ASSERT_TRUE(machine.AddLibrary(folder.Path(), "s.gsl"));
  GSLibrary* lib = machine.GetLibraryByName("s.gsl");
  GSClass* a = lib->FindClass("A");
  GSClass* b = lib->FindClass("B");
  GSClass* c = lib->FindClass("C");
  ASSERT_TRUE(a && b && c);
  GSContext one, two;
  GSObject* a1 = one.GetStaticInstance(a);
  ASSERT_NE(a1, nullptr);
  GSObject* b1 = one.GetStaticInstance(b);
  ASSERT_NE(b1, nullptr);
  EXPECT_NE(a1, b1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(one.GetStaticInstance(a), a1);
    EXPECT_EQ(one.GetStaticInstance(a), a1);
    EXPECT_EQ(one.GetStaticInstance(b), b1);
    EXPECT_EQ(one.GetStaticInstance(c), nullptr);
    EXPECT_EQ(one.GetStaticInstance(nullptr), nullptr);
  }
  GSObject* a2 = two.GetStaticInstance(a);
  ASSERT_NE(a2, nullptr);
  EXPECT_NE(a2, a1);
  EXPECT_EQ(a2->Context(), &two);
  EXPECT_EQ(one.GetStaticInstance(a), a1);
}

TEST(RuntimeObjects, PoolGrowsBlocksAndReusesFreedSlots) {
  GSContext context;
  std::vector<GSString*> strings;
  for (int i = 0; i < 1023; ++i) strings.push_back(GSString::Create(&context, "x"));
  EXPECT_EQ(context.Pool().BlockCount(), 2u);
  ReleaseHandle(strings[5]->GetScriptHandle());  // a slot of the full first block
  GSString* again = GSString::Create(&context);
  EXPECT_EQ(context.Pool().BlockCount(), 2u);
  EXPECT_EQ(TrackedPool::GetPool(again->Instance()), &context.Pool());
}

TEST(RuntimeObjects, StaleHandlesNeverReachANewObject) {
  GSString* s = GSString::Create(nullptr, "a");
  const uint32_t h = s->GetScriptHandle();
  EXPECT_EQ(GetObject(h), s);
  ReleaseHandle(h);
  GSString* t = GSString::Create(nullptr, "b");
  EXPECT_NE(t->GetScriptHandle(), h);
  EXPECT_EQ(GetObject(h), nullptr);
  EXPECT_EQ(GetObject(0), nullptr);
  ReleaseHandle(t->GetScriptHandle());
  // However often a slot is reused, an old handle never comes back.
  for (int i = 0; i < 600; ++i) {
    GSString* u = GSString::Create(nullptr);
    ASSERT_NE(u->GetScriptHandle(), h);
    ReleaseHandle(u->GetScriptHandle());
  }
}

TEST(RuntimeObjects, StoreAcrossContextsStoresNullUnlessShared) {
  RuntimeTest::Folder folder;
  folder.Compile("m", "class Node {\n  public Node next;\n};\n");
  GSMachine machine;
  ASSERT_TRUE(machine.AddLibrary(folder.Path(), "m.gsl"));
  GSClass* node = machine.GetLibraryByName("m.gsl")->FindClass("Node");
  GSContext one, two;
  GSObject a, b;
  ASSERT_TRUE(a.BindScriptClass(node, &one));
  ASSERT_TRUE(b.BindScriptClass(node, &two));
  StoreMember(a.Instance(), 2, b.GetScriptHandle());
  EXPECT_EQ(a.Instance()->cells[2], 0u);
  EXPECT_EQ(b.Instance()->refCount, 1);
  two.SetShared(true);
  StoreMember(a.Instance(), 2, b.GetScriptHandle());
  EXPECT_EQ(a.Instance()->cells[2], b.GetScriptHandle());
  EXPECT_EQ(b.Instance()->refCount, 2);
  StoreMember(a.Instance(), 2, 0);
  EXPECT_EQ(b.Instance()->refCount, 1);
}

TEST(RuntimeObjects, StringRanges) {
  GSString* s = GSString::Create(nullptr, "hello");
  GSString* x = GSString::Create(nullptr, "XY");
  struct Case {
    int32_t start, end;
    bool ok;
    const char* sub;
  };
  for (const Case& c : {Case{1, 3, true, "el"}, Case{-4, 2, true, "he"}, Case{2, -1, true, "llo"},
                        Case{3, 9, true, "lo"}, Case{4, 2, false, ""}, Case{5, 5, true, ""}}) {
    std::string out;
    EXPECT_EQ(s->Substring(c.start, c.end, out), c.ok) << c.start << "," << c.end;
    if (c.ok) {
      EXPECT_EQ(out, c.sub);
    }
  }
  EXPECT_TRUE(s->Replace(1, 3, x));
  EXPECT_EQ(s->Text(), "hXYlo");
  EXPECT_TRUE(s->Replace(0, 1, nullptr));
  EXPECT_EQ(s->Text(), "XYlo");
  EXPECT_FALSE(s->Replace(3, 1, x));
  ReleaseHandle(s->GetScriptHandle());
  ReleaseHandle(x->GetScriptHandle());
}

TEST(RuntimeObjects, ArrayRanges) {
  GSArray* a = GSArray::Create(nullptr, false);
  GSArray* b = GSArray::Create(nullptr, false);
  ASSERT_TRUE(b->SetSize(2));
  b->Data()[0] = 7;
  b->Data()[1] = 8;
  ASSERT_TRUE(a->SetSize(3));
  EXPECT_TRUE(a->SetSize(1));  // smaller: unchanged
  EXPECT_EQ(a->Size(), 3u);
  EXPECT_TRUE(a->Splice(5, 5, b));  // past the size: null cells pad
  EXPECT_EQ(std::vector<uint32_t>(a->Data(), a->Data() + a->Size()),
            (std::vector<uint32_t>{0, 0, 0, 0, 0, 7, 8}));
  EXPECT_TRUE(a->Splice(1, 5, nullptr));
  EXPECT_EQ(a->Size(), 3u);
  EXPECT_FALSE(a->Splice(2, 1, b));
  GSArray* objects = GSArray::Create(nullptr, true);
  EXPECT_FALSE(a->Splice(0, 0, objects));  // another element kind
  EXPECT_TRUE(a->AssignRange(b, 1, -1));
  EXPECT_EQ(a->Size(), 1u);
  EXPECT_EQ(a->At(0), 8u);
  EXPECT_FALSE(a->SetSize(int64_t(GSArray::kMaxSize) + 1));
  // An object array holds one reference per element.
  GSString* s = GSString::Create(nullptr, "s");
  ASSERT_TRUE(objects->SetObjectElement(2, s->GetScriptHandle()));
  ASSERT_TRUE(objects->Splice(0, 0, objects));
  EXPECT_EQ(s->Instance()->refCount, 3);
  EXPECT_TRUE(objects->SetSize(0));
  EXPECT_EQ(s->Instance()->refCount, 1);
  for (GSObjectReference* o : std::initializer_list<GSObjectReference*>{a, b, objects, s})
    ReleaseHandle(o->GetScriptHandle());
}

TEST(RuntimeDateTime, PacksAtTheFieldLimits) {
  PackedDateTime p;
  p.time = 0xAB000000;
  p.date = 0xCD000000;
  p.Set(Kiv::LocalTime{2022, 12, 31, 6, 23, 59, 58, 999});
  EXPECT_EQ(p.time, 0xAB000000u | (23u << 19 | 59u << 13 | 58u << 7 | 103u));
  EXPECT_EQ(p.date, 0xCD000000u | (2022u << 12 | 12u << 8 | 31u << 3 | 6u));
  p.Set(Kiv::LocalTime{4096 + 5, 1, 1, 0, 0, 0, 0, 0});
  EXPECT_EQ(p.date & 0xFFFFFF, 5u << 12 | 1u << 8 | 1u << 3);
}

TEST(RuntimeContainers, WordKeyedTableAndLinkList) {
  Utils::HashTable<int> table;
  EXPECT_TRUE(table.Insert(7, std::make_unique<int>(1)));
  EXPECT_FALSE(table.Insert(7, std::make_unique<int>(2)));
  EXPECT_EQ(table.Count(), 1u);
  EXPECT_TRUE(table.Insert(2, std::make_unique<int>(3)));  // 2 and 3 share a bucket
  EXPECT_TRUE(table.Insert(3, std::make_unique<int>(4)));
  EXPECT_EQ(*table.Find(2), 3);
  EXPECT_EQ(*table.Find(3), 4);
  EXPECT_EQ(table.Find(5), nullptr);
  Utils::IDoubleLinkList list;
  Utils::IDoubleLinkListNode a, b;
  list.Append(&a);
  list.Append(&b);
  EXPECT_EQ(list.First(), &a);
  list.Clear();
  EXPECT_TRUE(!a.Linked() && !b.Linked() && !a.owner && list.First() == nullptr);
}

}  // namespace
