#include "kiv/render/Display.h"

namespace Kiv {

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
