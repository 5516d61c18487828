#include "kiv/render/Display.h"

namespace Kiv {

void Display::DrawLine(const float from[3], const float to[3], float value, uint16_t kind, uint16_t flags) {
  Record("DrawLine", {from[0], from[1], from[2], to[0], to[1], to[2], value, static_cast<float>(kind),
                      static_cast<float>(flags)});
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
