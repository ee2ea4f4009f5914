// Which MCP servers a session starts: every one of the user's configuration,
// and those of the project's own configuration that the user agreed to at
// a terminal. A repository must not start programs by being opened: its
// servers are asked about once per project and per definition (a changed
// definition is asked about again), and the answers are kept in the user's
// home, readable by the user alone.
#include "chat/mcp_consent.hpp"

#include <algorithm>

#include "approval/approvals.hpp"
#include "cli/console.hpp"
#include "session/state_seal.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

std::string consent_key(const fs::path& workdir, const hostlib::McpServerConfig& c) {
  std::error_code ec;
  fs::path project = fs::weakly_canonical(workdir, ec);
  if (ec) project = workdir;
  return sha256_of(project.string() + '\0' + c.name + '\0' + canonical_json(c.definition));
}

std::vector<std::string> agreed_keys(const fs::path& file) {
  std::vector<std::string> keys;
  const auto text = files::try_read_file(file.string());
  if (!text) return keys;
  const Json j = Json::parse(*text, nullptr, false);
  if (!j.is_object() || !j.contains("agreed") || !j.at("agreed").is_array()) return keys;
  for (const Json& k : j.at("agreed"))
    if (k.is_string()) keys.push_back(k.get<std::string>());
  return keys;
}

}  // namespace

std::string mcp_server_shown(const hostlib::McpServerConfig& c) {
  if (!c.url.empty()) return text::escape_unambiguous(c.url);
  std::vector<std::string> words;
  for (const auto& a : c.argv) words.push_back(text::escape_unambiguous(a));
  std::string shown = text::join(words, " ");
  for (const auto& [k, v] : c.env) shown = text::escape_unambiguous(k) + "=" + text::escape_unambiguous(v) + " " + shown;
  return shown;
}

std::vector<hostlib::McpServerConfig> agreed_mcp_servers(const ChatSettings& s, Output& out, bool can_ask) {
  if (!s.mcp_project_problem.empty())
    out.error("the project's MCP servers are left out: " + text::escape_controls(s.mcp_project_problem));
  std::vector<hostlib::McpServerConfig> servers;
  const fs::path file = s.home / "mcp-consent.json";
  std::vector<std::string> keys;
  bool read = false;
  for (const auto& c : s.mcp_servers) {
    if (!c.from_project) {
      servers.push_back(c);
      continue;
    }
    if (!read) {
      keys = agreed_keys(file);
      read = true;
    }
    const std::string key = consent_key(s.workdir, c);
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
      servers.push_back(c);
      continue;
    }
    const std::string what = "MCP server " + text::escape_unambiguous(c.name) + " of this project's .dravik/config.json";
    if (!can_ask) {
      out.note("(" + what + " not started: a project's server starts only once you agree at a terminal)");
      continue;
    }
    out.clear_status();
    out.note("The " + what + " would run: " + mcp_server_shown(c));
    if (!confirm("Start it? It is asked again only if its definition changes.")) {
      out.note("(" + what + " not started)");
      continue;
    }
    keys.push_back(key);
    Json saved = {{"agreed", keys}};
    try {
      files::create_private_directories(s.home.string());
      files::replace_file(file.string(), dump_json(saved, 2) + "\n", 0600);
    } catch (const std::exception& e) {
      out.error(std::string("your answer could not be kept, so it is asked again next time: ") + e.what());
    }
    servers.push_back(c);
  }
  return servers;
}

}  // namespace dravik::app
