#include "config/Messages.h"

#include "foundation/InterfaceTextDB.h"

namespace OBLLib {

Kiv::PString FormatMessage(const Kiv::PString& key, std::initializer_list<FormatArg> args) {
  Kiv::PString text = InterfaceTextDB::Instance().GetString(key, true);
  return Kiv::PString(SafeFormat(text.View(), std::vector<FormatArg>(args)));
}

}  // namespace OBLLib
