#include "umbclient/Internal.h"

#include "foundation/Log.h"

void UmbLog(const std::string& line) { LogLine("%s", line.c_str()); }
