#pragma once
// Type rules of GameScript expressions: the result types of the table-driven
// operators and the conversion rule used by assignment, casts, arguments and
// return values.

#include <cstdint>
#include <string>
#include <string_view>

#include "gamescript/runtime/LibraryFormat.h"

namespace GSCompiler {

// True for the array types void[] .. object[].
[[nodiscard]] bool IsArrayType(uint32_t type);
// True for string, object, null and every array type except void[]: the
// types whose cells hold counted references.
using GSRuntime::IsReferenceType;

// Result type of unary operator `op` (codes 0, 1, 3 to 8) on `operand`, or
// TypeNone when the operand type is illegal for it.
uint32_t UnaryResultType(int32_t op, uint32_t operand);
// Result type of binary operator `op` (codes 12 to 29), or TypeNone when the
// pair is illegal.
uint32_t BinaryResultType(int32_t op, uint32_t left, uint32_t right);

// Whether a value of type `source` converts to `target` (class names aside).
[[nodiscard]] bool CanConvert(uint32_t target, uint32_t source);

// The class an object or object-array value names: empty for none, and the
// plain name "object" counts as none. A name that is not empty is the whole
// of `className`, so its data() is that NUL-terminated text.
std::string_view NamedClass(uint32_t type, const char* className);

// A parameter type as written in a function symbol name ("int", "Foo[]"):
// its type code and, for object types, its class name.
struct ParameterType {
  uint32_t type;
  std::string className;
};
ParameterType ParseParameterType(const std::string& text);

}  // namespace GSCompiler
