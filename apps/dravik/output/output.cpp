#include "output/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <cstdio>

#include "output/sinks.hpp"
#include "provisioning/provisioning.hpp"
#include "settings/settings.hpp"
#include "support/config.hpp"

namespace dravik::app {

namespace {

std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

std::optional<std::int64_t> integer(const Json& o, const char* key) {
  const Json* v = config::find(o, key);
  if (v && v->is_number_integer()) return v->get<std::int64_t>();
  return std::nullopt;
}

}  // namespace

void ReplyFigures::take(const Json& chunk) {
  if (const Json* u = config::find(chunk, "usage"); u && u->is_object()) {
    if (auto v = integer(*u, "prompt_tokens")) prompt = v;
    if (auto v = integer(*u, "completion_tokens")) reply = v;
    if (const Json* d = config::find(*u, "prompt_tokens_details"); d && d->is_object())
      if (auto v = integer(*d, "cached_tokens")) cached = v;
  }
  if (const Json* t = config::find(chunk, "timings"); t && t->is_object()) {
    const auto cache_n = integer(*t, "cache_n"), prompt_n = integer(*t, "prompt_n");
    if (cache_n) cached = cache_n;
    if (!prompt && prompt_n) prompt = *prompt_n + cache_n.value_or(0);
    if (!reply) reply = integer(*t, "predicted_n");
    if (const Json* v = config::find(*t, "predicted_per_second"); v && v->is_number()) per_second = v->get<double>();
  }
}

std::string ReplyFigures::line() const {
  if (!prompt && !reply) return "";
  std::string s;
  if (prompt) s = count(*prompt) + " prompt tokens" + (cached ? " (" + count(*cached) + " from the cache)" : "");
  if (reply) {
    if (!s.empty()) s += ", ";
    s += count(*reply) + " reply tokens";
    if (per_second) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.1f", *per_second);
      s += std::string(" at ") + buf + " tokens/s";
    }
  }
  return s;
}

std::optional<std::string> Output::ask(const std::string&) { return std::nullopt; }
void Output::chunk(const Json&) {}
void Output::prompt_progress(std::int64_t, std::int64_t) {}
void Output::status(const std::string&) {}
void Output::clear_status() {}
void Output::done(bool, const std::string&) {}
void Output::before_prompt() {}
std::string Output::style(std::string_view) const { return ""; }

std::string sgr(std::string_view style) {
  std::string codes;
  bool background = false;
  std::size_t start = 0;
  while (start < style.size()) {
    auto end = style.find(' ', start);
    if (end == std::string_view::npos) end = style.size();
    const std::string_view word = style.substr(start, end - start);
    if (word == "bold") codes += ";1";
    else if (word == "on") background = true;
    else if (word.size() == 7 && word[0] == '#') {
      const auto hex = [&](std::size_t i) { return std::stoi(std::string(word.substr(i, 2)), nullptr, 16); };
      codes += (background ? ";48;2;" : ";38;2;") + std::to_string(hex(1)) + ";" + std::to_string(hex(3)) + ";" +
               std::to_string(hex(5));
      background = false;
    }
    start = end + 1;
  }
  return codes.empty() ? "" : "\x1b[" + codes.substr(1) + "m";
}

std::unique_ptr<Output> make_output(const ChatSettings& s) {
  if (s.json) return make_json_output();
  if (s.interactive) return make_terminal_output(s.color);
  return make_plain_output();
}

void emit(int fd, std::string_view text) {
  std::fflush(fd == 2 ? stderr : stdout);
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed terminal or pipe: nothing more to show
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace dravik::app
