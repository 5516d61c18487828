// Helpers shared by the files of umbclient/ only.
#pragma once

#include <string>
#include <string_view>

#include "kiv/String.h"

// Texts equal with ASCII letters folded (table keys, filter items).
[[nodiscard]] inline bool SameText(std::string_view a, std::string_view b) {
  return Kiv::CompareNoCase(a, b) == 0;
}

// One line to the program's log.
void UmbLog(const std::string& line);

// Tells resolution caches that what KUIDs resolve to may have changed (open, close, rescan).
void RaiseResolutionCacheFlush();

class TStream;
struct UrlParts;

// The URL record of request 230.
void WriteUrlRecord(TStream& s, const UrlParts& url);
// False on a short record or a port above 65535.
[[nodiscard]] bool ReadUrlRecord(TStream& s, UrlParts& url);
