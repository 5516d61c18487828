#include "scriptlib/GSOHTMLBuffer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;
using namespace ScriptNatives;

void HTMLBuffer::Append(const char* bytes, size_t n) {
  if (!bytes || n == 0) return;
  if (m_used + n > m_size) {
    const size_t size = 2 * m_size + n;
    std::unique_ptr<char[]> grown(new char[size]);
    if (m_used) std::memcpy(grown.get(), m_data.get(), m_used);
    m_data = std::move(grown);
    m_size = size;
  }
  std::memcpy(m_data.get() + m_used, bytes, n);
  m_used += n;
}

void HTMLBuffer::Escape(std::string_view text) {
  if (text.empty()) return;
  m_empty = false;
  size_t plain = 0;  // start of the run of bytes copied unchanged
  auto flush = [&](size_t end) { Append(text.data() + plain, end - plain); };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char* entity = nullptr;
    switch (c) {
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '&': entity = "&amp;"; break;
      case '\r':
      case '\n': entity = "<br>"; break;
      default: continue;
    }
    flush(i);
    Append(std::string_view(entity));
    // The other half of a CR LF or LF CR pair belongs to the same break.
    if ((c == '\r' || c == '\n') && i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n') &&
        text[i + 1] != c)
      ++i;
    plain = i + 1;
  }
  flush(text.size());
}

void HTMLBuffer::Clear() {
  m_data.reset();
  m_size = 0;
  m_used = 0;
  m_empty = true;
}

// A failed bind leaves no handle, which NewScriptObject tests.
GSOHTMLBuffer::GSOHTMLBuffer(GSContext* context) {
  (void)BindScriptClass(ScriptClasses().htmlBuffer, context);
}

GSOHTMLBuffer* GSOHTMLBuffer::Create(GSContext* context) { return NewScriptObject<GSOHTMLBuffer>(context); }

GSOHTMLBuffer::~GSOHTMLBuffer() { ScriptMemory::Give(m_counted); }

bool GSOHTMLBuffer::Reserve(std::size_t most) {
  // A growth makes the array 2 x size + piece, and happens only when what it
  // holds would pass its size: it never ends above 2 x filled + piece.
  const uint64_t bound =
      std::max<uint64_t>(m_buffer.Capacity(), 2 * uint64_t(m_buffer.Text().size()) + 3 * most);
  if (bound <= m_counted) return true;
  if (!ScriptMemory::Take(bound - m_counted)) return false;
  m_counted = bound;
  return true;
}

void GSOHTMLBuffer::Settle() {
  if (m_counted <= m_buffer.Capacity()) return;
  ScriptMemory::Give(m_counted - m_buffer.Capacity());
  m_counted = m_buffer.Capacity();
}

void GSOHTMLBuffer::Print(GSStack& stack) {
  std::string text;
  if (!GetNativeStringParameter(stack, 1, text, true)) return;
  PayRunBudget(text.size());
  if (!Reserve(text.size())) return Raise("HTMLBuffer.Print> the buffer would pass the script memory limit");
  m_buffer.Append(text);
  Settle();
}

void GSOHTMLBuffer::Escape(GSStack& stack) {
  std::string text;
  if (!GetNativeStringParameter(stack, 1, text, true)) return;
  PayRunBudget(text.size());
  // An entity is at most five bytes for one.
  if (!Reserve(5 * text.size()))
    return Raise("HTMLBuffer.Escape> the buffer would pass the script memory limit");
  m_buffer.Escape(text);
  Settle();
}

void GSOHTMLBuffer::Clear(GSStack&) {
  m_buffer.Clear();
  Settle();
}

void GSOHTMLBuffer::IsEmpty(GSStack& stack) { PushNativeBoolResult(stack, m_buffer.IsEmpty()); }

void GSOHTMLBuffer::AsString(GSStack& stack) { PushNativeStringResult(stack, Context(), m_buffer.Text()); }

namespace {

void Construct(GSContext* context, GSStack& stack) {
  PushObject(stack, GSOHTMLBuffer::Create(context), false);
}

}  // namespace

void GSOHTMLBuffer::RegisterNatives(GSMachine& machine) {
  const char* const h = "HTMLBuffer";
  AddNative(machine, h, "$void@HTMLBuffer::Print(string)", &GSOHTMLBuffer::Print);
  AddNative(machine, h, "$void@HTMLBuffer::Escape(string)", &GSOHTMLBuffer::Escape);
  AddNative(machine, h, "$void@HTMLBuffer::Clear()", &GSOHTMLBuffer::Clear);
  AddNative(machine, h, "$bool@HTMLBuffer::IsEmpty()", &GSOHTMLBuffer::IsEmpty);
  AddNative(machine, h, "$string@HTMLBuffer::AsString()", &GSOHTMLBuffer::AsString);
  AddNative(machine, "HTMLBufferStatic", "$HTMLBuffer@HTMLBufferStatic::Construct()", &Construct);
}
