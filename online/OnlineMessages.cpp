#include "online/OnlineMessages.h"

void ReadOnlineSoup(TStream& stream, SoupRef& soup) {
  if (stream.GetError() || !ReadSoupBinary(stream, soup)) {
    soup.Clear();
    stream.SetError(TStream::kErrorShortRead);
  }
}

bool WriteOnlineSoup(TStream& stream, const SoupRef& soup) {
  if (soup ? WriteSoupBinary(stream, soup) : WriteSoupBinary(stream, SoupRef::NewContainer())) return true;
  // A soup that does not encode (nested too deep) leaves nothing in the
  // stream: the empty stand-in keeps the record readable. Should that fail as
  // well, the stream itself is failing; the mark covers both.
  if (soup) (void)WriteSoupBinary(stream, SoupRef::NewContainer());
  stream.SetError(TStream::kErrorUnwritable);
  return false;
}

void OnlineMessage::Write(TStream& stream) const {
  WriteKUID(stream, target);
  stream.WriteString(text);
  (void)WriteOnlineSoup(stream, soup);  // a failure marks the stream, which the writer tests once
}

void OnlineMessage::Read(TStream& stream) {
  target = stream.ReadKUID();
  text = stream.ReadString();
  ReadOnlineSoup(stream, soup);
}

void OnlineVersionedMessage::Write(TStream& stream) const {
  OnlineMessage::Write(stream);
  stream.WriteU32(version);
  stream.WriteBool(senderModified);
}

void OnlineVersionedMessage::Read(TStream& stream) {
  OnlineMessage::Read(stream);
  ReadTrailer(stream);
}

void OnlineVersionedMessage::ReadTrailer(TStream& stream) {
  version = stream.ReadU32();
  senderModified = stream.ReadBool();
}

void OnlineGroupMessage::Write(TStream& stream) const {
  WriteKUID(stream, sender);
  stream.WriteString(text);
  stream.WritePString(groupKey);
  (void)WriteOnlineSoup(stream, soup);  // a failure marks the stream, which the writer tests once
}

void OnlineGroupMessage::Read(TStream& stream) {
  sender = stream.ReadKUID();
  text = stream.ReadString();
  groupKey = stream.ReadPString();
  ReadOnlineSoup(stream, soup);
}

void WriteLoginPacket(TStream& stream, const std::string& profile, const std::string& clientKey) {
  stream.WriteU8(OnlineMessageType::Login);
  stream.WriteString(profile);
  stream.WriteString("RovanaUtil");
  stream.WriteFloat(0.0f);
  stream.WriteU32(0);
  stream.WriteBool(false);
  stream.WriteString(clientKey);
  stream.WriteU8(4);
}
