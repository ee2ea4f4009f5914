#include "backend_catalog/backend_catalog.hpp"

#include <cstdlib>

#include "support/config.hpp"
#include "support/errors.hpp"

namespace dravik::backend_catalog {

using config::is_set;
using config::present;
using config::text_form;
using config::trim;

const std::vector<std::pair<std::string, RuntimeSpec>> RUNTIME_SPECS = {
    {"llama_cpp", {"llama_cpp", "Local model: llama.cpp (GGUF)", "llama_model", true, true, true, true, true}},
    {"openai_compatible",
     {"openai_compatible", "Self-hosted API: OpenAI-compatible", "openai_compatible_model", false, false, false, true,
      true}},
    {"openrouter", {"openrouter", "Hosted API: OpenRouter", "openrouter_model", false, false, false, true, true}},
    {"sglang", {"sglang", "SGLang (disabled in simplified build)", "sglang_model", false, false, false, false, false}},
    {"trtllm_pytorch",
     {"trtllm_pytorch", "TensorRT-LLM (disabled in simplified build)", "trtllm_model", false, false, false, false,
      false}},
};

const std::vector<std::pair<std::string, std::string>> RUNTIME_ALIASES = {
    {"openai", "openai_compatible"},   {"cloud", "openai_compatible"}, {"self_hosted", "openai_compatible"},
    {"gateway", "openai_compatible"}, {"unified_api", "openrouter"},
};

const std::string DEFAULT_RUNTIME = "llama_cpp";

namespace {

constexpr const char* kOpenRouterBase = "https://openrouter.ai/api/v1";

void require_map(const Json& cfg) {
  if (!cfg.is_object()) throw TypeError("the configuration must be a map");
}

// Text form, trimmed, of the first of the keys whose value is set; "".
std::string first_set(const Json& cfg, std::initializer_list<std::string> keys) {
  for (auto k : keys)
    if (is_set(cfg, k)) return trim(text_form(*config::find(cfg, k)));
  return "";
}

std::optional<std::string> non_empty(std::string s) {
  if (s.empty()) return std::nullopt;
  return s;
}

std::string text_if_set(const Json& cfg, const std::string& key) {
  return is_set(cfg, key) ? trim(text_form(*config::find(cfg, key))) : "";
}

std::string env_trimmed(const char* name) {
  const char* v = std::getenv(name);
  return v ? trim(v) : "";
}

std::optional<Json> non_empty_map(Json m) {
  if (m.empty()) return std::nullopt;
  return m;
}

Json entry(const Json& cfg, const std::string& key) { return config::find(cfg, key) ? cfg.at(key) : Json(); }

// The options of one of the two API runtimes; its settings are the
// configuration keys "<prefix>_model", "<prefix>_api_key", ...
host::OpenAICompatibleOptions api_options(const Json& cfg, const std::string& prefix, const char* default_key_env,
                                          std::optional<std::string> base_url, Json headers,
                                          std::int64_t context_window_tokens, bool airgapped) {
  host::OpenAICompatibleOptions o;
  o.model = first_set(cfg, {prefix + "_model", "model"});
  o.base_url = std::move(base_url);
  o.api_key = non_empty(text_if_set(cfg, prefix + "_api_key"));
  // Present but empty stays empty: the user switched the variable off.
  o.api_key_env = present(cfg, prefix + "_api_key_env") ? text_form(cfg.at(prefix + "_api_key_env")) : default_key_env;
  o.context_window_tokens = context_window_tokens;
  o.extra_headers = non_empty_map(std::move(headers));
  o.extra_body = non_empty_map(_mapping(entry(cfg, prefix + "_extra_body")));
  o.verify_connection = config::truthy(entry(cfg, prefix + "_verify_connection"));
  o.airgapped = airgapped;
  return o;
}

std::int64_t context_window_of(const Json& cfg) {
  return present(cfg, "context_window_tokens")
             ? config::to_int64(cfg.at("context_window_tokens"), "context_window_tokens")
             : 2048;
}

// The runtime key of `cfg`, refused when it is switched off in this build.
std::string enabled_runtime(const Json& cfg) {
  const std::string runtime =
      normalize_runtime(present(cfg, "runtime") ? text_form(cfg.at("runtime")) : DEFAULT_RUNTIME);
  const RuntimeSpec& spec = runtime_spec(runtime);
  if (!spec.enabled)
    throw ValueError(spec.label +
                     " is disabled in this simplified build. Supported runtimes are llama.cpp, OpenAI-compatible "
                     "APIs, and OpenRouter.");
  return runtime;
}

// The API runtime's options, its endpoint judged by the isolation policy.
host::OpenAICompatibleOptions checked_api_options(const Json& cfg, const std::string& runtime) {
  const std::int64_t context_window_tokens = context_window_of(cfg);
  const bool airgapped = host::isolation_policy().airgapped_from_cfg(cfg);
  if (runtime == "openrouter") {
    if (airgapped) throw host::AirgapViolationError("Air-gapped mode does not allow the OpenRouter runtime.");
    const std::string base =
        is_set(cfg, "openrouter_base_url") ? trim(text_form(cfg.at("openrouter_base_url"))) : std::string(kOpenRouterBase);
    return api_options(cfg, "openrouter", "OPENROUTER_API_KEY", base, _openrouter_headers(cfg), context_window_tokens,
                       airgapped);
  }
  auto base = non_empty(text_if_set(cfg, "openai_compatible_base_url"));
  if (airgapped) {
    auto& apis = host::compatible_api_clients();
    host::isolation_policy().assert_endpoint_allowed(apis._normalize_base_url(base), "the OpenAI-compatible runtime");
  }
  return api_options(cfg, "openai_compatible", "OPENAI_API_KEY", base,
                     _string_dict(entry(cfg, "openai_compatible_headers")), context_window_tokens, airgapped);
}

}  // namespace

std::string normalize_runtime(const std::optional<std::string>& value) {
  std::string v = value && !value->empty() ? *value : DEFAULT_RUNTIME;
  v = config::lower(trim(v));
  for (const auto& [alias, key] : RUNTIME_ALIASES)
    if (v == alias) {
      v = key;
      break;
    }
  for (const auto& [key, spec] : RUNTIME_SPECS)
    if (v == key) return key;
  return DEFAULT_RUNTIME;
}

const RuntimeSpec& runtime_spec(const std::optional<std::string>& value) {
  const std::string key = normalize_runtime(value);
  for (const auto& [k, spec] : RUNTIME_SPECS)
    if (k == key) return spec;
  return RUNTIME_SPECS.front().second;  // unreachable: normalize returns a key
}

std::vector<std::pair<std::string, std::string>> runtime_options() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [key, spec] : RUNTIME_SPECS)
    if (spec.show_in_setup && spec.enabled) out.emplace_back(spec.label, spec.key);
  return out;
}

std::string active_model_ref(const Json& cfg) {
  require_map(cfg);
  const std::string runtime = present(cfg, "runtime") ? text_form(cfg.at("runtime")) : DEFAULT_RUNTIME;
  const RuntimeSpec& spec = runtime_spec(runtime);
  return first_set(cfg, {spec.model_config_key, "model"});
}

Json _mapping(const Json& value) { return value.is_object() ? value : Json::object(); }

Json _string_dict(const Json& value) {
  Json out = Json::object();
  if (!value.is_object()) return out;
  for (auto it = value.begin(); it != value.end(); ++it) {
    std::string k = trim(it.key());
    std::string v = trim(text_form(it.value()));
    if (!k.empty() && !v.empty()) out[k] = v;
  }
  return out;
}

Json _openrouter_headers(const Json& cfg) {
  Json headers = _string_dict(entry(cfg, "openrouter_headers"));
  std::string referer = text_if_set(cfg, "openrouter_site_url");
  if (referer.empty()) referer = env_trimmed("OPENROUTER_SITE_URL");
  std::string title = text_if_set(cfg, "openrouter_app_name");
  if (title.empty()) title = env_trimmed("OPENROUTER_APP_NAME");
  if (!referer.empty() && !headers.contains("HTTP-Referer")) headers["HTTP-Referer"] = referer;
  if (!title.empty() && !headers.contains("X-Title")) headers["X-Title"] = title;
  return headers;
}

host::OpenAICompatibleOptions api_runtime_options(const Json& cfg) {
  require_map(cfg);
  const std::string runtime = enabled_runtime(cfg);
  if (runtime != "openrouter" && runtime != "openai_compatible")
    throw ValueError("the " + runtime_spec(runtime).label + " runtime is not an API runtime");
  return checked_api_options(cfg, runtime);
}

std::unique_ptr<host::RuntimeClient> create_runtime_client(boost::asio::any_io_executor ex, const Json& cfg,
                                                           sidecar::DiagnosticsHook diagnostics_hook) {
  require_map(cfg);
  const std::string runtime = enabled_runtime(cfg);
  if (runtime == "openrouter" || runtime == "openai_compatible") {
    // The options (and their refusals) first, the host's factory after.
    const host::OpenAICompatibleOptions options = checked_api_options(cfg, runtime);
    return host::compatible_api_clients().OpenAICompatibleClient(options);
  }

  const std::int64_t context_window_tokens = context_window_of(cfg);
  const bool airgapped = host::isolation_policy().airgapped_from_cfg(cfg);
  const std::string model = first_set(cfg, {"llama_model", "model"});
  if (model.empty()) throw ValueError("Missing model for llama.cpp runtime (`llama_model` or `model`).");
  const std::string device = present(cfg, "device") ? text_form(cfg.at("device")) : "auto";
  const std::int64_t gpu_layers = present(cfg, "gpu_layers") ? config::to_int64(cfg.at("gpu_layers"), "gpu_layers") : 99;
  return std::make_unique<sidecar::SidecarClient>(std::move(ex), model, "127.0.0.1", 8080, context_window_tokens,
                                                  device, gpu_layers, airgapped, std::move(diagnostics_hook));
}

}  // namespace dravik::backend_catalog
