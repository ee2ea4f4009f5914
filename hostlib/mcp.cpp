// The MCP client: each server's JSON-RPC conversation (initialize, the tool
// list, tool calls, what the server asks of us), and the set of servers a
// chat uses.
#include "mcp.hpp"

#include <algorithm>
#include <cctype>
#include <set>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <spdlog/spdlog.h>

#include "isolation.hpp"
#include "support/async.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/log.hpp"
#include "support/text.hpp"
#include "text_tools.hpp"

namespace dravik::hostlib {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

std::shared_ptr<spdlog::logger> logger() {
  static auto l = log::get_logger("mcp");
  return l;
}

// The revision asked for, and the earlier ones a server may answer with.
constexpr const char* kRevision = "2025-11-25";
constexpr const char* kRevisions[] = {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};

// Bounds on what one server may offer.
constexpr int kMaxListPages = 64;
constexpr std::size_t kMaxTools = 256;
constexpr std::size_t kMaxDescription = 2000;
constexpr std::size_t kMaxSchema = 16 * 1024;
// OpenAI function names: [A-Za-z0-9_-], at most 64 characters.
constexpr std::size_t kMaxName = 64;

// A name as a piece of a function name: other characters become "_".
std::string name_piece(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-')) c = '_';
  return out;
}

std::string string_or(const Json& object, const char* key, std::string fallback = "") {
  const Json* v = config::find(object, key);
  return v && v->is_string() ? v->get<std::string>() : fallback;
}

// The first and last halves of `text` when it is longer than `cap` bytes.
std::string capped(std::string text, std::size_t cap) {
  if (text.size() <= cap) return text;
  const std::size_t half = cap / 2;
  const std::size_t cut = text.size() - 2 * half;
  return text::sanitize_utf8(std::string_view(text).substr(0, half)) + text::cut_note(cut) +
         text::sanitize_utf8(std::string_view(text).substr(text.size() - half));
}

// The bytes base64 text stands for.
std::size_t decoded_size(const std::string& b64) {
  std::size_t n = b64.size(), pad = 0;
  while (n > 0 && (b64[n - 1] == '=' || b64[n - 1] == '\n')) {
    pad += b64[n - 1] == '=';
    --n;
  }
  return (n + pad) / 4 * 3 - pad;
}

// "[image: image/png, 1,024 bytes]" and the like.
std::string summary(const std::string& what, const Json& item, const std::string& data_key) {
  std::string s = "[" + what;
  if (const std::string mime = string_or(item, "mimeType"); !mime.empty()) s += ": " + mime;
  if (const Json* d = config::find(item, data_key.c_str()); d && d->is_string())
    s += ", " + std::to_string(data_key == "blob" || data_key == "data" ? decoded_size(d->get<std::string>())
                                                                        : d->get<std::string>().size()) +
         " bytes";
  return s + "]";
}

std::string content_text(const Json& item) {
  const std::string type = string_or(item, "type");
  if (type == "text") return string_or(item, "text");
  if (type == "image" || type == "audio") return summary(type, item, "data");
  if (type == "resource_link") {
    std::string s = "[resource link: " + string_or(item, "uri");
    if (const std::string name = string_or(item, "name"); !name.empty()) s += " (" + name + ")";
    return s + "]";
  }
  if (type == "resource") {
    const Json* r = config::find(item, "resource");
    if (!r || !r->is_object()) return "[resource]";
    const bool text = config::find(*r, "text") != nullptr;
    return summary("resource " + string_or(*r, "uri"), *r, text ? "text" : "blob");
  }
  return "[" + (type.empty() ? std::string("content") : type) + "]";
}

}  // namespace

McpCallResult mcp_result_text(const Json& result) {
  if (!result.is_object()) return {"The tool's server gave no result.", false};
  std::vector<std::string> parts;
  bool has_structured_text = false;
  const Json* structured = config::find(result, "structuredContent");
  if (const Json* content = config::find(result, "content"); content && content->is_array()) {
    for (const Json& item : *content) {
      if (!item.is_object()) continue;
      parts.push_back(content_text(item));
      // A server that gives structured content usually gives its JSON as
      // text too: once is enough.
      if (structured && string_or(item, "type") == "text") {
        auto same = parse_chunk(parts.back());
        has_structured_text = has_structured_text || (same && *same == *structured);
      }
    }
  }
  if (structured && !structured->is_null() && !has_structured_text) parts.push_back(dump_json(*structured));
  std::string text = text::join(parts, "\n");
  const Json* is_error = config::find(result, "isError");
  const bool failed = is_error && *is_error == Json(true);
  if (text.empty()) text = failed ? "The tool failed and said nothing." : "(no output)";
  return {capped(std::move(text), kMcpOutputCap), !failed};
}

std::vector<McpServerConfig> mcp_servers_of(const Json& config, bool from_project) {
  std::vector<McpServerConfig> out;
  const Json* all = config::find(config, "mcp_servers");
  if (!all || all->is_null()) return out;
  const std::string shape =
      R"(each is like {"command": "node", "args": ["server.js"], "env": {"K": "V"}} or {"url": "http://127.0.0.1:3001/mcp", "headers": {"Authorization": "..."}})";
  if (!all->is_object()) throw ValueError("configuration: \"mcp_servers\" must map server names to servers; " + shape);
  for (auto it = all->begin(); it != all->end(); ++it) {
    const std::string& name = it.key();
    const Json& e = it.value();
    auto fail = [&](const std::string& why) {
      return ValueError("configuration: MCP server " + dump_json(name) + ": " + why + "; " + shape);
    };
    if (!e.is_object()) throw fail("not a map");
    // The name is the first part of its tools' names, up to the first "__".
    const bool plain = !name.empty() && name.find("__") == std::string::npos && name.front() != '_' &&
                       name.back() != '_' && name_piece(name) == name && name.size() <= 32;
    if (!plain)
      throw fail("a name is up to 32 letters, digits, \"-\" and \"_\", without \"__\" and not starting or ending with \"_\"");
    if (const Json* en = config::find(e, "enabled"); en && !en->is_null() && !config::truthy(*en)) continue;
    McpServerConfig c;
    c.name = name;
    c.from_project = from_project;
    c.definition = e;
    const Json* command = config::find(e, "command");
    const Json* url = config::find(e, "url");
    if ((command != nullptr) == (url != nullptr)) throw fail("give either \"command\" or \"url\"");
    auto strings = [&](const char* key) {
      std::vector<std::string> v;
      const Json* list = config::find(e, key);
      if (!list || list->is_null()) return v;
      if (!list->is_array()) throw fail(std::string("\"") + key + "\" must be a list of strings");
      for (const Json& s : *list) {
        if (!s.is_string()) throw fail(std::string("\"") + key + "\" must be a list of strings");
        v.push_back(s.get<std::string>());
      }
      return v;
    };
    auto pairs = [&](const char* key) {
      std::vector<std::pair<std::string, std::string>> v;
      const Json* map = config::find(e, key);
      if (!map || map->is_null()) return v;
      if (!map->is_object()) throw fail(std::string("\"") + key + "\" must map names to strings");
      for (auto kv = map->begin(); kv != map->end(); ++kv) {
        if (!kv.value().is_string()) throw fail(std::string("\"") + key + "\" must map names to strings");
        v.emplace_back(kv.key(), kv.value().get<std::string>());
      }
      return v;
    };
    if (command) {
      if (!command->is_string() || config::trim(command->get<std::string>()).empty())
        throw fail("\"command\" must be a program");
      c.argv.push_back(command->get<std::string>());
      for (auto& a : strings("args")) c.argv.push_back(std::move(a));
      for (auto& [k, v] : pairs("env")) c.env[k] = v;
    } else {
      if (!url->is_string() || !(text::starts_with(url->get<std::string>(), "http://") ||
                                 text::starts_with(url->get<std::string>(), "https://")))
        throw fail("\"url\" must be an http:// or https:// address");
      c.url = url->get<std::string>();
      c.headers = pairs("headers");
    }
    if (const Json* t = config::find(e, "tools"); t && !t->is_null()) c.tools = strings("tools");
    out.push_back(std::move(c));
  }
  return out;
}

// ------------------------------------------------------------ one server

class McpServers::Server {
 public:
  Server(asio::any_io_executor ex, McpServerConfig config, const McpOptions& options)
      : ex_(std::move(ex)), config_(std::move(config)), options_(options) {}

  const std::string& name() const { return config_.name; }
  bool alive() const { return transport_ && alive_; }
  const std::string& why() const { return why_; }
  const std::vector<McpTool>& tools() const { return tools_; }
  bool stale() const { return stale_ && alive(); }
  bool restarted = false;  // started again once after it stopped
  std::string left_out;    // why it never started

  // Starts the server and lists its tools, all before `deadline`. Throws
  // RuntimeError saying why it cannot be used.
  asio::awaitable<void> start(Clock::time_point deadline) {
    co_await close_transport(true);
    if (!config_.url.empty() && options_.airgapped && !is_loopback_url(config_.url))
      throw RuntimeError("air-gapped mode allows only loopback addresses, not " + config_.url);
    transport_ = config_.url.empty() ? stdio_mcp_transport(ex_, config_, options_)
                                     : http_mcp_transport(ex_, config_, options_);
    alive_ = true;
    why_.clear();
    try {
      transport_->open([this](Json m) { on_message(std::move(m)); }, [this](std::string why) { on_closed(std::move(why)); });
    } catch (const FileNotFoundError&) {
      alive_ = false;
      throw RuntimeError("its program " + config_.argv[0] + " was not found");
    }
    Json params = {{"protocolVersion", kRevision},
                   {"capabilities", Json::object()},
                   {"clientInfo", {{"name", "dravik"}, {"version", "1"}}}};
    const Json init = co_await request("initialize", std::move(params), deadline);
    const std::string version = string_or(init, "protocolVersion");
    if (std::find(std::begin(kRevisions), std::end(kRevisions), version) == std::end(kRevisions))
      throw RuntimeError("it speaks protocol revision \"" + text::escape_controls(version) +
                         "\", which dravik does not (it knows " + kRevision + " and earlier ones)");
    if (!alive()) throw RuntimeError("it was stopped");
    transport_->set_protocol_version(version);
    transport_->send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    co_await list_tools(deadline);
  }

  asio::awaitable<void> list_tools(Clock::time_point deadline) {
    std::vector<McpTool> listed;
    std::set<std::string> seen;
    std::string cursor;
    stale_ = false;
    for (int page = 0; page < kMaxListPages; ++page) {
      Json params = Json::object();
      if (!cursor.empty()) params["cursor"] = cursor;
      const Json result = co_await request("tools/list", std::move(params), deadline);
      const Json* list = config::find(result, "tools");
      if (list && list->is_array())
        for (const Json& t : *list)
          if (auto tool = tool_of(t); tool && listed.size() < kMaxTools && seen.insert(tool->exposed).second)
            listed.push_back(std::move(*tool));
      cursor = string_or(result, "nextCursor");
      if (cursor.empty()) break;
    }
    tools_ = std::move(listed);
  }

  // One request and its result. Throws RuntimeError naming the server for
  // an error answer, a server that stops meanwhile, or no answer by
  // `deadline`; a cancellation tells the server and propagates.
  asio::awaitable<Json> request(std::string method, Json params, Clock::time_point deadline) {
    if (!alive()) throw RuntimeError("it stopped: " + why_);
    const std::int64_t id = ++next_id_;
    auto pending = std::make_shared<Pending>(ex_);
    pending->timer.expires_at(deadline);
    pending_[id] = pending;
    transport_->send({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}});
    boost::system::error_code ec;
    co_await pending->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    pending_.erase(id);
    if (pending->answer) {
      const Json& a = *pending->answer;
      if (const Json* e = config::find(a, "error")) {
        const std::string message = e->is_object() ? string_or(*e, "message", "an error") : "an error";
        throw RuntimeError("it answered " + method + " with an error: " + text::escape_controls(message));
      }
      const Json* r = config::find(a, "result");
      co_return r ? *r : Json::object();
    }
    if (!alive()) throw RuntimeError("it stopped: " + why_);
    bool cancelled = false;
    try {
      co_await async::throw_if_cancelled();
    } catch (const boost::system::system_error&) {
      cancelled = true;
    }
    // Told, so that it stops the work; its answer, if it comes, is dropped.
    transport_->send({{"jsonrpc", "2.0"},
                      {"method", "notifications/cancelled"},
                      {"params", {{"requestId", id}, {"reason", cancelled ? "cancelled by the user" : "timed out"}}}});
    transport_->abandon();
    if (cancelled) co_await async::throw_if_cancelled();
    throw RuntimeError("it did not answer " + method + " in time");
  }

  asio::awaitable<void> close_transport(bool at_once = false) {
    if (!transport_) co_return;
    alive_ = false;
    fail_pending();
    auto t = std::move(transport_);
    co_await t->close(at_once);
  }

  std::string stopped_text() const { return "MCP server " + name() + " stopped: " + why_; }

 private:
  struct Pending {
    explicit Pending(const asio::any_io_executor& ex) : timer(ex) {}
    asio::steady_timer timer;
    std::optional<Json> answer;
  };

  std::optional<McpTool> tool_of(const Json& t) const {
    const std::string tool = string_or(t, "name");
    if (tool.empty()) return std::nullopt;
    if (config_.tools && std::find(config_.tools->begin(), config_.tools->end(), tool) == config_.tools->end())
      return std::nullopt;
    McpTool m;
    m.server = name();
    m.tool = tool;
    m.exposed = name_piece(name()) + "__" + name_piece(tool);
    if (m.exposed.size() > kMaxName) {
      logger()->warn("MCP server {}: tool {} left out: its name is too long", name(), text::escape_controls(tool));
      return std::nullopt;
    }
    if (const Json* a = config::find(t, "annotations"); a && a->is_object())
      m.read_only = a->value("readOnlyHint", Json(false)) == Json(true);
    Json schema = Json{{"type", "object"}, {"properties", Json::object()}};
    if (const Json* s = config::find(t, "inputSchema"); s && s->is_object()) schema = *s;
    // It goes into every request: a schema larger than any real tool's
    // would fill the context.
    if (dump_json(schema).size() > kMaxSchema) {
      logger()->warn("MCP server {}: tool {} left out: its input schema is too large", name(), text::escape_controls(tool));
      return std::nullopt;
    }
    Json function = Json::object();
    function["name"] = m.exposed;
    function["description"] = text::sanitize_utf8(text::prefix(string_or(t, "description"), kMaxDescription));
    function["parameters"] = std::move(schema);
    m.definition = Json{{"type", "function"}, {"function", std::move(function)}};
    return m;
  }

  void on_message(Json m) {
    // Closing: what it still says is of no use.
    if (!transport_) return;
    const Json* method = config::find(m, "method");
    const Json* id = config::find(m, "id");
    if (method && method->is_string()) {
      const std::string name = method->get<std::string>();
      if (id && !id->is_null()) {
        // What the server asks of us: only ping is answered; sampling,
        // elicitation, roots and the rest are refused at once.
        Json reply = {{"jsonrpc", "2.0"}, {"id", *id}};
        if (name == "ping") reply["result"] = Json::object();
        else
          reply["error"] = {{"code", -32601}, {"message", "dravik does not offer " + name}};
        transport_->send(std::move(reply));
      } else if (name == "notifications/tools/list_changed") {
        stale_ = true;
      }
      return;
    }
    if (!id || !id->is_number_integer()) return;
    auto it = pending_.find(id->get<std::int64_t>());
    if (it == pending_.end()) return;  // an answer given up on
    it->second->answer = std::move(m);
    it->second->timer.cancel();
  }

  void on_closed(std::string why) {
    alive_ = false;
    why_ = std::move(why);
    if (transport_)
      if (std::string words = transport_->last_words(); !words.empty()) {
        // Its last line says most.
        words = words.substr(words.find_last_of('\n') == std::string::npos ? 0 : words.find_last_of('\n') + 1);
        why_ += " (it said: " + text::escape_controls(text::prefix(words, 200)) + ")";
      }
    logger()->warn("MCP server {} stopped: {}", name(), why_);
    fail_pending();
  }

  void fail_pending() {
    for (auto& [id, p] : pending_) p->timer.cancel();
  }

  asio::any_io_executor ex_;
  McpServerConfig config_;
  const McpOptions& options_;
  std::unique_ptr<McpTransport> transport_;
  bool alive_ = false;
  bool stale_ = false;
  std::string why_;
  std::int64_t next_id_ = 0;
  std::map<std::int64_t, std::shared_ptr<Pending>> pending_;
  std::vector<McpTool> tools_;
};

// ----------------------------------------------------------- the servers

namespace {

// Runs `task(i)` for every index at once and waits until all have ended.
template <class Task>
asio::awaitable<void> all_at_once(const asio::any_io_executor& ex, std::size_t n, Task task) {
  if (n == 0) co_return;
  auto left = std::make_shared<std::size_t>(n);
  auto done = std::make_shared<asio::steady_timer>(ex, Clock::time_point::max());
  for (std::size_t i = 0; i < n; ++i)
    asio::co_spawn(ex, task(i), [left, done](std::exception_ptr) {
      if (--*left == 0) done->cancel();
    });
  boost::system::error_code ec;
  while (*left > 0) co_await done->async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

}  // namespace

McpServers::McpServers(asio::any_io_executor ex, std::vector<McpServerConfig> servers, McpOptions options)
    : ex_(std::move(ex)), options_(std::move(options)) {
  for (auto& c : servers) servers_.push_back(std::make_unique<Server>(ex_, std::move(c), options_));
}

McpServers::~McpServers() = default;

asio::awaitable<std::string> McpServers::start() {
  const auto deadline = Clock::now() + options_.limits.start;
  co_await all_at_once(ex_, servers_.size(), [this, deadline](std::size_t i) -> asio::awaitable<void> {
    Server& s = *servers_[i];
    auto e = co_await async::attempt(s.start(deadline));
    if (!e) co_return;
    s.left_out = error_text(e);
    co_await s.close_transport(true);
  });
  co_await async::throw_if_cancelled();
  std::vector<std::string> failed;
  for (const auto& s : servers_)
    if (!s->left_out.empty()) failed.push_back(s->name() + " (" + s->left_out + ")");
  co_return failed.empty() ? "" : "MCP servers left out: " + text::join(failed, "; ");
}

asio::awaitable<void> McpServers::refresh_tools() {
  for (auto& s : servers_) {
    if (!s->stale()) continue;
    auto r = co_await async::attempt(s->list_tools(Clock::now() + options_.limits.start));
    if (r) logger()->warn("MCP server {}: its tools could not be listed again", s->name());
  }
}

std::vector<McpTool> McpServers::tools() const {
  std::vector<McpTool> all;
  for (const auto& s : servers_)
    if (s->left_out.empty())
      for (const auto& t : s->tools())
        if (find(t.exposed) == &t) all.push_back(t);
  return all;
}

Json McpServers::tool_definitions() const {
  Json defs = Json::array();
  for (const auto& t : tools()) defs.push_back(t.definition);
  return defs;
}

const McpTool* McpServers::find(const std::string& exposed) const {
  for (const auto& s : servers_)
    if (s->left_out.empty())
      for (const auto& t : s->tools())
        if (t.exposed == exposed) return &t;
  return nullptr;
}

asio::awaitable<McpCallResult> McpServers::call(std::string exposed, Json arguments) {
  const McpTool* found = find(exposed);
  if (!found) co_return McpCallResult{"No MCP tool is called " + exposed + ".", false};
  const std::string server = found->server, tool = found->tool;
  if (arguments.is_null()) arguments = Json::object();
  if (!arguments.is_object())
    co_return McpCallResult{"Not run: the arguments of " + exposed + " must be a JSON object, got " +
                                config::bounded_text_form(arguments, 200) + ".",
                            false};
  Server* s = nullptr;
  for (auto& each : servers_)
    if (each->name() == server) s = each.get();
  if (!s->alive()) {
    if (s->restarted) co_return McpCallResult{s->stopped_text() + " (it was started again once already).", false};
    s->restarted = true;
    const std::string before = s->stopped_text();
    std::exception_ptr started;
    try {
      co_await s->start(Clock::now() + options_.limits.start);
    } catch (...) {
      started = std::current_exception();
    }
    if (started && !is_ordinary_error(started)) {
      // Cancelled half-way: a server that is not ready is not kept.
      co_await asio::this_coro::reset_cancellation_state();
      co_await s->close_transport(true);
      std::rethrow_exception(started);
    }
    if (started) {
      co_await s->close_transport(true);
      co_return McpCallResult{before + "; starting it again failed: " + error_text(started), false};
    }
    logger()->info("MCP server {} started again", server);
  }
  Json params = {{"name", tool}, {"arguments", std::move(arguments)}};
  auto r = co_await async::attempt(s->request("tools/call", std::move(params), Clock::now() + options_.limits.call));
  if (r.error) co_return McpCallResult{"MCP server " + server + ": " + error_text(r.error), false};
  co_return mcp_result_text(*r.value);
}

std::vector<McpServerStatus> McpServers::status() const {
  std::vector<McpServerStatus> out;
  for (const auto& s : servers_) {
    McpServerStatus st;
    st.name = s->name();
    if (!s->left_out.empty()) {
      st.state = "left out: " + s->left_out;
    } else if (!s->alive()) {
      st.state = "stopped: " + s->why();
    } else {
      st.state = "running";
    }
    if (s->left_out.empty()) {
      st.tools = s->tools().size();
      std::size_t chars = 0;
      for (const auto& t : s->tools()) chars += dump_json(t.definition).size();
      st.tokens = static_cast<std::int64_t>(chars / 3);
    }
    out.push_back(std::move(st));
  }
  return out;
}

asio::awaitable<void> McpServers::stop() {
  co_await all_at_once(ex_, servers_.size(), [this](std::size_t i) { return servers_[i]->close_transport(); });
}

}  // namespace dravik::hostlib
