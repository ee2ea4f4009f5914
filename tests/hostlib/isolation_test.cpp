// Air-gapped mode judged on parsed URLs, never on their text.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>

#include "dravik_host.hpp"
#include "fakes/test_http_server.hpp"
#include "support/http/http.hpp"

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

// ------------------------------------------------ redirects of a remote runtime

namespace {

namespace asio = boost::asio;
using dravik::testing::Conn;
using dravik::testing::RawRequest;
using dravik::testing::TestHttpServer;
using dravik::testing::run_until_done;

struct Uninstall {
  ~Uninstall() { host::install_host_services({}); }
};

void install_with(asio::io_context& io, bool airgapped) {
  hostlib::ServiceOptions so;
  so.workdir = std::filesystem::temp_directory_path();
  so.airgapped = airgapped;
  hostlib::install_services(io.get_executor(), so);
}

host::OpenAICompatibleOptions remote_options(const std::string& base_url) {
  host::OpenAICompatibleOptions o;
  o.model = "m";
  o.base_url = base_url;
  o.api_key = "sk-user-key";
  o.extra_headers = Json{{"X-Org-Token", "org-secret"}};
  return o;
}

// Runs `body` in a child process inside a network namespace of its own
// (what `unshare -rn` makes), with 10.1.2.3 on its loopback device: an
// address that is not loopback, yet reachable and contained. The child's
// findings come back through a pipe; an alarm bounds a hang. Returns
// nullopt when no namespace can be made here.
std::optional<std::string> in_own_network(const std::function<std::string()>& body) {
  int p[2];
  if (::pipe(p) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    ::alarm(60);
    auto say = [&](const std::string& s) {
      if (::write(p[1], s.data(), s.size()) < 0) {
      }
    };
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    bool made = ::unshare(CLONE_NEWNET) == 0;
    if (!made && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
      // Root of the new user namespace, as `unshare -r` maps it.
      auto put = [](const char* file, const std::string& text) {
        std::ofstream(file) << text;
      };
      put("/proc/self/setgroups", "deny");
      put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
      put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
      made = true;
    }
    if (!made || std::system("ip link set lo up && ip addr add 10.1.2.3/32 dev lo") != 0) {
      say("SKIP");
      ::_exit(0);
    }
    try {
      say(body());
    } catch (const std::exception& e) {
      say(std::string("unexpected error: ") + e.what());
    }
    ::_exit(0);
  }
  ::close(p[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(p[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return out + " (the child died: status " + std::to_string(status) + ")";
  if (out == "SKIP") return std::nullopt;
  return out;
}

}  // namespace

TEST(IsolationRedirects, AirGappedModeFollowsNoRedirectOffTheMachine) {
  auto report = in_own_network([]() -> std::string {
    std::string failures;
    auto check = [&](bool ok, const std::string& what) {
      if (!ok) failures += what + "\n";
    };
    asio::io_context io;
    install_with(io, true);
    Uninstall uninstall;
    // The host that is not this machine: it records whoever reaches it.
    std::vector<std::string> reached;
    asio::ip::tcp::acceptor far(io, asio::ip::tcp::endpoint(asio::ip::make_address("10.1.2.3"), 0));
    const std::string far_url = "http://10.1.2.3:" + std::to_string(far.local_endpoint().port());
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          for (;;) {
            auto s = co_await far.async_accept(asio::use_awaitable);
            std::string buf;
            co_await asio::async_read_until(s, asio::dynamic_buffer(buf), "\r\n\r\n", asio::use_awaitable);
            reached.push_back(buf.substr(0, buf.find("\r\n")));
            const std::string body = R"({"data":[]})";
            co_await asio::async_write(s,
                                       asio::buffer("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                                    "Content-Length: " + std::to_string(body.size()) +
                                                    "\r\nConnection: close\r\n\r\n" + body),
                                       asio::use_awaitable);
          }
        },
        asio::detached);
    // The address answers when named directly: the test would see a leak.
    http::Client raw(io.get_executor(), std::chrono::seconds(10));
    check(run_until_done(io, raw.get(far_url + "/v1/models")).status == 200, "10.1.2.3 is not reachable");
    reached.clear();

    TestHttpServer local(io.get_executor(), [&](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
      co_await c.respond(307, "", "text/plain", "Location: " + far_url + r.target + "\r\n");
    });
    hostlib::OpenAICompatibleClient client(io.get_executor(), remote_options(local.url("/v1")));
    try {
      run_until_done(io, client.verify());
      check(false, "verify followed the redirect");
    } catch (const host::AirgapViolationError& e) {
      check(std::string(e.what()).find("10.1.2.3") != std::string::npos, std::string("unclear refusal: ") + e.what());
    }
    auto stream = client.chat_stream(Json::array({Json{{"role", "user"}, {"content", "hi"}}}), false);
    try {
      run_until_done(io, stream->next());
      check(false, "the chat stream followed the redirect");
    } catch (const host::AirgapViolationError&) {
    } catch (const std::exception& e) {
      check(false, std::string("the chat stream followed the redirect: ") + e.what());
    }
    check(local.requests().size() == 2, "the loopback server was not asked twice");
    for (const auto& r : reached) failures += "reached off the machine: " + r + "\n";
    return failures;
  });
  if (!report) GTEST_SKIP() << "no network namespace can be made here";
  EXPECT_EQ(*report, "");
}

TEST(IsolationRedirects, TheKeyAndExtraHeadersStayWithTheConfiguredServer) {
  asio::io_context io;
  install_with(io, false);
  Uninstall uninstall;
  TestHttpServer other(io.get_executor(), [](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    if (r.path() == "/v1/models") co_await c.respond(200, R"({"data":[]})");
    else
      co_await c.respond(200,
                         "data: {\"choices\":[{\"delta\":{\"content\":\"x\"}}]}\n\ndata: [DONE]\n\n",
                         "text/event-stream");
  });
  TestHttpServer configured(io.get_executor(), [&](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(307, "", "text/plain", "Location: " + other.url(r.target) + "\r\n");
  });
  hostlib::OpenAICompatibleClient client(io.get_executor(), remote_options(configured.url("/v1")));
  run_until_done(io, client.verify());
  auto stream = client.chat_stream(Json::array({Json{{"role", "user"}, {"content", "hi"}}}), false);
  EXPECT_TRUE(run_until_done(io, stream->next()));
  ASSERT_EQ(configured.requests().size(), 2u);
  ASSERT_EQ(other.requests().size(), 2u);
  for (const auto& r : configured.requests()) {
    EXPECT_EQ(r.header("Authorization"), "Bearer sk-user-key");
    EXPECT_EQ(r.header("X-Org-Token"), "org-secret");
  }
  for (const auto& r : other.requests()) {
    EXPECT_FALSE(r.header("Authorization")) << r.target;
    EXPECT_FALSE(r.header("X-Org-Token")) << r.target;
  }
  EXPECT_EQ(other.requests()[1].header("Content-Type"), "application/json");
}
