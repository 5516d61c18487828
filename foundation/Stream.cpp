#include "foundation/Stream.h"

#include <algorithm>
#include <cstring>

#include "kiv/Bytes.h"
#include "kiv/File.h"
#include "kiv/Memory.h"

// ---- the base device: empty and closed ----

void TStream::Reset() {
  DropReadAhead();
  m_error = kErrorNone;
}
int64_t TStream::GetPosition() { return 0; }
bool TStream::IsOpen() { return false; }
int64_t TStream::GetLength() { return 0; }
size_t TStream::Write(const void*, size_t) { return 0; }
size_t TStream::Read(void*, size_t) { return 0; }
bool TStream::Seek(int64_t, int) { return false; }
bool TStream::IsEOF() { return m_readAheadLeft == 0; }

// ---- buffered access ----

int64_t TStream::Tell() { return GetPosition() - static_cast<int64_t>(m_readAheadLeft); }

void TStream::DropReadAhead() {
  // A device that cannot go back leaves the position past what was read: marked, so
  // the reader that goes on learns its bytes are not where it expects them.
  if (m_readAheadLeft != 0 && !Seek(-static_cast<int64_t>(m_readAheadLeft), 1)) SetError(kErrorShortRead);
  m_readAheadLeft = 0;
  m_readAheadPos = 0;
}

bool TStream::SeekTo(int64_t offset, int whence) {
  DropReadAhead();
  return Seek(offset, whence);
}

size_t TStream::ReadBytes(void* data, size_t n) {
  uint8_t* out = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < n) {
    if (m_readAheadLeft != 0) {
      size_t take = std::min<size_t>(n - done, m_readAheadLeft);
      std::memcpy(out + done, m_readAhead + m_readAheadPos, take);
      m_readAheadPos += static_cast<uint32_t>(take);
      m_readAheadLeft -= static_cast<uint32_t>(take);
      done += take;
      continue;
    }
    size_t want = n - done;
    if (want >= kReadAheadSize) {
      // Large reads go straight to the caller's memory.
      size_t got = Read(out + done, want);
      if (got == 0) break;
      done += got;
    } else {
      size_t got = Read(m_readAhead, kReadAheadSize);
      if (got == 0) break;
      m_readAheadPos = 0;
      m_readAheadLeft = static_cast<uint32_t>(got);
    }
  }
  return done;
}

size_t TStream::WriteBytes(const void* data, size_t n) {
  DropReadAhead();
  return n == 0 ? 0 : Write(data, n);
}

int64_t TStream::Remaining() {
  int64_t left = GetLength() - Tell();
  return left > 0 ? left : 0;
}

void TStream::Skip(uint64_t n) {
  if (n == 0) return;
  if (n <= m_readAheadLeft) {
    m_readAheadPos += static_cast<uint32_t>(n);
    m_readAheadLeft -= static_cast<uint32_t>(n);
    return;
  }
  if (n <= static_cast<uint64_t>(INT64_MAX) && SeekTo(static_cast<int64_t>(n), 1)) return;
  uint8_t scratch[512];
  while (n != 0) {
    size_t got = ReadBytes(scratch, static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch)));
    if (got == 0) return;
    n -= got;
  }
}

// ---- typed forms ----

namespace {
// Reads the N bytes of one typed value; a short read sets error 4.
template <size_t N>
bool ReadExact(TStream& stream, uint8_t (&bytes)[N]) {
  if (stream.ReadBytes(bytes, N) == N) return true;
  stream.SetError(TStream::kErrorShortRead);
  return false;
}
}  // namespace

uint8_t TStream::ReadU8(uint8_t def) {
  uint8_t b[1];
  return ReadExact(*this, b) ? b[0] : def;
}

uint16_t TStream::ReadU16(uint16_t def) {
  uint8_t b[2];
  return ReadExact(*this, b) ? Kiv::LoadLE16(b) : def;
}

uint32_t TStream::ReadU32(uint32_t def) {
  uint8_t b[4];
  return ReadExact(*this, b) ? Kiv::LoadLE32(b) : def;
}

float TStream::ReadFloat(float def) {
  uint8_t b[4];
  return ReadExact(*this, b) ? Kiv::LoadLEFloat(b) : def;
}

bool TStream::ReadBool(bool def) {
  uint8_t b[1];
  return ReadExact(*this, b) ? b[0] != 0 : def;
}

KUID TStream::ReadKUID() {
  uint8_t b[8];
  if (!ReadExact(*this, b)) return KUID::Null();
  return KUID::FromPacked(Kiv::LoadLE32(b + 4), static_cast<int32_t>(Kiv::LoadLE32(b)));
}

void TStream::WriteU8(uint8_t v) { WriteBytes(&v, 1); }

void TStream::WriteU16(uint16_t v) {
  uint8_t b[2];
  Kiv::StoreLE16(b, v);
  WriteBytes(b, 2);
}

void TStream::WriteU32(uint32_t v) {
  uint8_t b[4];
  Kiv::StoreLE32(b, v);
  WriteBytes(b, 4);
}

void TStream::WriteFloat(float v) {
  uint8_t b[4];
  Kiv::StoreLEFloat(b, v);
  WriteBytes(b, 4);
}

void TStream::WriteBool(bool v) { WriteU8(v ? 1 : 0); }

void WriteKUID(TStream& stream, const KUID& kuid) {
  uint8_t b[8];
  Kiv::StoreLE32(b, static_cast<uint32_t>(kuid.content));
  Kiv::StoreLE32(b + 4, kuid.PackedWord());
  stream.WriteBytes(b, 8);
}

void TStream::WriteString(std::string_view text) {
  if (text.size() > kMaxStringLength) {
    WriteU32(0);
    return;
  }
  WriteU32(static_cast<uint32_t>(text.size()));
  WriteBytes(text.data(), text.size());
}

std::string TStream::ReadString() {
  uint8_t b[4];
  if (!ReadExact(*this, b)) return {};
  const uint32_t length = Kiv::LoadLE32(b);
  if (length > kMaxStringLength) {
    Skip(length);
    SetError(kErrorStringTooLong);
    return {};
  }
  std::string text(length, '\0');
  if (ReadBytes(text.data(), length) != length) {
    SetError(kErrorShortRead);
    return {};
  }
  return text;
}

void TStream::WritePString(const Kiv::PString& text) {
  if (text.IsNull() || text.Length() + 1 > kMaxStringLength) {
    WriteU32(0);
    return;
  }
  WriteU32(static_cast<uint32_t>(text.Length() + 1));
  WriteBytes(text.c_str(), text.Length() + 1);
}

Kiv::PString TStream::ReadPString() {
  uint8_t b[4];
  if (!ReadExact(*this, b)) return Kiv::PString::Empty();
  const uint32_t stored = Kiv::LoadLE32(b);
  if (stored == 0) return Kiv::PString();
  if (stored > kMaxStringLength) {
    Skip(stored);
    SetError(kErrorStringTooLong);
    return Kiv::PString::Empty();
  }
  std::string text(stored, '\0');
  if (ReadBytes(text.data(), stored) != stored) {
    SetError(kErrorShortRead);
    return Kiv::PString::Empty();
  }
  return Kiv::PString(std::string_view(text.c_str()));
}

int64_t TStream::WriteLengthPlaceholder() {
  int64_t position = Tell();
  WriteU32(kLengthPlaceholder);
  return position;
}

bool TStream::PatchLengthPlaceholder(int64_t placeholder) {
  int64_t current = Tell();
  if (placeholder < 0 || current < placeholder + 4 || current - placeholder - 4 > INT64_C(0xFFFFFFFF))
    return false;
  if (!SeekTo(placeholder, 0)) return false;
  WriteU32(static_cast<uint32_t>(current - placeholder - 4));
  return SeekTo(current, 0);
}

// ---- TFile ----

TFile::TFile() : m_file(std::make_unique<Kiv::File>()) {}
TFile::~TFile() = default;

bool TFile::OpenInFolder(std::string_view folder, std::string_view name, TFileMode mode) {
  Close();
  std::string path = folder.empty() ? std::string(name) : Kiv::File::Path(folder).Join(name).Str();
  Kiv::File::Mode fileMode;
  switch (mode) {
    case kFileRead: fileMode = Kiv::File::Mode::Read; break;
    case kFileWrite: fileMode = Kiv::File::Mode::Write; break;
    case kFileAppend: fileMode = Kiv::File::Mode::Append; break;
    case kFileReadWrite: fileMode = Kiv::File::Mode::ReadWrite; break;
    default: return false;
  }
  return m_file->Open(path, fileMode);
}

void TFile::Close() {
  m_readAheadLeft = 0;
  m_readAheadPos = 0;
  m_file->Close();
}

void TFile::Reset() { TStream::Reset(); }
int64_t TFile::GetPosition() { return m_file->IsOpen() ? m_file->Tell() : 0; }
bool TFile::IsOpen() { return m_file->IsOpen(); }
int64_t TFile::GetLength() { return m_file->IsOpen() ? m_file->Length() : 0; }

size_t TFile::Write(const void* data, size_t n) {
  int64_t written = m_file->Write(data, n);
  return written > 0 ? static_cast<size_t>(written) : 0;
}

size_t TFile::Read(void* data, size_t n) {
  int64_t got = m_file->Read(data, n);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

bool TFile::Seek(int64_t offset, int whence) {
  if (whence < 0 || whence > 2) return false;
  return m_file->Seek(offset, static_cast<Kiv::File::Whence>(whence));
}

bool TFile::IsEOF() {
  return m_readAheadLeft == 0 && (!m_file->IsOpen() || m_file->Tell() >= m_file->Length());
}

// ---- TBuffer ----

TBuffer::TBuffer() : m_buffer(std::make_unique<Kiv::DynamicBuffer>()) {}

TBuffer::TBuffer(const void* data, size_t n) : TBuffer() {
  if (n != 0 && !m_buffer->Append(data, n)) m_buffer->Clear();
}

TBuffer::~TBuffer() = default;

const uint8_t* TBuffer::Data() const noexcept { return m_buffer->Data(); }
size_t TBuffer::Size() const noexcept { return m_buffer->Size(); }

void TBuffer::Reset() {
  m_readAheadLeft = 0;
  m_readAheadPos = 0;
  m_error = kErrorNone;
  m_buffer->Clear();
  m_position = 0;
}

int64_t TBuffer::GetPosition() { return static_cast<int64_t>(m_position); }
bool TBuffer::IsOpen() { return true; }
int64_t TBuffer::GetLength() { return static_cast<int64_t>(m_buffer->Size()); }

size_t TBuffer::Write(const void* data, size_t n) {
  if (!m_buffer->Write(m_position, data, n)) return 0;
  m_position += n;
  return n;
}

size_t TBuffer::Read(void* data, size_t n) {
  if (m_position >= m_buffer->Size()) return 0;
  size_t got = m_buffer->Read(m_position, data, n);
  m_position += got;
  return got;
}

bool TBuffer::Seek(int64_t offset, int whence) {
  int64_t base = whence == 0   ? 0
                 : whence == 1 ? static_cast<int64_t>(m_position)
                 : whence == 2 ? static_cast<int64_t>(m_buffer->Size())
                               : -1;
  if (base < 0) return false;
  if (offset > 0 && base > INT64_MAX - offset) return false;
  int64_t target = base + offset;
  if (target < 0 || static_cast<uint64_t>(target) > Kiv::DynamicBuffer::MaxSize) return false;
  m_position = static_cast<size_t>(target);
  return true;
}

bool TBuffer::IsEOF() { return m_readAheadLeft == 0 && m_position >= m_buffer->Size(); }
