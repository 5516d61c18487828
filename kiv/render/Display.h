#pragma once
// The headless display: nothing is drawn and no device exists. Every request
// made of it is recorded in order, so tests can check what the program asked.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kiv/PString.h"

namespace Kiv {

class GeometryChunk;
class Texture;
class VertexProgramManager;
class TextureCombinerManager;
struct ProgramHandle;
struct VertexType;

// A texture-combiner argument: a modifier byte and two words (source and
// operand); an unused argument is (0, 3, 3).
struct TexArg {
  uint8_t modifier = 0;
  uint32_t source = 3;
  uint32_t operand = 3;
  bool operator==(const TexArg&) const = default;
};

// The arguments of one combiner stage for colour or for alpha.
struct TextureArgs {
  uint32_t stage = 0;
  uint32_t second = 0;
  uint32_t mode = 0;  // 0 colour, 1 alpha
  uint32_t function = 0;
  TexArg args[4];
  bool operator==(const TextureArgs&) const = default;
};

// A combiner state made by a display for a stage from colour and alpha arguments.
struct CombinerState {
  uint32_t stage = 0;
  TextureArgs colour, alpha;
  uint32_t id = 0;
};

// A light as the drawing code sees it: kind 0 ambient, 2 spot, 3 parallel.
struct Light {
  int kind = 0;
  float ambient[4] = {0, 0, 0, 1};
  float diffuse[4] = {0, 0, 0, 1};
  float specular[4] = {0, 0, 0, 1};
  float position[3] = {0, 0, 0};
  float direction[3] = {0, 0, 1};
  float cosAngle = 0.5f;
  float radius = 100.0f;
};

// A camera: its view transform (world to eye, row vectors) and its position.
struct Camera {
  float view[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  float position[3] = {0, 0, 0};
};

// What a texture stage holds: nothing (reset), a disabled stage or a texture.
struct StageState {
  enum Kind : uint8_t { kReset, kDisabled, kBound, kSetUp } kind = kReset;
  uint32_t texture = 0;   // id of the bound texture
  uint32_t combiner = 0;  // id of the combiner state set on it, 0 for none
  bool matrixSet = false;
  uint32_t texGenIndex = 0, texGenMode = 2;
  bool operator==(const StageState&) const = default;
};

// Every display state a material may change while drawing. A draw must give
// back what it found: tests compare this before and after.
struct DisplayRenderState {
  static constexpr int kStages = 8;
  int fogMode = 0;
  int cullMode = 1;
  bool alphaBlend = false;
  uint32_t blendSource = 1, blendDestination = 0;
  bool alphaTest = false;
  bool depthWrite = true;
  int colorMaterialMode = 0;
  bool vertexProgramBound = false, pixelProgramBound = false;
  std::array<StageState, kStages> stages{};
  bool operator==(const DisplayRenderState&) const = default;
};

// One draw: the chunk and range, the programs bound and their constants, and
// the state it was drawn with.
struct DisplayDraw {
  const GeometryChunk* chunk = nullptr;
  uint32_t first = 0, count = 0;
  const uint16_t* indices = nullptr;  // indices given in place of the chunk's own
  std::string vertexProgram, pixelProgram;
  std::array<std::array<float, 4>, 16> locals{}, registers{};
  DisplayRenderState state;
  float stageConstant[4] = {0, 0, 0, 0};
};

struct DisplayRequest {
  std::string operation;
  std::vector<float> values;
};

// A vertex or index buffer of the display: only its size and state.
struct DisplayBuffer {
  bool vertex = true;
  uint32_t count = 0;       // vertices or indices it holds
  uint32_t vertexType = 0;  // vertex buffers only
  bool dirty = true;        // data not yet uploaded
  uint32_t uploads = 0;
};

class Display {
public:
  Display() = default;
  virtual ~Display() = default;
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  // A line from one point to another, with a colour or width value.
  virtual void DrawLine(const float from[3], const float to[3], float value, uint16_t kind, uint16_t flags);

  // Capability queries (the engine's numbered device features); all false
  // until set.
  [[nodiscard]] bool HasCapability(int capability) const;
  void SetCapability(int capability, bool on);

  // Colours as the device wants them; the identity here.
  virtual void ConvertColorArray(uint32_t* colours, size_t count) { (void)colours, (void)count; }

  // Buffers and their upload (the buffer manager). Null or false when the
  // matching failure is injected.
  virtual std::shared_ptr<DisplayBuffer> CreateVertexBuffer(uint32_t count, uint32_t vertexType);
  virtual std::shared_ptr<DisplayBuffer> CreateIndexBuffer(uint32_t count);
  [[nodiscard]] virtual bool Upload(DisplayBuffer& buffer, const void* data, size_t bytes);
  // Test seams: failures of buffer creation and of uploads, by buffer kind.
  void InjectBufferFailure(bool vertex, bool index);
  void InjectUploadFailure(bool vertex, bool index);

  // A copy of the requests made so far, oldest first.
  std::vector<DisplayRequest> Requests() const;
  void ClearRequests();
  // The requests whose operation is the given one.
  size_t CountRequests(const std::string& operation) const;

  // --- Render state (what materials set and restore) ---
  int GetTextureStageCount() const { return m_stageCount; }
  void SetTextureStageCount(int count) { m_stageCount = count; }
  // The device's "hardware" flag (hardware vertex processing).
  [[nodiscard]] bool IsHardware() const { return m_hardware; }
  void SetHardware(bool on) { m_hardware = on; }
  const DisplayRenderState& State() const { return m_state; }

  int GetFogMode() const { return m_state.fogMode; }
  void SetFogMode(int mode);
  void SetFogDensity(float density);
  float GetFogDensity() const { return m_fogDensity; }
  void SetCullMode(int mode);
  [[nodiscard]] bool GetAlphaBlendMode() const { return m_state.alphaBlend; }
  void SetAlphaBlendMode(bool on);
  void GetAlphaBlendFunction(uint32_t& source, uint32_t& destination) const;
  void SetAlphaBlendFunction(uint32_t source, uint32_t destination);
  [[nodiscard]] bool GetAlphaTestMode() const { return m_state.alphaTest; }
  void SetAlphaTestMode(bool on);
  [[nodiscard]] bool GetDepthWriteMode() const { return m_state.depthWrite; }
  void SetDepthWriteMode(bool on);
  void SetColorMaterialMode(int mode);
  const float* GetGlobalAmbient() const { return m_globalAmbient; }
  void SetGlobalAmbient(const float colour[4]);

  // Texture stages: a texture bound, a stage disabled, a stage reset (which
  // also drops its combiner state), a stage set up by the display itself.
  void BindTexture(int stage, const Texture& texture);
  void DisableStage(int stage);
  void ResetStage(int stage);
  void SetUpStage(int stage);
  void SetTextureMatrix(int stage, const float matrix[16]);
  void ResetTextureMatrix(int stage);
  const float* GetTextureMatrix(int stage) const;
  void SetTextureCoordGen(int stage, uint32_t index, uint32_t mode);
  void SetStageConstant(const float colour[4]);
  void SetWorldTransform(const float matrix[16]);

  // Combiner states: made and released by the display (creation fails while
  // a failure is injected); set on a stage until the stage is reset.
  virtual std::shared_ptr<CombinerState> CreateCombinerState(uint32_t stage, const TextureArgs& colour,
                                                             const TextureArgs& alpha);
  virtual void ReleaseCombinerState(std::shared_ptr<CombinerState>& state);
  void SetCombinerState(int stage, const CombinerState& state);
  // Fails the creation of combiner states from the n-th one on (0: the next).
  void InjectCombinerFailure(int afterCount) { m_combinerFailAfter = afterCount; }
  int LiveCombinerStates() const { return m_liveCombiners; }

  // Programs: bound until unbound; locals of the vertex program and
  // registers of the pixel program.
  void BindVertexProgram(const ProgramHandle& program);
  void BindPixelProgram(const ProgramHandle& program);
  void UnbindPrograms();
  void SetVertexLocal(int index, const float value[4]);
  void SetPixelRegister(int index, const float value[4]);
  const std::array<float, 4>& GetPixelRegister(int index) const { return m_registers.at(index); }

  // Draws a chunk (a range of its primitives when count is non-zero, with
  // the given indices in place of its own when they are given).
  void Draw(const GeometryChunk& chunk, uint32_t first = 0, uint32_t count = 0,
            const uint16_t* indices = nullptr);
  const std::vector<DisplayDraw>& Draws() const { return m_draws; }
  void ClearDraws() { m_draws.clear(); }

  // The managers of programs; null when the device has none.
  VertexProgramManager* GetVertexProgramManager() const { return m_vertexPrograms.get(); }
  TextureCombinerManager* GetTextureCombinerManager() const { return m_combinerPrograms.get(); }
  void SetProgramManagers(std::shared_ptr<VertexProgramManager> vertex,
                          std::shared_ptr<TextureCombinerManager> pixel);

  // Registered vertex types, by identifier.
  void RegisterVertexType(std::shared_ptr<VertexType> type);
  std::shared_ptr<VertexType> FindVertexType(uint32_t id) const;

protected:
  void Record(std::string operation, std::initializer_list<float> values);

private:
  mutable std::mutex m_mutex;
  std::vector<DisplayRequest> m_requests;
  std::set<int> m_capabilities;
  int m_stageCount = 1;
  bool m_hardware = false;
  DisplayRenderState m_state;
  float m_fogDensity = 0.0f;
  float m_globalAmbient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
  float m_stageConstant[4] = {0, 0, 0, 0};
  std::array<std::array<float, 16>, DisplayRenderState::kStages> m_textureMatrices{};
  std::string m_vertexProgram, m_pixelProgram;
  std::array<std::array<float, 4>, 16> m_locals{}, m_registers{};
  std::vector<DisplayDraw> m_draws;
  int m_combinerFailAfter = -1;
  int m_liveCombiners = 0;
  uint32_t m_nextCombinerId = 1;
  std::shared_ptr<VertexProgramManager> m_vertexPrograms;
  std::shared_ptr<TextureCombinerManager> m_combinerPrograms;
  std::vector<std::shared_ptr<VertexType>> m_vertexTypes;
  bool m_failVertexBuffer = false, m_failIndexBuffer = false;
  bool m_failVertexUpload = false, m_failIndexUpload = false;
};

// The process's display (headless).
Display& HeadlessDisplay();

// A view onto a display. Primitives handed to it go to its display.
class Viewport {
public:
  explicit Viewport(Display& display) : m_display(&display) {}
  virtual ~Viewport() = default;
  Viewport(const Viewport&) = delete;
  Viewport& operator=(const Viewport&) = delete;

  // One line primitive: two points, a value and a (kind, flags) pair.
  struct Primitive {
    float from[3];
    float to[3];
    float value;
    uint16_t kind;
    uint16_t flags;
  };

  [[nodiscard]] virtual bool IsActive() { return true; }
  virtual void Submit(const Primitive& primitive);
  Display& GetDisplay() const { return *m_display; }

private:
  Display* m_display;
};

// The viewport the engine draws debug output through; the default one (over
// the headless display) until another is installed.
Viewport*& CurrentViewport();
Viewport& DefaultViewport();

}  // namespace Kiv
