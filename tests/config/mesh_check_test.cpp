// The schema manager's mesh check: which files load by extension, the
// current mesh, and the performance warnings of meshes with levels.
#include <gtest/gtest.h>

#include "ConfigFixture.h"
#include "config/MeshProbe.h"

using OBLLib::CheckedMesh;
using OBLLib::Container;
using OBLLib::DataManager;
using OBLLib::ErrorHandler;
using OBLLib::MeshLoader;
using P = Kiv::PString;

namespace {

struct FakeMesh : CheckedMesh {
  FakeMesh(std::vector<uint32_t> levels, size_t attachments, int& alive)
      : CheckedMesh(OBLLib::MeshInfo{}),
        m_levels(std::move(levels)),
        m_attachments(attachments),
        m_alive(alive) {
    ++m_alive;
  }
  ~FakeMesh() override { --m_alive; }
  uint32_t LevelCount() const override { return uint32_t(m_levels.size()); }
  size_t AttachmentCount() const override { return m_attachments; }
  void SelectLevel(uint32_t level) override {
    if (level < m_levels.size()) m_selected = level;
  }
  uint32_t PolygonCount() const override { return m_selected < m_levels.size() ? m_levels[m_selected] : 0; }
  bool LoadAnimation(const P& name) override {
    animations.push_back(name.Str());
    return true;
  }
  std::vector<uint32_t> m_levels;
  size_t m_attachments;
  uint32_t m_selected = 0;
  int& m_alive;
  std::vector<std::string> animations;
};

struct FakeLoader : MeshLoader {
  std::unique_ptr<CheckedMesh> Load(Form form, const P& path, Container*) override {
    calls.emplace_back(form, path.Str());
    if (fail) return nullptr;
    return std::make_unique<FakeMesh>(form == Form::kLevels ? levels : std::vector<uint32_t>{}, attachments,
                                      alive);
  }
  std::vector<std::pair<Form, std::string>> calls;
  std::vector<uint32_t> levels{200};
  size_t attachments = 0;
  bool fail = false;
  int alive = 0;
};

class MeshCheckTest : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    dm = Start(false);
    loader = std::make_shared<FakeLoader>();
    OBLLib::SetMeshLoader(loader);
    root.configSoup = Soup("kind scenery\n");
    // As an import makes it: the entry holds its own part of the config,
    // which names no kind.
    entry.configSoup = Soup("mesh \"tower.lm\"\n");
    entry.parent = &root;
  }
  void TearDown() override {
    dm->ClearLiveObjects();
    OBLLib::SetMeshLoader(nullptr);
    ConfigFixture::TearDown();
  }
  static std::string Text(const char* key) { return InterfaceTextDB::Instance().GetString(P(key)).Str(); }
  bool Reported(const char* key, int severity) const {
    for (const auto& e : EH().GetEntries())
      if (e.text.Str() == Text(key) && e.severity == severity) return true;
    return false;
  }

  DataManager* dm = nullptr;
  std::shared_ptr<FakeLoader> loader;
  Container root;
  Container entry;  // a mesh-table entry: its kind is the asset's
};

TEST_F(MeshCheckTest, AFewPolygonSingleLevelMeshOfAKindThatIsNotExempt) {
  CheckedMesh* mesh = dynamic_cast<CheckedMesh*>(dm->CheckLODMesh("tower/tower.lm", &entry));
  ASSERT_NE(mesh, nullptr);
  EXPECT_TRUE(Reported("$obl_lm_performance_no_attachments", ErrorHandler::kWarning));
  EXPECT_TRUE(Reported("$obl_lm_performance_single_lod", ErrorHandler::kWarning));
  EXPECT_TRUE(Reported("$obl_lm_performance_low_poly", ErrorHandler::kWarning));
  EXPECT_EQ(EH().GetEntries().size(), 3u);
  EXPECT_EQ(dm->CurrentMesh(), mesh);
  EXPECT_TRUE(mesh->isCurrent);
  EXPECT_EQ(dm->GetLiveObject(&entry), mesh);

  // The same mesh in an asset of an exempt kind (any case): no warnings.
  EH().Clear();
  root.configSoup = Soup("kind TrainCar\n");
  ASSERT_NE(dm->CheckLODMesh("tower/tower.lm", &entry), nullptr);
  EXPECT_TRUE(EH().GetEntries().empty());

  // Two levels, the lowest of 300 polygons, attachment points: nothing to say.
  root.configSoup = Soup("kind scenery\n");
  loader->levels = {1000, 300};
  loader->attachments = 2;
  ASSERT_NE(dm->CheckLODMesh("tower/tower.lm", &entry), nullptr);
  EXPECT_TRUE(EH().GetEntries().empty());
  loader->levels = {1000, 299};
  ASSERT_NE(dm->CheckLODMesh("tower/tower.lm", &entry), nullptr);
  EXPECT_TRUE(Reported("$obl_lm_performance_low_poly", ErrorHandler::kWarning));
  EXPECT_EQ(EH().GetEntries().size(), 1u);
}

TEST_F(MeshCheckTest, AMeshWithoutLevelsOrConfigGetsNoPerformanceWarnings) {
  // A LOD mesh with no levels has no lowest level to select.
  loader->levels = {};
  ASSERT_NE(dm->CheckLODMesh("a/empty.lm", &entry), nullptr);
  EXPECT_FALSE(Reported("$obl_lm_performance_low_poly", ErrorHandler::kWarning));
  EXPECT_FALSE(Reported("$obl_lm_performance_single_lod", ErrorHandler::kWarning));
  EH().Clear();
  // The text form and plain meshes are not judged; nor is a container
  // outside any config.
  ASSERT_NE(dm->CheckLODMesh("a/tower.lm.txt", &entry), nullptr);
  ASSERT_NE(dm->CheckLODMesh("a/body.im", &entry), nullptr);
  Container alone;
  loader->levels = {200};
  ASSERT_NE(dm->CheckLODMesh("a/tower.lm", &alone), nullptr);
  EXPECT_TRUE(EH().GetEntries().empty());
  ASSERT_EQ(loader->calls.size(), 4u);
  EXPECT_EQ(loader->calls[1], std::make_pair(MeshLoader::Form::kLevels, std::string("a/tower.lm.txt")));
  EXPECT_EQ(loader->calls[2], std::make_pair(MeshLoader::Form::kPlain, std::string("a/body.im")));
  // Other files are not meshes.
  EXPECT_EQ(dm->CheckLODMesh("a/notes.txt", &entry), nullptr);
  EXPECT_EQ(dm->CheckLODMesh("a/skin.texture", &entry), nullptr);
  EXPECT_EQ(dm->CheckLODMesh("", &entry), nullptr);
  EXPECT_EQ(loader->calls.size(), 4u);
}

TEST_F(MeshCheckTest, ASecondMeshForTheContainerReplacesTheFirst) {
  auto* first = dynamic_cast<CheckedMesh*>(dm->CheckLODMesh("a/one.im", &entry));
  Container other;
  auto* elsewhere = dynamic_cast<CheckedMesh*>(dm->CheckLODMesh("a/two.im", &other));
  EXPECT_FALSE(first->isCurrent);
  EXPECT_TRUE(elsewhere->isCurrent);
  EXPECT_EQ(loader->alive, 2);
  auto* second = dm->CheckLODMesh("a/three.im", &entry);
  EXPECT_EQ(loader->alive, 2);  // the first is deleted
  EXPECT_EQ(dm->GetLiveObject(&entry), second);
  EXPECT_EQ(dm->CurrentMesh(), second);
  EXPECT_FALSE(elsewhere->isCurrent);

  // A failed load sets the failure flag and keeps what was filed.
  loader->fail = true;
  EXPECT_EQ(dm->CheckLODMesh("a/four.lm", &entry), nullptr);
  EXPECT_TRUE(dm->meshFailure);
  EXPECT_EQ(dm->GetLiveObject(&entry), second);
  dm->ClearLiveObjects();
  EXPECT_EQ(loader->alive, 0);
}

TEST_F(MeshCheckTest, ProgressiveMeshesByBuildAndAnimations) {
  dm->build = 2.8f;
  EXPECT_EQ(dm->CheckLODMesh("a/old.pm", &entry), nullptr);
  EXPECT_TRUE(Reported("$obl_dm_unsupportedformat", ErrorHandler::kWarning));
  EXPECT_TRUE(dm->meshFailure);
  EXPECT_EQ(loader->alive, 0);  // loaded for its findings only
  EXPECT_EQ(loader->calls.size(), 1u);
  EH().Clear();
  dm->build = 2.9f;
  EXPECT_EQ(dm->CheckLODMesh("a/old.pm", &entry), nullptr);
  EXPECT_TRUE(Reported("$obl_dm_unsupportedformat", ErrorHandler::kError));

  // An animation before any mesh: reported once per check.
  EH().Clear();
  dm->meshFailure = false;
  EXPECT_EQ(dm->CheckLODMesh("a/walk.kin", &entry), nullptr);
  EXPECT_EQ(dm->CheckLODMesh("a/run.kin", &entry), nullptr);
  EXPECT_TRUE(Reported("$obl_dm_animationfailed", ErrorHandler::kError));
  EXPECT_EQ(EH().GetEntries().size(), 1u);

  // With a mesh that takes animations, they go to it.
  dm->meshFailure = false;
  auto* mesh = dynamic_cast<FakeMesh*>(dm->CheckLODMesh("a/body.im", &entry));
  ASSERT_NE(mesh, nullptr);
  EXPECT_EQ(dm->CheckLODMesh("a/walk.kin", &entry), nullptr);
  EXPECT_EQ(mesh->animations, std::vector<std::string>{"a/walk.kin"});
  mesh->allowsAnimation = false;
  EXPECT_EQ(dm->CheckLODMesh("a/run.kin", &entry), nullptr);
  EXPECT_EQ(mesh->animations.size(), 1u);
  EXPECT_TRUE(dm->meshFailure);
}

}  // namespace
