#pragma once
// Findings of the config-schema library are interface-text keys; their texts
// are filled with the parameters each key documents, in order.
#include <initializer_list>

#include "foundation/Text.h"
#include "kiv/PString.h"

namespace OBLLib {

// The interface text of the key with its parameters filled in, interned so
// the error handler can compare it by identity. The text is never used as a
// printf format.
Kiv::PString FormatMessage(const Kiv::PString& key, std::initializer_list<FormatArg> args = {});

}  // namespace OBLLib
