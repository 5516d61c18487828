// A thin layer over the embedded SQLite library for the asset index: one connection,
// prepared statements, and a sticky record of the first failure, so a caller can run a
// series of statements and decide once whether the file is to be trusted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace Sql {

class Database {
public:
  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Opens (creating) the file; ":memory:" gives a private database in memory. False when
  // it cannot be opened; the connection is then closed. vfs: the library's name of
  // another file layer ("memdb": a database in one block of memory).
  [[nodiscard]] bool Open(const std::string& path, const char* vfs = nullptr);
  void Close();
  [[nodiscard]] bool IsOpen() const { return m_db != nullptr; }

  // Runs statements without results; false on failure (recorded).
  [[nodiscard]] bool Exec(const char* sql);
  // One integer result of a query, or fallback when it gives no row or fails.
  int64_t QueryInt(const char* sql, int64_t fallback);

  // The first failure since opening or the last ClearFailure: its result code (0 none) and
  // text, and whether the file itself is damaged or is not a database at all.
  int FailureCode() const { return m_failure; }
  const std::string& FailureText() const { return m_failureText; }
  [[nodiscard]] bool IsDamaged() const;
  void ClearFailure();

  // The whole database as its file would hold it; empty when it cannot be had. inPlace:
  // the block a "memdb" database lives in, valid until the database is next written or
  // closed (else a copy, which the holder frees).
  struct Image {
    unsigned char* bytes = nullptr;
    int64_t size = 0;
    bool owned = false;
  };
  Image Serialize(bool inPlace = false);
  static void Free(Image& image);

  sqlite3* Handle() const { return m_db; }
  // Records a failure of a call on Handle() (code is the library's result code).
  void Fail(int code);

private:
  sqlite3* m_db = nullptr;
  int m_failure = 0;
  std::string m_failureText;
};

// A prepared statement. Binding indices start at 1, columns at 0.
class Statement {
public:
  Statement(Database& db, const char* sql);
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  [[nodiscard]] bool IsValid() const { return m_stmt != nullptr; }
  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, double value);
  Statement& Bind(int index, std::string_view text);
  Statement& BindBlob(int index, const void* data, size_t size);
  // The same without a copy, for rows written by the thousand: the bytes must stay as they
  // are until the statement has run, and the parameter is bound again before the next run.
  Statement& BindUncopied(int index, std::string_view text);
  Statement& BindBlobUncopied(int index, const void* data, size_t size);

  // Moves to the next row: true when one is ready; false at the end or on failure.
  [[nodiscard]] bool Step();
  // Steps to the end (for statements without results); false on failure. Resets after.
  [[nodiscard]] bool Run();
  // Makes the statement ready to run again (bindings kept until rebound).
  void Reset();

  int64_t Int(int column) const;
  double Real(int column) const;
  std::string Text(int column) const;
  // The text without a copy: valid until the next Step or Reset.
  std::string_view View(int column) const;
  std::string_view Blob(int column) const;

private:
  Database& m_db;
  sqlite3_stmt* m_stmt = nullptr;
};

}  // namespace Sql
