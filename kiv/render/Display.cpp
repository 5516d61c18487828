#include "kiv/render/Display.h"

#include <algorithm>
#include <cstring>

#include "kiv/render/RenderKernel.h"

namespace Kiv {

namespace {

bool ValidStage(int stage) { return stage >= 0 && stage < DisplayRenderState::kStages; }

}  // namespace

size_t Display::CountRequests(const std::string& operation) const {
  std::lock_guard lock(m_mutex);
  return size_t(std::count_if(m_requests.begin(), m_requests.end(),
                              [&](const DisplayRequest& r) { return r.operation == operation; }));
}

void Display::SetFogMode(int mode) {
  Record("SetFogMode", {float(mode)});
  m_state.fogMode = mode;
}

void Display::SetFogDensity(float density) {
  Record("SetFogDensity", {density});
  m_fogDensity = density;
}

void Display::SetCullMode(int mode) {
  Record("SetCullMode", {float(mode)});
  m_state.cullMode = mode;
}

void Display::SetAlphaBlendMode(bool on) {
  Record("SetAlphaBlendMode", {on ? 1.0f : 0.0f});
  m_state.alphaBlend = on;
}

void Display::GetAlphaBlendFunction(uint32_t& source, uint32_t& destination) const {
  source = m_state.blendSource;
  destination = m_state.blendDestination;
}

void Display::SetAlphaBlendFunction(uint32_t source, uint32_t destination) {
  Record("SetAlphaBlendFunction", {float(source), float(destination)});
  m_state.blendSource = source;
  m_state.blendDestination = destination;
}

void Display::SetAlphaTestMode(bool on) {
  Record("SetAlphaTestMode", {on ? 1.0f : 0.0f});
  m_state.alphaTest = on;
}

void Display::SetDepthWriteMode(bool on) {
  Record("SetDepthWriteMode", {on ? 1.0f : 0.0f});
  m_state.depthWrite = on;
}

void Display::SetColorMaterialMode(int mode) {
  Record("SetColorMaterialMode", {float(mode)});
  m_state.colorMaterialMode = mode;
}

void Display::SetGlobalAmbient(const float colour[4]) {
  std::memcpy(m_globalAmbient, colour, sizeof m_globalAmbient);
}

void Display::BindTexture(int stage, const Texture& texture) {
  Record("BindTexture", {float(stage), float(texture.GetId())});
  if (!ValidStage(stage)) return;
  m_state.stages[stage].kind = StageState::kBound;
  m_state.stages[stage].texture = texture.GetId();
}

void Display::DisableStage(int stage) {
  Record("DisableStage", {float(stage)});
  if (!ValidStage(stage)) return;
  m_state.stages[stage].kind = StageState::kDisabled;
  m_state.stages[stage].texture = 0;
}

void Display::ResetStage(int stage) {
  Record("ResetStage", {float(stage)});
  if (!ValidStage(stage)) return;
  StageState& s = m_state.stages[stage];
  s.kind = StageState::kReset;
  s.texture = 0;
  s.combiner = 0;
}

void Display::SetUpStage(int stage) {
  Record("SetUpStage", {float(stage)});
  if (ValidStage(stage)) m_state.stages[stage].kind = StageState::kSetUp;
}

void Display::SetTextureMatrix(int stage, const float matrix[16]) {
  Record("SetTextureMatrix", {float(stage)});
  if (!ValidStage(stage)) return;
  std::memcpy(m_textureMatrices[stage].data(), matrix, 16 * sizeof(float));
  m_state.stages[stage].matrixSet = true;
}

void Display::ResetTextureMatrix(int stage) {
  Record("ResetTextureMatrix", {float(stage)});
  if (!ValidStage(stage)) return;
  m_textureMatrices[stage] = {};
  m_state.stages[stage].matrixSet = false;
}

const float* Display::GetTextureMatrix(int stage) const {
  return ValidStage(stage) ? m_textureMatrices[stage].data() : nullptr;
}

void Display::SetTextureCoordGen(int stage, uint32_t index, uint32_t mode) {
  Record("SetTextureCoordGen", {float(stage), float(index), float(mode)});
  if (!ValidStage(stage)) return;
  m_state.stages[stage].texGenIndex = index;
  m_state.stages[stage].texGenMode = mode;
}

void Display::SetStageConstant(const float colour[4]) {
  Record("SetStageConstant", {colour[0], colour[1], colour[2], colour[3]});
  std::memcpy(m_stageConstant, colour, sizeof m_stageConstant);
}

void Display::SetWorldTransform(const float matrix[16]) {
  Record("SetWorldTransform", {matrix[12], matrix[13], matrix[14]});
}

std::shared_ptr<CombinerState> Display::CreateCombinerState(uint32_t stage, const TextureArgs& colour,
                                                            const TextureArgs& alpha) {
  Record("CreateCombinerState", {float(stage)});
  if (m_combinerFailAfter == 0) return nullptr;
  if (m_combinerFailAfter > 0) --m_combinerFailAfter;
  auto state = std::make_shared<CombinerState>();
  state->stage = stage;
  state->colour = colour;
  state->alpha = alpha;
  state->id = m_nextCombinerId++;
  ++m_liveCombiners;
  return state;
}

void Display::ReleaseCombinerState(std::shared_ptr<CombinerState>& state) {
  if (!state) return;
  Record("ReleaseCombinerState", {float(state->id)});
  --m_liveCombiners;
  state.reset();
}

void Display::SetCombinerState(int stage, const CombinerState& state) {
  Record("SetCombinerState", {float(stage), float(state.id)});
  if (ValidStage(stage)) m_state.stages[stage].combiner = state.id;
}

void Display::BindVertexProgram(const ProgramHandle& program) {
  Record("BindVertexProgram", {});
  m_vertexProgram = program.name;
  m_state.vertexProgramBound = true;
}

void Display::BindPixelProgram(const ProgramHandle& program) {
  Record("BindPixelProgram", {});
  m_pixelProgram = program.name;
  m_state.pixelProgramBound = true;
}

void Display::UnbindPrograms() {
  Record("UnbindPrograms", {});
  m_vertexProgram.clear();
  m_pixelProgram.clear();
  m_state.vertexProgramBound = m_state.pixelProgramBound = false;
}

void Display::SetVertexLocal(int index, const float value[4]) {
  if (index >= 0 && index < 16) std::copy_n(value, 4, m_locals[index].begin());
}

void Display::SetPixelRegister(int index, const float value[4]) {
  if (index >= 0 && index < 16) std::copy_n(value, 4, m_registers[index].begin());
}

void Display::Draw(const GeometryChunk& chunk, uint32_t first, uint32_t count, const uint16_t* indices) {
  Record("Draw", {float(first), float(count)});
  DisplayDraw draw;
  draw.chunk = &chunk;
  draw.indices = indices;
  draw.first = first;
  draw.count = count;
  draw.vertexProgram = m_vertexProgram;
  draw.pixelProgram = m_pixelProgram;
  draw.locals = m_locals;
  draw.registers = m_registers;
  draw.state = m_state;
  std::memcpy(draw.stageConstant, m_stageConstant, sizeof m_stageConstant);
  m_draws.push_back(std::move(draw));
}

void Display::SetProgramManagers(std::shared_ptr<VertexProgramManager> vertex,
                                 std::shared_ptr<TextureCombinerManager> pixel) {
  m_vertexPrograms = std::move(vertex);
  m_combinerPrograms = std::move(pixel);
}

void Display::RegisterVertexType(std::shared_ptr<VertexType> type) {
  if (!type) return;
  Record("RegisterVertexType", {float(type->id)});
  for (auto& known : m_vertexTypes) {
    if (known->id == type->id) {
      known = std::move(type);
      return;
    }
  }
  m_vertexTypes.push_back(std::move(type));
}

std::shared_ptr<VertexType> Display::FindVertexType(uint32_t id) const {
  for (const auto& known : m_vertexTypes) {
    if (known->id == id) return known;
  }
  return nullptr;
}

void Display::DrawLine(const float from[3], const float to[3], float value, uint16_t kind, uint16_t flags) {
  Record("DrawLine", {from[0], from[1], from[2], to[0], to[1], to[2], value, static_cast<float>(kind),
                      static_cast<float>(flags)});
}

bool Display::HasCapability(int capability) const {
  std::lock_guard lock(m_mutex);
  return m_capabilities.count(capability) != 0;
}

void Display::SetCapability(int capability, bool on) {
  std::lock_guard lock(m_mutex);
  if (on) {
    m_capabilities.insert(capability);
  } else {
    m_capabilities.erase(capability);
  }
}

std::shared_ptr<DisplayBuffer> Display::CreateVertexBuffer(uint32_t count, uint32_t vertexType) {
  Record("CreateVertexBuffer", {float(count), float(vertexType)});
  if (m_failVertexBuffer) return nullptr;
  auto buffer = std::make_shared<DisplayBuffer>();
  buffer->count = count;
  buffer->vertexType = vertexType;
  return buffer;
}

std::shared_ptr<DisplayBuffer> Display::CreateIndexBuffer(uint32_t count) {
  Record("CreateIndexBuffer", {float(count)});
  if (m_failIndexBuffer) return nullptr;
  auto buffer = std::make_shared<DisplayBuffer>();
  buffer->vertex = false;
  buffer->count = count;
  return buffer;
}

bool Display::Upload(DisplayBuffer& buffer, const void* data, size_t bytes) {
  Record("Upload", {buffer.vertex ? 1.0f : 0.0f, float(bytes)});
  if (data == nullptr && bytes != 0) return false;
  if (buffer.vertex ? m_failVertexUpload : m_failIndexUpload) return false;
  buffer.dirty = false;
  ++buffer.uploads;
  return true;
}

void Display::InjectBufferFailure(bool vertex, bool index) {
  m_failVertexBuffer = vertex;
  m_failIndexBuffer = index;
}

void Display::InjectUploadFailure(bool vertex, bool index) {
  m_failVertexUpload = vertex;
  m_failIndexUpload = index;
}

std::vector<DisplayRequest> Display::Requests() const {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

void Display::ClearRequests() {
  std::lock_guard lock(m_mutex);
  m_requests.clear();
}

void Display::Record(std::string operation, std::initializer_list<float> values) {
  std::lock_guard lock(m_mutex);
  m_requests.push_back({std::move(operation), std::vector<float>(values)});
}

Display& HeadlessDisplay() {
  static Display display;
  return display;
}

void Viewport::Submit(const Primitive& p) { m_display->DrawLine(p.from, p.to, p.value, p.kind, p.flags); }

Viewport& DefaultViewport() {
  static Viewport viewport(HeadlessDisplay());
  return viewport;
}

Viewport*& CurrentViewport() {
  static Viewport* current = &DefaultViewport();
  return current;
}

}  // namespace Kiv
