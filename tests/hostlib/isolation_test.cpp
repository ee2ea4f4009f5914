// Air-gapped mode judged on parsed URLs, never on their text.
#include <gtest/gtest.h>

#include "dravik_host.hpp"

using namespace dravik;
using hostlib::LoopbackIsolationPolicy;

TEST(Isolation, OnlyLoopbackHostsPassWhenAirGapped) {
  LoopbackIsolationPolicy p(true);
  for (const char* ok : {"http://127.0.0.1:8080", "http://127.9.9.9/v1", "http://localhost:8000/v1",
                         "https://LOCALHOST", "http://[::1]:8080/v1"})
    EXPECT_NO_THROW(p.assert_endpoint_allowed(std::string(ok), "the test runtime")) << ok;
  for (const char* bad : {"http://127.0.0.1.evil.example", "http://localhost@evil.example", "http://10.0.0.5:8000",
                          "https://api.openai.com/v1", "http://localhost.evil.example", "not a url", "127.0.0.1:8080",
                          "http://[::2]/"})
    EXPECT_THROW(p.assert_endpoint_allowed(std::string(bad), "the test runtime"), host::AirgapViolationError) << bad;
  try {
    p.assert_endpoint_allowed(std::nullopt, "the OpenAI-compatible runtime");
    FAIL();
  } catch (const host::AirgapViolationError& e) {
    EXPECT_NE(std::string(e.what()).find("the OpenAI-compatible runtime"), std::string::npos);
  }
  LoopbackIsolationPolicy open(false);
  EXPECT_NO_THROW(open.assert_endpoint_allowed(std::string("https://api.openai.com/v1"), "x"));
}

TEST(Isolation, ConfigurationAndChildEnvironment) {
  LoopbackIsolationPolicy p(false);
  EXPECT_TRUE(p.airgapped_from_cfg(Json{{"airgapped", "yes"}}));
  EXPECT_FALSE(p.airgapped_from_cfg(Json{{"airgapped", 0}}));
  EXPECT_FALSE(p.airgapped_from_cfg(Json::object()));
  host::Environment env{{"HTTP_PROXY", "x"}, {"https_proxy", "y"}, {"PATH", "/bin"}};
  p.apply_airgap_env(env, false);
  EXPECT_EQ(env.size(), 3u);
  p.apply_airgap_env(env, true);
  EXPECT_FALSE(env.count("HTTP_PROXY") || env.count("https_proxy"));
  EXPECT_EQ(env.at("PATH"), "/bin");
  EXPECT_EQ(env.at("HF_HUB_OFFLINE"), "1");
}
