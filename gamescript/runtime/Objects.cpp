#include "gamescript/runtime/Objects.h"

#include <algorithm>
#include <mutex>

#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/MachineState.h"
#include "gamescript/runtime/Router.h"
#include "gamescript/runtime/ScriptLogHook.h"

namespace GSRuntime {

namespace {
MachineState& WithHeaps() {
  MachineState& state = Machine();
  std::call_once(state.heapsMade, [&state] {
    state.machineHeap.emplace("#GSMachine");
    state.contextHeap.emplace("#GSContext");
  });
  return state;
}
}  // namespace

Kiv::PackedHeap& MachineHeap() { return *WithHeaps().machineHeap; }

Kiv::PackedHeap& ContextHeap() { return *WithHeaps().contextHeap; }

// ------------------------------------------------------------ handles

uint32_t HandleTable::Add(const HandleView& view) {
  if (m_slots.empty()) {
    m_slots.emplace_back().handle = kNullSlotHandle;
    m_count = 1;
  }
  uint32_t index = m_free;
  if (index) {
    m_free = m_slots[index].nextFree;
  } else {
    if (m_slots.size() > kIndexMask) return 0;
    index = uint32_t(m_slots.size());
    m_slots.emplace_back();
    m_count = uint32_t(m_slots.size());
  }
  Slot& s = m_slots[index];
  s.view = view;
  s.handle = s.generation << kIndexBits | index;
  ++m_live;
  return s.handle;
}

void HandleTable::Remove(uint32_t handle) {
  if (!Find(handle)) return;
  const uint32_t index = handle & kIndexMask;
  Slot& s = m_slots[index];
  s.handle = 0;
  s.view = HandleView();
  --m_live;
  // A slot whose generations are used up is retired rather than reused, so
  // that no old handle can ever name a new object.
  if (s.generation == (1u << (32 - kIndexBits)) - 1) return;
  ++s.generation;
  s.nextFree = m_free;
  m_free = index;
}

// ------------------------------------------------------------ instances

GSScriptInstance::~GSScriptInstance() {
  if (poolLink && pool) pool->Untrack(this);
  DropViews();
}

bool GSScriptInstance::MakeViews(const std::vector<HandleView>& blocks) {
  for (uint32_t i = 0; i < viewCount && i < blocks.size(); ++i) {
    views[i] = HandleTable::Instance().Add(blocks[i]);
    if (!views[i]) {
      DropViews();
      return false;
    }
  }
  return true;
}

void GSScriptInstance::DropViews() {
  for (uint32_t i = 0; i < viewCount; ++i) {
    HandleTable::Instance().Remove(views[i]);
    views[i] = 0;
  }
}

uint32_t GSScriptInstance::HandleOfBlock(uint32_t block) const {
  for (uint32_t i = 0; i < viewCount; ++i) {
    const HandleView* v = HandleTable::Instance().Find(views[i]);
    if (v && v->block == block) return views[i];
  }
  return 0;
}

void GSScriptInstance::ReleaseReferences() {
  if (native) {
    switch (native->Type()) {
      case ObjectArray: static_cast<GSArray*>(native)->ReleaseAll(); break;
      case ObjectGame:
        if (native->OwnedByScripts()) break;  // deleted with the instance, as a plain object
        ++refCount;
        if (auto* object = dynamic_cast<GSObject*>(native)) object->Attach(0, nullptr);
        native = nullptr;
        break;
      default: break;
    }
  }
  // An instance whose members go anyway: the instance is gone after this.
  if (cls) (void)cls->ReleaseObjectMembers(this);
}

void GSScriptInstance::Forget() {
  poolLink = nullptr;
  pool = nullptr;
  if (native && (native->Type() == ObjectArray || native->Type() == ObjectString)) {
    delete native;  // the instance is inside it
    return;
  }
  if (native) {
    ++refCount;
    GSObjectReference* object = native;
    native = nullptr;
    if (auto* plain = dynamic_cast<GSObject*>(object)) plain->Attach(0, nullptr);
    delete object;
  }
  // An instance whose members go anyway: the instance is gone after this.
  if (cls) (void)cls->DestroyInstance(this);
}

namespace {

// Ends an instance whose last reference went.
void EndInstance(GSScriptInstance* instance) {
  if (GSObjectReference* object = instance->native) {
    if (object->DeferDeletion()) return;
    delete object;
  } else if (instance->cls) {
    // An instance whose members go anyway: the instance is gone after this.
    (void)instance->cls->DestroyInstance(instance);
  }
}

// Ending an object releases what it holds, which may end more objects: a
// list of a million nodes would nest a million destructors. Instances whose
// count reaches zero while another one ends wait here, by handle, and the
// outermost release ends them one after the other. A handle, not a pointer:
// an instance ended meanwhile by other means is then simply not found.
struct PendingEnds {
  std::vector<uint32_t> handles;
  bool ending = false;
};
thread_local PendingEnds t_pending;

}  // namespace

void ReleaseReference(GSScriptInstance* instance) {
  // A count already at zero belongs to an instance being destroyed: its own
  // members may still point back at it.
  if (!instance || instance->refCount <= 0 || --instance->refCount > 0) return;
  PendingEnds& pending = t_pending;
  const uint32_t handle = instance->Handle();
  if (pending.ending && handle) {
    pending.handles.push_back(handle);
    return;
  }
  const bool outermost = !pending.ending;
  pending.ending = true;
  EndInstance(instance);
  if (!outermost) return;
  while (!pending.handles.empty()) {
    GSScriptInstance* next = HandleTable::Instance().Get(pending.handles.back());
    pending.handles.pop_back();
    // Taken up again meanwhile (a destructor stored it anew): it lives on.
    if (next && next->refCount <= 0) EndInstance(next);
  }
  pending.ending = false;
  // A long list leaves no large buffer behind.
  if (pending.handles.capacity() > 4096) std::vector<uint32_t>().swap(pending.handles);
}

// ------------------------------------------------------------ GSObject

GSObject::~GSObject() {
  if (GSScriptInstance* i = Instance()) {
    if (i->refCount < 2 && i->cls) {
      if (i->refCount > 0) --i->refCount;
      i->native = nullptr;
      // An instance whose members go anyway: the instance is gone after this.
      (void)i->cls->DestroyInstance(i);
    } else {
      // Scripts still hold it: they keep a valid instance without a native object.
      i->native = nullptr;
      ReleaseReference(i);
    }
  }
  m_handle = 0;
  m_context = nullptr;
}

void GSObject::Detach() {
  GSScriptInstance* i = Instance();
  m_handle = 0;
  m_context = nullptr;
  if (!i) return;
  i->native = nullptr;
  if (i->refCount <= 0 && i->cls)
    // An instance whose members go anyway: the instance is gone after this.
    (void)i->cls->DestroyInstance(i);  // its last reference went while deletion was deferred
  else
    ReleaseReference(i);
}

GSContext::GSContext() : m_pool(this) { Machine().contexts.push_back(this); }

const std::vector<GSContext*>& GSContext::LiveContexts() { return Machine().contexts; }

GSRouter* GSContext::CreateRouter(std::function<uint64_t()> clock) {
  if (!m_router) m_router = std::make_unique<GSRouter>(std::move(clock));
  return m_router.get();
}

GSContext::~GSContext() {
  // The static instances go first; what scripts still hold of them goes with the pool.
  for (auto& [cls, object] : m_statics) delete object;
  m_statics.clear();
  m_lastStatic = {nullptr, nullptr};
  if (m_router) m_router->Done();
  std::erase(Machine().contexts, this);
  m_pool.Clear();
  m_router.reset();
}

GSObject* GSContext::FindStaticInstance(GSClass* cls) {
  if (!cls || !(cls->Flags() & kClassStatic)) return nullptr;
  for (auto& [c, object] : m_statics)
    if (c == cls) {
      m_lastStatic = {c, object};
      return object;
    }
  auto* object = new GSObject();
  if (!object->BindScriptClass(cls, this)) {
    delete object;
    if (ScriptLogHook)
      ScriptLogHook("Could not construct static class %s for context", std::string(cls->Name()).c_str());
    return nullptr;
  }
  m_statics.emplace_back(cls, object);
  m_lastStatic = {cls, object};
  return object;
}

bool GSObject::BindScriptClass(GSClass* cls, GSContext* context) {
  if (!cls) {
    Detach();
    return false;
  }
  if (Instance()) return false;
  return cls->CreateInstance(this, context);
}

// ------------------------------------------------------------ pool

void TrackedPool::Track(GSTrackedObject* object) {
  if (!object || object->poolLink) return;
  if (!m_current || !m_current->freeList) {
    m_current = nullptr;
    for (const auto& b : m_blocks)
      if (b->freeList) {
        m_current = b.get();
        break;
      }
    if (!m_current) {
      auto block = std::make_unique<Block>();
      block->pool = this;
      block->used = 0;
      for (std::size_t i = 0; i < kSlotsPerBlock; ++i)
        block->slots[i] = Slot{nullptr, i + 1 < kSlotsPerBlock ? &block->slots[i + 1] : nullptr, nullptr};
      block->freeList = &block->slots[0];
      m_current = block.get();
      m_blocks.push_back(std::move(block));
    }
  }
  Slot* slot = m_current->freeList;
  m_current->freeList = slot->nextFree;
  slot->object = object;
  slot->nextFree = nullptr;
  slot->block = m_current;
  ++m_current->used;
  object->poolLink = slot;
  if (!m_current->freeList) m_current = nullptr;
}

void TrackedPool::Untrack(GSTrackedObject* object) {
  if (!object || !object->poolLink || m_clearing) return;
  Slot* slot = static_cast<Slot*>(object->poolLink);
  Block* block = slot->block;
  if (!block || block->pool != this) return;
  slot->object = nullptr;
  slot->block = nullptr;
  slot->nextFree = block->freeList;
  block->freeList = slot;
  --block->used;
  object->poolLink = nullptr;
}

TrackedPool* TrackedPool::GetPool(const GSTrackedObject* object) {
  if (!object || !object->poolLink) return nullptr;
  const Block* block = static_cast<const Slot*>(object->poolLink)->block;
  return block ? block->pool : nullptr;
}

void TrackedPool::Clear() {
  if (m_blocks.empty()) return;
  m_clearing = true;
  m_current = nullptr;
  auto each = [&](auto&& pass) {
    for (const auto& b : m_blocks)
      for (Slot& s : b->slots)
        if (s.block) pass(s.object);
  };
  each([](GSTrackedObject* o) { o->Pin(); });
  each([](GSTrackedObject* o) { o->ReleaseReferences(); });
  each([](GSTrackedObject* o) { o->Forget(); });
  m_blocks.clear();
  m_clearing = false;
}

void StoreMember(GSScriptInstance* target, uint32_t index, uint32_t value) {
  if (!target || index >= target->words) return;
  if (GSScriptInstance* v = HandleTable::Instance().Get(value)) {
    // An object of another context that is not shared is not stored. The
    // caller's own reference is left alone.
    if (target->pool && v->pool && target->pool != v->pool && !v->pool->Owner()->Shared())
      value = 0;
    else
      ++v->refCount;
  }
  const uint32_t old = target->cells[index];
  target->cells[index] = value;
  ReleaseHandle(old);
}

// ------------------------------------------------------------ strings

GSString::GSString(GSContext* context, std::string_view text)
    : GSObjectReference(ObjectString), m_text(text), m_context(context) {
  m_instance.native = this;
  m_instance.embedded = true;
  m_instance.words = 1;
  m_instance.cells = &m_handleWord;
  m_instance.viewCount = 1;
  m_instance.views = &m_viewWord;
}

namespace {
// Gives a built-in object's instance its one view and enters it in the
// context's pool; false when the view cannot be made.
bool AdoptBuiltIn(GSScriptInstance& instance, GSContext* context) {
  if (!instance.MakeViews({HandleView{&instance, 0, 0}})) return false;
  if (context) {
    instance.pool = &context->Pool();
    context->Pool().Track(&instance);
  }
  return true;
}
}  // namespace

GSString* GSString::Create(GSContext* context, std::string_view text) {
  if (text.size() > kMaxLength || !ScriptMemory::Take(sizeof(GSString) + text.size())) return nullptr;
  PayRunBudget(text.size());
  auto* s = new GSString(context, text);
  s->m_counted = text.size();
  if (!AdoptBuiltIn(s->m_instance, context)) {
    delete s;
    return nullptr;
  }
  return s;
}

GSString::~GSString() { ScriptMemory::Give(sizeof(GSString) + m_counted); }

bool GSString::Reserve(std::size_t length) {
  if (length <= m_counted) return true;
  if (!ScriptMemory::Take(length - m_counted)) return false;
  m_counted = length;
  return true;
}

namespace {
// Clamps a script range over `length` items; false when start > end.
bool ClampRange(int64_t length, int32_t& start, int32_t& end) {
  if (start < 0) start = 0;
  if (end < 0 || end > length) end = int32_t(length);
  return start <= end;
}
}  // namespace

bool GSString::Substring(int32_t start, int32_t end, std::string& out) const {
  if (!ClampRange(int64_t(m_text.size()), start, end)) return false;
  out = std::size_t(start) < m_text.size() ? m_text.substr(std::size_t(start), std::size_t(end - start)) : "";
  return true;
}

bool GSString::Replace(int32_t start, int32_t end, const GSString* insert) {
  if (!ClampRange(int64_t(m_text.size()), start, end)) return false;
  const std::string_view with = insert ? std::string_view(insert->m_text) : std::string_view();
  if (std::size_t(start) > m_text.size()) start = int32_t(m_text.size());
  const std::size_t length = m_text.size() - std::size_t(end - start) + with.size();
  if (length > kMaxLength || !Reserve(length)) return false;
  // The bytes written, those after the range when they move, and the whole
  // text when it outgrows its room and is copied (which its growth by half
  // again or more keeps rare).
  const std::size_t moved = length != m_text.size() ? m_text.size() - std::size_t(end) : 0;
  PayRunBudget(with.size() + moved + (length > m_text.capacity() ? length : 0));
  m_text.replace(std::size_t(start), std::size_t(end - start), with);
  return true;
}

// ------------------------------------------------------------ arrays

GSArray::GSArray(GSContext* context, bool objectElements)
    : GSObjectReference(ObjectArray), m_context(context), m_objects(objectElements) {
  m_instance.native = this;
  m_instance.embedded = true;
  m_instance.words = 1;
  m_instance.cells = &m_handleWord;
  m_instance.viewCount = 1;
  m_instance.views = &m_viewWord;
}

GSArray* GSArray::Create(GSContext* context, bool objectElements) {
  if (!ScriptMemory::Take(sizeof(GSArray))) return nullptr;
  auto* a = new GSArray(context, objectElements);
  if (!AdoptBuiltIn(a->m_instance, context)) {
    delete a;
    return nullptr;
  }
  return a;
}

GSArray::~GSArray() {
  ReleaseAll();
  ScriptMemory::Give(sizeof(GSArray));
}

bool GSArray::Reserve(std::size_t cells) {
  if (cells <= m_counted) return true;
  if (!ScriptMemory::Take(4 * uint64_t(cells - m_counted))) return false;
  m_counted = cells;
  return true;
}

void GSArray::ReleaseRange(std::size_t start, std::size_t end) {
  if (!m_objects) return;
  for (std::size_t i = start; i < end && i < m_cells.size(); ++i) {
    const uint32_t h = m_cells[i];
    m_cells[i] = 0;
    ReleaseHandle(h);
  }
}

void GSArray::AddReferences(std::size_t start, std::size_t end) {
  if (!m_objects) return;
  for (std::size_t i = start; i < end && i < m_cells.size(); ++i) AddReference(m_cells[i]);
}

bool GSArray::SetSize(int64_t n) {
  if (n <= 0) {
    ReleaseAll();
    return true;
  }
  if (uint64_t(n) > kMaxSize || !Reserve(std::size_t(n))) return false;
  if (std::size_t(n) > m_cells.size()) {
    PayRunBudget(4 * (std::size_t(n) - m_cells.size()));
    m_cells.resize(std::size_t(n), 0);
  }
  return true;
}

bool GSArray::Splice(int32_t start, int32_t end, const GSArray* other) {
  if (start < 0) start = 0;
  if (end < 0) end = int32_t(m_cells.size());
  if (start > end || (other && other->m_objects != m_objects)) return false;
  const std::size_t s = std::size_t(start);
  const std::size_t e = std::min(std::size_t(end), std::max(m_cells.size(), s));
  const std::size_t inserted = other ? other->m_cells.size() : 0;
  const std::size_t tail = m_cells.size() > e ? m_cells.size() - e : 0;
  if (s + inserted + tail > kMaxSize || !Reserve(s + inserted + tail)) return false;
  PayRunBudget(4 * (s + inserted + tail));
  std::vector<uint32_t> cells;
  cells.reserve(s + inserted + tail);
  cells.assign(m_cells.begin(), m_cells.begin() + long(std::min(s, m_cells.size())));
  cells.resize(s, 0);  // a start past the size pads with null cells
  if (other) cells.insert(cells.end(), other->m_cells.begin(), other->m_cells.end());
  if (tail) cells.insert(cells.end(), m_cells.begin() + long(e), m_cells.end());
  ReleaseRange(s, e);
  m_cells.swap(cells);
  AddReferences(s, s + inserted);
  return true;
}

bool GSArray::AssignRange(const GSArray* other, int32_t start, int32_t end) {
  if (!other || other->m_objects != m_objects) return false;
  if (!ClampRange(int64_t(other->m_cells.size()), start, end)) return false;
  const std::size_t count = std::size_t(end - start);
  if (!ScriptMemory::Take(4 * uint64_t(count))) return false;
  PayRunBudget(4 * uint64_t(count));
  std::vector<uint32_t> cells(other->m_cells.begin() + std::min<long>(start, long(other->m_cells.size())),
                              other->m_cells.begin() + end);
  // Referenced before the old elements go, in case they are the same objects.
  if (m_objects)
    for (uint32_t h : cells) AddReference(h);
  ReleaseAll();
  m_cells.swap(cells);
  m_counted = count;
  return true;
}

bool GSArray::SetObjectElement(std::size_t index, uint32_t handle) {
  if (index >= kMaxSize || !Reserve(index + 1)) return false;
  if (index >= m_cells.size()) {
    PayRunBudget(4 * (index + 1 - m_cells.size()));
    m_cells.resize(index + 1, 0);
  }
  AddReference(handle);
  const uint32_t old = m_cells[index];
  m_cells[index] = handle;
  ReleaseHandle(old);
  return true;
}

}  // namespace GSRuntime
