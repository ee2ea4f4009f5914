// Model Context Protocol servers: dravik as their client. Each configured
// server is started (a program spoken to over its standard input and
// output, or a streamable-HTTP endpoint), its tools are listed and offered
// to the model as SERVER__TOOL, and the model's calls of them are passed on.
//
// Everything a server sends is untrusted: messages are parsed within size
// and depth bounds, a server that does not answer in time is given up on,
// and requests a client may refuse (sampling, elicitation, roots) are
// refused at once with a JSON-RPC error.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "support/json.hpp"

namespace dravik::hostlib {

// One entry of "mcp_servers": a program (`command`, with `args` and extra
// `env`) or an endpoint (`url`, with `headers`).
struct McpServerConfig {
  std::string name;
  std::vector<std::string> argv;  // command and args; empty for an endpoint
  std::map<std::string, std::string> env;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::optional<std::vector<std::string>> tools;  // "tools": only these are offered
  bool from_project = false;                      // named by a project's configuration
  Json definition;                                // the entry as written, for consent
};

// The enabled servers of a configuration's "mcp_servers" (in its order); an
// entry that is not of either shape throws ValueError naming it.
std::vector<McpServerConfig> mcp_servers_of(const Json& config, bool from_project);

// The transport of one server's JSON-RPC messages. Messages that arrive go
// to `on_message` in order; `on_closed` says once that the server is gone
// for good (it exited, closed its output, sent something that is not
// JSON-RPC, or its endpoint failed), with why.
class McpTransport {
 public:
  using OnMessage = std::function<void(Json message)>;
  using OnClosed = std::function<void(std::string why)>;
  virtual ~McpTransport() = default;
  // Starts the conversation (a program is spawned here); throws what
  // prevents it.
  virtual void open(OnMessage on_message, OnClosed on_closed) = 0;
  // Queues one message; sent in order, without waiting for answers.
  virtual void send(Json message) = 0;
  // Gives up the answers still on their way (after a time-out or a
  // cancellation): an endpoint's open responses are dropped.
  virtual void abandon() {}
  // The protocol revision agreed in initialize (an endpoint names it in
  // every later request).
  virtual void set_protocol_version(std::string) {}
  // Ends the conversation and everything the server runs: bounded. A
  // server given up on (`at_once`) is not given its grace to quit.
  virtual boost::asio::awaitable<void> close(bool at_once = false) = 0;
  // What the server printed on its standard error lately, for messages.
  virtual std::string last_words() const { return ""; }
};

// Waits the client observes; tests shorten them.
struct McpLimits {
  std::chrono::milliseconds start{10000};  // start to tools listed, all servers at once
  std::chrono::milliseconds call{300000};  // one tools/call
  std::chrono::milliseconds grace{2000};   // stdin closed to SIGTERM, SIGTERM to SIGKILL
};

struct McpOptions {
  std::filesystem::path workdir;  // where programs run
  bool airgapped = false;         // loopback endpoints only; programs get the air-gapped environment
  McpLimits limits;
};

// One tool as the model sees it.
struct McpTool {
  std::string server, tool;  // the server's name, the tool's own name
  std::string exposed;       // SERVER__TOOL, as offered
  bool read_only = false;    // annotated readOnlyHint: true
  Json definition;           // OpenAI "tools" entry
};

struct McpCallResult {
  std::string text;
  bool ok = false;
};

// A server's state for /status.
struct McpServerStatus {
  std::string name;
  std::string state;  // "running", "stopped: why", "left out: why"
  std::size_t tools = 0;
  std::int64_t tokens = 0;  // about how many tokens its tools add to every request
};

// How many bytes of a tool's result reach the model: past it, the first and
// last halves are kept (as for shell output).
inline constexpr std::size_t kMcpOutputCap = 64 * 1024;

// Folds a tools/call result into the model's text: text content joined,
// images, audio and resources summarised (type and size), structuredContent
// as JSON, isError a failed call; capped at kMcpOutputCap.
McpCallResult mcp_result_text(const Json& result);

class McpServers {
 public:
  McpServers(boost::asio::any_io_executor ex, std::vector<McpServerConfig> servers, McpOptions options);
  ~McpServers();
  McpServers(const McpServers&) = delete;
  McpServers& operator=(const McpServers&) = delete;

  // Starts every server at once, within limits.start altogether. Returns
  // the one warning line naming those left out ("" when none was).
  boost::asio::awaitable<std::string> start();
  // Lists again the tools of servers that said their list changed.
  boost::asio::awaitable<void> refresh_tools();
  // The tools offered, in the servers' order.
  std::vector<McpTool> tools() const;
  // Their "tools" entries for a chat request.
  Json tool_definitions() const;
  const McpTool* find(const std::string& exposed) const;
  // Calls the tool. A server that is gone is started again, once in the
  // session; a failure is the result's text, naming the server. A
  // cancellation tells the server (notifications/cancelled) and propagates.
  boost::asio::awaitable<McpCallResult> call(std::string exposed, Json arguments);
  std::vector<McpServerStatus> status() const;
  // Ends every server (bounded: see McpLimits::grace).
  boost::asio::awaitable<void> stop();

  class Server;

 private:
  boost::asio::any_io_executor ex_;
  McpOptions options_;
  std::vector<std::unique_ptr<Server>> servers_;
};

// The transports of the two kinds of server.
std::unique_ptr<McpTransport> stdio_mcp_transport(boost::asio::any_io_executor ex, const McpServerConfig& config,
                                                  const McpOptions& options);
std::unique_ptr<McpTransport> http_mcp_transport(boost::asio::any_io_executor ex, const McpServerConfig& config,
                                                 const McpOptions& options);

}  // namespace dravik::hostlib
