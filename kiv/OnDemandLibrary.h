#pragma once
// Shared libraries opened the first time a command needs them. The programs
// start without mapping the image, font, texture and database libraries, and
// all they depend on, which a compile never touches; a library that cannot
// be loaded fails the one operation that needed it, with the reason.
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace Kiv {

class OnDemandLibrary {
public:
  // file: a library's name as the system loader searches for it
  // ("libsqlite3.so.0"), or a path; functions: the names Function(i) finds.
  OnDemandLibrary(std::string file, std::initializer_list<const char*> functions);
  OnDemandLibrary(const OnDemandLibrary&) = delete;
  OnDemandLibrary& operator=(const OnDemandLibrary&) = delete;
  // The library stays loaded: what it made may outlive any user.
  ~OnDemandLibrary() = default;

  // Opens the library and finds every function, once per object (any
  // thread); false, now and on every later call, when either failed.
  [[nodiscard]] bool Load();
  // The address of functions[i]; null before a successful Load.
  void* Function(std::size_t i) const { return i < m_addresses.size() ? m_addresses[i] : nullptr; }
  // The same as the function pointer type F.
  template <typename F>
  F Function(std::size_t i) const {
    return reinterpret_cast<F>(Function(i));
  }
  // Why Load failed: the library's name and the loader's reason.
  const std::string& Error() const { return m_error; }
  const std::string& File() const { return m_file; }

private:
  std::string m_file;
  std::vector<const char*> m_names;
  std::vector<void*> m_addresses;
  std::string m_error;
  std::once_flag m_once;
  bool m_loaded = false;
};

// A file beside the running program (a module of this project built and
// installed with it); just the name when the program's path is unknown.
std::string BesideProgram(const std::string& name);

}  // namespace Kiv

// A table of a C library's functions, each typed as its header declares it,
// from a list macro LIST(X) that applies X to every name:
//   KIV_ON_DEMAND_FUNCTIONS(SqliteFunctions, Sqlite, "libsqlite3.so.0", SQLITE_FUNCTIONS)
// defines struct SqliteFunctions (one member per name),
// const SqliteFunctions* Sqlite(std::string& error): the table, the library
// opened on the first call; null (and the reason in error) when it cannot be;
// and const SqliteFunctions& Sqlite(), for calls that only come after one
// that succeeded.
#define KIV_FUNCTION_MEMBER(name) decltype(&::name) name;
#define KIV_FUNCTION_NAME(name) #name,
#define KIV_FUNCTION_FILL(name) table.name = library.Function<decltype(table.name)>(index++);
#define KIV_ON_DEMAND_FUNCTIONS(Table, Loader, file, LIST)                \
  struct Table {                                                          \
    LIST(KIV_FUNCTION_MEMBER)                                             \
  };                                                                      \
  const Table* Loader(std::string& error) {                               \
    static Kiv::OnDemandLibrary library(file, {LIST(KIV_FUNCTION_NAME)}); \
    static const Table* const loaded = []() -> const Table* {             \
      if (!library.Load()) return nullptr;                                \
      static Table table;                                                 \
      std::size_t index = 0;                                              \
      LIST(KIV_FUNCTION_FILL)                                             \
      return &table;                                                      \
    }();                                                                  \
    if (!loaded) error = library.Error();                                 \
    return loaded;                                                        \
  }                                                                       \
  [[maybe_unused]] const Table& Loader() {                                \
    std::string unused;                                                   \
    return *Loader(unused);                                               \
  }
