#include "umbclient/Sqlite.h"

#include <sqlite3.h>

#include "kiv/OnDemandLibrary.h"

namespace Sql {

namespace {

#define SQLITE_FUNCTIONS(X)        \
  X(sqlite3_bind_blob64)           \
  X(sqlite3_bind_double)           \
  X(sqlite3_bind_int64)            \
  X(sqlite3_bind_text64)           \
  X(sqlite3_close_v2)              \
  X(sqlite3_column_blob)           \
  X(sqlite3_column_bytes)          \
  X(sqlite3_column_double)         \
  X(sqlite3_column_int64)          \
  X(sqlite3_column_text)           \
  X(sqlite3_errmsg)                \
  X(sqlite3_errstr)                \
  X(sqlite3_exec)                  \
  X(sqlite3_extended_result_codes) \
  X(sqlite3_finalize)              \
  X(sqlite3_free)                  \
  X(sqlite3_open_v2)               \
  X(sqlite3_prepare_v2)            \
  X(sqlite3_reset)                 \
  X(sqlite3_serialize)             \
  X(sqlite3_step)

KIV_ON_DEMAND_FUNCTIONS(SqliteFunctions, Sqlite, ROVANA_SQLITE_LIBRARY, SQLITE_FUNCTIONS)

// The table once the library is loaded (every call but the first Open comes after that),
// looked up once: a query reads several columns of every row.
const SqliteFunctions& Api() {
  static const SqliteFunctions& table = Sqlite();
  return table;
}

}  // namespace

Database::~Database() { Close(); }

bool Database::Open(const std::string& path, const char* vfs) {
  Close();
  m_failure = 0;
  m_failureText.clear();
  // SQLite is opened when the first database is.
  std::string why;
  if (!Sqlite(why)) {
    m_failure = SQLITE_CANTOPEN;
    m_failureText = "the database library is not available (" + why + ")";
    return false;
  }
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  const int rc = Api().sqlite3_open_v2(path.c_str(), &m_db, flags, vfs);
  if (rc != SQLITE_OK) {
    Fail(rc);
    Close();
    return false;
  }
  Api().sqlite3_extended_result_codes(m_db, 0);
  return true;
}

void Database::Close() {
  if (m_db) Api().sqlite3_close_v2(m_db);
  m_db = nullptr;
}

Database::Image Database::Serialize(bool inPlace) {
  Image image;
  if (!m_db) return image;
  sqlite3_int64 size = 0;
  if (inPlace) image.bytes = Api().sqlite3_serialize(m_db, "main", &size, SQLITE_SERIALIZE_NOCOPY);
  if (!image.bytes) {
    image.bytes = Api().sqlite3_serialize(m_db, "main", &size, 0);
    image.owned = image.bytes != nullptr;
  }
  image.size = image.bytes ? static_cast<int64_t>(size) : 0;
  return image;
}

void Database::Free(Image& image) {
  if (image.owned) Api().sqlite3_free(image.bytes);
  image = Image();
}

void Database::Fail(int code) {
  if (m_failure != 0) return;
  m_failure = code;
  m_failureText = m_db ? Api().sqlite3_errmsg(m_db) : Api().sqlite3_errstr(code);
}

bool Database::IsDamaged() const { return m_failure == SQLITE_CORRUPT || m_failure == SQLITE_NOTADB; }

void Database::ClearFailure() {
  m_failure = 0;
  m_failureText.clear();
}

bool Database::Exec(const char* sql) {
  if (!m_db) return false;
  const int rc = Api().sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  Fail(rc);
  return false;
}

int64_t Database::QueryInt(const char* sql, int64_t fallback) {
  Statement s(*this, sql);
  return s.Step() ? s.Int(0) : fallback;
}

Statement::Statement(Database& db, const char* sql) : m_db(db) {
  if (!db.Handle()) return;
  const int rc = Api().sqlite3_prepare_v2(db.Handle(), sql, -1, &m_stmt, nullptr);
  if (rc != SQLITE_OK) {
    db.Fail(rc);
    m_stmt = nullptr;
  }
}

Statement::~Statement() {
  if (m_stmt) Api().sqlite3_finalize(m_stmt);
}

Statement& Statement::Bind(int index, int64_t value) {
  if (m_stmt) Api().sqlite3_bind_int64(m_stmt, index, value);
  return *this;
}

Statement& Statement::Bind(int index, double value) {
  if (m_stmt) Api().sqlite3_bind_double(m_stmt, index, value);
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (m_stmt)
    Api().sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  return *this;
}

Statement& Statement::BindBlob(int index, const void* data, size_t size) {
  if (m_stmt) Api().sqlite3_bind_blob64(m_stmt, index, size ? data : "", size, SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::BindUncopied(int index, std::string_view text) {
  if (m_stmt)
    Api().sqlite3_bind_text64(m_stmt, index, text.empty() ? "" : text.data(), text.size(), SQLITE_STATIC,
                              SQLITE_UTF8);
  return *this;
}

Statement& Statement::BindBlobUncopied(int index, const void* data, size_t size) {
  if (m_stmt) Api().sqlite3_bind_blob64(m_stmt, index, size ? data : "", size, SQLITE_STATIC);
  return *this;
}

bool Statement::Step() {
  if (!m_stmt) return false;
  const int rc = Api().sqlite3_step(m_stmt);
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) m_db.Fail(rc);
  return false;
}

bool Statement::Run() {
  if (!m_stmt) return false;
  while (Step()) {}
  const bool ok = m_db.FailureCode() == 0;
  Reset();
  return ok;
}

void Statement::Reset() {
  if (m_stmt) Api().sqlite3_reset(m_stmt);
}

int64_t Statement::Int(int column) const { return m_stmt ? Api().sqlite3_column_int64(m_stmt, column) : 0; }

double Statement::Real(int column) const {
  return m_stmt ? Api().sqlite3_column_double(m_stmt, column) : 0.0;
}

std::string Statement::Text(int column) const {
  if (!m_stmt) return std::string();
  const unsigned char* text = Api().sqlite3_column_text(m_stmt, column);
  const int size = Api().sqlite3_column_bytes(m_stmt, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size)) : std::string();
}

std::string_view Statement::View(int column) const {
  if (!m_stmt) return std::string_view();
  const unsigned char* text = Api().sqlite3_column_text(m_stmt, column);
  const int size = Api().sqlite3_column_bytes(m_stmt, column);
  return text ? std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(size))
              : std::string_view();
}

std::string_view Statement::Blob(int column) const {
  if (!m_stmt) return std::string_view();
  const void* data = Api().sqlite3_column_blob(m_stmt, column);
  const int size = Api().sqlite3_column_bytes(m_stmt, column);
  return data ? std::string_view(static_cast<const char*>(data), static_cast<size_t>(size))
              : std::string_view();
}

}  // namespace Sql
