#pragma once
// Byte streams. TStream is a concrete buffered base: the virtual slots are the
// raw device (a plain TStream is an empty, closed device) and the non-virtual
// members read through a read-ahead buffer and encode the little-endian forms.
// Use ReadBytes/WriteBytes/Tell/SeekTo for buffered access: a raw Read or Seek
// on the device does not see bytes already taken into the read-ahead buffer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/KUID.h"
#include "kiv/PString.h"

namespace Kiv {
class DynamicBuffer;
class File;
}  // namespace Kiv

// Open modes of TFile (the engine file modes).
enum TFileMode : int {
  kFileRead = 1,       // existing file, read only
  kFileWrite = 2,      // create or truncate, write only
  kFileAppend = 3,     // create if missing, every write at the end
  kFileReadWrite = 4,  // create if missing, read and write
};

class TStream {
public:
  static constexpr uint32_t kReadAheadSize = 4096;
  // Error word values; the first error set stays until ClearError.
  static constexpr uint32_t kErrorNone = 0;
  static constexpr uint32_t kErrorStringTooLong = 3;
  static constexpr uint32_t kErrorShortRead = 4;
  // A value could not be written as given; the record holds a stand-in.
  static constexpr uint32_t kErrorUnwritable = 5;
  // Longest string the string forms carry.
  static constexpr uint32_t kMaxStringLength = 65535;
  static constexpr uint32_t kLengthPlaceholder = 0xFEEDCEEBu;

  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;
  virtual ~TStream() = default;

  // ---- the device, in slot order ----
  // Forgets the read-ahead and the error word.
  virtual void Reset();
  // Device position (the read-ahead is ahead of the logical position, see Tell).
  virtual int64_t GetPosition();
  [[nodiscard]] virtual bool IsOpen();
  // Total length; the position is unchanged.
  virtual int64_t GetLength();
  // Bytes written / read, possibly fewer than asked.
  virtual size_t Write(const void* data, size_t n);
  virtual size_t Read(void* data, size_t n);
  // whence: 0 from the start, 1 from the current position, 2 from the end.
  [[nodiscard]] virtual bool Seek(int64_t offset, int whence);
  [[nodiscard]] virtual bool IsEOF();

  // ---- buffered access ----
  // Logical position: the device position less the unread read-ahead.
  int64_t Tell();
  // Drops the read-ahead, then seeks the device.
  [[nodiscard]] bool SeekTo(int64_t offset, int whence);
  [[nodiscard]] bool Rewind() { return SeekTo(0, 0); }
  // Gives the unread read-ahead back to the device (seeks back by its count).
  void DropReadAhead();
  // Reads n bytes through the read-ahead buffer; returns the count read.
  size_t ReadBytes(void* data, size_t n);
  // Drops any read-ahead first; returns the count written.
  size_t WriteBytes(const void* data, size_t n);
  // Bytes from the logical position to the end (0 when unknown or past it).
  int64_t Remaining();

  uint32_t GetError() const noexcept { return m_error; }
  void SetError(uint32_t error) noexcept {
    if (m_error == kErrorNone) m_error = error;
  }
  void ClearError() noexcept { m_error = kErrorNone; }

  // Typed reads, little-endian. A short read gives the default and sets error 4.
  uint8_t ReadU8(uint8_t def = 0);
  uint16_t ReadU16(uint16_t def = 0);
  uint32_t ReadU32(uint32_t def = 0);
  float ReadFloat(float def = 0.0f);
  [[nodiscard]] bool ReadBool(bool def = false);
  // The 8-byte stream form (content id, then the packed word); a short read
  // gives the null KUID.
  KUID ReadKUID();

  void WriteU8(uint8_t v);
  void WriteU16(uint16_t v);
  void WriteU32(uint32_t v);
  void WriteFloat(float v);
  void WriteBool(bool v);

  // u32 length and the bytes. A text longer than 65535 writes only a u32 0.
  void WriteString(std::string_view text);
  // A length over 65535: empty text, the bytes skipped, error 3. A short read:
  // empty text and error 4.
  std::string ReadString();
  // u32 (length + 1), the bytes and a 0 byte; the null string is a u32 0, and
  // so is a text whose length + 1 exceeds 65535.
  void WritePString(const Kiv::PString& text);
  // As ReadString; a stored 0 gives the null string. The text ends at its first 0 byte.
  Kiv::PString ReadPString();

  // Writes 0xFEEDCEEB and returns its position.
  int64_t WriteLengthPlaceholder();
  // Writes (current - placeholder - 4) over the placeholder and returns to the
  // current position. False when the position is not behind the placeholder.
  [[nodiscard]] bool PatchLengthPlaceholder(int64_t placeholder);

protected:
  // Moves past n bytes (seeking, or reading them when the device cannot seek).
  void Skip(uint64_t n);

  uint32_t m_readAheadLeft = 0;  // unread bytes in m_readAhead
  uint32_t m_readAheadPos = 0;   // next unread byte in m_readAhead
  uint32_t m_error = kErrorNone;
  uint8_t m_readAhead[kReadAheadSize];
};

// The 8-byte stream form of a KUID: u32 content id, then u32 packed word.
void WriteKUID(TStream& stream, const KUID& kuid);

// A stream over a disk file.
class TFile : public TStream {
public:
  TFile();
  ~TFile() override;

  // Closes any open file, then opens name relative to folder (an empty folder
  // means name as given). Lookups ignore case.
  [[nodiscard]] bool OpenInFolder(std::string_view folder, std::string_view name, TFileMode mode);
  [[nodiscard]] bool Open(std::string_view path, TFileMode mode) { return OpenInFolder({}, path, mode); }
  void Close();

  void Reset() override;
  int64_t GetPosition() override;
  [[nodiscard]] bool IsOpen() override;
  int64_t GetLength() override;
  size_t Write(const void* data, size_t n) override;
  size_t Read(void* data, size_t n) override;
  [[nodiscard]] bool Seek(int64_t offset, int whence) override;
  [[nodiscard]] bool IsEOF() override;

private:
  std::unique_ptr<Kiv::File> m_file;
};

// A stream over an owned growable byte buffer. Writes past the end grow it.
// Reset empties the buffer and returns to offset 0.
class TBuffer : public TStream {
public:
  TBuffer();
  // A buffer holding a copy of the bytes, positioned at 0.
  TBuffer(const void* data, size_t n);
  ~TBuffer() override;

  Kiv::DynamicBuffer& GetBuffer() noexcept { return *m_buffer; }
  const uint8_t* Data() const noexcept;
  size_t Size() const noexcept;

  void Reset() override;
  int64_t GetPosition() override;
  [[nodiscard]] bool IsOpen() override;
  int64_t GetLength() override;
  size_t Write(const void* data, size_t n) override;
  size_t Read(void* data, size_t n) override;
  [[nodiscard]] bool Seek(int64_t offset, int whence) override;
  [[nodiscard]] bool IsEOF() override;

private:
  std::unique_ptr<Kiv::DynamicBuffer> m_buffer;
  size_t m_position = 0;
};
