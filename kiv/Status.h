#pragma once
// The result of one of our own operations that can fail for a reason the user
// must be told: a code a caller can act on and a message that names what
// failed and why ("cannot write 'a/b.gsl': No space left on device"). An ok
// status holds nothing. The type is [[nodiscard]], so a caller that drops one
// is refused by the build; a deliberate drop is written as a cast to void.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace Kiv {

class [[nodiscard]] Status {
public:
  enum class Code : uint8_t {
    kOk = 0,
    kNotFound,         // a file or folder that was looked for is not there
    kIOError,          // the system refused a read or a write (full disk, no rights, ...)
    kCorruption,       // the bytes are there but do not hold what they should
    kInvalidArgument,  // the caller asked for something that cannot be done
  };

  Status() = default;
  static Status OK() { return Status(); }
  static Status NotFound(std::string message) { return Status(Code::kNotFound, std::move(message)); }
  static Status IOError(std::string message) { return Status(Code::kIOError, std::move(message)); }
  static Status Corruption(std::string message) { return Status(Code::kCorruption, std::move(message)); }
  static Status InvalidArgument(std::string message) {
    return Status(Code::kInvalidArgument, std::move(message));
  }
  // An I/O error whose message is File::LastError(): what the last failing file
  // call of this thread said, with the path and the system's reason.
  static Status FromLastFileError();

  [[nodiscard]] bool ok() const noexcept { return m_code == Code::kOk; }
  Code code() const noexcept { return m_code; }
  [[nodiscard]] bool IsNotFound() const noexcept { return m_code == Code::kNotFound; }
  [[nodiscard]] bool IsIOError() const noexcept { return m_code == Code::kIOError; }
  // The message alone ("" when ok).
  const std::string& message() const noexcept { return m_message; }
  // "OK", or the message (a status without one gives its code's name).
  std::string ToString() const;

  // Keeps the first failure: an ok status takes `other`, a failed one stays.
  void Update(const Status& other) {
    if (ok() && !other.ok()) *this = other;
  }

private:
  Status(Code code, std::string message) : m_code(code), m_message(std::move(message)) {}

  Code m_code = Code::kOk;
  std::string m_message;
};

}  // namespace Kiv
