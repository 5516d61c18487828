#pragma once
// The message records of the online-access service and their wire forms
// (little-endian; strings as u32 length and bytes, pstrings as u32 length + 1,
// bytes and a 0; KUIDs in their 8-byte stream form; soups in the binary form).
// Readers give defaults on short or malformed data and leave the stream's
// error mark set, so a caller decodes a whole record and tests GetError once.
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "kiv/PString.h"

// Message types on the wire.
namespace OnlineMessageType {
enum : uint8_t {
  LoginReply = 1,
  SessionKey = 2,
  LoginResult = 3,
  LoginLimits = 4,
  Plain = 10,
  Versioned = 11,
  GroupJoined = 21,
  GroupClose = 22,
  GroupMembers = 23,
  GroupPost = 24,
  GroupMode = 25,
  GroupUserMode = 26,
  GroupJoin = 28,
  GroupCreate = 29,
  Login = 31,
};
}

// Marks the stream when a soup does not decode (the soup is then null).
void ReadOnlineSoup(TStream& stream, SoupRef& soup);
// An empty container stands in for a null soup, and for one that cannot be
// written (nested too deep): the record stays whole, the stream is marked
// kErrorUnwritable and the result is false.
[[nodiscard]] bool WriteOnlineSoup(TStream& stream, const SoupRef& soup);

class OnlineMessage {
public:
  virtual ~OnlineMessage() = default;
  // Target KUID, text, soup.
  virtual void Write(TStream& stream) const;
  virtual void Read(TStream& stream);
  [[nodiscard]] virtual bool IsVersioned() const { return false; }

  KUID target;  // the asset whose script is to receive it; null by default
  std::string text;
  SoupRef soup;
};

class OnlineVersionedMessage : public OnlineMessage {
public:
  // The plain record, then u32 version and bool senderModified.
  void Write(TStream& stream) const override;
  void Read(TStream& stream) override;
  // The version and flag alone; when cut short they read as 0 and false.
  void ReadTrailer(TStream& stream);
  [[nodiscard]] bool IsVersioned() const override { return true; }

  uint32_t version = 0;  // posts use 1
  bool senderModified = false;
};

struct OnlineGroupMessage {
  // KUID sender, string text, pstring groupKey, soup.
  void Write(TStream& stream) const;
  void Read(TStream& stream);

  Kiv::PString groupKey;
  std::string text;
  SoupRef soup;
  KUID sender;
};

// The login packet (type 31): profile, program name, f32 0, u32 0, bool 0,
// the 8-byte client key, u8 4.
void WriteLoginPacket(TStream& stream, const std::string& profile, const std::string& clientKey);
