#pragma once
// The online script classes' part of the native registration: the script
// library sits below this folder, so the program hands these tables to it
// (before its first RegisterScriptNatives) instead of the library calling up.
#include <string>

// Hands RegisterOnlineAccessNatives and RegisterOnlineGroupNatives to the
// script library's registration, and the lookup of Library.GetOnlineAccess.
void InstallOnlineNatives();

// The 14 records of "OnlineAccess"; then loads the offline boxes and the stored
// messages from the user data's "cache" folder.
void RegisterOnlineAccessNatives();
// The 15 records of "OnlineGroup".
void RegisterOnlineGroupNatives();
