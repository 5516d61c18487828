#include "config/TagValue.h"

#include <cstring>
#include <ostream>

namespace OBLLib {

void TagValue::Init(std::string_view text) {
  if (text.size() <= kInline) {
    if (!text.empty()) std::memcpy(m_bytes, text.data(), text.size());
    m_bytes[kMark] = static_cast<uint8_t>(text.size());
    return;
  }
  char* data = new char[text.size()];
  std::memcpy(data, text.data(), text.size());
  const size_t size = text.size();
  std::memcpy(m_bytes, &data, sizeof data);
  std::memcpy(m_bytes + sizeof data, &size, sizeof size);
  m_bytes[kMark] = kOnHeap;
}

TagValue& TagValue::Assign(std::string_view text) {
  // The text may lie in this very value: copy it before letting go.
  TagValue copy(text);
  return *this = std::move(copy);
}

std::ostream& operator<<(std::ostream& out, const TagValue& value) { return out << value.View(); }

}  // namespace OBLLib
