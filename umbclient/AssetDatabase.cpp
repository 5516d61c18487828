#include "umbclient/AssetDatabase.h"

#include "umbclient/Internal.h"

void WriteUrlRecord(TStream& s, const UrlParts& url) {
  s.WriteString(url.scheme);
  s.WriteString(url.user);
  s.WriteString(url.password);
  s.WriteString(url.host);
  s.WriteU32(static_cast<uint32_t>(url.port));
  s.WriteString(url.path);
  s.WriteString(url.query);
  s.WriteString(url.fragment);
}

bool ReadUrlRecord(TStream& s, UrlParts& url) {
  UrlParts r;
  r.scheme = s.ReadString();
  r.user = s.ReadString();
  r.password = s.ReadString();
  r.host = s.ReadString();
  uint32_t port = s.ReadU32();
  r.path = s.ReadString();
  r.query = s.ReadString();
  r.fragment = s.ReadString();
  if (s.GetError() || port > 65535) return false;
  r.port = static_cast<int>(port);
  url = std::move(r);
  return true;
}

// ---- UMBAssetInfo ----

UMBAssetInfo::UMBAssetInfo() = default;
UMBAssetInfo::~UMBAssetInfo() = default;

uint8_t UMBAssetInfo::FirstStateByte() const {
  return static_cast<uint8_t>(HasState(kStateOnVendaro) ? 0x40 : 0);
}

void UMBAssetInfo::Write(TStream& s) const {
  WriteKUID(s, kuid);
  s.WriteU32(static_cast<uint32_t>(filled));
  s.WriteString(localisedName);
  s.WriteString(creatorName);
  s.WriteString(category);
  s.WriteString(categoryRegion);
  s.WriteString(categoryEra);
  s.WriteString(kind);
  s.WriteU32(stateFlags);
  s.WriteU8(rating);
  s.WriteFloat(buildVersion);
  s.WriteBool(buildVersionKnown);
  WriteKUID(s, parent);
  s.WriteU32(static_cast<uint32_t>(static_cast<uint64_t>(modifiedTime)));
  s.WriteU32(static_cast<uint32_t>(static_cast<uint64_t>(modifiedTime) >> 32));
}

bool UMBAssetInfo::Read(TStream& s) {
  UMBAssetInfo r;
  r.kuid = s.ReadKUID();
  r.filled = static_cast<int32_t>(s.ReadU32());
  r.localisedName = s.ReadString();
  r.creatorName = s.ReadString();
  r.category = s.ReadString();
  r.categoryRegion = s.ReadString();
  r.categoryEra = s.ReadString();
  r.kind = s.ReadString();
  r.stateFlags = s.ReadU32();
  r.rating = s.ReadU8(0xFF);
  r.buildVersion = s.ReadFloat();
  r.buildVersionKnown = s.ReadBool();
  r.parent = s.ReadKUID();
  uint64_t lo = s.ReadU32(), hi = s.ReadU32();
  r.modifiedTime = static_cast<int64_t>(lo | (hi << 32));
  if (s.GetError() || (r.stateFlags >> kStateCount) != 0) return false;
  *this = std::move(r);
  return true;
}
