#pragma once
// The script class "HTMLBuffer": a growable text buffer for building page
// text. Print adds markup unchanged; Escape adds plain text made safe: '<',
// '>' and '&' become entities, and each line break (CR LF, LF CR, a lone CR
// or a lone LF) becomes one "<br>". The static class "HTMLBufferStatic" makes
// new buffers.
#include <cstdint>
#include <memory>
#include <string_view>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"

class HTMLBuffer {
public:
  // Appends n bytes; a full array grows to 2 x size + n, so appends cost
  // amortised linear time. The empty flag is not touched.
  void Append(const char* bytes, size_t n);
  void Append(std::string_view text) { Append(text.data(), text.size()); }
  // Appends the text escaped (nothing for an empty text; else clears the empty flag).
  void Escape(std::string_view text);
  // Empties the buffer and frees its array; the empty flag is set.
  void Clear();
  std::string_view Text() const { return std::string_view(m_data.get(), m_used); }
  [[nodiscard]] bool IsEmpty() const { return m_empty; }
  size_t Capacity() const { return m_size; }

private:
  std::unique_ptr<char[]> m_data;
  size_t m_size = 0;
  size_t m_used = 0;
  bool m_empty = true;
};

class GSOHTMLBuffer : public GSRuntime::GSObject {
public:
  explicit GSOHTMLBuffer(GSRuntime::GSContext* context);
  ~GSOHTMLBuffer() override;
  // A new object for a script, or null (the caller owns the one reference).
  static GSOHTMLBuffer* Create(GSRuntime::GSContext* context);
  HTMLBuffer& Buffer() { return m_buffer; }

  // The 5 records of "HTMLBuffer" and the 1 of "HTMLBufferStatic".
  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  void Print(GSRuntime::GSStack& stack);
  void Escape(GSRuntime::GSStack& stack);
  void Clear(GSRuntime::GSStack& stack);
  void IsEmpty(GSRuntime::GSStack& stack);
  void AsString(GSRuntime::GSStack& stack);
  // The buffer's array counts against the script memory limit. Room for
  // `most` more bytes is counted before an append; false, with nothing
  // changed, past the limit. Settle gives back what the array did not take.
  [[nodiscard]] bool Reserve(std::size_t most);
  void Settle();

  HTMLBuffer m_buffer;
  uint64_t m_counted = 0;  // bytes counted against the script memory
};
