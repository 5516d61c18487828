#pragma once
// The render kernel of the headless engine: its display, the rendering caches
// that materials share, the program managers, the shared textures and the
// scene graph. Nothing draws; every object keeps what it is given so tests can
// read it back.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/PString.h"
#include "kiv/render/Display.h"
#include "kiv/render/Scene.h"

namespace Kiv {

class Bitmap;
class MaterialManager;
class Resource;

// A texture as materials hold it: reference counted through shared_ptr.
class Texture {
public:
  explicit Texture(PString name, bool loaded = true, int type = 0);
  virtual ~Texture() = default;
  Texture(const Texture&) = delete;
  Texture& operator=(const Texture&) = delete;

  const PString& GetName() const { return m_name; }
  uint32_t GetId() const { return m_id; }
  // 0 a plain texture, 1 a cube map.
  int GetType() const { return m_type; }
  [[nodiscard]] bool IsLoaded() const { return m_loaded; }
  void SetLoaded(bool loaded) { m_loaded = loaded; }
  // Asked to load by a mesh resource that waits for it; a texture in memory
  // has nothing more to load. Afterwards it reports itself loaded or failed.
  virtual void Load() {}
  [[nodiscard]] virtual bool HasFailed() const { return false; }
  // The resource the texture loads from; null for one made in memory.
  virtual Resource* GetResource() const { return nullptr; }
  int GetResourcePriority() const { return m_priority; }
  void SetResourcePriority(int priority) { m_priority = priority; }
  [[nodiscard]] bool IsActive() const { return m_active; }
  void Activate(bool on) { m_active = on; }
  // A copy with its own identity.
  std::shared_ptr<Texture> Duplicate() const;
  void BindToStage(Display& display, int stage) const { display.BindTexture(stage, *this); }
  // Pixels written into the texture's image at (x, y) in a display format;
  // the texture keeps where, how large and in which format. False for an
  // empty bitmap or a place left of or above the image.
  struct ImageWrite {
    int x, y, width, height, format;
  };
  [[nodiscard]] virtual bool WriteImage(int x, int y, const Bitmap& bitmap, int format);
  const std::vector<ImageWrite>& GetImageWrites() const { return m_writes; }

private:
  PString m_name;
  uint32_t m_id;
  bool m_loaded;
  int m_type;
  int m_priority = 0;
  bool m_active = false;
  std::vector<ImageWrite> m_writes;
};

// The kernel's shared textures; texture 0 is a plain white default.
class SharedTextureCollection {
public:
  // Null when the collection cannot give the texture.
  std::shared_ptr<Texture> GetTexture(uint32_t id);
  void InjectFailure(bool fail) { m_fail = fail; }

private:
  std::mutex m_mutex;
  std::map<uint32_t, std::shared_ptr<Texture>> m_textures;
  bool m_fail = false;
};

// A vertex layout the display knows by identifier.
struct VertexType {
  struct Item {
    uint32_t itemType, stream, dataType, semantic;
    uint32_t aliasOf = 0;  // non-zero: the item reads the same data as this one
  };
  uint32_t id = 0;
  uint32_t streams = 1;
  uint32_t capacity = 0;
  std::vector<Item> items;
  VertexType(uint32_t idValue, uint32_t streamCount, uint32_t itemCapacity)
      : id(idValue), streams(streamCount), capacity(itemCapacity) {}
  // False when the type is full or the stream does not exist.
  [[nodiscard]] bool AddItem(uint32_t itemType, uint32_t stream, uint32_t dataType, uint32_t semantic);
  [[nodiscard]] bool AddAlias(uint32_t itemType, uint32_t of);
};

// A compiled program as a handle: its set (vertex programs) and name.
struct ProgramHandle {
  std::string set, name;
  bool pixel = false;
  uint32_t vertexType = 0;
};

// The section preprocessor of program texts: keeps the lines outside any
// "%ifdef" block and those inside blocks whose section is enabled. Refuses
// (false, with a reason) unbalanced %ifdef/%endif, sections not in `known`
// and any other '%' directive.
[[nodiscard]] bool PreprocessProgramText(std::string_view text, const std::set<std::string>& enabled,
                                         const std::set<std::string>& known, std::string& out,
                                         std::string& error);

// Vertex program sets. A set text opens with a declaration block
//   vertexProgram(SetName)
//   {
//     ProgramName(Format) : Section, Section, ...;
//   }
// followed by one "API(common)" body whose sections are "%ifdef Section" ...
// "%endif" blocks. Lookup answers 0 and a handle, or a non-zero code.
class VertexProgramManager {
public:
  struct Program {
    std::string format;
    std::set<std::string> sections;
    std::string source;  // the body with this program's sections
  };
  // False (nothing stored) when the text does not parse or preprocess.
  [[nodiscard]] bool RegisterBuiltInPrograms(const std::string& name, const std::string& text);
  // 0 found; 1 no such set; 2 no such program; 4 an injected failure. The
  // vertex type is the one the program will be drawn with (kept in the handle).
  int Lookup(const std::string& set, const std::string& program, uint32_t vertexType,
             std::shared_ptr<ProgramHandle>& out);
  const Program* Find(const std::string& set, const std::string& program) const;
  uint32_t Registrations() const { return m_registrations; }
  void InjectLookupFailure(std::string program) { m_failing.insert(std::move(program)); }
  // Handles given out and not yet released.
  long LiveHandles() const { return m_live->load(); }

private:
  std::map<std::string, std::map<std::string, Program>> m_sets;
  std::set<std::string> m_failing;
  uint32_t m_registrations = 0;
  std::shared_ptr<std::atomic<long>> m_live = std::make_shared<std::atomic<long>>(0);
};

// Pixel programs. A text holds "version 1.1", a header block
//   pixelProgram(Name)
//   {
//     c0 RegisterName (r, g, b, a)
//   }
// and an "API(common)" block whose first instruction is "ps.1.1". Block
// comments are ignored.
class TextureCombinerManager {
public:
  struct Register {
    int index;
    std::string name;
    float value[4];
  };
  struct Program {
    std::vector<Register> registers;
    std::string source;
  };
  [[nodiscard]] bool RegisterBuiltInPrograms(const std::string& name, const std::string& text);
  // 0 found; 2 no such program; 4 an injected failure.
  int Lookup(const std::string& name, std::shared_ptr<ProgramHandle>& out);
  const Program* Find(const std::string& name) const;
  uint32_t Registrations() const { return m_registrations; }
  void InjectLookupFailure(std::string program) { m_failing.insert(std::move(program)); }
  long LiveHandles() const { return m_live->load(); }

private:
  std::map<std::string, Program> m_programs;
  std::set<std::string> m_failing;
  uint32_t m_registrations = 0;
  std::shared_ptr<std::atomic<long>> m_live = std::make_shared<std::atomic<long>>(0);
};

// A cache the renderer fills during a frame and draws at its end.
class RenderingCache {
public:
  RenderingCache(uint32_t id, PString name, float priority)
      : m_id(id), m_name(std::move(name)), m_priority(priority) {}
  virtual ~RenderingCache() = default;
  RenderingCache(const RenderingCache&) = delete;
  RenderingCache& operator=(const RenderingCache&) = delete;
  uint32_t GetId() const { return m_id; }
  const PString& GetName() const { return m_name; }
  float GetPriority() const { return m_priority; }

private:
  uint32_t m_id;
  PString m_name;
  float m_priority;
};

// The engine's cache kinds that materials share.
class AlphaBlendCache : public RenderingCache {
public:
  static constexpr uint32_t AlphaBlendCacheID = 1;
  AlphaBlendCache() : RenderingCache(AlphaBlendCacheID, PString("AlphaBlendCache"), 50.0f) {}
};
class AlphaMaskCache : public RenderingCache {
public:
  static constexpr uint32_t AlphaMaskCacheID = 2;
  AlphaMaskCache() : RenderingCache(AlphaMaskCacheID, PString("AlphaMaskCache"), 40.0f) {}
};
class MaterialChunkCache : public RenderingCache {
public:
  static constexpr uint32_t MaterialChunkCacheID = 3;
  MaterialChunkCache() : RenderingCache(MaterialChunkCacheID, PString("MaterialChunkCache"), 10.0f) {}
};
// The engine's own unsorted blend cache.
class UnsortedAlphaBlendCache : public RenderingCache {
public:
  static constexpr uint32_t UnsortedAlphaBlendCacheID = 5;
  explicit UnsortedAlphaBlendCache(int mode)
      : RenderingCache(UnsortedAlphaBlendCacheID, PString("UnsortedAlphaBlendCache"), 56.0f), m_mode(mode) {}
  int GetMode() const { return m_mode; }

private:
  int m_mode;
};

class RenderingCacheManager {
public:
  // The first cache added under the identifier; null when none.
  std::shared_ptr<RenderingCache> FindCache(uint32_t id) const;
  void AddCache(std::shared_ptr<RenderingCache> cache);
  // Removes this cache (by identity); false when it was not there.
  [[nodiscard]] bool RemoveCache(const RenderingCache* cache);
  size_t Count() const;

private:
  mutable std::mutex m_mutex;
  std::vector<std::shared_ptr<RenderingCache>> m_caches;
};

// A view onto the scene; its scene is the root it shows.
class View {
public:
  std::shared_ptr<Particle> scene;
  float direction[3] = {0, 0, 1};
};

// A directional light in the scene.
class ParallelLight : public Particle {
public:
  ParallelLight(const float origin[3], const float direction[3], float range, const float colour[4],
                int kind);
  uint32_t flags = 0;
  float range;
  int kind;
  float ambient[4] = {0, 0, 0, 1}, diffuse[4] = {0, 0, 0, 1}, specular[4] = {0, 0, 0, 1};
  float colour[4];
  float direction[3];
};

class RenderKernel {
public:
  // Makes a kernel from the engine option string. The hidden renderer is a
  // headless display that answers as a capable device (capabilities 1, 17, 21,
  // four texture stages); "-NullRender" gives a display without capabilities
  // and one stage. Null when the renderer cannot be loaded.
  static std::unique_ptr<RenderKernel> Create(std::string_view options);
  // Test seam: while set, the hidden renderer fails to load (the null one loads).
  static void InjectRendererFailure(bool fail);

  ~RenderKernel();
  RenderKernel(const RenderKernel&) = delete;
  RenderKernel& operator=(const RenderKernel&) = delete;

  Display* GetDisplay() const { return m_display.get(); }
  const std::shared_ptr<Display>& GetDisplayShared() const { return m_display; }
  [[nodiscard]] bool IsNullRenderer() const { return m_nullRenderer; }
  RenderingCacheManager& GetCacheManager() { return m_caches; }
  SharedTextureCollection& GetSharedTextures() { return m_sharedTextures; }
  MaterialManager& GetMaterialManager() { return *m_materials; }
  Particle& GetSceneGraph() { return *m_sceneGraph; }
  // A kernel without a display, for tests of what needs one.
  void DropDisplay() { m_display.reset(); }

  // The kernel mesh loading uses; set by the schema library's scene set-up.
  static RenderKernel* Current();
  static void SetCurrent(RenderKernel* kernel);

private:
  explicit RenderKernel(bool nullRenderer);

  bool m_nullRenderer;
  std::shared_ptr<Display> m_display;
  RenderingCacheManager m_caches;
  SharedTextureCollection m_sharedTextures;
  std::unique_ptr<MaterialManager> m_materials;
  std::shared_ptr<Particle> m_sceneGraph;
};

// What the engine hands the schema library to build its check scene in.
struct RenderContext {
  RenderKernel* kernel = nullptr;
  View* view = nullptr;
};

}  // namespace Kiv
