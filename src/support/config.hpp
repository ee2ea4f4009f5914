// Helpers over configuration maps and JSON-like values: truthiness, the
// "present"/"set" tests, the text form of any value and integer conversion.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/json.hpp"

namespace dravik::config {

// Truth value of a JSON value: false for null, false, 0, 0.0, "" and empty
// lists or maps; true for everything else.
bool truthy(const Json& value) noexcept;

// The key exists in `cfg` (a map); false when `cfg` is not a map.
bool present(const Json& cfg, std::string_view key);

// The key exists and its value is truthy.
bool is_set(const Json& cfg, std::string_view key);

// Value at `key`, or nullptr when `cfg` is not a map or lacks the key.
const Json* find(const Json& cfg, std::string_view key);

// Text form: text as is, integers in decimal, floats in shortest round-trip
// form (see format_float), booleans "True"/"False", null "None", lists and
// maps as compact JSON.
std::string text_form(const Json& value);

// The text form for display of a value that may be hostile (model-written):
// the same as text_form for text and numbers, and for lists and maps the
// same compact JSON cut short past `max_depth` levels and `max_length`
// bytes (marked "..."), produced without recursion so that no nesting depth
// can exhaust the stack.
std::string bounded_text_form(const Json& value, std::size_t max_length = 65536, std::size_t max_depth = 64);

// A JSON integer in the signed 64-bit range; nullopt for anything else
// (floats, booleans, text, integers from 2^63 up).
std::optional<std::int64_t> json_int64(const Json& value);

// Shortest round-trip decimal form of a double that keeps ".0" on whole
// numbers and switches to exponent form from 1e16 up and below 1e-4
// ("1.0", "0.1", "1e+16", "1e-05", "inf", "nan").
std::string format_float(double value);

// Integer conversion of a configuration value: integers as is, booleans as
// 0/1, floats truncated toward zero, text as optional ASCII blanks, an
// optional sign and decimal digits. Throws TypeError for null, lists and maps,
// ValueError for unparsable text, NaN, infinities and out-of-range values.
// `what` names the value in the message.
std::int64_t to_int64(const Json& value, std::string_view what = "value");

// Parses an integer text as to_int64 does (nullopt when it does not parse).
std::optional<std::int64_t> parse_int64(std::string_view text);

// `value` rounded to 2 decimal places the way printf("%.2f") rounds the
// exact binary value (ties to even: 2.675 -> 2.67).
double round2(double value);

// ASCII whitespace trim and lower-casing.
std::string trim(std::string_view text);
std::string lower(std::string_view text);

}  // namespace dravik::config
