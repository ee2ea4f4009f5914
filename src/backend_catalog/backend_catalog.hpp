// The runtime backends the host may use, name normalization, and the
// factory that builds the runtime client a configuration asks for.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "host_services/host_services.hpp"
#include "sidecar/sidecar.hpp"
#include "support/json.hpp"

namespace dravik::backend_catalog {

// One runtime backend. Immutable value record.
struct RuntimeSpec {
  std::string key;
  std::string label;
  std::string model_config_key;
  bool uses_gguf = false;
  bool uses_gpu_layers = false;
  bool supports_ollama = false;
  bool show_in_setup = true;
  bool enabled = true;
  bool operator==(const RuntimeSpec&) const = default;
};

// Insertion-ordered tables, fixed at load time.
extern const std::vector<std::pair<std::string, RuntimeSpec>> RUNTIME_SPECS;
extern const std::vector<std::pair<std::string, std::string>> RUNTIME_ALIASES;
extern const std::string DEFAULT_RUNTIME;

// One of the five keys of RUNTIME_SPECS: absent or "" gives the default;
// the text is trimmed and lower-cased, aliases are resolved, unknown names
// give the default.
std::string normalize_runtime(const std::optional<std::string>& value);
// The shared record of the normalized runtime.
const RuntimeSpec& runtime_spec(const std::optional<std::string>& value);
// (label, key) of the runtimes offered in the set-up menu, in catalog order.
std::vector<std::pair<std::string, std::string>> runtime_options();
// The model reference the configuration selects, trimmed, or "".
// Throws TypeError when `cfg` is not a map.
std::string active_model_ref(const Json& cfg);

// A copy of `value` if it is a map, else an empty map.
Json _mapping(const Json& value);
// Map of trimmed text forms; entries whose key or value trims to "" are
// dropped; a non-map gives an empty map.
Json _string_dict(const Json& value);

// The runtime client for `cfg`: a SidecarClient for "llama_cpp" (on `ex`),
// the host's OpenAICompatibleClient for the two API runtimes. Throws
// ValueError for a disabled runtime or a llama.cpp runtime without a model,
// TypeError/ValueError for an unconvertible "context_window_tokens" or
// "gpu_layers", AirgapViolationError for OpenRouter in air-gapped mode, and
// whatever the isolation policy raises for a refused endpoint.
std::unique_ptr<host::RuntimeClient> create_runtime_client(boost::asio::any_io_executor ex, const Json& cfg,
                                                           sidecar::DiagnosticsHook diagnostics_hook = {});
// The options of an API runtime ("openai_compatible" or "openrouter") for
// `cfg`, checked as `create_runtime_client` checks them; a ValueError for
// the llama.cpp runtime. A host that builds its own client starts here.
host::OpenAICompatibleOptions api_runtime_options(const Json& cfg);
// Extra HTTP headers for OpenRouter: the configured ones, plus
// "HTTP-Referer" and "X-Title" from the configuration or the environment.
Json _openrouter_headers(const Json& cfg);

}  // namespace dravik::backend_catalog
