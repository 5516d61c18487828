#pragma once
// Soups: trees of named, typed tags. A container (ACSChunk) is a counted node
// holding an ordered list of TDBDataTag; a tag is a name (interned, compared by
// handle) and one value: a child container (shared by reference), binary
// bytes, floats, text, ints or KUIDs. SoupRef is the counted reference that
// every user holds. Soups are not locked internally: callers that share one
// across threads hold the process-wide lock.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/KUID.h"
#include "kiv/PString.h"
#include "kiv/RefCount.h"

class TStream;
class ACSChunk;
class SoupRef;
struct SoupSlab;

// Data types of a tag value.
enum SoupDataType : uint8_t {
  kSoupNone = 0,
  kSoupContainer = 1,
  kSoupBinary = 2,
  kSoupFloat = 3,  // one or more f32
  kSoupText = 4,   // bytes of the text, no terminator
  kSoupInt = 6,    // one or more i32
  kSoupKUID = 7,   // one or more packed 8-byte KUIDs
};

// Deepest container nesting the readers accept and the writers produce.
constexpr int kMaxSoupDepth = 256;
// The largest soup file read at all, and the largest asset config: every reader of a
// config (the asset index, validation) holds to the second; a larger config is a finding.
constexpr uint64_t kMaxSoupFileBytes = uint64_t{1} << 30;
constexpr uint64_t kMaxConfigFileBytes = uint64_t{64} << 20;

// One named value inside a container. Values of up to 8 bytes (a KUID, a
// number, a short text) are held inline: a config of a million values keeps
// a tag per value, so a tag is 24 bytes.
class TDBDataTag {
public:
  TDBDataTag() noexcept {}
  TDBDataTag(const TDBDataTag& other);
  TDBDataTag(TDBDataTag&& other) noexcept;
  TDBDataTag& operator=(const TDBDataTag& other);
  TDBDataTag& operator=(TDBDataTag&& other) noexcept;
  ~TDBDataTag() { Free(); }

  // A value of the given type (not kSoupContainer) holding a copy of the bytes.
  static TDBDataTag MakeBytes(Kiv::PString name, SoupDataType type, const void* data, size_t size);
  // A container value; the child gains a reference. child must not be null.
  static TDBDataTag MakeContainer(Kiv::PString name, ACSChunk* child);

  const Kiv::PString& GetName() const noexcept { return m_name; }
  SoupDataType GetDataType() const noexcept { return static_cast<SoupDataType>(m_type); }
  // Size of the value in bytes (0 for a container).
  uint32_t GetSize() const noexcept { return m_size; }
  const uint8_t* GetData() const noexcept { return m_size <= kInline ? m_value.bytes : m_value.heap; }
  ACSChunk* GetContainer() const noexcept { return m_type == kSoupContainer ? m_value.child : nullptr; }

  // Converters between value types. Each gives false when the value does not
  // convert to exactly one value of the wanted type (wrong size, text that is
  // not a number, a float out of the int range or not finite...).
  [[nodiscard]] bool ToInt(int32_t& out) const;
  [[nodiscard]] bool ToFloat(float& out) const;
  [[nodiscard]] bool ToKUID(KUID& out) const;
  // Text of the value: text as stored; numbers in their soup text form
  // (lists comma-separated); KUIDs as FormatKUIDTag. False for containers and binary.
  [[nodiscard]] bool ToText(std::string& out) const;
  // Every value as a float list: floats, ints, or a comma-separated text.
  [[nodiscard]] bool ToFloatList(std::vector<float>& out) const;

private:
  friend class ACSChunk;
  friend class SoupTextParser;
  static constexpr uint32_t kInline = 8;
  explicit TDBDataTag(Kiv::PString&& name) noexcept : m_name(std::move(name)) {}
  void Free() noexcept;
  void CopyFrom(const TDBDataTag& other);
  void MoveFrom(TDBDataTag& other) noexcept;

  Kiv::PString m_name;
  uint32_t m_size = 0;
  uint8_t m_type = kSoupNone;
  // The value bytes lie in the block of the container that holds the tag
  // (the text reader puts them there), not in a block of their own. Such a
  // tag only ever moves within its container, which outlives the bytes' use.
  bool m_inNode = false;
  union Value {
    uint8_t bytes[kInline];
    uint8_t* heap;
    ACSChunk* child;
  } m_value{};
};

// Where containers marked by ACSChunk::CountMemory report the bytes they
// hold: the script runtime counts its soups against its memory limit, which
// foundation does not know. Null functions: nothing is reported.
struct SoupMemoryHook {
  void (*take)(uint64_t bytes) = nullptr;
  void (*give)(uint64_t bytes) = nullptr;
};
void SetSoupMemoryHook(const SoupMemoryHook& hook);

// A counted soup node. Data type 1 is a container; the one node of data type 0
// is the shared null node, which every reader treats as no soup.
class ACSChunk : public Kiv::RefCounted<ACSChunk, true, uint32_t> {
public:
  ACSChunk(const ACSChunk&) = delete;
  ACSChunk& operator=(const ACSChunk&) = delete;

  // A new empty container with no references yet.
  static ACSChunk* Create();
  // The shared null node (data type 0, never freed).
  static ACSChunk* SharedNull();

  uint32_t RefCount() const noexcept { return GetReferenceCount(); }
  // Frees a node whose last reference went, and the children only it held,
  // without recursion so a deep tree cannot exhaust the stack.
  static void DestroyCounted(ACSChunk* node) noexcept;
  SoupDataType GetDataType() const noexcept { return static_cast<SoupDataType>(m_type); }

  // Child count.
  size_t CountChildren() const noexcept { return m_count; }
  const TDBDataTag& GetTag(size_t index) const { return m_data[index]; }
  // Index of the first tag named name at or after start; -1 when none.
  long FindTag(const Kiv::PString& name, size_t start = 0) const noexcept;
  // Appends a named child container by reference (not copied). Refused (false)
  // when this node is the child or lies inside it: a soup never contains itself.
  [[nodiscard]] bool AddNamedChild(const Kiv::PString& name, ACSChunk* child);
  // Appends a value; a container value is checked as AddNamedChild does.
  [[nodiscard]] bool AppendTag(TDBDataTag tag);
  // Removes the first tag that refers to the child container; false when none does.
  [[nodiscard]] bool RemoveChild(const ACSChunk* child);
  void RemoveTag(size_t index);
  // Removes every tag of that name; returns how many went.
  size_t RemoveTagsNamed(const Kiv::PString& name);
  // True when node is this container or any container below it.
  [[nodiscard]] bool Reaches(const ACSChunk* node) const;
  // Marks root and the containers below it as counted, stopping at those
  // that are already, and reports the bytes each holds (the node, its tag
  // array, its tags' names and value bytes) to the soup memory hook. From
  // then on a counted container reports what it gains and gives back what
  // it loses, and all of it when it goes; a container entered below it is
  // marked as it enters. A walk of the containers newly marked.
  static void CountMemory(ACSChunk* root);
  bool MemoryCounted() const noexcept { return m_memoryCounted; }
  // Removes every tag for which pred(tag) is true, in one pass that keeps the
  // order of the rest; returns how many went.
  template <class Pred>
  size_t RemoveTagsIf(Pred pred) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < m_count; ++i) {
      if (pred(static_cast<const TDBDataTag&>(m_data[i]))) {
        if (m_memoryCounted) GiveMemory(TagBytes(m_data[i]));
        if (m_indexed) Unindex(m_data[i].GetName());
        m_data[i].~TDBDataTag();
        continue;
      }
      // Tags hold no pointer into themselves: moving their bytes moves them.
      if (kept != i)
        __builtin_memcpy(static_cast<void*>(m_data + kept), static_cast<const void*>(m_data + i),
                         sizeof(TDBDataTag));
      ++kept;
    }
    const size_t removed = m_count - kept;
    m_count = kept;
    return removed;
  }

private:
  friend class SoupRef;
  friend class SoupTextParser;
  friend class TDBBinaryFile;
  explicit ACSChunk(uint8_t type) : m_type(type) {}
  ~ACSChunk() = default;

  // A container with room for that many tags right behind the node, so a
  // container read from a file is one block; bytes more behind the tags hold
  // values (ByteRoom).
  static ACSChunk* CreateWithRoom(size_t room, size_t bytes = 0);
  // The same, placed at `at` inside a slab (which must have room for
  // BlockSize(room, bytes)); the slab counts its nodes.
  static size_t BlockSize(size_t room, size_t bytes) noexcept;
  static ACSChunk* PlaceWithRoom(void* at, SoupSlab* slab, size_t room);
  uint8_t* ByteRoom() noexcept { return reinterpret_cast<uint8_t*>(Room() + m_capacity); }
  // Destroys the tags and frees the node.
  void Destroy() noexcept;
  void PushTag(TDBDataTag&& tag);
  TDBDataTag* Room() noexcept { return reinterpret_cast<TDBDataTag*>(this + 1); }
  // What a counted container reports: the node and its tag array, and each
  // tag's name and value bytes of their own.
  uint64_t HeldBytes() const noexcept;
  // Past this many tags a container that is changed keeps an index of its
  // names, so that setting or looking up a name it does not hold walks
  // nothing. Counted as this many bytes per tag of room.
  static constexpr uint32_t kIndexFrom = 1024;
  static constexpr uint64_t kIndexBytesPerTag = 40;
  void BuildIndex();
  void Index(const Kiv::PString& name);
  void Unindex(const Kiv::PString& name) noexcept;
  // False when the index shows that no tag holds the name; true without one.
  [[nodiscard]] bool MayHold(const Kiv::PString& name) const noexcept;
  static uint64_t TagBytes(const TDBDataTag& tag) noexcept;
  static void GiveMemory(uint64_t bytes) noexcept;

  uint8_t m_type;
  bool m_tagsInRoom = false;  // m_data is the room behind the node, not a block of its own
  bool m_memoryCounted = false;
  // The container has an index of its names (kept beside the nodes, so that
  // a node stays as small as it was for the many containers without one).
  bool m_indexed = false;
  // Tags are moved between blocks by copying their bytes: a tag holds no
  // pointer into itself.
  uint32_t m_count = 0;
  uint32_t m_capacity = 0;
  TDBDataTag* m_data = nullptr;
  SoupSlab* m_slab = nullptr;  // the block the node lies in, shared with other nodes; null: its own
};

// A block that holds many nodes of one parse (and their tags and values),
// freed when the last of them goes: a parse then costs few allocations. A
// node kept alive keeps its slab alive, so slabs stay small.
struct SoupSlab {
  std::atomic<uint32_t> nodes{0};
  static constexpr size_t kHeader = 16;
  uint8_t* Space() noexcept { return reinterpret_cast<uint8_t*>(this) + kHeader; }
};

// The container node and the soup node are one class.
using TDBContainerTag = ACSChunk;

// A counted reference to a soup container; null means no soup. A reference is
// never made to the shared null node: FromChunk turns it (and any node of data
// type 0) into null, so "valid" and "not null" are the same test.
class SoupRef {
public:
  SoupRef() noexcept = default;
  SoupRef(const SoupRef& other) noexcept;
  SoupRef(SoupRef&& other) noexcept : m_node(other.m_node) { other.m_node = nullptr; }
  SoupRef& operator=(const SoupRef& other) noexcept;  // shares the node
  SoupRef& operator=(SoupRef&& other) noexcept;
  ~SoupRef() { Clear(); }

  static SoupRef FromChunk(ACSChunk* node);
  static SoupRef NewContainer();

  ACSChunk* Get() const noexcept { return m_node; }
  [[nodiscard]] bool IsNull() const noexcept { return m_node == nullptr; }
  [[nodiscard]] bool IsValid() const noexcept { return m_node != nullptr; }
  explicit operator bool() const noexcept { return m_node != nullptr; }
  friend bool operator==(const SoupRef& a, const SoupRef& b) noexcept { return a.m_node == b.m_node; }

  // A null reference gets a new empty container.
  void EnsureContainer();
  // Releases the node; the reference becomes null.
  void Clear() noexcept;
  // Number of tags; 0 for null.
  size_t CountTags() const noexcept;

  // Name of the tag at index; the shared empty string for null or out of range.
  Kiv::PString GetIndexedTagName(size_t index) const;
  // The tag at index when it is a container, else null.
  SoupRef GetIndexedSoup(size_t index) const;

  // Getters read the first tag of the name and give the default when the
  // reference is null, the tag is missing or its value does not convert.
  [[nodiscard]] bool HasNamedTag(const Kiv::PString& name) const;
  Kiv::PString GetNamedTag(const Kiv::PString& name, const Kiv::PString& def = Kiv::PString::Empty()) const;
  // GetNamedTag's text without interning it: a view of a text tag's own bytes, or of
  // scratch holding another tag's value as text; empty when missing (valid while the
  // soup and scratch are).
  std::string_view GetNamedTagText(const Kiv::PString& name, std::string& scratch) const;
  // The same text as a string of its own, for a value that is only read: values
  // differ from config to config, and interning each would put it in the intern
  // table only to take it out again.
  std::string GetNamedTagString(const Kiv::PString& name) const;
  int32_t GetNamedTagAsInt(const Kiv::PString& name, int32_t def = 0) const;
  float GetNamedTagAsFloat(const Kiv::PString& name, float def = 0.0f) const;
  KUID GetNamedTagAsKUID(const Kiv::PString& name, const KUID& def = KUID::Null()) const;
  // kSoupNone when missing.
  SoupDataType GetNamedTagType(const Kiv::PString& name) const;
  // The child when it is a container, else null.
  SoupRef GetNamedSoup(const Kiv::PString& name) const;
  // The tag "camera" as floats; true when present and not empty.
  [[nodiscard]] bool GetCameraFloats(std::vector<float>& out) const;
  // How many tags a lookup of the name walks: up to the first tag of the
  // name, or every tag for a name the soup lacks (none when its index says so).
  size_t TagsWalked(const Kiv::PString& name) const noexcept;
  // The first of "0", "1", "2"... that no tag uses.
  Kiv::PString GetUniqueTagName() const;

  // Setters make a null reference a new container, remove every tag of the
  // same name and append the new value at the end.
  void SetNamedTag(const Kiv::PString& name, std::string_view text);
  void SetNamedTagInt(const Kiv::PString& name, int32_t value);
  void SetNamedTagFloat(const Kiv::PString& name, float value);
  void SetNamedTagFloatArray(const Kiv::PString& name, const float* values, size_t count);
  void SetNamedTagKUID(const Kiv::PString& name, const KUID& value);
  // Enters the child by reference (a null child enters a new empty container).
  // Refused, with nothing changed, when the child is this soup or holds it.
  [[nodiscard]] bool SetNamedSoup(const Kiv::PString& name, const SoupRef& child);
  // Removes the first tag of that name, if any.
  void RemoveNamedTag(const Kiv::PString& name);

  // This reference becomes a new container holding a deep copy of source
  // (source may be this soup or share its node).
  void Copy(const SoupRef& source);
  // Writes the text form to the log as one line when WriteSoupText gives it
  // within maxBytes; false, with nothing logged, when it does not. *made
  // (when given) gets the bytes of text made either way.
  bool Log(uint64_t maxBytes = kMaxSoupFileBytes, uint64_t* made = nullptr) const;

private:
  explicit SoupRef(ACSChunk* node) noexcept : m_node(node) {
    if (m_node) m_node->AddRef();
  }
  const TDBDataTag* FindTag(const Kiv::PString& name) const;
  void SetBytes(const Kiv::PString& name, SoupDataType type, const void* data, size_t size);

  ACSChunk* m_node = nullptr;
};

// A counted copy of raw bytes.
class ACSRawDataCore : public Kiv::ReferenceCountMP {
public:
  // Null for length 0.
  static Kiv::Ref<ACSRawDataCore> CreateCopy(const void* data, size_t size);
  const uint8_t* Data() const noexcept { return m_bytes.get(); }
  size_t Size() const noexcept { return m_size; }

private:
  ACSRawDataCore(std::unique_ptr<uint8_t[]> bytes, size_t size) : m_bytes(std::move(bytes)), m_size(size) {}
  std::unique_ptr<uint8_t[]> m_bytes;
  size_t m_size;
};

// ---- the text form (see docs/soup-formats.md) ----
// Parses a whole text into a new container. On failure out is null and error
// (when given) says what and where.
[[nodiscard]] bool ParseSoupText(std::string_view text, SoupRef& out, std::string* error = nullptr);
// Appends the text form of the soup (nothing for null). False when the soup is
// nested deeper than kMaxSoupDepth, or when the text would pass maxBytes: out
// then holds a partial text, in the second case more than maxBytes of it.
// A container held under several names is written once per name, so a soup
// of a few nodes can stand for a text of any size: the bound is what keeps
// the writing finite.
[[nodiscard]] bool WriteSoupText(const SoupRef& soup, std::string& out,
                                 uint64_t maxBytes = kMaxSoupFileBytes);

// The bytes WriteSoupText would append, counted without writing them (a
// container held under several names counts once per name), at most
// UINT64_MAX; *depth (when given) gets the depth of the deepest container,
// the root's being 0. Time and memory follow the soup's nodes.
[[nodiscard]] uint64_t SoupTextSize(const SoupRef& soup, int* depth = nullptr);

// ---- the binary "ACS$" form ----
// Reads and writes the binary form on a stream.
class TDBBinaryFile {
public:
  explicit TDBBinaryFile(TStream& stream) : m_stream(stream) {}
  // False, with nothing written, when Encode refuses the soup.
  [[nodiscard]] bool Write(const SoupRef& soup, uint64_t maxBytes = kMaxSoupFileBytes);
  // A leading u32 0 before the magic is skipped. False, with soup null, on a
  // malformed, truncated or over-deep input; the stream is then left past
  // whatever was read.
  [[nodiscard]] bool Read(SoupRef& soup);

  // Appends the binary form; false, with out as it was, when the soup is
  // nested deeper than kMaxSoupDepth or its form would pass maxBytes (as for
  // WriteSoupText, a shared container is written once per name).
  [[nodiscard]] static bool Encode(const SoupRef& soup, std::string& out,
                                   uint64_t maxBytes = kMaxSoupFileBytes);
  // The bytes Encode would append, counted as SoupTextSize counts.
  [[nodiscard]] static uint64_t EncodedSize(const SoupRef& soup, int* depth = nullptr);
  [[nodiscard]] static bool Decode(const uint8_t* data, size_t size, SoupRef& soup);

private:
  friend class SoupBinaryDecoder;
  static ACSChunk* CreateWithRoom(size_t room) { return ACSChunk::CreateWithRoom(room); }
  static void PushTag(ACSChunk* node, TDBDataTag&& tag) { node->PushTag(std::move(tag)); }
  TStream& m_stream;
};

[[nodiscard]] bool WriteSoupBinary(TStream& stream, const SoupRef& soup,
                                   uint64_t maxBytes = kMaxSoupFileBytes);
[[nodiscard]] bool ReadSoupBinary(TStream& stream, SoupRef& soup);

// ---- files ----
// Clears the soup and loads the file: the text form for "txt", the binary form
// for "chump", "cdp" and "cdp2". ext empty: the path's own extension. The
// path is taken relative to baseFolder unless that is empty. False (soup
// null) when the file does not open, the form is unknown or it does not parse.
// Files above maxBytes are refused unread.
[[nodiscard]] bool LoadSoupFile(SoupRef& soup, std::string_view baseFolder, std::string_view path,
                                std::string_view ext = {}, uint64_t maxBytes = kMaxSoupFileBytes);
// LoadSoupFile of a path that is already the file's on-disk spelling (found in a
// listing): no case matching, fewer system calls.
[[nodiscard]] bool LoadSoupFileAsSpelled(SoupRef& soup, std::string_view path,
                                         uint64_t maxBytes = kMaxSoupFileBytes);
// Parses a file's bytes already read, in the form its path's extension names, as
// LoadSoupFile does. False (soup null) with the line LoadSoupFile would log in *failure.
[[nodiscard]] bool ParseSoupFileBytes(std::string_view bytes, std::string_view path, SoupRef& soup,
                                      std::string& failure);
// Writes the soup in the form the extension names, replacing the file
// atomically (a failure leaves the old file whole).
[[nodiscard]] bool SaveSoupFile(const SoupRef& soup, std::string_view baseFolder, std::string_view path,
                                std::string_view ext = {});
// Loads folder/name in the text form, falling back to folder/name + ".tmp".
[[nodiscard]] bool LoadSoupFileWithBackup(std::string_view folder, std::string_view name, SoupRef& out);
