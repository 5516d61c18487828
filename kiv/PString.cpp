#include "kiv/PString.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kiv/Memory.h"
#include "kiv/String.h"

namespace Kiv {

// One block per text: this header, then the bytes and a terminator. A
// config of a million tags interns a million names, so every byte of the
// entry counts: the text's hash is not kept (the table keeps what it needs
// of it, and works it out again only to take a text out). Blocks of up to
// SizeClassArena::kLargest bytes come from the table's arena, under its lock:
// a name like "t12345" then takes 16 bytes instead of the heap's 32.
struct PString::Entry {
  // The holders; kPinned set: the text stays and its holders are not counted.
  static constexpr uint32_t kPinned = uint32_t{1} << 31;
  std::atomic<uint32_t> refs{1};
  uint32_t length = 0;

  const char* Text() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::string_view View() const noexcept { return std::string_view(Text(), length); }
  static size_t BlockSize(size_t length) { return sizeof(Entry) + length + 1; }
  bool InArena() const noexcept { return BlockSize(length) <= SizeClassArena::kLargest; }

  static Entry* Make(std::string_view text, SizeClassArena& arena) {
    if (text.size() >= UINT32_MAX) throw std::length_error("PString: text too long");
    const size_t size = BlockSize(text.size());
    void* block =
        size <= SizeClassArena::kLargest ? arena.Allocate(size) : ::operator new(size, std::align_val_t(16));
    // The table keeps the address in 44 bits, from bit 4 on.
    if (reinterpret_cast<uintptr_t>(block) >> 48) {
      std::fputs("PString: the heap gave an address above 2^48\n", stderr);
      std::abort();
    }
    auto* e = ::new (block) Entry;
    e->length = static_cast<uint32_t>(text.size());
    char* bytes = reinterpret_cast<char*>(e + 1);
    if (!text.empty()) std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = 0;
    return e;
  }
  // A block of the arena is freed under the table's lock.
  static void Free(Entry* e, SizeClassArena& arena) noexcept {
    const bool inArena = e->InArena();
    e->~Entry();
    if (inArena)
      arena.Free(e);
    else
      ::operator delete(static_cast<void*>(e), std::align_val_t(16));
  }
};
static_assert(sizeof(PString::Entry) == 8);

namespace {

size_t HashOf(std::string_view text) { return std::hash<std::string_view>()(text); }

// Threads that read the table without its lock. Each thread has a record whose
// count is odd while the thread is inside a look-up; an entry or a slot array
// taken out of the table is freed only once every look-up that was inside then
// has left. Records are never freed: a thread that ends leaves its record to
// the next thread that starts.
struct Reader {
  std::atomic<uint64_t> inside{0};
  std::atomic<bool> taken{true};
  Reader* next = nullptr;
};
std::atomic<Reader*> g_readers{nullptr};

Reader* TakeReader() {
  for (Reader* r = g_readers.load(std::memory_order_acquire); r; r = r->next) {
    bool free = false;
    if (!r->taken.load(std::memory_order_relaxed) &&
        r->taken.compare_exchange_strong(free, true, std::memory_order_acquire))
      return r;
  }
  auto* r = new Reader;
  r->next = g_readers.load(std::memory_order_relaxed);
  while (!g_readers.compare_exchange_weak(r->next, r, std::memory_order_acq_rel)) {}
  return r;
}

// The pointer and the state are plain thread-locals, readable at any time; the
// object that gives the record back is made only when one is taken. A thread
// whose record went back already (a destructor at its end) takes the lock.
thread_local Reader* t_reader = nullptr;
thread_local bool t_readerGone = false;
struct GiveBackReader {
  ~GiveBackReader() {
    if (t_reader) t_reader->taken.store(false, std::memory_order_release);
    t_reader = nullptr;
    t_readerGone = true;
  }
};

Reader* ThisThreadsReader() {
  if (t_reader || t_readerGone) return t_reader;
  thread_local GiveBackReader giveBack;
  t_reader = TakeReader();
  return t_reader;
}

// Waits until every look-up that is inside now has left.
void WaitForReaders() {
  for (Reader* r = g_readers.load(std::memory_order_acquire); r; r = r->next) {
    const uint64_t seen = r->inside.load(std::memory_order_seq_cst);
    if (!(seen & 1)) continue;
    while (r->inside.load(std::memory_order_acquire) == seen) std::this_thread::yield();
  }
}

// Takes one more reference unless the count is at zero: an entry at zero is
// being taken out by its last holder.
bool Hold(PString::Entry* e) {
  uint32_t r = e->refs.load(std::memory_order_relaxed);
  while (r != 0) {
    if (r & PString::Entry::kPinned) return true;
    if (e->refs.compare_exchange_weak(r, r + 1, std::memory_order_acquire, std::memory_order_relaxed))
      return true;
  }
  return false;
}

bool IsPinned(const PString::Entry* e) {
  return e->refs.load(std::memory_order_relaxed) & PString::Entry::kPinned;
}

// Open addressing with linear probing, at most seven eighths full. A slot is
// one word: the entry's address (16-byte aligned and below 2^48, so 44 bits)
// and the top 20 bits of the text's hash. A look-up reads the slots and then
// only an entry whose bits match: with hundreds of thousands of texts, each
// extra memory read on the way is a cache miss, and a slot of a pointer and
// a whole hash would double the table.
//
// A text's home slot is its 20 bits scaled to the table's size, and each run
// of full slots is kept in order of home, then of those bits (a new text
// pushes the later slots of its run one on). So a look-up for a text that is
// not there stops at the first slot whose text would come after it, and runs
// may grow long: the table grows by a fifth and so stays between 73% and
// 87.5% full, 9.1 to 11 bytes a text (fuller, inserting costs much more: it
// moves the rest of its run). A slot alone tells where its run starts, so
// taking a text out moves later slots back without reading their entries.
//
// Texts already in the table are found without the lock (most look-ups: names
// repeat), so threads that parse configs side by side do not queue for it.
// Changes take the lock. A look-up that misses, or meets the table while it
// changes, asks again under the lock: slots move one at a time, so a reader may
// miss a text on the move, but every slot it reads holds a live entry or
// nothing.
struct Table {
  using Slot = uint64_t;  // 0: free
  static constexpr int kHashBits = 20, kAddressBits = 44;

  static uint64_t HashBits(size_t hash) { return static_cast<uint64_t>(hash) >> (64 - kHashBits); }
  static Slot Pack(const PString::Entry* e, size_t hash) {
    return reinterpret_cast<uintptr_t>(e) >> 4 | HashBits(hash) << kAddressBits;
  }
  static PString::Entry* EntryOf(Slot s) {
    return reinterpret_cast<PString::Entry*>((s & ((uint64_t{1} << kAddressBits) - 1)) << 4);
  }

  struct Slots {
    size_t size;
    std::atomic<Slot>* at;
    explicit Slots(size_t n) : size(n), at(static_cast<std::atomic<Slot>*>(AllocateTable(n * sizeof(Slot)))) {
      if (!at) throw std::bad_alloc();
      for (size_t i = 0; i < n; ++i) ::new (&at[i]) std::atomic<Slot>(0);
    }
    ~Slots() { FreeTable(at, size * sizeof(Slot)); }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    size_t Next(size_t i) const { return i + 1 == size ? 0 : i + 1; }
    size_t HomeOfBits(uint64_t bits) const { return static_cast<size_t>((bits * size) >> kHashBits); }
    size_t HomeOf(Slot s) const { return HomeOfBits(s >> kAddressBits); }
    // Stores need only publish their entry: the count of changes orders them
    // for look-ups (see Table::changes). Under the lock the slots hold still.
    Slot Peek(size_t i) const { return at[i].load(std::memory_order_relaxed); }
    void Set(size_t i, Slot s) { at[i].store(s, std::memory_order_release); }

    // True when the text in `slot`, at i, comes after a text of `bits` in
    // their run: its home is nearer to i (a run may wrap round the end), or
    // the homes are one and its bits are greater.
    bool After(Slot slot, size_t i, uint64_t bits, size_t home) const {
      const uint64_t theirs = slot >> kAddressBits;
      const size_t theirHome = HomeOfBits(theirs);
      const size_t mine = i >= home ? i - home : i + size - home;
      const size_t their = i >= theirHome ? i - theirHome : i + size - theirHome;
      return their < mine || (their == mine && theirs > bits);
    }

    // Walks the run from the home of `bits` and offers each slot with the
    // same bits to `same` until it takes one (true). Returns that slot, or
    // the one where a text of these bits goes: the first free slot or the
    // first whose text comes after it. The table is never full, but a reader
    // without the lock stops after one round in any case.
    template <class Same>
    size_t Walk(uint64_t bits, Same&& same) const {
      const size_t home = HomeOfBits(bits);
      const std::atomic<Slot>* const slots = at;  // kept in registers across the loads
      size_t i = home, end = size;
      for (bool wrapped = false;; wrapped = true) {
        for (; i < end; ++i) {
          const Slot slot = slots[i].load(std::memory_order_seq_cst);
          if (!slot) return i;
          const uint64_t theirs = slot >> kAddressBits;
          // A text of smaller bits comes earlier unless this walk wrapped
          // round the end: only then does the exact test run.
          if (theirs < bits && !wrapped) continue;
          if (theirs == bits) {
            if (same(slot)) return i;
          } else if (After(slot, i, bits, home)) {
            return i;
          }
        }
        if (wrapped) return home;
        i = 0;
        end = home;
      }
    }

    // Puts `slot` at p, moving the rest of p's run one on, in one pass: the
    // text being moved is in no slot for a moment, and a reader that misses
    // it then asks again under the lock.
    void PutAt(size_t p, Slot slot) {
      std::atomic<Slot>* const slots = at;
      for (size_t q = p;; q = Next(q)) {
        const Slot moved = slots[q].load(std::memory_order_relaxed);
        slots[q].store(slot, std::memory_order_release);
        if (!moved) return;
        slot = moved;
      }
    }

    void Put(Slot slot) {
      PutAt(Walk(slot >> kAddressBits, [](Slot) { return false; }), slot);
    }
  };

  std::mutex lock;
  std::atomic<Slots*> slots{new Slots(1024)};  // changed under the lock only
  size_t used = 0;                             // under the lock
  // Counts changes to the slots, under the lock, after each. A look-up reads
  // it once inside, before the slots. So the count orders the slot stores
  // (release only, being many) before every look-up that its reader may miss
  // when it waits for look-ups: such a look-up cannot read a slot as it was
  // before the change. And a look-up that missed without the lock and finds
  // the count unchanged under it saw the slots as they are: it need not walk
  // them again.
  std::atomic<uint64_t> changes{0};
  void Changed() { changes.fetch_add(1, std::memory_order_seq_cst); }

  SizeClassArena arena;  // under the lock

  // Entries of the arena taken out of the slots and not yet freed: a look-up
  // may still be reading them. They are freed together, once every look-up
  // that was inside when the last of them went out has left, so the lock is
  // taken again and the look-ups awaited once per batch rather than per text.
  static constexpr size_t kRetiredBatch = 32;
  PString::Entry* retired[kRetiredBatch];
  size_t retiredCount = 0;

  // Without the lock, inside a look-up: a held entry of the text, or null
  // when none was seen (it may still be there: ask under the lock). `place`
  // receives the slot where the text would go.
  static PString::Entry* FindHeld(const Slots& s, std::string_view text, size_t hash,
                                  size_t* place = nullptr) {
    PString::Entry* found = nullptr;
    const size_t at = s.Walk(HashBits(hash), [&](Slot slot) {
      PString::Entry* e = EntryOf(slot);
      if (e->View() != text || !Hold(e)) return false;
      found = e;
      return true;
    });
    if (place) *place = at;
    return found;
  }

  // Under the lock, after FindHeld missed: `place` is what it gave.
  void Insert(PString::Entry* e, size_t hash, size_t place) {
    Slots* s = slots.load(std::memory_order_relaxed);
    if ((used + 1) * 8 > s->size * 7) {
      Slots* grown = Grown(*s, s->size + s->size / 5);
      slots.store(grown, std::memory_order_seq_cst);
      WaitForReaders();  // look-ups still reading the old slots
      delete s;
      s = grown;
      place = s->Walk(HashBits(hash), [](Slot) { return false; });
    }
    s->PutAt(place, Pack(e, hash));
    ++used;
    Changed();
  }

  // The old runs are in order, and homes keep their order when the table
  // grows: the slots go over in one pass, each at its new home or just after
  // the slot before. Only texts that wrapped round the old end, or would
  // wrap round the new one, are put the general way.
  static Slots* Grown(const Slots& old, size_t size) {
    auto* grown = new Slots(size);
    size_t wrapped = 0;  // the run at the start that came round the old end
    while (wrapped < old.size) {
      const Slot slot = old.Peek(wrapped);
      if (!slot || old.HomeOf(slot) <= wrapped) break;
      ++wrapped;
    }
    size_t i = wrapped, next = 0;
    for (; i < old.size; ++i) {
      const Slot slot = old.Peek(i);
      if (!slot) continue;
      const size_t at = std::max(grown->HomeOf(slot), next);
      if (at == size) break;
      grown->Set(at, slot);
      next = at + 1;
    }
    for (; i < old.size; ++i)
      if (const Slot slot = old.Peek(i)) grown->Put(slot);
    for (size_t k = 0; k < wrapped; ++k) grown->Put(old.Peek(k));
    return grown;
  }

  // Removes the entry and moves the later slots of its run that are not at
  // their home one back: the run stays in order and without gaps.
  void Erase(const PString::Entry* e) {
    Slots& s = *slots.load(std::memory_order_relaxed);
    const Slot mine = Pack(e, HashOf(e->View()));
    size_t i = s.HomeOf(mine);
    while (s.Peek(i) != mine) i = s.Next(i);
    for (size_t j = s.Next(i);; i = j, j = s.Next(j)) {
      const Slot later = s.Peek(j);
      if (!later || s.HomeOf(later) == j) break;
      s.Set(i, later);
    }
    s.Set(i, 0);
    --used;
    Changed();
  }
};

// Never destroyed: constant strings are interned by static initialisers and
// released by static destructors in any order.
Table& GetTable() {
  static Table* table = new Table;
  return *table;
}

PString::Entry* Intern(std::string_view text) {
  const size_t hash = HashOf(text);
  Table& t = GetTable();
  size_t place = 0;
  uint64_t seen = 0;
  bool walked = false;
  if (Reader* reader = ThisThreadsReader()) {
    reader->inside.fetch_add(1, std::memory_order_seq_cst);
    seen = t.changes.load(std::memory_order_seq_cst);
    PString::Entry* e = Table::FindHeld(*t.slots.load(std::memory_order_seq_cst), text, hash, &place);
    reader->inside.fetch_add(1, std::memory_order_release);
    if (e) return e;
    walked = true;
  }
  std::lock_guard<std::mutex> guard(t.lock);
  // Under the lock the slots hold still; an entry at zero is on its way out.
  if (!walked || t.changes.load(std::memory_order_relaxed) != seen)
    if (PString::Entry* e = Table::FindHeld(*t.slots.load(std::memory_order_relaxed), text, hash, &place))
      return e;
  PString::Entry* e = PString::Entry::Make(text, t.arena);
  t.Insert(e, hash, place);
  return e;
}

void AddRef(PString::Entry* e) {
  if (e && !IsPinned(e)) e->refs.fetch_add(1, std::memory_order_relaxed);
}

// The last holder: nothing takes the entry again (look-ups pass over a count
// at zero), so it goes out of the table, and once no look-up can still be
// reading it, away. Kept out of Release, which every holder's end calls, so
// that its common path stays small enough to inline.
[[gnu::noinline]] void ReleaseLast(PString::Entry* e) {
  Table& t = GetTable();
  std::unique_lock<std::mutex> guard(t.lock);
  t.Erase(e);
  if (!e->InArena()) {
    // A large text is freed at once, without the lock.
    guard.unlock();
    WaitForReaders();
    PString::Entry::Free(e, t.arena);
    return;
  }
  t.retired[t.retiredCount++] = e;
  if (t.retiredCount < Table::kRetiredBatch) return;
  // The batch is this thread's now. Other threads may intern and release
  // while it waits for the look-ups: only the arena needs the lock.
  PString::Entry* batch[Table::kRetiredBatch];
  std::copy(t.retired, t.retired + Table::kRetiredBatch, batch);
  t.retiredCount = 0;
  guard.unlock();
  WaitForReaders();
  guard.lock();
  for (PString::Entry* r : batch) PString::Entry::Free(r, t.arena);
}

void Release(PString::Entry* e) {
  // A count pinned meanwhile keeps its bit: it never comes down to 1 again.
  if (!e || IsPinned(e) || e->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  ReleaseLast(e);
}

}  // namespace

PString::PString(const char* text) : m_entry(text ? Intern(text) : nullptr) {}
PString::PString(const char* text, size_t length)
    : m_entry(text ? Intern(std::string_view(text, length)) : nullptr) {}
PString::PString(std::string_view text) : m_entry(Intern(text)) {}
PString::PString(const std::string& text) : m_entry(Intern(text)) {}
PString::PString(const PString& other) noexcept : m_entry(other.m_entry) { AddRef(m_entry); }

void PString::AddReferences(size_t count) const noexcept {
  if (m_entry && count && !IsPinned(m_entry))
    m_entry->refs.fetch_add(static_cast<uint32_t>(count), std::memory_order_relaxed);
}

void PString::Pin() const {
  if (!m_entry || m_entry->refs.fetch_or(Entry::kPinned, std::memory_order_relaxed) & Entry::kPinned) return;
  // The table keeps addresses packed: a leak checker finds pinned texts here.
  static std::mutex lock;
  static auto* pinned = new std::vector<const Entry*>;
  std::lock_guard<std::mutex> guard(lock);
  pinned->push_back(m_entry);
}

bool PString::HasOneHolder() const noexcept {
  // Every other holder keeps the count above one once its copy is paid for
  // (see Uncounted), and a new one raises it: a one read here means that no
  // other holder existed then.
  return m_entry && m_entry->refs.load(std::memory_order_relaxed) == 1;
}

PString& PString::operator=(const PString& other) noexcept {
  if (m_entry != other.m_entry) {
    AddRef(other.m_entry);
    Release(m_entry);
    m_entry = other.m_entry;
  }
  return *this;
}

PString& PString::operator=(PString&& other) noexcept {
  if (this != &other) {
    Release(m_entry);
    m_entry = other.m_entry;
    other.m_entry = nullptr;
  }
  return *this;
}

PString::~PString() { Release(m_entry); }

const PString& PString::Empty() {
  // Holds its reference for the life of the process.
  static const PString* empty = new PString(std::string_view());
  return *empty;
}

const char* PString::c_str() const noexcept { return m_entry ? m_entry->Text() : ""; }
std::string_view PString::View() const noexcept { return m_entry ? m_entry->View() : std::string_view(); }
size_t PString::Length() const noexcept { return m_entry ? m_entry->length : 0; }

PString& PString::Setf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  *this = PString(out);
  return *this;
}

PString PString::ToLower() const {
  if (IsNull()) return PString();
  return PString(ToLowerAscii(View()));
}

PString PString::ToUpper() const {
  if (IsNull()) return PString();
  return PString(ToUpperAscii(View()));
}

int PString::Find(std::string_view needle, size_t start) const noexcept {
  std::string_view v = View();
  if (start > v.size()) return -1;
  size_t p = v.find(needle, start);
  return p == std::string_view::npos ? -1 : static_cast<int>(p);
}

int PString::Find(char c, size_t start) const noexcept {
  std::string_view v = View();
  if (start >= v.size()) return -1;
  size_t p = v.find(c, start);
  return p == std::string_view::npos ? -1 : static_cast<int>(p);
}

PString PString::Insert(size_t position, std::string_view text) const {
  std::string s(View());
  s.insert(std::min(position, s.size()), text);
  return PString(s);
}

PString PString::Delete(size_t position, size_t count) const {
  std::string s(View());
  if (position < s.size()) s.erase(position, count);
  return IsNull() ? PString() : PString(s);
}

size_t PString::InternedCount() {
  Table& t = GetTable();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.used;
}

}  // namespace Kiv
