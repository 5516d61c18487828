#pragma once
// An in-memory GameScript source: a plain ".gs" file, or a ".gse" file in its
// enciphered form until Decode turns it into plain text (see docs/gse-format.md).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/File.h"

class ScriptFileBuffer {
public:
  // The text Decode places before a deciphered source: a comment, so the
  // compiler sees no tokens and no extra line.
  static constexpr std::string_view kScriptPrefix = "/*gse*/";
  // Largest script file Load accepts.
  static constexpr size_t kMaxFileSize = size_t{64} << 20;

  ScriptFileBuffer() = default;
  ScriptFileBuffer(const ScriptFileBuffer&) = delete;
  ScriptFileBuffer& operator=(const ScriptFileBuffer&) = delete;

  // Fields the compiler and the script cache read. data is NUL-terminated after
  // length bytes (null when empty); prefixLength is 0 for a plain file.
  const char* data = nullptr;
  uint32_t length = 0;
  uint32_t prefixLength = 0;
  bool enciphered = false;

  // Prepare for a load / free the buffer after use. Both leave it empty.
  void Reset();
  void Clear();

  // Loads baseFolder/path (or path alone when baseFolder is null or empty):
  // a ".gs" file as plain text, a ".gse" file in its stored enciphered form
  // (extension compared without regard to case). False, with the buffer empty,
  // when the file is missing, unreadable, too large or has another extension.
  [[nodiscard]] bool Load(const char* baseFolder, const char* path);

  // Takes the bytes of a file already in memory (as Load does after reading).
  void Assign(const void* bytes, size_t size, bool isEnciphered);

  // Turns a loaded enciphered file into kScriptPrefix followed by the plain
  // text. True at once for a plain file. False when the stored data is not a
  // valid enciphered script; the buffer is then empty.
  [[nodiscard]] bool Decode();

  // The source text without the prefix.
  std::string_view PlainText() const;

  // Gives the memory of the text before `position` (a pointer into data)
  // back to the system, a whole page at a time: a large source read once
  // from start to end is not held whole. The text before position must not
  // be read again; Clear and Reset still work.
  void ReleaseBefore(const char* position);

  // True when the file was cut short while its text was being read (a large
  // file is mapped, not copied): the text then reads as zero bytes from
  // there on, and is not the file's.
  [[nodiscard]] bool Shrank() const { return m_mapped.Shrank(); }

  // The enciphered file form of a plain text.
  static std::vector<uint8_t> Encode(std::string_view plainText);

private:
  // Keeps the text; a string is its own NUL terminator, so a file read into
  // one is kept as it was read, without a copy.
  void SetText(std::string&& text);
  std::string m_storage;
  Kiv::MappedFile m_mapped;          // the text of a large file, when it is mapped
  const char* m_released = nullptr;  // pages before this went back to the system
};

// The checksum of a script source: CRC-32 of its plain text without the
// decipher prefix. The compiler and the script cache both use it, so a ".gs"
// and a ".gse" of the same text give the same library id.
uint32_t ScriptSourceChecksum(const ScriptFileBuffer& buffer);
uint32_t ScriptSourceChecksum(std::string_view plainText);
