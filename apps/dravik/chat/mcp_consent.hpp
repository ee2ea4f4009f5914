// The MCP servers a chat session starts, with the user's agreement for
// those a project's configuration names.
#pragma once

#include <string>
#include <vector>

#include "mcp.hpp"
#include "output/output.hpp"
#include "settings/settings.hpp"

namespace dravik::app {

// The user's servers, and the project's ones the user agreed to: asked at
// a terminal (`can_ask`) and remembered in ~/.dravik/mcp-consent.json; on a
// pipe each is skipped with a line saying so.
std::vector<hostlib::McpServerConfig> agreed_mcp_servers(const ChatSettings& s, Output& out, bool can_ask);

// What a server runs, for the question: its command line, or its address.
std::string mcp_server_shown(const hostlib::McpServerConfig& c);

}  // namespace dravik::app
