#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <limits>

#include "foundation/FileUtil.h"
#include "foundation/Geometry.h"
#include "foundation/Identifiable.h"
#include "foundation/RefArray.h"
#include "foundation/UrlParts.h"
#include "kiv/TempFolder.h"

TEST(UrlParts, ParsesTheParts) {
  // scheme|user|password|host|port|path|query|fragment
  const struct {
    const char* url;
    const char* parts;
  } cases[] = {{"oalogin://", "oalogin||||0|||"},
               {"HTTPS://user:pw@Example.org:8443/a/b.php?x=1&y=2#top",
                "https|user|pw|Example.org|8443|/a/b.php|x=1&y=2|top"},
               {"http://[::1]:80/", "http|||[::1]|80|/||"},
               {"mailto:someone", "mailto||||0|someone||"}};
  for (const auto& c : cases) {
    UrlParts u;
    ASSERT_TRUE(u.Parse(c.url)) << c.url;
    EXPECT_EQ(u.scheme + "|" + u.user + "|" + u.password + "|" + u.host + "|" + std::to_string(u.port) + "|" +
                  u.path + "|" + u.query + "|" + u.fragment,
              c.parts);
  }
}

TEST(UrlParts, RefusesMalformedText) {
  UrlParts url;
  for (const char* bad :
       {"", "://x", "no scheme", "1http://x", "ht tp://x", "http://x:0/", "http://x:65536/", "http://x:12a/",
        "http://x:/", "http://[::1/", "http://[::1]x/", "http://a b/", "http://x\n/"}) {
    EXPECT_FALSE(url.Parse(bad)) << bad;
    EXPECT_EQ(url.scheme, "");
  }
}

TEST(Geometry, TriangleDegeneracyThreshold) {
  const float a[3] = {0, 0, 0};
  const float b[3] = {1, 0, 0};
  const float c[3] = {0, 1, 0};
  EXPECT_TRUE(IsTriangleNonDegenerate(a, b, c));  // |n|^2 = 1
  const float line[3] = {2, 0, 0};
  EXPECT_FALSE(IsTriangleNonDegenerate(a, b, line));
  EXPECT_FALSE(IsTriangleNonDegenerate(a, a, a));
  // |n|^2 = 0.09 and 0.1024: either side of 0.1.
  const float s1[3] = {0.3f, 0, 0}, t1[3] = {0, 1, 0};
  EXPECT_FALSE(IsTriangleNonDegenerate(a, s1, t1));
  const float s2[3] = {0.32f, 0, 0};
  EXPECT_TRUE(IsTriangleNonDegenerate(a, s2, t1));
  const float nan[3] = {std::numeric_limits<float>::quiet_NaN(), 0, 0};
  EXPECT_FALSE(IsTriangleNonDegenerate(a, nan, c));
}

namespace {

struct Counted {
  int refs = 1;
  int* released;
  explicit Counted(int* r) : released(r) {}
  void AddRef() { ++refs; }
  void Release() {
    if (--refs == 0) ++*released;
  }
};

}  // namespace

TEST(RefArray, ReleasesElementsWithTheLastReference) {
  int released = 0;
  Counted x(&released), y(&released);
  Kiv::Ref<RefArray<Counted>> held = RefArray<Counted>::Create(3);
  RefArray<Counted>* array = held.Get();
  EXPECT_EQ(array->GetReferenceCount(), 1);  // the one holder
  array->Set(0, &x);
  array->Set(2, &y);
  volatile uint32_t pastEnd = 7;
  array->Set(pastEnd, &y);  // ignored
  EXPECT_EQ(x.refs, 2);
  EXPECT_EQ(y.refs, 2);
  EXPECT_EQ(array->Get(1), nullptr);
  EXPECT_EQ(array->Get(9), nullptr);
  EXPECT_FALSE(array->IsShared());
  array->AddRef();
  EXPECT_TRUE(array->IsShared());
  Kiv::Ref<RefArray<Counted>> copy = array->Clone();
  EXPECT_FALSE(copy->IsShared());
  EXPECT_EQ(x.refs, 3);
  RefArray<Counted>::Release(array);
  EXPECT_EQ(x.refs, 3);
  held.Reset();  // last reference
  EXPECT_EQ(x.refs, 2);
  copy->Set(0, &y);  // replaces and releases x
  EXPECT_EQ(x.refs, 1);
  copy.Reset();
  EXPECT_EQ(y.refs, 1);
  RefArray<Counted>::Release(nullptr);
  EXPECT_EQ(released, 0);
}

namespace {

struct Recipient : NuMessageRecipient {
  int answer;
  int seen = 0;
  explicit Recipient(int a) : answer(a) {}
  int ReceiveMessage(const Kiv::PString& name, const void* target) override {
    if (name == Kiv::PString("mine")) {
      ++seen;
      return answer;
    }
    return NuMessageRecipient::ReceiveMessage(name, target);
  }
};

struct Holder : AutoReleasingResource, IdentifiableType {
  int releases = 0;
  void Release() override { ++releases; }
};

}  // namespace

TEST(NuMessageRecipient, ForwardsToTargetOrAnswersOne) {
  NuMessageRecipient plain;
  EXPECT_EQ(plain.ReceiveMessage("anything", nullptr), 1);
  Recipient end(7), middle(9);
  EXPECT_TRUE(middle.SetTarget(&end));
  EXPECT_EQ(middle.ReceiveMessage("mine", nullptr), 9);
  EXPECT_TRUE(plain.SetTarget(&middle));
  EXPECT_EQ(plain.ReceiveMessage("other", nullptr), 1);
  // A forwarding cycle is refused.
  EXPECT_FALSE(end.SetTarget(&plain));
  EXPECT_FALSE(end.SetTarget(&end));
  EXPECT_EQ(end.GetTarget(), nullptr);
}

TEST(AutoReleasingResources, HeadDestructionDetachesHolders) {
  Holder a, b, c;
  {
    LinkedListHead<AutoReleasingResource> head;
    head.PushBack(&a.Node());
    head.PushBack(&b.Node());
    head.PushBack(&c.Node());
    EXPECT_EQ(head.First()->Item(), &a);
    head.Unlink(&b.Node());
    EXPECT_FALSE(b.IsLinked());
    EXPECT_EQ(head.First()->Next()->Item(), &c);
    {
      Holder temporary;
      head.PushBack(&temporary.Node());
      EXPECT_EQ(head.Last()->Item(), &temporary);
    }  // a destroyed holder unlinks itself
    EXPECT_EQ(head.Last()->Item(), &c);
    LinkedListHead<AutoReleasingResource> other;
    other.Unlink(&a.Node());  // not its node: nothing happens
    EXPECT_TRUE(a.IsLinked());
  }
  // The head is gone: holders are detached and their destruction touches nothing.
  EXPECT_FALSE(a.IsLinked());
  EXPECT_FALSE(c.IsLinked());
  EXPECT_EQ(a.Node().Next(), nullptr);
  EXPECT_EQ(a.releases, 0);
  AutoReleasingResources().PushBack(&a.Node());
  EXPECT_TRUE(a.IsLinked());
}

TEST(FileUtil, ExistsRenameAndTextureNames) {
  namespace fs = std::filesystem;
  const Kiv::TempFolder temp("rovana-futil");
  const fs::path dir = temp.Root();
  fs::create_directories(dir / "Sub");
  std::ofstream(dir / "Sub" / "Tex.Texture.TXT") << "Primary=a.bmp\n";
  const std::string base = dir.string();
  EXPECT_TRUE(FileExistsUnder(base.c_str(), "sub/tex.texture.txt"));
  EXPECT_TRUE(FileExistsUnder(base.c_str(), "SUB\\Tex.texture.txt"));
  EXPECT_FALSE(FileExistsUnder(base.c_str(), "sub/none.txt"));
  EXPECT_TRUE(FileExistsUnder(nullptr, "relative/without/base"));
  EXPECT_TRUE(FileExistsUnder(nullptr, (dir / "Sub").string()));
  EXPECT_FALSE(FileExistsUnder(nullptr, (dir / "nothing").string()));

  EXPECT_TRUE(RenameFileUnder(base.c_str(), "sub/tex.texture.txt", "sub/renamed.txt"));
  EXPECT_TRUE(fs::exists(dir / "Sub" / "renamed.txt"));
  EXPECT_FALSE(RenameFileUnder(base.c_str(), "sub/tex.texture.txt", "sub/again.txt"));
  EXPECT_FALSE(RenameFileUnder(base.c_str(), "sub/renamed.txt", "nofolder/x.txt"));
  EXPECT_TRUE(fs::exists(dir / "Sub" / "renamed.txt"));
  // An existing file of the target name is never replaced.
  std::ofstream(dir / "Sub" / "keep.txt") << "keep me";
  EXPECT_FALSE(RenameFileUnder(base.c_str(), "sub/renamed.txt", "sub/KEEP.txt"));
  std::ifstream kept(dir / "Sub" / "keep.txt");
  std::string keptText((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
  EXPECT_EQ(keptText, "keep me");
  EXPECT_TRUE(fs::exists(dir / "Sub" / "renamed.txt"));
  EXPECT_TRUE(RenameFileUnder(base.c_str(), "sub/renamed.txt", "sub/final.txt"));
  EXPECT_TRUE(fs::exists(dir / "Sub" / "final.txt"));

  for (const char* yes : {"wall.texture.txt", "A/B/WALL.TEXTURE.TXT"})
    EXPECT_TRUE(IsTextureTxtFile(yes)) << yes;
  for (const char* no : {"wall.txt", "texture.txt", "wall.convert-tex.txt"})
    EXPECT_FALSE(IsTextureTxtFile(no)) << no;
}
