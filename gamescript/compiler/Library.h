#pragma once
// The class and function records of a compiled unit and the library image they
// are written into: header, dependencies, string table, class and function
// imports, and one class block (function list, member variables, function
// table, instance layout) per class the main file defines.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "gamescript/compiler/Emit.h"
#include "gamescript/compiler/SymbolTable.h"
#include "gamescript/runtime/LibraryFormat.h"
#include "kiv/File.h"
#include "kiv/Status.h"

namespace GSCompiler {

class CompileLog;

using GSRuntime::kNoClass;

// Code-generation record of one defined class.
class GSCClass {
public:
  explicit GSCClass(GSClassSymbol* classSymbol) : symbol(classSymbol) {}
  GSCClass(const GSCClass&) = delete;
  GSCClass& operator=(const GSCClass&) = delete;

  GSClassSymbol* symbol;
  std::vector<FinishedFunction> functions;  // in generation order
  FinishedFunction initialiser;             // member initialisers; ends with RET when not empty
  std::vector<int32_t> referenceCells;      // member cells holding references, in declaration order
};

// What the writer needs of a unit besides its symbols: the interned strings
// and the defined classes.
class LibraryImage {
public:
  // The index of the text, interning it on first use.
  uint32_t InternString(std::string_view text);
  std::size_t StringCount() const { return m_starts.size(); }
  // The texts in index order, each followed by a zero byte, as the string
  // table holds them; text i starts at StringStart(i).
  std::string_view StringArea() const { return m_area; }
  uint32_t StringStart(std::size_t i) const { return m_starts[i]; }
  void Clear();

  std::vector<std::unique_ptr<GSCClass>> classes;  // classes the main file defines
  CodeStore code;                                  // their function records' final bytes

private:
  std::string_view Text(uint32_t i) const;
  void Rehash(std::size_t slots);

  std::string m_area;
  std::vector<uint32_t> m_starts;
  // Open addressing, at most half full: the text's hash in the high half,
  // its index + 1 in the low half; 0 when free.
  std::vector<uint64_t> m_slots;
};

// Everything the writer needs to know about the compilation.
struct LibrarySource {
  const char* name = nullptr;             // source name as given to the compiler
  uint32_t sourceCrc = 0;                 // library id word 1
  uint32_t fileNameCrc = 0;               // library id word 2
  std::vector<GSDependentSymbol*> files;  // by file index; 0 is the main file
};

// A library as built: the header, dependencies and string table, then the
// imports and classes in blocks of about a megabyte; the file is the head,
// the strings' text and padding, then the blocks in order. Kept apart so that a large library is
// neither held twice to join it nor copied as one buffer grows.
struct LibraryBytes {
  // The head up to the text of its string table, which follows as the image
  // holds it (not copied), then zero bytes to a 4-byte boundary.
  ImageWriter head;
  std::string_view strings;
  uint32_t stringsPad = 0;
  static constexpr uint8_t kPad[3] = {0, 0, 0};
  // With a spill file, each block is written there once the next one begins,
  // and the memory of one block serves them all: the file is then the head,
  // the spill file's bytes, then the blocks still in `rest`.
  Kiv::ScratchFile* spill = nullptr;
  // With the library's own file as well, the spilled blocks go straight to
  // their place in it, after the head's; the spill file then writes there.
  int file = -1;
  // The library's file as the user named it, for the reason a failed write
  // gives; and that reason, when the bytes could not be written to it.
  std::string_view fileName;
  Kiv::Status written;
  // The process ends after this write: the pages of code already written go
  // back to the system at once, which lowers its peak. A process that
  // compiles again keeps them for its next compile instead of faulting them
  // in anew.
  bool lastUse = false;
  std::vector<std::unique_ptr<ImageWriter>> rest;
  // The ids the head lists as the library's dependencies, its own first.
  std::vector<std::pair<uint32_t, uint32_t>> dependencies;

  // Bytes of the whole file.
  std::size_t Size() const;
};

// Writes the whole library into `out`. False, with a message in `log`, when a
// class cannot be written, a table does not describe its records, or the
// buffer failed; `out` must then not be stored. Each class's code is given
// back once it is written, so an image is written once.
[[nodiscard]] bool WriteLibraryImage(LibraryBytes& out, GSSymbolTable& symbols, LibraryImage& image,
                                     const LibrarySource& source, CompileLog* log);
// Appends both parts to `out`; false, with a message, when it has no room.
[[nodiscard]] bool JoinLibrary(const LibraryBytes& bytes, Utils::ByteBuffer& out, CompileLog* log);
// The same joined in one buffer.
[[nodiscard]] bool WriteLibraryImage(Utils::ByteBuffer& out, GSSymbolTable& symbols, LibraryImage& image,
                                     const LibrarySource& source, CompileLog* log);

}  // namespace GSCompiler
