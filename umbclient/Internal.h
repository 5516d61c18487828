// Helpers shared by the files of umbclient/ only.
#pragma once

#include <string>

// One line to the program's log.
void UmbLog(const std::string& line);

class TStream;
struct UrlParts;

// The URL record of request 230.
void WriteUrlRecord(TStream& s, const UrlParts& url);
// False on a short record or a port above 65535.
bool ReadUrlRecord(TStream& s, UrlParts& url);
