#pragma once
// The interface-text database: message keys ("$obl_...", "$umb...") to the
// user's texts. The tables are every "*.txt" file of the strings folder, in
// the line format of docs/interface-text.md.
#include <atomic>
#include <string>
#include <string_view>
#include <unordered_map>

#include "kiv/PString.h"
#include "kiv/String.h"

class InterfaceTextDB {
public:
  // The process's database, loaded on first use (flag test, the process-wide
  // lock, flag test again, load, flag set).
  static InterfaceTextDB& Instance();

  // The folder whose "*.txt" tables are read (the front end passes
  // "<installation>/strings" at start-up). A later change makes the next
  // Instance() load again.
  static void SetFolder(std::string_view folder);
  static std::string Folder();

  // The text of a key, read under the process-wide lock. An empty or missing key
  // gives the key itself; with report set, a miss logs
  // "InterfaceTextDB::GetString> Tag '%s' not found in '%s'" (key, folder) for
  // the first ten misses of the process only.
  Kiv::PString GetString(const Kiv::PString& key, bool report = false);

  // The lookup behind script string tables, read under the process-wide lock:
  // out is the text of the key (the key itself when empty); a missing key
  // gives empty text and no log line. True when the key was found.
  [[nodiscard]] bool FindString(const Kiv::PString& key, Kiv::PString& out);

  // Number of keys loaded and the file-level problems of the last load.
  size_t Count() const;
  size_t LoadErrors() const;

  // Tests: how many misses have been logged so far in this process.
  static int ReportedMisses();

  // Parses one table text into the database (first definition of a key wins).
  // Returns the number of malformed lines. fileName only names the source in
  // log lines.
  size_t LoadTableText(std::string_view text, std::string_view fileName);

private:
  InterfaceTextDB() = default;
  void Load();

  std::unordered_map<Kiv::PString, Kiv::PString> m_texts;
  size_t m_loadErrors = 0;
};

// The interface text of a message key as a Kiv::String (the key itself when
// missing), loading the database first.
Kiv::String GetInterfaceText(const Kiv::PString& key);
