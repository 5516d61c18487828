#include "gamescript/runtime/Stack.h"

#include <string>

#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/Verifier.h"

namespace GSRuntime {

bool GSStack::PushString(GSContext* context, std::string_view text) {
  GSString* s = GSString::Create(context, text);
  if (!s) return false;
  if (Push(s->GetScriptHandle())) return true;
  ReleaseHandle(s->GetScriptHandle());
  return false;
}

namespace {

// `handle` seen as the block of `cls` in its instance (any block of it);
// without a class the handle itself. 0 when the handle is dead or its
// instance has no block of that class.
uint32_t HandleAs(uint32_t handle, const GSClass* cls) {
  GSScriptInstance* instance = HandleTable::Instance().Get(handle);
  if (!instance) return 0;
  if (!cls) return handle;
  const uint32_t* block = instance->cls ? instance->cls->GetClassData(instance, cls) : nullptr;
  return block ? instance->HandleOfBlock(uint32_t(block - instance->cells)) : 0;
}

}  // namespace

bool GSStack::PushObject(const GSObjectReference* object, const GSClass* cls) {
  const uint32_t handle = HandleAs(GetLastWord(object), cls);
  if (!PushReference(handle)) return false;
  AddReference(handle);
  return true;
}

bool GSStack::PushObjectNoReference(const GSObjectReference* object, const GSClass* cls) {
  return Push(HandleAs(GetLastWord(object), cls));
}

bool GSStack::PushHandleAs(uint32_t handle, const GSClass* cls) { return Push(HandleAs(handle, cls)); }

GSContext* GSStack::GetContext() const {
  for (uint32_t i = m_depth; i-- > 0;)
    if (GSContext* context = ContextOf(HandleTable::Instance().Get(m_frames[i].receiver))) return context;
  return nullptr;
}

bool GSStack::PushReference(uint32_t handle) {
  if (!Push(handle)) return false;
  m_kinds[m_sp] = kKindReference;
  return true;
}

void GSStack::ReportOverflow() const {
  if (!ScriptLogHook) return;
  ScriptLogHook("GSStack overflow...");
  for (uint32_t i = m_depth; i-- > 0;)
    ScriptLogHook("function %s", std::string(m_frames[i].function->key).c_str());
}

void GSStack::MarkFrameKinds(const GSFrame& frame) {
  // The kinds of the frame's cells as its record gives them; temporaries
  // start as zero.
  const LibraryFunction& r = *frame.function->record;
  const uint32_t fixed = r.parameters + r.locals;
  const uint32_t cells = fixed + r.temporaries;
  uint8_t* kinds = m_kinds + frame.argumentBase;
  for (uint32_t i = 0; i < cells; ++i) kinds[i] = i < fixed ? kKindNumber : kKindZero;
  kinds[0] = kKindReference;
  for (std::size_t i = 0; i < r.referenceCells.size(); ++i)
    if (r.referenceCells[i] < cells) kinds[r.referenceCells[i]] = kKindReference;
}

void GSStack::ReportReturnDepth(int32_t diff) const {
  if (ScriptLogHook) ScriptLogHook("GSStack::ReturnValue> diff=%d", diff);
}

void GSStack::Clear(uint32_t depth) {
  if (m_depth <= depth) return;
  const int32_t bottom = int32_t(m_frames[depth].argumentBase) - 1;
  while (m_depth > depth) {
    const GSFrame& f = m_frames[--m_depth];
    // Cells pushed above the frame's header were its evaluation stack; their
    // kinds are not known, so only the frame's own cells are released.
    ReleaseFrameCells(f);
  }
  m_sp = bottom;
}

void GSStack::DumpFrames(uint32_t depth) const {
  if (!ScriptLogHook) return;
  for (uint32_t i = m_depth; i-- > depth;) {
    const GSFunction* f = m_frames[i].function;
    const int32_t line = i + 1 == m_depth ? -1 : f->LineOf(m_frames[i + 1].returnOffset);
    ScriptLogHook("function %s, line %d", std::string(f->key).c_str(), line);
  }
}

}  // namespace GSRuntime
