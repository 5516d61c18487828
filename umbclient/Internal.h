// Helpers shared by the files of umbclient/ only.
#pragma once

#include <string>

// One line to the program's log.
void UmbLog(const std::string& line);
