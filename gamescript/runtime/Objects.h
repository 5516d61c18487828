#pragma once
// Script objects: the instance that carries a script class's member cells and
// the reference count, the native object paired with it, the 32-bit handles
// that value cells hold, and the per-context pool that can tear down every
// object a context made, reference cycles included.
// Handles are described in Handles.h.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gamescript/runtime/MachineState.h"
#include "kiv/Memory.h"

namespace GSRuntime {

class GSClass;
class GSContext;
class GSMessage;
class GSRouter;
class GSStack;
class GSScriptInstance;
class TrackedPool;

// The heaps of the runtime; their counters show what is still allocated.
Kiv::PackedHeap& MachineHeap();  // "#GSMachine"
Kiv::PackedHeap& ContextHeap();  // "#GSContext"

// ------------------------------------------------------------ memory

// The bytes that script objects (strings, arrays, class instances) hold,
// counted as they are made, grown and freed, against one limit for the
// machine's scripts. An allocation past it fails as that instruction's own
// allocation failure does, and what is freed counts again.
class ScriptMemory {
public:
  static constexpr uint64_t kDefaultLimit = kDefaultScriptMemoryLimit;
  // Counts `bytes` more; false, with nothing counted, when that would pass the limit.
  [[nodiscard]] static bool Take(uint64_t bytes) {
    MachineState& s = Machine();
    if (s.memoryUsed > s.memoryLimit || bytes > s.memoryLimit - s.memoryUsed) return false;
    s.memoryUsed += bytes;
    return true;
  }
  static void Give(uint64_t bytes) {
    uint64_t& used = Machine().memoryUsed;
    used -= bytes < used ? bytes : used;
  }
  // Counts bytes already held, past the limit if need be: memory that native
  // objects count as it changes (a soup's tags), whose natives then see Passed.
  static void Charge(uint64_t bytes) { Machine().memoryUsed += bytes; }
  static bool Passed() { return Machine().memoryUsed > Machine().memoryLimit; }
  // True when `bytes` more would not pass the limit (nothing is counted).
  [[nodiscard]] static bool Fits(uint64_t bytes) {
    const MachineState& s = Machine();
    return s.memoryUsed <= s.memoryLimit && bytes <= s.memoryLimit - s.memoryUsed;
  }
  static uint64_t Used() { return Machine().memoryUsed; }
  static uint64_t Limit() { return Machine().memoryLimit; }
  // A limit below what is in use lets nothing more be made until enough is freed.
  static void SetLimit(uint64_t bytes) { Machine().memoryLimit = bytes; }
};

// Work that one step does over many bytes (a string or array made, copied,
// grown, compared or searched) pays into the run budget of the interpreter
// (Thread.h) beside the byte code: one byte of budget for every
// kBytesPerBudgetByte bytes touched, so that a run ends in bounded time
// however much each of its instructions does. Outside a run it costs nothing.
constexpr uint32_t kBytesPerBudgetByte = 64;
// Making a script object (its allocation, handle and pool slot, and letting
// it go later) takes about as long as copying this many bytes: what a native
// pays per object it makes.
constexpr uint64_t kObjectMadeBytes = 16384;
// What each script object holds beside its own record and text: its
// handle-table entry, its pool slot and the allocator's headers.
constexpr uint64_t kObjectBookkeepingBytes = 96;
void PayRunBudget(uint64_t bytes);
// The bytes the running run may still touch before its budget is passed (0
// once it is); UINT64_MAX outside a run. Work whose size is known only as it
// goes (a soup written out) stops there.
uint64_t RunBudgetBytesLeft();
// Text that a native writes out of the machine (a log line) stays with the
// host, unlike a string that is freed: it pays one budget byte per byte, so
// one run writes out at most about its budget. False, with nothing paid, when
// the text would pass what the run has left; outside a run always true.
[[nodiscard]] bool PayForOutput(uint64_t bytes);

// ------------------------------------------------------------ objects

enum ObjectType : uint32_t { ObjectArray = 1, ObjectString = 2, ObjectPlain = 3, ObjectGame = 4 };

// Root of every native object a script can hold.
class GSObjectReference : public Kiv::AllocObject {
public:
  explicit GSObjectReference(uint32_t type) : m_type(type) {}
  virtual ~GSObjectReference() = default;
  GSObjectReference(const GSObjectReference&) = delete;
  GSObjectReference& operator=(const GSObjectReference&) = delete;

  uint32_t Type() const { return m_type; }
  virtual uint32_t GetScriptHandle() const = 0;
  virtual GSScriptInstance* Instance() const = 0;
  virtual GSContext* Context() const = 0;
  // When the last reference goes: true keeps the object for its owner to
  // delete later (a game object still registered with a router).
  [[nodiscard]] virtual bool DeferDeletion() { return false; }
  // A game object that native code does not own: a context's teardown deletes it.
  [[nodiscard]] virtual bool OwnedByScripts() const { return false; }

protected:
  uint32_t m_type;
};

// Base of everything a tracked-object pool holds; the pool calls the three
// passes of its teardown.
class GSTrackedObject {
public:
  virtual ~GSTrackedObject() = default;
  virtual void Pin() {}
  virtual void ReleaseReferences() {}
  virtual void Forget() { poolLink = nullptr; }
  void* poolLink = nullptr;  // the pool slot, null when untracked
};

// Instance header with its member cells and views. Script-class instances are
// made by GSClass::CreateInstance; strings and arrays embed one of one cell.
class GSScriptInstance : public GSTrackedObject {
public:
  GSScriptInstance() = default;
  ~GSScriptInstance() override;
  GSScriptInstance(const GSScriptInstance&) = delete;
  GSScriptInstance& operator=(const GSScriptInstance&) = delete;

  // Makes the views (one per block); false when the handle table is full.
  [[nodiscard]] bool MakeViews(const std::vector<HandleView>& blocks);
  void DropViews();

  void Pin() override { refCount += 2; }
  void ReleaseReferences() override;
  void Forget() override;

  uint32_t Handle() const { return viewCount ? views[0] : 0; }
  // The handle of the block at `block`, or 0.
  uint32_t HandleOfBlock(uint32_t block) const;

  int32_t refCount = 1;
  GSObjectReference* native = nullptr;
  GSClass* cls = nullptr;
  uint32_t words = 0;
  uint32_t* cells = nullptr;
  uint32_t viewCount = 0;
  uint32_t* views = nullptr;
  TrackedPool* pool = nullptr;
  bool embedded = false;  // inside a string or array: deleted with it
};

inline void AddReference(uint32_t handle) {
  if (GSScriptInstance* i = HandleTable::Instance().Get(handle)) ++i->refCount;
}
// One reference fewer; at zero the native object is deleted (unless it defers
// deletion), or an instance without one is destroyed through its class.
void ReleaseReference(GSScriptInstance* instance);
inline void ReleaseHandle(uint32_t handle) {
  GSScriptInstance* i = HandleTable::Instance().Get(handle);
  if (!i) return;
  if (i->refCount > 1)
    --i->refCount;  // not the last: nothing more to do
  else
    ReleaseReference(i);
}
// The native object behind a handle, or null.
inline GSObjectReference* GetObject(uint32_t handle) {
  GSScriptInstance* i = HandleTable::Instance().Get(handle);
  return i ? i->native : nullptr;
}
// The handle a native object holds (0 for none or for null).
inline uint32_t GetLastWord(const GSObjectReference* object) {
  return object ? object->GetScriptHandle() : 0;
}

// Base of every native script class: a plain object (type 3) unless a
// subclass says otherwise.
class GSObject : public GSObjectReference {
public:
  explicit GSObject(uint32_t type = ObjectPlain) : GSObjectReference(type) {}
  ~GSObject() override;

  uint32_t GetScriptHandle() const override { return m_handle; }
  GSScriptInstance* Instance() const override { return HandleTable::Instance().Get(m_handle); }
  GSContext* Context() const override { return m_context; }
  // With a class: creates the instance (false when one exists or creation
  // fails). With null: detaches and releases the instance; false.
  [[nodiscard]] virtual bool BindScriptClass(GSClass* cls, GSContext* context);

  // Used by GSClass when it attaches or undoes an instance.
  void Attach(uint32_t handle, GSContext* context) {
    m_handle = handle;
    m_context = context;
  }

private:
  void Detach();
  uint32_t m_handle = 0;
  GSContext* m_context = nullptr;
};

// ------------------------------------------------------------ pool

// Tracks every object of one context in blocks of 1022 slots.
class TrackedPool {
public:
  static constexpr std::size_t kSlotsPerBlock = 1022;

  explicit TrackedPool(GSContext* owner) : m_owner(owner) {}
  ~TrackedPool() { Clear(); }
  TrackedPool(const TrackedPool&) = delete;
  TrackedPool& operator=(const TrackedPool&) = delete;

  void Track(GSTrackedObject* object);
  void Untrack(GSTrackedObject* object);
  // The pool of a tracked object; null when untracked.
  static TrackedPool* GetPool(const GSTrackedObject* object);
  // Tears down every tracked object: pin all, release their references,
  // then destroy each, so objects that refer to each other end cleanly.
  void Clear();

  GSContext* Owner() const { return m_owner; }
  std::size_t BlockCount() const { return m_blocks.size(); }
  [[nodiscard]] bool Clearing() const { return m_clearing; }

private:
  struct Block;
  struct Slot {
    GSTrackedObject* object;  // or the next free slot when free
    Slot* nextFree;
    Block* block;  // set while used
  };
  struct Block {
    TrackedPool* pool;
    Slot* freeList;
    std::size_t used;
    Slot slots[kSlotsPerBlock];
  };
  GSContext* m_owner;
  std::vector<std::unique_ptr<Block>> m_blocks;
  Block* m_current = nullptr;
  bool m_clearing = false;
};

// The context an instance's objects are made in: its native object's, else
// that of the pool that tracks it; null when neither.
inline GSContext* ContextOf(const GSScriptInstance* instance) {
  if (!instance) return nullptr;
  if (instance->native) return instance->native->Context();
  return instance->pool ? instance->pool->Owner() : nullptr;
}

// The objects of one script context, and the router through which its game
// objects exchange messages. Native script classes derive their contexts
// from it.
class GSContext {
public:
  GSContext();
  virtual ~GSContext();
  GSContext(const GSContext&) = delete;
  GSContext& operator=(const GSContext&) = delete;

  TrackedPool& Pool() { return m_pool; }
  [[nodiscard]] bool Shared() const { return m_shared; }
  void SetShared(bool shared) { m_shared = shared; }
  // The one instance this context keeps of a static class, made on first
  // use; null for other classes or when it cannot be made. Inline for the
  // class asked for last: scripts call one static class's natives in loops.
  GSObject* GetStaticInstance(GSClass* cls) {
    return cls && cls == m_lastStatic.first ? m_lastStatic.second : FindStaticInstance(cls);
  }

  // The router, null until one is made. `clock` gives milliseconds (the
  // process clock when empty). A router made already is kept.
  GSRouter* Router() const { return m_router.get(); }
  GSRouter* CreateRouter(std::function<uint64_t()> clock = {});
  // Every live context, oldest first.
  static const std::vector<GSContext*>& LiveContexts();

  // A new "Message" script object (handle with one reference) holding the
  // message's major and minor text, source and destination game objects and
  // payload; 0 when the class "Message" of "gs.gsl" cannot be found.
  uint32_t MakeMessageObject(const GSMessage* message);

  // The natives of "Router".
  void GetGameObjectById(GSStack& stack);
  void GetForeignGameObject(GSStack& stack);
  void GetGameObjectByName(GSStack& stack);
  void RouterInfo(GSStack& stack);
  void RouterPostMessage(GSStack& stack);

private:
  TrackedPool m_pool;
  bool m_shared = false;
  GSObject* FindStaticInstance(GSClass* cls);
  std::vector<std::pair<const GSClass*, GSObject*>> m_statics;
  std::pair<const GSClass*, GSObject*> m_lastStatic{nullptr, nullptr};
  std::unique_ptr<GSRouter> m_router;
};

// Stores a handle into member cell `index` of `target` (an instance): a value
// tracked in another context whose context is not shared is stored as null
// (and its reference released); else the value gains a reference. The old
// value is released.
void StoreMember(GSScriptInstance* target, uint32_t index, uint32_t value);

// ------------------------------------------------------------ strings, arrays

// A script string: reference counted, no script class; its text changes in place.
class GSString : public GSObjectReference {
public:
  // Positions are script ints; below that, the memory limit decides.
  static constexpr std::size_t kMaxLength = INT32_MAX;

  // A new string tracked in the context's pool (none: untracked); its handle
  // owns the one reference. Null when no handle is left.
  static GSString* Create(GSContext* context, std::string_view text = {});
  ~GSString() override;

  uint32_t GetScriptHandle() const override { return m_instance.Handle(); }
  GSScriptInstance* Instance() const override { return const_cast<GSScriptInstance*>(&m_instance); }
  GSContext* Context() const override { return m_context; }

  std::string& Text() { return m_text; }
  const std::string& Text() const { return m_text; }
  // Characters from start up to end (negative start counts as 0, negative end
  // or one past the length as the length); false when start > end.
  [[nodiscard]] bool Substring(int32_t start, int32_t end, std::string& out) const;
  // Replaces those characters by `insert` (null removes them); same clamping.
  // False also when the longer text would pass the memory limit.
  [[nodiscard]] bool Replace(int32_t start, int32_t end, const GSString* insert);
  // Counts the text as `length` characters long before it grows to that;
  // false when that would pass the memory limit.
  [[nodiscard]] bool Reserve(std::size_t length);

private:
  GSString(GSContext* context, std::string_view text);
  std::string m_text;
  std::size_t m_counted = 0;  // characters counted against the memory limit
  GSContext* m_context;
  GSScriptInstance m_instance;
  uint32_t m_handleWord = 0;
  uint32_t m_viewWord = 0;
};

// A script array of 32-bit cells; object arrays hold one reference per
// non-null element.
class GSArray : public GSObjectReference {
public:
  // Indices are script ints; below that, the memory limit decides.
  static constexpr std::size_t kMaxSize = INT32_MAX;

  static GSArray* Create(GSContext* context, bool objectElements);
  ~GSArray() override;

  uint32_t GetScriptHandle() const override { return m_instance.Handle(); }
  GSScriptInstance* Instance() const override { return const_cast<GSScriptInstance*>(&m_instance); }
  GSContext* Context() const override { return m_context; }

  [[nodiscard]] bool ObjectElements() const { return m_objects; }
  std::size_t Size() const { return m_cells.size(); }
  uint32_t At(std::size_t i) const { return m_cells[i]; }
  uint32_t* Data() { return m_cells.data(); }
  // n <= 0 releases everything; above the size grows with zero cells; a
  // smaller positive n changes nothing. False when n is above the cap.
  [[nodiscard]] bool SetSize(int64_t n);
  // Replaces [start, end) by other's elements (null: removes); a start past
  // the size pads with zero cells. False for start > end, another element
  // kind, or a result above the cap.
  [[nodiscard]] bool Splice(int32_t start, int32_t end, const GSArray* other);
  // Becomes a copy of other's [start, end).
  [[nodiscard]] bool AssignRange(const GSArray* other, int32_t start, int32_t end);
  // Stores an object handle at index, growing the array; the old element is
  // released and the new one gains a reference.
  [[nodiscard]] bool SetObjectElement(std::size_t index, uint32_t handle);
  // Every growth is first counted against the memory limit; past it the
  // growing call fails and the array is unchanged.
  void ReleaseRange(std::size_t start, std::size_t end);
  void ReleaseAll() {
    ReleaseRange(0, m_cells.size());
    std::vector<uint32_t>().swap(m_cells);
    ScriptMemory::Give(4 * uint64_t(m_counted));
    m_counted = 0;
  }

private:
  GSArray(GSContext* context, bool objectElements);
  [[nodiscard]] bool Reserve(std::size_t cells);
  std::size_t m_counted = 0;  // cells counted against the memory limit
  void AddReferences(std::size_t start, std::size_t end);
  std::vector<uint32_t> m_cells;
  GSContext* m_context;
  bool m_objects;
  GSScriptInstance m_instance;
  uint32_t m_handleWord = 0;
  uint32_t m_viewWord = 0;
};

}  // namespace GSRuntime
