#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "graphics/material/AlphaBlendCacheUnsorted.h"
#include "graphics/material/RovanaMaterialPlugins.h"
#include "graphics/material/RovanaProgramTexts.h"
#include "kiv/render/Resource.h"

namespace Kiv {
namespace {

// A kernel with the engine's material types and the program's plug-ins.
class PluginFixture : public testing::Test {
protected:
  void SetUp() override { Start(""); }
  void TearDown() override { PluginSystem::Instance().Clear(); }
  void Start(const char* options) {
    PluginSystem::Instance().Clear();
    kernel = RenderKernel::Create(options);
    ASSERT_TRUE(kernel);
    KivGetPlugins();
  }
  template <class T>
  T* Plugin() {
    for (PluginType* p : PluginSystem::Instance().Registrations()) {
      if (auto* t = dynamic_cast<T*>(p)) return t;
    }
    return nullptr;
  }
  std::shared_ptr<Material> Make(const char* type) {
    std::shared_ptr<Material> material;
    EXPECT_EQ(kernel->GetMaterialManager().Find(std::string("RovanaDummyLoad.m.") + type, material), 0)
        << type;
    return material;
  }
  Display& display() { return *kernel->GetDisplay(); }
  std::unique_ptr<RenderKernel> kernel;
};

TEST(MaterialPlugins, ExportRegistersItsObjectsInOrderWithTheirIdentities) {
  PluginSystem::Instance().Clear();
  KivGetPlugins();
  const auto registrations = PluginSystem::Instance().Registrations();
  const std::vector<std::pair<const char*, const char*>> materials = {
      {"tbumpgloss", "F7478888-C721-48AB-B3C0-19621E66554E"},
      {"tbumptex", "E34011F3-C721-48BA-B3C0-19621E408CBD"},
      {"tbumpenv", "0ECEE41C-76E7-47FD-ADBB-0E938E809C03"},
      {"tonetexnoalpha", "4BB6C98F-6FDF-4CB9-9CE2-7E40B2A78626"},
      {"tglossrust", "AFCA4E1B-811A-56EE-89E4-CAB13F9B6712"},
      {"tmpfx", "643AFE90-426A-46EE-C19F-FFA0A471ABD7"},
      {"nofogtex", "AB84944B-00A6-4A18-8BAF-4664E98075AA"},
  };
  ASSERT_EQ(registrations.size(), 12u);
  for (size_t i = 0; i < materials.size(); ++i) {
    auto* plugin = dynamic_cast<MaterialPlugin*>(registrations[i]);
    ASSERT_NE(plugin, nullptr) << i;
    EXPECT_EQ(plugin->GetTypeWord().View(), materials[i].first);
    EXPECT_EQ(plugin->GetUId().ToString(), materials[i].second);
  }
  EXPECT_NE(dynamic_cast<RovanaBumpGlossMaterialPlugin*>(registrations[0]), nullptr);
  EXPECT_NE(dynamic_cast<RovanaNoFogMaterialPlugin*>(registrations[6]), nullptr);
  const std::vector<std::pair<const char*, const char*>> resources = {
      {"im", "B9E68EA1-56A3-4A6D-9D5D-C5C020F944E6"},
      {"pm", "2E8739F0-412F-48C2-9F71-912B659C58B6"},
      {"lm.txt", "8FCC40D7-8BDD-4D14-B528-65692F5DF710"},
      {"lm", "8FCC40D7-8BDD-4D14-B528-65692F5DF710"},
      {"convert-tex.txt", "A6805E60-4C54-1278-1111-00010251467D"},
  };
  for (size_t i = 0; i < resources.size(); ++i) {
    auto* type = dynamic_cast<ResourceTypeBase*>(registrations[materials.size() + i]);
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->GetSuffix().View(), resources[i].first);
    EXPECT_EQ(type->GetTypeUId().ToString(), resources[i].second);
    EXPECT_EQ(type->GetCategoryUId().ToString(), "4C414E80-BBDA-11D4-9AD7-0001025364B8");
  }
  // "lm.txt" and "lm" are one class under one identity; each suffix makes its own resources.
  auto* lmText = dynamic_cast<ResourceTypeBase*>(registrations[9]);
  auto* lm = dynamic_cast<ResourceTypeBase*>(registrations[10]);
  ASSERT_TRUE(lmText && lm);
  EXPECT_EQ(lmText->GetTypeUId(), lm->GetTypeUId());
  EXPECT_EQ(lmText->GetObjectType(), lm->GetObjectType());
  EXPECT_EQ(lm->GetTypeUId().ToString(), "8FCC40D7-8BDD-4D14-B528-65692F5DF710");
  EXPECT_NE(lm->GetObjectType(), dynamic_cast<ResourceTypeBase*>(registrations[7])->GetObjectType());
  EXPECT_EQ(PluginSystem::Instance().FindResourceType("meshes/Body.LM.txt"), lmText);
  EXPECT_EQ(PluginSystem::Instance().FindResourceType("meshes/body.lm"), lm);
  EXPECT_EQ(PluginSystem::Instance().FindResourceType("meshes/body.im")->GetSuffix().View(), "im");
  EXPECT_EQ(PluginSystem::Instance().FindResourceType("meshes/body.xim"), nullptr);
  auto made = lm->CreateResource(PString("owner"), PString("body.lm"), nullptr);
  EXPECT_NE(made, nullptr);
  // The conversion resource is no engine resource.
  EXPECT_EQ(
      dynamic_cast<ResourceTypeBase*>(registrations[11])->CreateResource(PString(), PString("x"), nullptr),
      nullptr);
  // Longest suffix wins, whatever the case of the name.
  ResourceTypeBase* conversion = PluginSystem::Instance().FindResourceType("a/B.TEXTURE.Convert-Tex.TXT");
  ASSERT_NE(conversion, nullptr);
  EXPECT_EQ(conversion->GetSuffix().View(), "convert-tex.txt");
  EXPECT_EQ(PluginSystem::Instance().FindResourceType("convert-tex.txt"), nullptr);
  // "groundbase" has an identity but no plug-in.
  EXPECT_EQ(RovanaMaterialUId("groundbase").ToString(), "C271BEBB-D17E-4EBE-9582-D531F1E23727");
  EXPECT_EQ(PluginSystem::Instance().FindMaterialPlugin(PString("groundbase")), nullptr);
  PluginSystem::Instance().Clear();
  EXPECT_TRUE(PluginSystem::Instance().Registrations().empty());
}

TEST(MaterialPlugins, UIdTextParsesOnlyInItsOwnForm) {
  EXPECT_EQ(UId("e34011f3-c721-48ba-b3c0-19621e408cbd"), UId("E34011F3-C721-48BA-B3C0-19621E408CBD"));
  for (const char* bad : {"", "E34011F3C72148BAB3C019621E408CBD", "E34011F3-C721-48BA-B3C0-19621E408CB",
                          "E34011F3-C721-48BA-B3C0-19621E408CBDX", "G34011F3-C721-48BA-B3C0-19621E408CBD"}) {
    EXPECT_TRUE(UId(bad).IsNull()) << bad;
  }
}

TEST_F(PluginFixture, WeakDisplaysFallBackAlongTheChain) {
  Display weak;
  weak.SetCapability(21, true);  // but not 17
  PString fallback;
  EXPECT_FALSE(Plugin<RovanaBumpGlossMaterialPlugin>()->IsSupported(&weak, fallback));
  EXPECT_EQ(fallback.View(), "tglossrust");
  EXPECT_FALSE(Plugin<RovanaBumpEnvMaterialPlugin>()->IsSupported(&weak, fallback));
  EXPECT_EQ(fallback.View(), "tonetexnoalpha");
  EXPECT_FALSE(Plugin<RovanaBumpMaterialPlugin>()->IsSupported(&weak, fallback));
  EXPECT_EQ(fallback.View(), "onetex");
  EXPECT_FALSE(Plugin<RovanaGlossRustMaterialPlugin>()->IsSupported(&weak, fallback));
  EXPECT_FALSE(Plugin<RovanaMultiPFXMaterialPlugin>()->IsSupported(&weak, fallback));
  EXPECT_EQ(fallback.View(), "onetex");
  weak.SetCapability(17, true);
  weak.SetCapability(1, true);
  weak.SetTextureStageCount(2);
  EXPECT_TRUE(Plugin<RovanaBumpGlossMaterialPlugin>()->IsSupported(&weak, fallback));
  EXPECT_TRUE(Plugin<RovanaGlossRustMaterialPlugin>()->IsSupported(&weak, fallback));
  EXPECT_TRUE(Plugin<RovanaMultiPFXMaterialPlugin>()->IsSupported(&weak, fallback));

  // Through the manager on the null renderer the whole chain runs.
  Start("-NullRender");
  std::shared_ptr<Material> material;
  ASSERT_EQ(kernel->GetMaterialManager().Find("o*f*body.m.tbumpgloss", material), 0);
  EXPECT_EQ(material->GetTypeName().View(), "onetex");
  ASSERT_EQ(kernel->GetMaterialManager().Find("m.tbumpenv", material), 0);
  EXPECT_EQ(material->GetTypeName().View(), "tonetexnoalpha");
  EXPECT_EQ(kernel->GetMaterialManager().Find("m.nosuchtype", material), 3);
  EXPECT_EQ(kernel->GetMaterialManager().Find("plain", material), 3);
}

TEST_F(PluginFixture, EveryProbedTypeMakesAMaterialOnBothRenderers) {
  const char* types[] = {"tbumptex",        "tbumpcoltex",    "tbumpglosscol", "tbumpenv",   "tgroundonetex",
                         "tgroundonetexvs", "tonetexnoalpha", "tbumpgloss",    "tglossrust", "notex",
                         "onetex",          "nofogtex",       "gloss",         "reflect"};
  for (const char* options : {"", "-NullRender"}) {
    Start(options);
    for (const char* type : types) {
      auto material = Make(type);
      ASSERT_TRUE(material) << type << options;
      EXPECT_NE(material->GetPlugin(), nullptr);
    }
  }
}

TEST_F(PluginFixture, ProgramsAreRegisteredOnceAndReused) {
  VertexProgramManager& vertex = *display().GetVertexProgramManager();
  TextureCombinerManager& pixel = *display().GetTextureCombinerManager();
  auto* plugin = Plugin<RovanaBumpGlossMaterialPlugin>();
  auto first = plugin->CreateMaterial(&kernel->GetMaterialManager(), kernel.get());
  ASSERT_TRUE(first);
  EXPECT_EQ(vertex.Registrations(), 1u);
  EXPECT_EQ(pixel.Registrations(), 3u);
  EXPECT_EQ(vertex.LiveHandles() + pixel.LiveHandles(), 8);
  auto second = plugin->CreateMaterial(&kernel->GetMaterialManager(), kernel.get());
  ASSERT_TRUE(second);
  EXPECT_EQ(vertex.Registrations(), 1u);
  EXPECT_EQ(pixel.Registrations(), 3u);
  EXPECT_EQ(vertex.LiveHandles() + pixel.LiveHandles(), 8);
  auto& gloss = static_cast<RovanaBumpGlossMaterial&>(*second);
  EXPECT_EQ(gloss.Programs()[0]->name, "RovanaBumpGloss_ParallelLight");
  EXPECT_EQ(gloss.Programs()[3]->name, "RovanaBumpGlossMat_SpotLight");
  EXPECT_EQ(gloss.RustPrograms()[1]->name, "RovanaBumpRustMat_ParallelLight");
  EXPECT_EQ(gloss.RustPrograms()[3]->name, "RovanaBumpRustMat_ParallelLight");
  // The caches are the kernel's, found or made once.
  EXPECT_EQ(kernel->GetCacheManager().Count(), 3u);
  EXPECT_EQ(gloss.GetBlendCache(), kernel->GetCacheManager().FindCache(AlphaBlendCache::AlphaBlendCacheID));
  // The plain bump material's spot pass uses the parallel-light pixel program.
  auto bump = Make("tbumptex");
  auto& programs = static_cast<RovanaBumpMaterial&>(*bump).Programs();
  EXPECT_EQ(programs[3]->name, "RovanaBumpMat_ParallelLight");
  EXPECT_EQ(programs[2]->name, "RovanaBump_SpotLight");
}

TEST_F(PluginFixture, AFailedProgramStepReleasesEveryHandle) {
  display().GetVertexProgramManager()->InjectLookupFailure("RovanaBump_SpotLight");
  auto* plugin = Plugin<RovanaBumpGlossMaterialPlugin>();
  EXPECT_EQ(plugin->CreateMaterial(&kernel->GetMaterialManager(), kernel.get()), nullptr);
  for (const auto& handle : plugin->Programs()) EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(display().GetVertexProgramManager()->LiveHandles(), 0);
  EXPECT_EQ(display().GetTextureCombinerManager()->LiveHandles(), 0);
  std::shared_ptr<Material> material;
  EXPECT_EQ(kernel->GetMaterialManager().Find("m.tbumpgloss", material), 4);

  // Without a kernel or display no bump material and no multi-pass material is made.
  EXPECT_EQ(Plugin<RovanaBumpMaterialPlugin>()->CreateMaterial(nullptr, nullptr), nullptr);
  EXPECT_EQ(Plugin<RovanaMultiPFXMaterialPlugin>()->CreateMaterial(nullptr, nullptr), nullptr);
  kernel->DropDisplay();
  EXPECT_EQ(Plugin<RovanaBumpEnvMaterialPlugin>()->CreateMaterial(nullptr, kernel.get()), nullptr);
  EXPECT_EQ(Plugin<RovanaMultiPFXMaterialPlugin>()->CreateMaterial(nullptr, kernel.get()), nullptr);
  EXPECT_EQ(Plugin<RovanaGlossRustMaterialPlugin>()->CreateMaterial(nullptr, kernel.get()), nullptr);
}

TEST_F(PluginFixture, CombinerStatesAreMadeOnceAndFailuresReleaseThem) {
  auto* multi = Plugin<RovanaMultiPFXMaterialPlugin>();
  ASSERT_TRUE(multi->CreateMaterial(nullptr, kernel.get()));
  ASSERT_TRUE(multi->CreateMaterial(nullptr, kernel.get()));
  EXPECT_EQ(display().LiveCombinerStates(), 2);
  EXPECT_EQ(display().CountRequests("CreateCombinerState"), 2u);

  auto* rust = Plugin<RovanaGlossRustMaterialPlugin>();
  display().InjectCombinerFailure(2);  // the third state fails
  EXPECT_EQ(rust->CreateMaterial(nullptr, kernel.get()), nullptr);
  EXPECT_EQ(rust->StateCount(), 0);
  EXPECT_EQ(display().LiveCombinerStates(), 2);
  display().InjectCombinerFailure(-1);
  auto material = rust->CreateMaterial(nullptr, kernel.get());
  ASSERT_TRUE(material);
  EXPECT_EQ(rust->StateCount(), 4);
  auto& states = static_cast<RovanaGlossRustMaterial&>(*material).GetCombinerStates();
  ASSERT_EQ(states.size(), 4u);
  EXPECT_EQ(states[2]->stage, 0u);
  EXPECT_EQ(states[3]->colour, kGlossRustRust[1].colour);
  EXPECT_EQ(states[1]->alpha.args[0], (TexArg{0, 1, 1}));
  PluginSystem::Instance().Clear();
  EXPECT_EQ(display().LiveCombinerStates(), 0);
}

// One of each class, with every extra texture set.
std::vector<std::shared_ptr<Material>> OneOfEach(RenderKernel& kernel) {
  std::vector<std::shared_ptr<Material>> all;
  for (const char* type :
       {"tbumptex", "tbumpgloss", "tbumpenv", "tmpfx", "nofogtex", "tonetexnoalpha", "tglossrust"}) {
    std::shared_ptr<Material> m;
    EXPECT_EQ(kernel.GetMaterialManager().Find(std::string("m.") + type, m), 0);
    all.push_back(m);
  }
  all.push_back(std::make_shared<RovanaGroundBaseMaterial>(&kernel.GetMaterialManager()));
  auto main = std::make_shared<Texture>(PString("main"));
  for (auto& m : all) {
    EXPECT_EQ(m->SetTexture(0, main, 1.0f), kMaterialOk);
    for (uint32_t index : {9u, 12u}) m->SetTexture(index, std::make_shared<Texture>(PString("extra")), 0.8f);
  }
  return all;
}

TEST_F(PluginFixture, EqualsHoldsOnlyForTheIdenticalClass) {
  auto all = OneOfEach(*kernel);
  for (size_t a = 0; a < all.size(); ++a) {
    for (size_t b = 0; b < all.size(); ++b) {
      EXPECT_EQ(all[a]->Equals(*all[b]), a == b)
          << all[a]->GetTypeName().View() << " / " << all[b]->GetTypeName().View();
    }
    auto copy = all[a]->CreateInstance();
    const Material& copied = *copy;
    const Material& original = *all[a];
    EXPECT_EQ(typeid(copied), typeid(original));
    EXPECT_TRUE(copy->Equals(*all[a])) << all[a]->GetTypeName().View();
    EXPECT_TRUE(all[a]->Equals(*copy));
  }
  // A different extra texture or amount makes them differ.
  auto gloss = all[1]->CreateInstance();
  gloss->SetTexture(RovanaBumpGlossMaterial::kGlossIndex, all[1]->GetTexture(9), 0.5f);
  EXPECT_FALSE(gloss->Equals(*all[1]));
  auto bump = all[0]->CreateInstance();
  EXPECT_EQ(bump->DuplicateTexture(RovanaBumpMaterial::kBumpIndex), kMaterialOk);
  EXPECT_FALSE(bump->Equals(*all[0]));
  auto ground = std::make_shared<RovanaGroundBaseMaterial>(nullptr);
  auto other = std::make_shared<RovanaGroundBaseMaterial>(nullptr);
  other->alphaTest = true;
  EXPECT_FALSE(ground->Equals(*other));
}

TEST_F(PluginFixture, TextureSlotsAnswerWithTheirCodes) {
  auto bump = Make("tbumptex");
  // The bump map starts as the shared default.
  EXPECT_EQ(bump->GetTexture(8), kernel->GetSharedTextures().GetTexture(0));
  EXPECT_EQ(bump->SetTexture(8, std::shared_ptr<Texture>(), 1.0f), kMaterialNoTexture);
  bump->SetResourcePriority(7);
  auto bumpMap = std::make_shared<Texture>(PString("bump.texture"), false);
  EXPECT_EQ(bump->SetTexture(8, bumpMap, 1.0f), kMaterialOk);
  EXPECT_EQ(bumpMap->GetResourcePriority(), 7);
  EXPECT_EQ(bump->IsLoaded(), kMaterialNotLoaded);
  bumpMap->SetLoaded(true);
  EXPECT_EQ(bump->IsLoaded(), kMaterialOk);
  ASSERT_EQ(bump->GetTextures().size(), 1u);
  EXPECT_EQ(bump->GetTextures()[0].slot, 8u);
  EXPECT_EQ(bump->GetTextures()[0].path.View(), "bump.texture");
  // By name, from a folder that lacks the file: stored, but not loaded.
  ResourceDatabase folder("/nonexistent-folder");
  EXPECT_EQ(bump->SetTexture(8, &folder, PString("missing.texture"), 1.0f), kMaterialOk);
  EXPECT_EQ(bump->IsLoaded(), kMaterialNotLoaded);
  EXPECT_EQ(bump->GetAlphaHint(), -1);
  // Other indices go to the base.
  EXPECT_EQ(bump->GetTexture(12), nullptr);
  EXPECT_EQ(bump->DuplicateTexture(12), kMaterialNoTexture);

  auto gloss = Make("tbumpgloss");
  auto glossMap = std::make_shared<Texture>(PString("g"));
  EXPECT_EQ(gloss->SetTexture(9, glossMap, 0.4f), kMaterialOk);
  EXPECT_FLOAT_EQ(static_cast<RovanaBumpGlossMaterial&>(*gloss).GetAmount(), 0.4f);
  gloss->Activate(true);
  EXPECT_TRUE(glossMap->IsActive());
  gloss->CacheAlphaHint();
  EXPECT_EQ(gloss->GetAlphaHint(), 0);

  auto multi = Make("tmpfx");
  EXPECT_EQ(multi->IsLoaded(), kMaterialNotLoaded);  // no second texture yet
  auto second = std::make_shared<Texture>(PString("second"));
  EXPECT_EQ(multi->SetTexture(12, second, 1.0f), kMaterialOk);
  multi->SetResourcePriority(3);
  EXPECT_EQ(second->GetResourcePriority(), 3);
  EXPECT_EQ(multi->DuplicateTexture(12), kMaterialOk);
  EXPECT_NE(multi->GetTexture(12), second);
  EXPECT_EQ(multi->IsLoaded(), kMaterialOk);
}

TEST_F(PluginFixture, ChunksFollowTheHint) {
  auto bump = Make("tbumptex");
  auto gloss = Make("tbumpgloss");
  auto rust = Make("tglossrust");
  StandardChunkHint hint;
  hint.valid = true;
  hint.options = 2 | 1;  // shared data; bit 0 is cleared for the bump family
  hint.vertexBufferMode = 2;
  hint.indexBufferMode = 1;
  auto chunk = bump->CreateGeometryChunk(4, 2, 6, 2, 3, hint);
  EXPECT_EQ(chunk->GetFormat().vertexSize, 44u);
  EXPECT_TRUE(chunk->GetFlags() & (1u << 12));
  EXPECT_TRUE(chunk->VertexDataDynamic().set);
  EXPECT_EQ(chunk->VertexDataShared().b, 0);
  EXPECT_TRUE(chunk->IndexDataDynamic());
  hint.options = 0;
  hint.indexBufferMode = 2;
  auto glossChunk = gloss->CreateGeometryChunk(4, 2, 6, 2, 3, hint);
  EXPECT_FALSE(glossChunk->VertexDataDynamic().set);
  EXPECT_EQ(glossChunk->VertexDataShared().b, -3);
  float age = -1.0f;
  ASSERT_TRUE(glossChunk->GetChunkProperty(RustAgeProperty(), age));
  EXPECT_EQ(age, 0.0f);
  EXPECT_TRUE(rust->CreateGeometryChunk(4, 2, 6, 2, 3, hint)->GetChunkProperty(RustAgeProperty(), age));

  auto noAlpha = Make("tonetexnoalpha");
  hint.options = 0;
  EXPECT_EQ(noAlpha->CreateGeometryChunk(3, 1, 3, 1, 3, hint)->GetFormat().typeId, PackedVertexPNT::kTypeId);
  hint.options = 1 | 2;
  auto nml = noAlpha->CreateGeometryChunk(3, 1, 3, 1, 3, hint);
  EXPECT_EQ(nml->GetFormat().typeId, PackedVertexPCT::kTypeId);
  EXPECT_TRUE(nml->GetElement(kElementNormal));
  EXPECT_TRUE(nml->GetFlags() & (1u << 12));  // hardware display: shared data is instanced
  EXPECT_TRUE(nml->VertexDataDynamic().set);

  auto multi = Make("tmpfx");
  auto pfx = multi->CreateGeometryChunk(3, 1, 3, 1, 3, StandardChunkHint());
  EXPECT_EQ(pfx->GetVertexType(), RovanaMultiPFXMaterial::kVertexTypeId);
  auto type = display().FindVertexType(RovanaMultiPFXMaterial::kVertexTypeId);
  ASSERT_TRUE(type);
  ASSERT_EQ(type->items.size(), 4u);
  EXPECT_EQ(type->items[3].itemType, 16u);
  EXPECT_EQ(type->items[3].aliasOf, 15u);
  multi->CreateGeometryChunk(3, 1, 3, 1, 3, StandardChunkHint());
  EXPECT_EQ(display().CountRequests("RegisterVertexType"), 1u);
}

struct Scene {
  std::unique_ptr<GeometryChunk> chunk;
  std::vector<Light> lights;
  Camera camera;
};

Light MakeLight(int kind, float diffuse, float x) {
  Light light;
  light.kind = kind;
  for (int i = 0; i < 3; ++i) light.diffuse[i] = light.ambient[i] = light.specular[i] = diffuse;
  light.position[0] = x;
  return light;
}

TEST_F(PluginFixture, EveryDrawGivesBackTheStateItFound) {
  auto all = OneOfEach(*kernel);
  const std::vector<std::vector<Light>> lightSets = {
      {},
      {MakeLight(3, 0.5f, 0)},
      {MakeLight(0, 0.2f, 0), MakeLight(3, 0.5f, 0), MakeLight(2, 0.7f, 4)},
      {MakeLight(2, 0.7f, 1), MakeLight(2, 0.7f, 2)},
  };
  const float transform[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1};
  Camera camera;
  camera.position[2] = -10.0f;
  for (auto& material : all) {
    for (size_t set = 0; set < lightSets.size(); ++set) {
      for (bool withCamera : {false, true}) {
        for (float age : {-1.0f, 0.25f, 0.5f, 0.75f, NAN}) {
          SCOPED_TRACE(testing::Message() << material->GetTypeName().View() << " lights " << set << " camera "
                                          << withCamera << " rust " << age);
          StandardChunkHint hint;
          auto chunk = material->CreateGeometryChunk(3, 1, 3, 1, 3, hint);
          ASSERT_TRUE(chunk);
          if (age >= 0.0f || std::isnan(age)) {
            // Set-up; the checks below show a failure.
            (void)chunk->AddChunkProperty(RustAgeProperty());
            // Set-up; the checks below show a failure.
            (void)chunk->SetChunkProperty(RustAgeProperty(), age);
          }
          RenderArgs args;
          args.display = &display();
          args.camera = withCamera ? &camera : nullptr;
          args.chunk = chunk.get();
          args.transform = transform;
          args.lights = &lightSets[set];
          display().ClearDraws();
          const DisplayRenderState before = display().State();
          const DisplayMaterial colours = material->GetDisplayMaterial();
          material->RenderChunk(args);
          material->RenderPrimitives(args, 0, 1);
          material->RenderNumChunks({args, args});
          EXPECT_TRUE(display().State() == before);
          EXPECT_EQ(std::memcmp(&colours, &material->GetDisplayMaterial(), sizeof colours), 0);
          // Every material draws something; the spot pass only with a spot light.
          const size_t passes = (set >= 2 && material->GetType().View().starts_with("tbump")) ? 2 : 1;
          EXPECT_EQ(display().Draws().size(), passes * 4);
        }
      }
    }
  }
}

TEST_F(PluginFixture, GlossGivesWayToRustAndNeverVanishes) {
  auto gloss = Make("tbumpgloss");
  gloss->SetTexture(9, std::make_shared<Texture>(PString("g")), 1.0f);
  auto chunk = gloss->CreateGeometryChunk(3, 1, 3, 1, 3, StandardChunkHint());
  const std::vector<Light> lights = {MakeLight(3, 0.5f, 0), MakeLight(2, 0.3f, 1)};
  RenderArgs args;
  args.display = &display();
  args.chunk = chunk.get();
  args.lights = &lights;
  struct Case {
    float age;
    const char* pixel;
    float lerp;
  } cases[] = {{0.0f, "RovanaBumpGlossMat_ParallelLight", 1.0f},
               {0.25f, "RovanaBumpGlossMat_ParallelLight", 0.5f},
               {0.5f, "RovanaBumpRustMat_ParallelLight", 0.0f},
               {0.9f, "RovanaBumpRustMat_ParallelLight", 0.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.age);
    // Set-up; the checks below show a failure.
    (void)chunk->SetChunkProperty(RustAgeProperty(), c.age);
    display().ClearDraws();
    gloss->RenderChunk(args);
    ASSERT_EQ(display().Draws().size(), 2u);
    EXPECT_EQ(display().Draws()[0].pixelProgram, c.pixel);
    if (c.lerp > 0.0f) {
      EXPECT_FLOAT_EQ(display().Draws()[0].registers[2][0], c.lerp);
      EXPECT_EQ(display().Draws()[1].pixelProgram, "RovanaBumpGlossMat_SpotLight");
      EXPECT_EQ(display().Draws()[1].state.blendSource, 1u);
    } else {
      EXPECT_EQ(display().Draws()[0].registers[2][2], 1.0f);  // the rust colour
      EXPECT_EQ(display().Draws()[0].vertexProgram, "RovanaBump_ParallelLight");
    }
    // Ambient set to white while drawing (global 0.2 plus the light's 0.5),
    // specular in register 3.
    EXPECT_FLOAT_EQ(display().Draws()[0].registers[1][0], 0.7f);
    EXPECT_FLOAT_EQ(display().Draws()[0].registers[3][3], 0.75f);
  }

  // GlossRust: one lit pass from rust age 0.5 on, the reflective pass before.
  auto glossRust = Make("tglossrust");
  glossRust->SetTexture(ReflectiveMaterial::kReflectionIndex, std::make_shared<Texture>(PString("env")),
                        1.0f);
  auto rustChunk = glossRust->CreateGeometryChunk(3, 1, 3, 1, 3, StandardChunkHint());
  args.chunk = rustChunk.get();
  // Set-up; the checks below show a failure.
  (void)rustChunk->SetChunkProperty(RustAgeProperty(), 0.75f);
  display().ClearDraws();
  glossRust->RenderChunk(args);
  ASSERT_EQ(display().Draws().size(), 1u);
  EXPECT_FLOAT_EQ(display().Draws()[0].stageConstant[3], 0.5f);  // 2 x 0.75 - 1
  const auto& states = static_cast<RovanaGlossRustMaterial&>(*glossRust).GetCombinerStates();
  EXPECT_EQ(display().Draws()[0].state.stages[0].combiner, states[2]->id);
  // Set-up; the checks below show a failure.
  (void)rustChunk->SetChunkProperty(RustAgeProperty(), 0.25f);
  display().ClearDraws();
  glossRust->RenderChunk(args);
  ASSERT_EQ(display().Draws().size(), 1u);
  EXPECT_FLOAT_EQ(display().Draws()[0].stageConstant[0], 0.5f);  // reflectivity 1 x (1 - 0.5)
  EXPECT_EQ(display().Draws()[0].state.stages[0].combiner, states[0]->id);
}

TEST_F(PluginFixture, LightChoiceAndPassConstants) {
  auto bump = Make("tbumptex");
  DisplayMaterial colours;
  for (int i = 0; i < 3; ++i) {
    colours.colours[DisplayMaterial::kDiffuse][i] = 0.5f;
    colours.colours[DisplayMaterial::kSpecular][i] = 1.0f;
  }
  colours.colours[DisplayMaterial::kDiffuse][3] = 0.25f;
  bump->SetDisplayMaterialProperties(colours);
  auto chunk = bump->CreateGeometryChunk(3, 1, 3, 1, 3, StandardChunkHint());
  // Two spot lights with equal sums: the first is used; the bigger parallel light wins.
  const std::vector<Light> lights = {MakeLight(3, 0.2f, 0), MakeLight(2, 0.6f, 1), MakeLight(3, 0.8f, 0),
                                     MakeLight(2, 0.6f, 2)};
  const float transform[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 10, 0, 0, 1};
  RenderArgs args;
  args.display = &display();
  args.chunk = chunk.get();
  args.lights = &lights;
  args.transform = transform;
  bump->RenderChunk(args);
  ASSERT_EQ(display().Draws().size(), 2u);
  const DisplayDraw& parallel = display().Draws()[0];
  EXPECT_FLOAT_EQ(parallel.registers[0][0], 0.4f);  // 0.8 x 0.5
  EXPECT_FLOAT_EQ(parallel.registers[0][3], 0.25f);
  EXPECT_FLOAT_EQ(parallel.registers[2][3], 0.75f);
  const DisplayDraw& spot = display().Draws()[1];
  EXPECT_FLOAT_EQ(spot.locals[5][0], 1.0f - 10.0f);  // the first spot light, in object space
  EXPECT_EQ(spot.pixelProgram, "RovanaBumpMat_ParallelLight");
  EXPECT_EQ(spot.state.blendSource, 4u);
  EXPECT_EQ(spot.state.blendDestination, 1u);
  EXPECT_EQ(spot.state.fogMode, 0);
  EXPECT_TRUE(spot.state.alphaBlend);
  EXPECT_EQ(spot.registers[1], (std::array<float, 4>{0, 0, 0, 1}));

  // Without a parallel light the parallel pass has zero vectors and black colours.
  const std::vector<Light> none;
  args.lights = &none;
  display().ClearDraws();
  bump->RenderChunk(args);
  ASSERT_EQ(display().Draws().size(), 1u);
  EXPECT_EQ(display().Draws()[0].registers[0], (std::array<float, 4>{0, 0, 0, 1}));
  EXPECT_EQ(display().Draws()[0].locals[7], (std::array<float, 4>{0, 0, 0, 0}));

  // Several chunks: every parallel pass first, then the spot passes.
  const std::vector<Light> spotOnly = {MakeLight(2, 0.5f, 0)};
  RenderArgs lit = args, unlit = args;
  lit.lights = &spotOnly;
  display().ClearDraws();
  bump->RenderNumChunks({lit, unlit, lit});
  ASSERT_EQ(display().Draws().size(), 5u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(display().Draws()[i].vertexProgram, "RovanaBump_ParallelLight");
  EXPECT_EQ(display().Draws()[4].vertexProgram, "RovanaBump_SpotLight");
}

TEST(ProgramTexts, EveryTextRegistersAndSectionsSelect) {
  VertexProgramManager vertex;
  TextureCombinerManager pixel;
  ASSERT_TRUE(vertex.RegisterBuiltInPrograms(kBumpVertexSetName, BumpVertexProgramText()));
  EXPECT_NE(BumpVertexProgramText().find("version 2.0\r\n"), std::string::npos);
  for (const PixelProgramText& text : BumpPixelProgramTexts()) {
    EXPECT_TRUE(pixel.RegisterBuiltInPrograms(text.name, text.text)) << text.name;
    EXPECT_EQ(text.text.find("\n", text.text.find('\n') + 1) - 1,
              text.text.find("\r\n", text.text.find('\n') + 1));
  }
  const auto* rust = pixel.Find("RovanaBumpRustMat_ParallelLight");
  ASSERT_TRUE(rust);
  ASSERT_EQ(rust->registers.size(), 4u);
  EXPECT_EQ(rust->registers[2].name, "RustColor");
  EXPECT_EQ(rust->registers[3].value[3], 0.75f);
  EXPECT_EQ(pixel.Find("RovanaBumpGlossMat_SpotLight")->registers[2].name, "Lerp");
  EXPECT_EQ(pixel.Find("RovanaBumpEnvMat_SpotLight")->registers[2].name, "Specular");
  // Only the sphere-map and cube-map programs write texture coordinate 3.
  for (const char* name : {"RovanaBump_ParallelLight", "RovanaBump_SpotLight"}) {
    const auto* program = vertex.Find(kBumpVertexSetName, name);
    ASSERT_TRUE(program);
    EXPECT_EQ(program->source.find("oTex3."), std::string::npos) << name;
    EXPECT_NE(program->source.find("oTex2"), std::string::npos);
  }
  EXPECT_NE(vertex.Find(kBumpVertexSetName, "RovanaBumpGloss_SpotLight")->source.find("oTex3.w"),
            std::string::npos);
  EXPECT_EQ(vertex.Find(kBumpVertexSetName, "RovanaBumpGloss_SpotLight")->source.find("ADD ln"),
            vertex.Find(kBumpVertexSetName, "RovanaBump_SpotLight")->source.find("ADD ln"));
  EXPECT_EQ(vertex.Find(kBumpVertexSetName, "RovanaBumpEnv_ParallelLight")->source.find("ADD ln"),
            std::string::npos);
  std::shared_ptr<ProgramHandle> handle;
  EXPECT_EQ(vertex.Lookup(kBumpVertexSetName, "RovanaBumpEnv_SpotLight", 99, handle), 0);
  EXPECT_EQ(handle->vertexType, 99u);
  EXPECT_EQ(vertex.Lookup(kBumpVertexSetName, "Missing", 99, handle), 2);
  EXPECT_EQ(vertex.Lookup("OtherSet", "RovanaBump_SpotLight", 99, handle), 1);
  EXPECT_EQ(pixel.Lookup("Missing", handle), 2);
}

TEST(ProgramTexts, PreprocessorRefusesBrokenSections) {
  const std::set<std::string> known = {"A", "B"};
  std::string out, error;
  EXPECT_TRUE(PreprocessProgramText("x\n%ifdef A\na\n%ifdef B\nab\n%endif\n%endif\n%ifdef B\nb\n%endif\ny\n",
                                    {"A"}, known, out, error));
  EXPECT_EQ(out, "x\na\ny\n");
  EXPECT_FALSE(PreprocessProgramText("%ifdef A\na\n", {"A"}, known, out, error));
  EXPECT_FALSE(PreprocessProgramText("a\n%endif\n", {}, known, out, error));
  EXPECT_FALSE(PreprocessProgramText("%ifdef C\nc\n%endif\n", {}, known, out, error));
  EXPECT_NE(error.find("unknown section 'C'"), std::string::npos);
  EXPECT_FALSE(PreprocessProgramText("%ifndef A\n%endif\n", {}, known, out, error));

  // A set whose body misses a declared section, or names an undeclared one, is refused.
  VertexProgramManager vertex;
  std::string text = BumpVertexProgramText();
  std::string broken = text;
  broken.replace(broken.find("%ifdef Fog"), 10, "%ifdef Fgo");
  EXPECT_FALSE(vertex.RegisterBuiltInPrograms(kBumpVertexSetName, broken));
  broken = text;
  broken.erase(broken.rfind("%endif"), 6);
  EXPECT_FALSE(vertex.RegisterBuiltInPrograms(kBumpVertexSetName, broken));
  EXPECT_FALSE(vertex.RegisterBuiltInPrograms("OtherName", text));
  EXPECT_EQ(vertex.Registrations(), 0u);
  TextureCombinerManager pixel;
  std::string pixelText = BumpPixelProgramText("RovanaBumpMat_ParallelLight");
  std::string noVersion = pixelText;
  noVersion.replace(noVersion.find("version 1.1"), 11, "version 1.4");
  EXPECT_FALSE(pixel.RegisterBuiltInPrograms("RovanaBumpMat_ParallelLight", noVersion));
  std::string badRegister = pixelText;
  badRegister.replace(badRegister.find("c2 Specular"), 2, "c9");
  EXPECT_FALSE(pixel.RegisterBuiltInPrograms("RovanaBumpMat_ParallelLight", badRegister));
  EXPECT_FALSE(pixel.RegisterBuiltInPrograms("RovanaBumpMat_ParallelLight",
                                             pixelText.substr(0, pixelText.size() / 2)));
}

TEST(AlphaBlendCacheUnsorted, DrawsInOrderRestoresStateAndHonoursTheFreeze) {
  Display display;
  auto material = std::make_shared<OneTextureMaterial>(PString("onetex"), nullptr);
  GeometryChunk a(PackedVertexPNT::Format(), 3, 1, 3, 1, 3), b(PackedVertexPNT::Format(), 3, 1, 3, 1, 3);
  auto cache = std::make_shared<AlphaBlendCacheUnsorted>();
  EXPECT_EQ(AlphaBlendCacheUnsorted::Instance(), cache.get());
  EXPECT_EQ(cache->GetName().View(), "AlphaBlendCacheUnsorted");
  EXPECT_FLOAT_EQ(cache->GetPriority(), 55.0f);
  cache->Add(&b, material, nullptr, 1);
  cache->Add(&a, material, nullptr, 2);
  display.SetAlphaBlendFunction(2, 3);
  cache->Render(display);
  ASSERT_EQ(display.Draws().size(), 2u);
  EXPECT_EQ(display.Draws()[0].chunk, &b);
  EXPECT_EQ(display.Draws()[1].chunk, &a);
  EXPECT_EQ(display.Draws()[0].state.blendSource, 4u);
  EXPECT_FALSE(display.Draws()[0].state.depthWrite);
  uint32_t source, destination;
  display.GetAlphaBlendFunction(source, destination);
  EXPECT_EQ(source, 2u);
  EXPECT_EQ(destination, 3u);
  EXPECT_TRUE(display.GetDepthWriteMode());
  AlphaBlendCacheUnsorted::SetRenderFreeze(true);
  cache->BeginFrame();
  EXPECT_EQ(cache->Count(), 2u);
  cache->Render(display);
  EXPECT_EQ(display.Draws().size(), 2u);
  AlphaBlendCacheUnsorted::SetRenderFreeze(false);
  cache->BeginFrame();
  EXPECT_EQ(cache->Count(), 0u);
  cache.reset();
  EXPECT_EQ(AlphaBlendCacheUnsorted::Instance(), nullptr);
}

}  // namespace
}  // namespace Kiv
