#pragma once
// The program's material plug-ins and its plug-in export. KivGetPlugins
// makes the seven material plug-ins and the resource types of the program,
// each registering itself with the engine's plug-in system; the engine then
// asks a plug-in whether the display can draw its material and has it make
// materials, sharing its caches, programs and combiner states between them.
#include <array>
#include <memory>
#include <vector>

#include "graphics/material/RovanaMaterials.h"
#include "kiv/render/Plugin.h"

namespace Kiv {

// Each type's identity: type word, UId text and the "m." constant.
struct RovanaMaterialType {
  const char* typeWord;
  const char* uid;
  const char* constant;
};
// The eight types, "groundbase" last (no plug-in registers it).
const std::array<RovanaMaterialType, 8>& RovanaMaterialTypes();
UId RovanaMaterialUId(const char* typeWord);

// The combiner-state arguments of the GlossRust passes (reflective pass
// stages 0 and 1, rust pass stages 0 and 1: colour then alpha each) and the
// MultiPFX stages.
struct CombinerArgs {
  TextureArgs colour, alpha;
};
extern const CombinerArgs kGlossRustReflective[2];
extern const CombinerArgs kGlossRustRust[2];
extern const CombinerArgs kMultiPFX[2];

// The bump family: Bump, BumpGloss and BumpEnv share how they acquire their
// caches and programs.
class RovanaBumpPluginBase : public MaterialPlugin {
public:
  ~RovanaBumpPluginBase() override;
  // Needs capabilities 21 and 17 (17 asked only when 21 is there).
  [[nodiscard]] bool IsSupported(const Display* display, PString& fallback) const override;
  // The program handles held, in slot order (null until acquired).
  const std::vector<std::shared_ptr<ProgramHandle>>& Programs() const { return m_programs; }

protected:
  struct Lookup {
    const char* vertex;
    const char* pixel;
  };
  RovanaBumpPluginBase(const char* typeWord, const char* fallback, std::vector<const char*> pixelTexts,
                       std::vector<Lookup> lookups);
  // Finds or makes the alpha-blend, alpha-mask and material-chunk caches; false without a kernel.
  [[nodiscard]] bool AcquireCaches(RenderKernel* kernel);
  // Registers the texts and looks the programs up, once. A failure releases
  // every handle.
  [[nodiscard]] bool AcquirePrograms(RenderKernel* kernel);
  void ReleasePrograms();
  ProgramSet Set(size_t first) const;

  std::shared_ptr<RenderingCache> m_blend, m_mask, m_chunk;
  std::vector<std::shared_ptr<ProgramHandle>> m_programs;

private:
  PString m_fallback;
  std::vector<const char*> m_pixelTexts;
  std::vector<Lookup> m_lookups;
};

class RovanaBumpMaterialPlugin : public RovanaBumpPluginBase {
public:
  RovanaBumpMaterialPlugin();
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;
};

class RovanaBumpGlossMaterialPlugin : public RovanaBumpPluginBase {
public:
  RovanaBumpGlossMaterialPlugin();
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;
};

class RovanaBumpEnvMaterialPlugin : public RovanaBumpPluginBase {
public:
  RovanaBumpEnvMaterialPlugin();
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;
};

class RovanaMultiPFXMaterialPlugin : public MaterialPlugin {
public:
  RovanaMultiPFXMaterialPlugin();
  ~RovanaMultiPFXMaterialPlugin() override;
  // Needs at least two texture stages.
  [[nodiscard]] bool IsSupported(const Display* display, PString& fallback) const override;
  // Null without a kernel or display. The two combiner states are made once
  // per display and shared by every material.
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;

private:
  std::shared_ptr<RenderingCache> m_chunk, m_mask, m_blend;
  std::array<std::shared_ptr<CombinerState>, 2> m_states;
  std::shared_ptr<Display> m_display;
};

class RovanaGlossRustMaterialPlugin : public OneTextureMaterialPlugin {
public:
  RovanaGlossRustMaterialPlugin();
  ~RovanaGlossRustMaterialPlugin() override;
  // Needs capability 1.
  [[nodiscard]] bool IsSupported(const Display* display, PString& fallback) const override;
  // The caches, then the four combiner states of the two passes, once.
  [[nodiscard]] bool PrepareResources(RenderKernel* kernel) override;
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;
  int StateCount() const { return m_count; }

private:
  void ReleaseStates();
  int m_count = 0;
  std::array<std::shared_ptr<CombinerState>, 4> m_states;
  std::shared_ptr<Display> m_display;
};

class RovanaOneTexNoAlphaMaterialPlugin : public OneTextureMaterialPlugin {
public:
  RovanaOneTexNoAlphaMaterialPlugin();
  ~RovanaOneTexNoAlphaMaterialPlugin() override;
  // The caches, then one stage-0 combiner state, once. True with a kernel.
  [[nodiscard]] bool PrepareResources(RenderKernel* kernel) override;
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;

private:
  std::shared_ptr<CombinerState> m_state;
  std::shared_ptr<Display> m_display;
};

class RovanaNoFogMaterialPlugin : public OneTextureMaterialPlugin {
public:
  RovanaNoFogMaterialPlugin();
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;
};

// The resource types of the program: suffix, type UId (all share the
// category UId).
struct RovanaResourceTypeEntry {
  const char* suffix;
  const char* uid;
};
const std::vector<RovanaResourceTypeEntry>& RovanaResourceTypes();
inline constexpr const char* kRovanaResourceCategoryUId = "4C414E80-BBDA-11d4-9AD7-0001025364B8";

}  // namespace Kiv

// The plug-in export: makes every plug-in object of the program (the engine
// owns them once made). An object that cannot be allocated is skipped.
extern "C" void KivGetPlugins();
