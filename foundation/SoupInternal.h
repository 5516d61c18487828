#pragma once
// Number and value spellings shared by the soup text form and the converters.
#include <cstdint>
#include <string>
#include <string_view>

namespace soup_detail {

// Decimal, optional leading '-', no other characters; false when out of range.
[[nodiscard]] bool ParseIntToken(std::string_view token, int32_t& out);
// A decimal float ("1.5", "-2e3", "7") or "inf", "-inf", "nan"; the whole token.
[[nodiscard]] bool ParseFloatToken(std::string_view token, float& out);
// An optional minus and decimal digits only (an integer, whatever its range).
[[nodiscard]] bool IsIntegerSpelling(std::string_view token);
void AppendInt(std::string& out, int32_t value);
// Shortest text that reads back as the same float; always marked as a float
// ("2.0", not "2"), and "nan", "inf", "-inf" for the special values.
void AppendFloat(std::string& out, float value);

}  // namespace soup_detail
