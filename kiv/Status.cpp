#include "kiv/Status.h"

#include "kiv/File.h"

namespace Kiv {

Status Status::FromLastFileError() {
  std::string why = File::LastError();
  if (why.empty()) why = "the system gave no reason";
  return IOError(std::move(why));
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  if (!m_message.empty()) return m_message;
  switch (m_code) {
    case Code::kNotFound: return "not found";
    case Code::kIOError: return "input/output error";
    case Code::kCorruption: return "corrupt data";
    case Code::kInvalidArgument: return "invalid argument";
    case Code::kOk: break;
  }
  return "failed";
}

}  // namespace Kiv
