#include "online/OnlineMessages.h"

void ReadOnlineSoup(TStream& stream, SoupRef& soup) {
  if (stream.GetError() || !ReadSoupBinary(stream, soup)) {
    soup.Clear();
    stream.SetError(TStream::kErrorShortRead);
  }
}

void WriteOnlineSoup(TStream& stream, const SoupRef& soup) {
  if (soup)
    WriteSoupBinary(stream, soup);
  else
    WriteSoupBinary(stream, SoupRef::NewContainer());
}

void OnlineMessage::Write(TStream& stream) const {
  WriteKUID(stream, target);
  stream.WriteString(text);
  WriteOnlineSoup(stream, soup);
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
  version = stream.ReadU32();
  senderModified = stream.ReadBool();
}

void OnlineGroupMessage::Write(TStream& stream) const {
  WriteKUID(stream, sender);
  stream.WriteString(text);
  stream.WritePString(groupKey);
  WriteOnlineSoup(stream, soup);
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
