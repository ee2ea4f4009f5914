#include "settings/settings.hpp"

#include <unistd.h>

#include <cstdlib>

#include "backend_catalog/backend_catalog.hpp"
#include "cli/commands.hpp"
#include "dravik_host.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> tool_names() {
  std::vector<std::string> names;
  for (const Json& t : hostlib::tool_definitions()) names.push_back(t["function"]["name"].get<std::string>());
  return names;
}

std::optional<std::int64_t> integer_entry(const Json& cfg, const char* key) {
  const Json* v = config::find(cfg, key);
  if (!v || v->is_null()) return std::nullopt;
  return config::to_int64(*v, key);
}

std::string runtime_of(const Json& cfg, const std::string& file) {
  const Json* r = config::find(cfg, "runtime");
  if (r && r->is_string() && !config::trim(r->get<std::string>()).empty())
    if (const std::string bad = unknown_runtime(r->get<std::string>()); !bad.empty())
      throw ValueError("configuration " + file + ": " + bad);
  return backend_catalog::normalize_runtime(r ? std::optional<std::string>(config::text_form(*r)) : std::nullopt);
}

LocalServerSettings server_of(const Json& cfg) {
  LocalServerSettings s;
  // The model as the runtime factory reads it: the first set of
  // "llama_model" and "model"; else the catalog's choice for this board.
  Json as_local = cfg;
  as_local["runtime"] = "llama_cpp";
  const std::string model = backend_catalog::active_model_ref(as_local);
  s.model_configured = !model.empty();
  s.model = s.model_configured
                ? model
                : provisioning::recommend_direct_model(hostlib::LinuxHardwareProbe::probe())["target_path"].get<std::string>();
  if (auto port = integer_entry(cfg, "llama_port")) s.port = *port;
  if (const Json* d = config::find(cfg, "device"); d && !d->is_null()) s.device = config::text_form(*d);
  if (auto layers = integer_entry(cfg, "gpu_layers")) s.gpu_layers = *layers;
  return s;
}

}  // namespace

Json read_config_file(const fs::path& file, bool required) {
  Json cfg = Json::object();
  if (auto text = files::try_read_file(file.string())) {
    cfg = Json::parse(*text, nullptr, false);
    if (cfg.is_discarded() || !cfg.is_object()) throw ValueError("the configuration " + file.string() + " is not a JSON object");
  } else if (required) {
    throw FileNotFoundError("no configuration file at " + file.string());
  }
  return cfg;
}

ChatSettings resolve_chat_settings(const ChatOptions& o, bool one_shot) {
  ChatSettings s;
  s.home = product_home();
  s.workdir = fs::current_path();
  const fs::path file = o.config_file ? fs::path(*o.config_file) : s.home / "config.json";
  s.config_file = file.string();
  s.config = read_config_file(file, o.config_file.has_value());
  if (o.runtime) s.config["runtime"] = *o.runtime;
  if (o.model) s.config["llama_model"] = *o.model;
  if (o.airgapped) s.config["airgapped"] = true;

  s.runtime = runtime_of(s.config, s.config_file);
  // A bad "allow" or "deny" entry is reported before anything starts.
  s.approvals = Approvals(s.config, tool_names());
  s.airgapped = config::truthy(s.config.value("airgapped", Json(false)));
  s.auto_compact = config::is_set(s.config, "auto_compact");
  if (auto cap = integer_entry(s.config, "max_reply_tokens")) {
    if (*cap < 1) throw ValueError("max_reply_tokens must be a positive number of tokens, got " + std::to_string(*cap));
    s.reply_cap = *cap;
  }
  if (s.local()) s.server = server_of(s.config);

  // A bad "mcp_servers" entry of the user's is reported before anything
  // starts; a project's only costs its servers.
  s.mcp_servers = hostlib::mcp_servers_of(s.config, false);
  const fs::path project_file = s.workdir / ".dravik" / "config.json";
  std::error_code same_ec;
  if (!fs::equivalent(project_file, file, same_ec)) {
    try {
      // A name of the user's (also a server turned off) stays the user's.
      const Json* own = config::find(s.config, "mcp_servers");
      for (auto& c : hostlib::mcp_servers_of(read_config_file(project_file, false), true))
        if (!own || !own->is_object() || !own->contains(c.name)) s.mcp_servers.push_back(std::move(c));
    } catch (const std::exception& e) {
      s.mcp_project_problem = project_file.string() + ": " + e.what();
    }
  }

  if (const char* ms = std::getenv("DRAVIK_TEST_STALL_NOTICE_MS"); ms && std::atol(ms) > 0)
    s.stall_notice = std::chrono::milliseconds(std::atol(ms));
  s.sandbox = sandbox_of(s.config);
  s.no_sandbox = o.no_sandbox;
  s.yes = o.yes;
  s.json = o.json;
  s.resume = o.resume;
  s.fork = o.fork;
  s.prompt = o.prompt;
  s.model_url = o.model_url;
  s.interactive = !one_shot;
  s.color = !one_shot && ::isatty(1) == 1 && !std::getenv("NO_COLOR");
  return s;
}

hostlib::SandboxSettings sandbox_of(const Json& config) {
  hostlib::SandboxSettings s;
  // Variables that hold the configured API keys are never a command's.
  for (auto it = config.begin(); it != config.end(); ++it)
    if (it.value().is_string() && it.key().size() >= 11 && it.key().compare(it.key().size() - 11, 11, "api_key_env") == 0)
      s.secret_env.push_back(it.value().get<std::string>());
  const Json* sb = config::find(config, "sandbox");
  if (!sb) return s;
  const char* shape = R"("sandbox" must be like {"network": true, "writable": ["~/.cache/ccache"], "readable": ["~/.cargo"]})";
  if (!sb->is_object()) throw ValueError(shape);
  s.network = config::truthy(sb->value("network", Json(false)));
  const std::string home = files::home_directory().value_or("/");
  auto paths = [&](const char* key) {
    std::vector<fs::path> out;
    const Json* list = config::find(*sb, key);
    if (!list) return out;
    if (!list->is_array()) throw ValueError(shape);
    for (const Json& e : *list) {
      if (!e.is_string()) throw ValueError(shape);
      std::string p = e.get<std::string>();
      if (p == "~") p = home;
      else if (p.rfind("~/", 0) == 0) p = home + p.substr(1);
      if (!fs::path(p).is_absolute())
        throw ValueError(std::string("\"sandbox\": \"") + key + "\" paths start with / or ~/, got \"" + p + "\"");
      const fs::path normal = fs::path(p).lexically_normal();
      // Naming the root or the home (or a directory holding it) would undo
      // the sandbox.
      if (files::is_within(home, normal))
        throw ValueError(std::string("\"sandbox\": \"") + key + "\" cannot name " + normal.string() +
                         ", which holds your home directory; name the directories inside it that tools need");
      out.push_back(normal);
    }
    return out;
  };
  s.writable = paths("writable");
  s.readable = paths("readable");
  return s;
}

std::shared_ptr<hostlib::Sandbox> probe_sandbox(const fs::path& workdir, const hostlib::SandboxSettings& settings,
                                                bool turned_off) {
  const fs::path home = files::home_directory().value_or("");
  if (turned_off) return hostlib::Sandbox::turned_off(workdir, home, settings);
  const char* force = std::getenv("DRAVIK_TEST_SANDBOX");
  return hostlib::Sandbox::probe(workdir, home, settings, force ? force : "");
}

std::pair<std::int64_t, std::string> context_for(const std::string& model, const Json& config) {
  if (config::find(config, "context_window_tokens"))
    return {config::to_int64(config.at("context_window_tokens"), "context_window_tokens"), "set in the configuration"};
  const auto choice = provisioning::choose_context_window(model);
  return {choice.tokens, "chosen: " + choice.why};
}

std::pair<std::int64_t, std::string> cache_ram_for(const std::string& model, std::int64_t context_tokens,
                                                   const Json& config) {
  if (auto mib = integer_entry(config, "cache_ram_mib")) {
    if (*mib < 0) throw ValueError("cache_ram_mib must be 0 or more MiB, got " + std::to_string(*mib));
    return {*mib, "set in the configuration"};
  }
  return {provisioning::choose_cache_ram_mib(model, context_tokens),
          "chosen: a quarter of the memory left after the model and its KV cache"};
}

void resolve_context(ChatSettings& s) {
  if (s.local()) {
    std::tie(s.context_tokens, s.context_why) = context_for(s.server.model, s.config);
    std::tie(s.cache_ram_mib, s.cache_ram_why) = cache_ram_for(s.server.model, s.context_tokens, s.config);
  } else if (auto tokens = integer_entry(s.config, "context_window_tokens")) {
    s.context_tokens = *tokens;
    s.context_why = "set in the configuration";
  }
}

Json remote_runtime_config(const ChatSettings& s) {
  Json cfg = s.config;
  cfg["runtime"] = s.runtime;
  cfg["context_window_tokens"] = s.context_tokens;
  cfg["airgapped"] = s.airgapped;
  return cfg;
}

}  // namespace dravik::app
