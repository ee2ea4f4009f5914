#include "support/config.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <vector>

#include "support/errors.hpp"

namespace dravik::config {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string kind_name(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "an integer";
    case Json::value_t::number_float: return "a float";
    case Json::value_t::string: return "a text";
    case Json::value_t::array: return "a list";
    case Json::value_t::object: return "a map";
    default: return "an unsupported value";
  }
}

}  // namespace

bool truthy(const Json& v) noexcept {
  switch (v.type()) {
    case Json::value_t::null: return false;
    case Json::value_t::boolean: return v.get<bool>();
    case Json::value_t::number_integer: return v.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned: return v.get<std::uint64_t>() != 0;
    case Json::value_t::number_float: return v.get<double>() != 0.0;  // NaN is truthy
    case Json::value_t::string: return !v.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object: return !v.empty();
    default: return true;
  }
}

const Json* find(const Json& cfg, std::string_view key) {
  if (!cfg.is_object()) return nullptr;
  auto it = cfg.find(key);
  return it == cfg.end() ? nullptr : &*it;
}

bool present(const Json& cfg, std::string_view key) { return find(cfg, key) != nullptr; }

bool is_set(const Json& cfg, std::string_view key) {
  const Json* v = find(cfg, key);
  return v != nullptr && truthy(*v);
}

std::string format_float(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";

  // Shortest round-trip digits in scientific form: "-d.ddde+XX".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  auto epos = sci.find('e');
  std::string mant = sci.substr(0, epos);
  int exp = std::stoi(sci.substr(epos + 1));
  std::string digits;
  for (char c : mant)
    if (c != '.') digits += c;

  if (exp >= 16 || exp < -4) {
    std::string out = sign + digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    return out + ebuf;
  }
  std::string out;
  if (exp < 0) {
    out = "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
  } else {
    auto int_len = static_cast<std::size_t>(exp) + 1;
    if (digits.size() <= int_len) {
      out = digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  return sign + out;
}

std::string text_form(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "None";
    case Json::value_t::boolean: return v.get<bool>() ? "True" : "False";
    case Json::value_t::number_integer: return std::to_string(v.get<std::int64_t>());
    case Json::value_t::number_unsigned: return std::to_string(v.get<std::uint64_t>());
    case Json::value_t::number_float: return format_float(v.get<double>());
    case Json::value_t::string: return v.get<std::string>();
    default: return dump_json(v);
  }
}

std::string bounded_text_form(const Json& value, std::size_t max_length, std::size_t max_depth) {
  if (!value.is_structured()) return text_form(value);
  // An explicit stack of (container, next position) replaces recursion.
  struct Frame {
    const Json* container;
    Json::const_iterator it;
    bool first = true;
  };
  std::string out;
  std::vector<Frame> stack;
  auto too_long = [&] { return out.size() > max_length; };
  auto open = [&](const Json& v) {
    if (stack.size() >= max_depth) {
      out += v.is_array() ? "[...]" : "{...}";
      return;
    }
    out += v.is_array() ? '[' : '{';
    stack.push_back({&v, v.cbegin()});
  };
  open(value);
  while (!stack.empty() && !too_long()) {
    Frame& f = stack.back();
    if (f.it == f.container->cend()) {
      out += f.container->is_array() ? ']' : '}';
      stack.pop_back();
      continue;
    }
    if (!f.first) out += ',';
    f.first = false;
    const bool object = f.container->is_object();
    if (object) out += dump_json(Json(f.it.key())) + ":";
    const Json& v = *f.it;
    ++f.it;
    if (v.is_structured()) open(v);
    else out += dump_json(v);
  }
  if (too_long() || !stack.empty()) {
    // Cut on a UTF-8 boundary.
    std::size_t cut = std::min(out.size(), max_length);
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += "...";
  }
  return out;
}

std::optional<std::int64_t> json_int64(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::nullopt;
}

std::optional<std::int64_t> parse_int64(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && is_blank(text[b])) ++b;
  while (e > b && is_blank(text[e - 1])) --e;
  std::string_view t = text.substr(b, e - b);
  if (t.empty()) return std::nullopt;
  bool neg = false;
  if (t[0] == '+' || t[0] == '-') {
    neg = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return std::nullopt;
  for (char c : t)
    if (c < '0' || c > '9') return std::nullopt;
  // Parse the magnitude as unsigned so that INT64_MIN is accepted.
  std::uint64_t mag = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), mag);
  if (r.ec != std::errc()) return std::nullopt;
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (neg) {
    if (mag > max + 1) return std::nullopt;
    return mag == max + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(mag);
  }
  if (mag > max) return std::nullopt;
  return static_cast<std::int64_t>(mag);
}

std::int64_t to_int64(const Json& v, std::string_view what) {
  const std::string name(what);
  switch (v.type()) {
    case Json::value_t::boolean: return v.get<bool>() ? 1 : 0;
    case Json::value_t::number_integer: return v.get<std::int64_t>();
    case Json::value_t::number_unsigned: {
      auto u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw ValueError(name + ": integer " + std::to_string(u) + " is out of range");
      return static_cast<std::int64_t>(u);
    }
    case Json::value_t::number_float: {
      double d = v.get<double>();
      if (std::isnan(d) || std::isinf(d))
        throw ValueError(name + ": cannot convert " + format_float(d) + " to an integer");
      double t = std::trunc(d);
      // 2^63 is exactly representable; anything at or above it does not fit.
      if (t >= 9223372036854775808.0 || t < -9223372036854775808.0)
        throw ValueError(name + ": " + format_float(d) + " is out of the integer range");
      return static_cast<std::int64_t>(t);
    }
    case Json::value_t::string: {
      auto r = parse_int64(v.get_ref<const std::string&>());
      if (!r)
        throw ValueError(name + ": invalid integer text '" + v.get<std::string>() + "'");
      return *r;
    }
    default:
      throw TypeError(name + ": expected an integer, got " + kind_name(v));
  }
}

double round2(double value) {
  if (!std::isfinite(value)) return value;
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.2f", value);
  return std::strtod(buf, nullptr);
}

std::string trim(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && is_blank(text[b])) ++b;
  while (e > b && is_blank(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace dravik::config
