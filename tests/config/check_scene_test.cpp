// The schema manager's check scene and the shared material resources.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/DataManager.h"
#include "kiv/Log.h"
#include "kiv/TempFolder.h"
#include "kiv/render/Plugin.h"

namespace {

class LogLines {
public:
  LogLines() {
    m_id = Kiv::Log::Instance().AddListener(
        [this](Kiv::LogLevel, std::string_view l) { m_lines.emplace_back(l); });
  }
  ~LogLines() { Kiv::Log::Instance().RemoveListener(m_id); }
  std::vector<std::string> Matching(const std::string& part) const {
    std::vector<std::string> out;
    for (const auto& line : m_lines) {
      if (line.find(part) != std::string::npos) out.push_back(line);
    }
    return out;
  }

private:
  int m_id;
  std::vector<std::string> m_lines;
};

class CheckScene : public ::testing::Test {
protected:
  void SetUp() override {
    Kiv::PluginSystem::Instance().Clear();
    ASSERT_FALSE(m_temp.Root().empty());
    EXPECT_TRUE(OBLLib::DataManager::Create((m_temp.Root() + "/").c_str()));
    m_kernel = Kiv::RenderKernel::Create("-Hidden");
    ASSERT_TRUE(m_kernel);
  }
  void TearDown() override {
    OBLLib::DataManager::ReleaseSharedResources();
    OBLLib::DataManager::Destroy();
    OBLLib::DataManager::SetSharedCacheFactory(nullptr);
    Kiv::PluginSystem::Instance().Clear();
  }
  Kiv::TempFolder m_temp{"scene"};
  std::unique_ptr<Kiv::RenderKernel> m_kernel;
};

TEST_F(CheckScene, TheSceneHangsInTheKernelWithALightForAView) {
  OBLLib::DataManager* dm = OBLLib::DataManager::Instance();
  EXPECT_FALSE(dm->HasScene());
  Kiv::View view;
  view.direction[1] = -1.0f;
  Kiv::RenderContext context{m_kernel.get(), &view};
  ASSERT_TRUE(dm->SetUpScene(context));
  ASSERT_TRUE(dm->HasScene());
  EXPECT_EQ(Kiv::RenderKernel::Current(), m_kernel.get());
  ASSERT_EQ(m_kernel->GetSceneGraph().GetChildren().size(), 1u);
  EXPECT_EQ(m_kernel->GetSceneGraph().GetChildren()[0].get(), dm->SceneRoot());
  EXPECT_EQ(view.scene.get(), dm->SceneRoot());
  Kiv::ParallelLight* light = dm->SceneLight();
  ASSERT_NE(light, nullptr);
  EXPECT_EQ(light->GetParent(), dm->SceneRoot());
  EXPECT_EQ(light->flags & 4u, 4u);
  EXPECT_FLOAT_EQ(light->range, 100000.0f);
  EXPECT_FLOAT_EQ(light->diffuse[0], 0.7f);
  EXPECT_FLOAT_EQ(light->specular[2], 0.6f);
  EXPECT_FLOAT_EQ(light->ambient[1], 0.1f);
  EXPECT_FLOAT_EQ(light->direction[1], -1.0f);
  EXPECT_EQ(m_kernel->GetDisplay()->GetFogMode(), 3);
  EXPECT_FLOAT_EQ(m_kernel->GetDisplay()->GetFogDensity(), 1e-18f);
  OBLLib::DataManager::Destroy();
  EXPECT_TRUE(m_kernel->GetSceneGraph().GetChildren().empty());
  EXPECT_EQ(view.scene, nullptr);
  EXPECT_EQ(Kiv::RenderKernel::Current(), nullptr);

  // Without a view the scene has no light and the fog is left alone.
  EXPECT_TRUE(OBLLib::DataManager::Create((m_temp.Root() + "/").c_str()));
  Kiv::Display* display = m_kernel->GetDisplay();
  display->SetFogMode(0);
  EXPECT_TRUE(OBLLib::DataManager::Instance()->SetUpScene({m_kernel.get(), nullptr}));
  EXPECT_EQ(OBLLib::DataManager::Instance()->SceneLight(), nullptr);
  EXPECT_EQ(display->GetFogMode(), 0);
}

TEST_F(CheckScene, RegistrationRunsOnceAndLogsEveryTypeThatDoesNotLoad) {
  OBLLib::DataManager::ReleaseSharedResources();  // nothing to release: no effect
  EXPECT_FALSE(OBLLib::DataManager::SharedResourcesRegistered());
  {
    // No scene kernel yet: nothing can be registered.
    LogLines log;
    OBLLib::DataManager::RegisterRovanaBumpVertexType();
    EXPECT_FALSE(OBLLib::DataManager::SharedResourcesRegistered());
  }
  EXPECT_TRUE(OBLLib::DataManager::Instance()->SetUpScene({m_kernel.get(), nullptr}));
  Kiv::PluginSystem::Instance().Clear();  // no material type at all
  LogLines log;
  OBLLib::DataManager::RegisterRovanaBumpVertexType();
  EXPECT_TRUE(OBLLib::DataManager::SharedResourcesRegistered());
  const auto lines = log.Matching("DataManager::RegisterRovanaBumpVertexType> Unable to load 'm.");
  const char* types[] = {"tbumptex",        "tbumpcoltex",    "tbumpglosscol", "tbumpenv",   "tgroundonetex",
                         "tgroundonetexvs", "tonetexnoalpha", "tbumpgloss",    "tglossrust", "notex",
                         "onetex",          "nofogtex",       "gloss",         "reflect"};
  ASSERT_EQ(lines.size(), 14u);
  for (size_t i = 0; i < 14; ++i)
    EXPECT_NE(lines[i].find(std::string("'m.") + types[i] + "'"), std::string::npos);
  EXPECT_EQ(OBLLib::DataManager::SharedVertexTypeCount(), 0u);
  // Only the engine's plain cache without a factory.
  EXPECT_EQ(m_kernel->GetCacheManager().Count(), 1u);
  OBLLib::DataManager::RegisterRovanaBumpVertexType();
  EXPECT_EQ(log.Matching("Unable to load").size(), 14u);
  OBLLib::DataManager::ReleaseSharedResources();
  EXPECT_FALSE(OBLLib::DataManager::SharedResourcesRegistered());
  EXPECT_EQ(m_kernel->GetCacheManager().Count(), 0u);
}

TEST_F(CheckScene, EngineTypesLoadAndTheReflectiveOnesTakeTheSharedTexture) {
  EXPECT_TRUE(OBLLib::DataManager::Instance()->SetUpScene({m_kernel.get(), nullptr}));
  int made = 0;
  std::shared_ptr<Kiv::RenderingCache> sorted;
  OBLLib::DataManager::SetSharedCacheFactory([&] {
    ++made;
    sorted = std::make_shared<Kiv::AlphaBlendCache>();
    return std::vector<std::shared_ptr<Kiv::RenderingCache>>{sorted};
  });
  Kiv::RegisterEngineMaterialTypes();
  LogLines log;
  OBLLib::DataManager::RegisterRovanaBumpVertexType();
  EXPECT_EQ(made, 1);
  // The program's own types are not registered here; the engine's are.
  EXPECT_EQ(log.Matching("Unable to load").size(), 6u);
  EXPECT_TRUE(log.Matching("'m.onetex'").empty());
  auto gloss = OBLLib::DataManager::SharedMaterial("gloss");
  ASSERT_TRUE(gloss);
  EXPECT_EQ(gloss->GetTexture(9), m_kernel->GetSharedTextures().GetTexture(0));
  EXPECT_EQ(OBLLib::DataManager::SharedVertexTypeCount(), 4u);
  // The made blend cache, the plain one, and the mask and chunk caches the
  // materials made; the materials share the made blend cache.
  EXPECT_EQ(m_kernel->GetCacheManager().Count(), 4u);
  EXPECT_EQ(m_kernel->GetCacheManager().FindCache(Kiv::AlphaBlendCache::AlphaBlendCacheID), sorted);
  EXPECT_NE(m_kernel->GetCacheManager().FindCache(Kiv::UnsortedAlphaBlendCache::UnsortedAlphaBlendCacheID),
            nullptr);
  OBLLib::DataManager::ReleaseSharedResources();
  EXPECT_EQ(OBLLib::DataManager::SharedMaterial("gloss"), nullptr);

  // A shared texture collection that fails is logged; the rest goes on.
  m_kernel->GetSharedTextures().InjectFailure(true);
  OBLLib::DataManager::RegisterRovanaBumpVertexType();
  EXPECT_EQ(log.Matching("DataManager::RegisterRovanaBumpVertexType> SharedTextureCollection failed").size(),
            1u);
  EXPECT_EQ(OBLLib::DataManager::SharedMaterial("gloss")->GetTexture(9), nullptr);
}

}  // namespace
