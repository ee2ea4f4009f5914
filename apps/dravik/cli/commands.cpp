#include "cli/commands.hpp"

#include <csignal>
#include <sstream>

#include "backend_catalog/backend_catalog.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::app {

std::filesystem::path product_home() {
  // Looked up once: every part of dravik uses the same home.
  static const bool known = files::home_directory().has_value();
  if (!known)
    throw RuntimeError("cannot tell your home directory: HOME is not set and the password database has no entry "
                       "for this user; set HOME to it");
  return provisioning::DRAVIK_HOME;
}

std::string unknown_runtime(const std::string& name) {
  const std::string key = config::lower(config::trim(name));
  std::string usable;
  for (const auto& [k, spec] : backend_catalog::RUNTIME_SPECS) {
    if (k == key) return "";
    if (spec.enabled) usable += (usable.empty() ? "" : ", ") + k;
  }
  std::string aliases;
  for (const auto& [alias, k] : backend_catalog::RUNTIME_ALIASES) {
    if (alias == key) return "";
    aliases += (aliases.empty() ? "" : ", ") + alias;
  }
  return "unknown runtime '" + text::escape_controls(name) + "': one of " + usable + " (or " + aliases + ")";
}

std::string shown_error(const std::string& what) {
  std::istringstream in(what);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(text::escape_controls(l));
  const std::size_t keep = 20;
  std::string out;
  if (lines.size() > keep) out = "... (" + std::to_string(lines.size() - keep) + " earlier lines)\n";
  for (std::size_t i = lines.size() > keep ? lines.size() - keep : 0; i < lines.size(); ++i)
    out += lines[i] + (i + 1 < lines.size() ? "\n" : "");
  return out;
}

namespace {

std::string ending_of(int status) {
  if (status >= 0) return "exited with code " + std::to_string(status);
  static const std::pair<int, const char*> kNames[] = {{SIGKILL, "SIGKILL"}, {SIGTERM, "SIGTERM"}, {SIGSEGV, "SIGSEGV"},
                                                       {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGILL, "SIGILL"},
                                                       {SIGFPE, "SIGFPE"},   {SIGINT, "SIGINT"},   {SIGHUP, "SIGHUP"}};
  std::string name = "signal " + std::to_string(-status);
  for (const auto& [sig, n] : kNames)
    if (sig == -status) name = n;
  return "was killed by " + name + " (exit status " + std::to_string(status) + ")";
}

// What llama-server prints on every launch of ours: the deprecated-option
// and CPU-build warnings and the CORS banner. They never explain an end.
bool routine_line(const std::string& line) {
  static const char* const kRoutine[] = {"DEPRECATED:", "warning: no usable GPU", "warning: one possible reason",
                                         "warning: consult docs", "llama_server: -----", "CORS is set",
                                         "this can be a security risk", "more info: https://github.com"};
  for (const char* r : kRoutine)
    if (line.find(r) != std::string::npos) return true;
  return false;
}

}  // namespace

std::string start_failure(const std::string& what, std::optional<int> exit_status, const std::vector<std::string>& log) {
  std::string report = exit_status ? "llama-server " + ending_of(*exit_status) : shown_error(what);
  std::vector<std::string> lines;
  for (const auto& l : log)
    if (!routine_line(l)) lines.push_back(l);
  const std::size_t keep = 8;
  if (lines.size() > keep) lines.erase(lines.begin(), lines.end() - keep);
  if (!lines.empty()) {
    report += "\nlast lines of llama-server:";
    for (const auto& l : lines) report += "\n  " + text::escape_controls(l);
  }
  return report;
}

}  // namespace dravik::app
