#include "cli/commands.hpp"

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

}  // namespace dravik::app
