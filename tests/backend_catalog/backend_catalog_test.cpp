#include "backend_catalog/backend_catalog.hpp"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "fakes/host_doubles.hpp"
#include "support/errors.hpp"

using namespace dravik;
using namespace dravik::backend_catalog;
using dravik::testing::FakeCompatibleClient;
using dravik::testing::FakeCompatibleClients;
using dravik::testing::RecordingIsolationPolicy;

namespace {

class Factory : public ::testing::Test {
 protected:
  boost::asio::io_context io;
  std::shared_ptr<RecordingIsolationPolicy> policy = std::make_shared<RecordingIsolationPolicy>();
  std::shared_ptr<FakeCompatibleClients> apis = std::make_shared<FakeCompatibleClients>();

  void SetUp() override {
    host::HostServices s;
    s.isolation_policy = policy;
    s.compatible_api_clients = apis;
    host::install_host_services(s);
    ::unsetenv("OPENROUTER_SITE_URL");
    ::unsetenv("OPENROUTER_APP_NAME");
  }
  void TearDown() override { host::install_host_services({}); }

  std::unique_ptr<host::RuntimeClient> build(const Json& cfg) { return create_runtime_client(io.get_executor(), cfg); }
  sidecar::SidecarClient& sidecar_of(std::unique_ptr<host::RuntimeClient>& c) {
    auto* s = dynamic_cast<sidecar::SidecarClient*>(c.get());
    EXPECT_NE(s, nullptr);
    return *s;
  }
  host::OpenAICompatibleOptions api_of(const std::unique_ptr<host::RuntimeClient>& c) {
    auto* f = dynamic_cast<FakeCompatibleClient*>(c.get());
    EXPECT_NE(f, nullptr);
    return f ? f->options : host::OpenAICompatibleOptions{};
  }
  std::string error_of(const Json& cfg) {
    try {
      build(cfg);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

const std::string kDisabled =
    " is disabled in this simplified build. Supported runtimes are llama.cpp, OpenAI-compatible APIs, and OpenRouter.";

}  // namespace

TEST(Catalog, TablesHoldTheFiveRuntimesAndFiveAliases) {
  ASSERT_EQ(RUNTIME_SPECS.size(), 5u);
  for (const auto& [key, spec] : RUNTIME_SPECS) EXPECT_EQ(key, spec.key);
  const auto& llama = RUNTIME_SPECS[0].second;
  EXPECT_EQ(llama, (RuntimeSpec{"llama_cpp", "Local model: llama.cpp (GGUF)", "llama_model", true, true, true, true, true}));
  EXPECT_EQ(RUNTIME_SPECS[4].second.label, "TensorRT-LLM (disabled in simplified build)");
  EXPECT_EQ(RUNTIME_ALIASES.size(), 5u);
  EXPECT_EQ(DEFAULT_RUNTIME, "llama_cpp");
}

TEST(Catalog, NormalizationTrimsLowerCasesAndFallsBack) {
  EXPECT_EQ(normalize_runtime(std::nullopt), "llama_cpp");
  EXPECT_EQ(normalize_runtime(""), "llama_cpp");
  EXPECT_EQ(normalize_runtime("   "), "llama_cpp");
  EXPECT_EQ(normalize_runtime("  OpenAI \t"), "openai_compatible");
  EXPECT_EQ(normalize_runtime("UNIFIED_API"), "openrouter");
  EXPECT_EQ(normalize_runtime("ollama"), "llama_cpp");
  EXPECT_EQ(normalize_runtime("local"), "llama_cpp");
  EXPECT_EQ(normalize_runtime("SGLang"), "sglang");
  EXPECT_EQ(normalize_runtime("TRTLLM_PYTORCH"), "trtllm_pytorch");
  EXPECT_FALSE(runtime_spec("TRTLLM_PYTORCH").enabled);
  // The shared record, not a copy.
  EXPECT_EQ(&runtime_spec("openrouter"), &RUNTIME_SPECS[2].second);
}

TEST(Catalog, OptionsListOnlyEnabledSetupRuntimesInOrder) {
  EXPECT_EQ(runtime_options(), (std::vector<std::pair<std::string, std::string>>{
                                   {"Local model: llama.cpp (GGUF)", "llama_cpp"},
                                   {"Self-hosted API: OpenAI-compatible", "openai_compatible"},
                                   {"Hosted API: OpenRouter", "openrouter"}}));
}

TEST(Catalog, ActiveModelRefPrefersTheRuntimeKeyThenModel) {
  EXPECT_EQ(active_model_ref(Json::object()), "");
  EXPECT_EQ(active_model_ref({{"llama_model", "  /m/a.gguf "}}), "/m/a.gguf");
  EXPECT_EQ(active_model_ref({{"runtime", "openrouter"}, {"openrouter_model", ""}, {"model", " x/y "}}), "x/y");
  EXPECT_EQ(active_model_ref({{"runtime", "openrouter"}, {"openrouter_model", "   "}, {"model", "x/y"}}), "");
  EXPECT_EQ(active_model_ref({{"runtime", nullptr}, {"llama_model", 42}}), "42");  // "None": default runtime
  EXPECT_EQ(active_model_ref({{"llama_model", 0}, {"model", true}}), "True");
  EXPECT_EQ(active_model_ref({{"llama_model", Json::array({1})}}), "[1]");
  EXPECT_THROW(active_model_ref(Json::array()), TypeError);
  EXPECT_THROW(active_model_ref("cfg"), TypeError);
}

TEST(Catalog, StringDictTrimsAndDropsEmpties) {
  Json in = {{" X-A ", " v "}, {"X-Empty", "  "}, {"  ", "no key"}, {"X-Null", nullptr}, {"X-N", 3}};
  EXPECT_EQ(_string_dict(in).dump(), R"({"X-A":"v","X-Null":"None","X-N":"3"})");
  EXPECT_EQ(_string_dict(Json::array({1, 2})), Json::object());
  EXPECT_EQ(_string_dict(nullptr), Json::object());
  EXPECT_EQ(_mapping(Json{{"a", 1}}), (Json{{"a", 1}}));
  EXPECT_EQ(_mapping("text"), Json::object());
}

TEST_F(Factory, LlamaCppIsTheDefaultAndNeedsAModel) {
  auto c = build({{"model", " /m/q.gguf "}});
  auto& s = sidecar_of(c);
  EXPECT_EQ(s.model, "/m/q.gguf");
  EXPECT_EQ(s.device, "auto");
  EXPECT_EQ(s.gpu_layers, 99);
  EXPECT_EQ(s.context_window_tokens, 2048);
  EXPECT_EQ(s.base_url, "http://127.0.0.1:8080");
  EXPECT_EQ(error_of(Json::object()), "Missing model for llama.cpp runtime (`llama_model` or `model`).");
  EXPECT_THROW(build({{"llama_model", "   "}}), ValueError);
  auto unknown = build({{"runtime", "vllm"}, {"llama_model", "m"}, {"gpu_layers", "20"}, {"device", " CPU "}});
  EXPECT_EQ(sidecar_of(unknown).gpu_layers, 20);
  EXPECT_EQ(sidecar_of(unknown).device, "cpu");
  EXPECT_TRUE(policy->endpoint_checks.empty());  // checked at start, not here
}

TEST_F(Factory, DisabledRuntimesAreRefusedBeforeAnythingElse) {
  EXPECT_EQ(error_of({{"runtime", "sglang"}, {"context_window_tokens", nullptr}}),
            "SGLang (disabled in simplified build)" + kDisabled);
  EXPECT_THROW(build({{"runtime", " TRTLLM_PYTORCH "}}), ValueError);
}

TEST_F(Factory, ContextWindowIsConvertedForEveryRuntime) {
  auto c = build({{"model", "m"}, {"context_window_tokens", "4096"}});
  EXPECT_EQ(sidecar_of(c).context_window_tokens, 4096);
  for (const char* runtime : {"llama_cpp", "openai_compatible", "openrouter"}) {
    EXPECT_THROW(build({{"runtime", runtime}, {"model", "m"}, {"context_window_tokens", nullptr}}), TypeError);
    EXPECT_THROW(build({{"runtime", runtime}, {"model", "m"}, {"context_window_tokens", "lots"}}), ValueError);
  }
}

TEST_F(Factory, IntegerKeysAcceptEveryConvertibleKind) {
  struct Case {
    Json value;
    std::optional<std::int64_t> expected;  // nullopt: must throw
  };
  const std::vector<Case> cases = {
      {4096, 4096},  {true, 1},         {false, 0},          {2.9, 2},           {-2.9, -2},
      {" 30 ", 30},  {"+7", 7},         {"abc", {}},         {"3.5", {}},        {nullptr, {}},
      {Json::array(), {}}, {Json::object(), {}}, {Json(std::nan("")), {}}, {1e300, {}},
  };
  for (const auto& c : cases) {
    for (const char* key : {"context_window_tokens", "gpu_layers"}) {
      Json cfg = {{"model", "m"}, {key, c.value}};
      if (!c.expected) {
        EXPECT_THROW(build(cfg), Error) << key << "=" << c.value.dump();
        continue;
      }
      auto client = build(cfg);
      auto& s = sidecar_of(client);
      if (std::string(key) == "gpu_layers") EXPECT_EQ(s.gpu_layers, std::max<std::int64_t>(*c.expected, 0));
      else EXPECT_EQ(s.context_window_tokens, std::max<std::int64_t>(*c.expected, 512));
    }
  }
}

TEST_F(Factory, TheRuntimeKeyOfAnyKindIsReadAsText) {
  for (const Json& v : {Json(5), Json(true), Json(nullptr), Json::array({"openrouter"}), Json(1.5)}) {
    auto c = build({{"runtime", v}, {"model", "m"}});
    EXPECT_NE(dynamic_cast<sidecar::SidecarClient*>(c.get()), nullptr) << v.dump();
  }
}

TEST_F(Factory, OpenRouterIsRefusedWhenAirGapped) {
  policy->airgapped = true;
  try {
    build({{"runtime", "openrouter"}, {"openrouter_model", "x"}, {"openrouter_api_key", "k"}});
    FAIL();
  } catch (const host::AirgapViolationError& e) {
    EXPECT_STREQ(e.what(), "Air-gapped mode does not allow the OpenRouter runtime.");
  }
}

TEST_F(Factory, OpenRouterSettingsAndTheirFallbacks) {
  auto o = api_of(build({{"runtime", "unified_api"},
                         {"openrouter_base_url", ""},
                         {"openrouter_api_key", "   "},
                         {"openrouter_api_key_env", ""},
                         {"openrouter_extra_body", {{"provider", {{"order", {"a"}}}}}},
                         {"openrouter_verify_connection", "yes"}}));
  EXPECT_EQ(o.model, "");
  EXPECT_EQ(o.base_url, "https://openrouter.ai/api/v1");
  EXPECT_FALSE(o.api_key);
  EXPECT_EQ(o.api_key_env, "");
  EXPECT_FALSE(o.extra_headers);
  EXPECT_EQ(o.extra_body->dump(), R"({"provider":{"order":["a"]}})");
  EXPECT_TRUE(o.verify_connection);
  EXPECT_FALSE(o.airgapped);
  auto d = api_of(build({{"runtime", "openrouter"}, {"model", " m "}, {"openrouter_api_key", " k "}}));
  EXPECT_EQ(d.model, "m");
  EXPECT_EQ(d.api_key, "k");
  EXPECT_EQ(d.api_key_env, "OPENROUTER_API_KEY");
  EXPECT_FALSE(d.extra_body);
  EXPECT_FALSE(d.verify_connection);
}

TEST_F(Factory, OpenRouterHeadersComeFromConfigurationThenEnvironment) {
  ::setenv("OPENROUTER_SITE_URL", " https://env.example ", 1);
  ::setenv("OPENROUTER_APP_NAME", "EnvApp", 1);
  Json cfg = {{"openrouter_headers", {{"http-referer", "lower"}, {"X-Custom", " 1 "}}}, {"openrouter_app_name", "  "}};
  EXPECT_EQ(_openrouter_headers(cfg).dump(),
            R"({"http-referer":"lower","X-Custom":"1","HTTP-Referer":"https://env.example","X-Title":"EnvApp"})");
  cfg = {{"openrouter_headers", {{"HTTP-Referer", "configured"}}}, {"openrouter_app_name", "CfgApp"}};
  EXPECT_EQ(_openrouter_headers(cfg).dump(), R"({"HTTP-Referer":"configured","X-Title":"CfgApp"})");
  ::unsetenv("OPENROUTER_SITE_URL");
  ::unsetenv("OPENROUTER_APP_NAME");
  EXPECT_EQ(_openrouter_headers(Json::object()), Json::object());
}

TEST_F(Factory, OpenAICompatibleChecksItsEndpointOnlyWhenAirGapped) {
  auto o = api_of(build({{"runtime", "openai"}, {"openai_compatible_headers", {{"X-A", "1"}, {"X-B", ""}}}}));
  EXPECT_EQ(o.model, "");
  EXPECT_FALSE(o.base_url);
  EXPECT_EQ(o.api_key_env, "OPENAI_API_KEY");
  EXPECT_EQ(o.extra_headers->dump(), R"({"X-A":"1"})");
  EXPECT_TRUE(apis->normalize_calls.empty());

  policy->airgapped = true;
  auto g = api_of(build({{"runtime", "gateway"}, {"openai_compatible_model", "qwen"}}));
  EXPECT_TRUE(g.airgapped);
  ASSERT_EQ(apis->normalize_calls.size(), 1u);
  EXPECT_FALSE(apis->normalize_calls[0]);  // absent base URL passed as absent
  EXPECT_EQ(policy->endpoint_checks.back(),
            (std::pair<std::optional<std::string>, std::string>{"http://127.0.0.1:8000/v1",
                                                                  "the OpenAI-compatible runtime"}));
  policy->refuse = "endpoint not local";
  EXPECT_EQ(error_of({{"runtime", "self_hosted"}, {"openai_compatible_base_url", "https://api.example/v1"}}),
            "endpoint not local");
  EXPECT_EQ(apis->normalize_calls.back(), "https://api.example/v1");
}

TEST_F(Factory, ANonMapConfigurationIsATypeError) {
  EXPECT_THROW(build(Json::array()), TypeError);
  EXPECT_THROW(build(nullptr), TypeError);
}

TEST_F(Factory, RandomConfigurationsOnlyEverYieldAClientOrADocumentedError) {
  std::mt19937_64 rng(20261208);
  const std::vector<std::string> keys = {
      "runtime", "model", "llama_model", "openai_compatible_model", "openrouter_model", "context_window_tokens",
      "gpu_layers", "device", "openrouter_base_url", "openrouter_api_key", "openrouter_api_key_env",
      "openrouter_headers", "openrouter_extra_body", "openrouter_verify_connection", "openrouter_site_url",
      "openrouter_app_name", "openai_compatible_base_url", "openai_compatible_api_key",
      "openai_compatible_api_key_env", "openai_compatible_headers", "openai_compatible_extra_body",
      "openai_compatible_verify_connection"};
  const std::vector<std::string> texts = {"", " ", "openrouter", "OPENAI", "sglang", "llama_cpp", "12", " -3 ",
                                          "x\xff", "ü", "1e3", "cuda"};
  std::function<Json(int)> random_value = [&](int depth) -> Json {
    switch (rng() % (depth > 1 ? 6 : 8)) {
      case 0: return nullptr;
      case 1: return rng() % 2 == 0;
      case 2: return static_cast<std::int64_t>(rng()) >> (rng() % 64);
      case 3: return std::ldexp(static_cast<double>(rng() % 1000) - 500, static_cast<int>(rng() % 200) - 100);
      case 4:
      case 5: return texts[rng() % texts.size()];
      case 6: {
        Json a = Json::array();
        for (int i = 0, n = static_cast<int>(rng() % 3); i < n; ++i) a.push_back(random_value(depth + 1));
        return a;
      }
      default: {
        Json o = Json::object();
        for (int i = 0, n = static_cast<int>(rng() % 3); i < n; ++i) o[texts[rng() % texts.size()]] = random_value(depth + 1);
        return o;
      }
    }
  };
  int clients = 0, errors = 0;
  for (int i = 0; i < 3000; ++i) {
    Json cfg = Json::object();
    for (const auto& k : keys)
      if (rng() % 3 == 0) cfg[k] = random_value(0);
    policy->airgapped = rng() % 4 == 0;
    if (rng() % 5 == 0) policy->refuse = "refused";
    else policy->refuse.reset();
    try {
      auto c = build(cfg);
      ASSERT_TRUE(c);
      ++clients;
    } catch (const TypeError&) {
      ++errors;
    } catch (const ValueError&) {
      ++errors;
    } catch (const host::AirgapViolationError&) {
      ++errors;
    }
  }
  EXPECT_GT(clients, 100);
  EXPECT_GT(errors, 100);
}
