// The process-wide open asset database: open, close, and the transactions every typed
// request goes through. Requests share a lock; open and close take it alone, so a database
// is never replaced while a request uses it.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "umbclient/AssetDatabase.h"

// ---- open and close ----

// Called after the database opens and before it closes (the asset-spec registry lives between).
void UMBSetDatabaseHooks(std::function<void()> onOpen, std::function<void()> onClose);

// Opens the folder-backed database over GetUserDataFolder() and GetInstallationRoot(),
// answering the daemon's own requests with the stand-ins. False when the user-data
// folder is not set or does not exist.
[[nodiscard]] bool UMBOpenDatabase(const UMBStandIns& standIns = {});
// Opens a given database (tests, later transports). A database already open is closed first.
[[nodiscard]] bool UMBOpenDatabase(std::unique_ptr<AssetDatabase> db);
void UMBCloseDatabase();
[[nodiscard]] bool UMBIsDatabaseOpen();
// Calls `use` with the open database while holding the requests' lock, so the database
// cannot be closed under it; `use` must not open or close a database. False (and `use`
// not called) when none is open.
[[nodiscard]] bool UMBWithDatabase(const std::function<void(AssetDatabase&)>& use);

// Whether the database's contents may have changed since `seen` was last updated here (it
// starts at 0, so the first call says yes); a KUID resolution cache that keeps its own `seen`
// empties itself when this returns true. Every cache sees every change.
[[nodiscard]] bool UMBTakeResolutionCacheFlush(uint64_t& seen);

// ---- transactions ----

// Sends one request to the open database and waits for its reply. False when no database
// is open, or the request failed (reply empty).
[[nodiscard]] bool UMBExecuteTransaction(uint32_t commandId, TBuffer& body, TBuffer& reply);
// Sends a one-way request. False when no database is open or the request failed.
[[nodiscard]] bool UMBPostMessage(uint32_t commandId, TBuffer& body);

// Settings records of the open database (empty soup / false when none is open).
SoupRef UMBGetSettingsRecord(std::string_view name);
[[nodiscard]] bool UMBSetSettingsRecord(std::string_view name, const SoupRef& record);
