// What the host asks of a running server besides its life: chat streams,
// prompt token counts, the child's state, and the plan of a launch.
#include "sidecar/sidecar.hpp"
#include "support/errors.hpp"
#include "support/http/http.hpp"
#include "support/process/process.hpp"

namespace dravik::sidecar {

namespace asio = boost::asio;

namespace {

constexpr std::chrono::seconds kCountTimeout{30};

// The request body's extras: the reasoning mode's, then the caller's over
// them.
std::optional<Json> merged_extras(std::optional<Json> base, const Json& extra) {
  if (!extra.is_object() || extra.empty()) return base;
  Json body = base && base->is_object() ? std::move(*base) : Json::object();
  for (auto it = extra.begin(); it != extra.end(); ++it) body[it.key()] = it.value();
  return body;
}

// The stream `chat_stream` returns: checks the endpoint and starts the
// request on the first `next`, then relays the host's chunks unchanged.
class LazyChatStream : public host::ChunkStream {
 public:
  LazyChatStream(SidecarClient& client, Json messages, bool use_tools, Json extra)
      : client_(client), messages_(std::move(messages)), use_tools_(use_tools), extra_(std::move(extra)) {}

  // Once started, the host's own operation is handed out directly: no extra
  // coroutine frame per chunk.
  asio::awaitable<std::optional<host::StreamChunk>> next() override {
    if (inner_) return inner_->next();
    return start_then_next();
  }

 private:
  asio::awaitable<std::optional<host::StreamChunk>> start_then_next() {
    host::isolation_policy().assert_endpoint_allowed(client_.base_url, "the llama.cpp runtime");
    inner_ = host::chat_protocol().stream_openai_chat(*client_._http, client_.base_url, "local", messages_,
                                                      use_tools_,
                                                      merged_extras(client_._reasoning_extra_body(), extra_));
    co_return co_await inner_->next();
  }

  SidecarClient& client_;
  Json messages_;
  bool use_tools_;
  Json extra_;
  std::unique_ptr<host::ChunkStream> inner_;
};

// {"content": <the rendered prompt>} from an "/apply-template" answer.
std::optional<Json> tokenize_request(const http::FullResponse& r) {
  if (r.status != 200) return std::nullopt;
  const Json v = Json::parse(r.body, nullptr, false);
  if (!v.is_object() || !v.contains("prompt") || !v["prompt"].is_string()) return std::nullopt;
  return Json{{"content", v["prompt"]}, {"parse_special", true}};
}

std::optional<std::int64_t> token_count(const http::FullResponse& r) {
  if (r.status != 200) return std::nullopt;
  const Json v = Json::parse(r.body, nullptr, false);
  if (!v.is_object() || !v.contains("tokens") || !v["tokens"].is_array()) return std::nullopt;
  return static_cast<std::int64_t>(v["tokens"].size());
}

}  // namespace

std::unique_ptr<host::ChunkStream> SidecarClient::chat_stream(Json messages, bool use_tools) {
  return chat_stream(std::move(messages), use_tools, Json::object());
}

std::unique_ptr<host::ChunkStream> SidecarClient::chat_stream(Json messages, bool use_tools, Json extra) {
  return std::make_unique<LazyChatStream>(*this, std::move(messages), use_tools, std::move(extra));
}

asio::awaitable<std::optional<std::int64_t>> SidecarClient::count_prompt_tokens(Json messages,
                                                                                std::optional<Json> tools) {
  host::isolation_policy().assert_endpoint_allowed(base_url, "the llama.cpp runtime");
  Json request = Json::object();
  request["messages"] = std::move(messages);
  if (tools) request["tools"] = std::move(*tools);
  try {
    auto rendered = co_await _http->post_json(base_url + "/apply-template", request, kCountTimeout);
    const std::optional<Json> tokenize = tokenize_request(rendered);
    if (!tokenize) co_return std::nullopt;
    const auto counted = co_await _http->post_json(base_url + "/tokenize", *tokenize, kCountTimeout);
    co_return token_count(counted);
  } catch (const http::TransportError&) {
    co_return std::nullopt;
  }
}

bool SidecarClient::server_running() { return _proc && !_proc->poll(); }

std::optional<pid_t> SidecarClient::server_pid() const {
  if (!_proc) return std::nullopt;
  return _proc->pid();
}

asio::awaitable<std::optional<int>> SidecarClient::server_exit_status(std::chrono::steady_clock::duration grace) {
  if (!_proc) co_return std::nullopt;
  co_return co_await _proc->wait_for(grace);
}

SidecarClient::LaunchPlan SidecarClient::plan_launch(std::optional<std::string> binary) const {
  LaunchPlan plan;
  plan.jetson = _is_jetson_platform();
  plan.resolved_device = _resolve_device();
  plan.memory_snapshot = _memory_snapshot();
  plan.largest_free_block_mb = _largest_free_block_mb();
  // Measured without compacting: compaction writes kernel controls.
  const bool cuda = plan.resolved_device == "cuda";
  plan.profile = _startup_profile_for_lfb(cuda ? plan.largest_free_block_mb : std::nullopt);
  if (binary) {
    plan.binary = std::move(binary);
  } else {
    try {
      plan.binary = _find_sidecar();
    } catch (const FileNotFoundError& e) {
      plan.binary_error = e.what();
    }
  }
  const std::string shown = plan.binary.value_or("llama-server");
  plan.environment = _launch_environment(shown, plan.resolved_device);
  plan.command = launch_command_preview(shown, cuda ? gpu_layers : 0, context_window_tokens, plan.profile.batch,
                                        plan.profile.ubatch, plan.profile.fit_off, plan.profile.no_warmup);
  return plan;
}

}  // namespace dravik::sidecar
