#include "support/http/http.hpp"

#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include "fakes/test_http_server.hpp"
#include "host_services/host_services.hpp"
#include "support/errors.hpp"

using namespace std::chrono_literals;
using dravik::Json;
using dravik::testing::Conn;
using dravik::testing::RawRequest;
using dravik::testing::run_until_done;
using dravik::testing::TestHttpServer;
namespace asio = boost::asio;
namespace http = dravik::http;

namespace {

class HttpClientTest : public ::testing::Test {
 protected:
  asio::io_context io;
  // As every client of the libraries is built: redirects judged by the
  // installed isolation policy.
  http::Client client{io.get_executor(), 5s, dravik::host::policy_redirect_check()};
};

}  // namespace

TEST_F(HttpClientTest, GetReadsAWholeBodyAndHeaders) {
  TestHttpServer server(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(200, R"({"status":"ok"})", "application/json", "X-Test: yes\r\n");
  });
  auto r = run_until_done(io, client.get(server.url("/health")));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, R"({"status":"ok"})");
  EXPECT_EQ(server.requests().at(0).target, "/health");
}

TEST_F(HttpClientTest, PostJsonSendsTheBodyWithItsContentType) {
  TestHttpServer server(io.get_executor(), [](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(200, r.body);
  });
  Json body = {{"filename", "kv_cache.bin"}, {"ü", 1}};
  auto r = run_until_done(io, client.post_json(server.url("/slots/0?action=save"), body));
  EXPECT_EQ(Json::parse(r.body), body);
  const auto& req = server.requests().at(0);
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.target, "/slots/0?action=save");
  EXPECT_EQ(req.header("Content-Type"), "application/json");
}

TEST_F(HttpClientTest, ChunkedBodyArrivesPieceByPiece) {
  // The server sends the second piece only after the client has seen the
  // first: a client that buffered the whole body would wait forever.
  asio::steady_timer first_seen(io, asio::steady_timer::time_point::max());
  TestHttpServer server(io.get_executor(), [&](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n");
    co_await c.write(Conn::chunk("data: one\n\n"));
    boost::system::error_code ec;
    co_await first_seen.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    co_await c.write(Conn::chunk("data: two\n\n") + "0\r\n\r\n");
  });
  auto pieces = run_until_done(io, [&]() -> asio::awaitable<std::vector<std::string>> {
    http::Request req;
    req.url = server.url("/stream");
    auto resp = co_await client.send(std::move(req));
    std::vector<std::string> got;
    while (auto p = co_await resp.read_some()) {
      got.push_back(*p);
      first_seen.cancel();
    }
    co_return got;
  }());
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0], "data: one\n\n");
  EXPECT_EQ(pieces[1], "data: two\n\n");
}

TEST_F(HttpClientTest, FollowsRelativeAndAbsoluteRedirects) {
  TestHttpServer target(io.get_executor(), [](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(200, "landed at " + r.target + " via " + r.method);
  });
  const std::string abs = target.url("/final?x=1");
  TestHttpServer server(io.get_executor(), [&](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    if (r.path() == "/a") co_await c.respond(302, "", "text/plain", "Location: /b\r\n");
    else co_await c.respond(303, "", "text/plain", "Location: " + abs + "\r\n");
  });
  auto r = run_until_done(io, client.post_json(server.url("/a"), Json::object()));
  EXPECT_EQ(r.status, 200);
  // 302 and 303 turn the POST into a GET without a body.
  EXPECT_EQ(r.body, "landed at /final?x=1 via GET");
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[1].target, "/b");
}

TEST_F(HttpClientTest, RedirectLoopsAreBounded) {
  TestHttpServer server(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(302, "", "text/plain", "Location: /again\r\n");
  });
  http::Request req;
  req.url = server.url("/");
  req.max_redirects = 3;
  auto r = run_until_done(io, client.fetch(req));
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(HttpClientTest, RefusedConnectionIsAConnectError) {
  std::uint16_t port;
  {
    asio::ip::tcp::acceptor a(io, {asio::ip::make_address("127.0.0.1"), 0});
    port = a.local_endpoint().port();
  }
  EXPECT_THROW(run_until_done(io, client.get("http://127.0.0.1:" + std::to_string(port) + "/health")),
               http::ConnectError);
}

TEST_F(HttpClientTest, SlowResponsesTimeOutPerRequestAndPerClient) {
  TestHttpServer server(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.sleep(3s);
    co_await c.respond(200, "late");
  });
  EXPECT_THROW(run_until_done(io, client.get(server.url("/"), 100ms)), http::RequestTimeoutError);
  http::Client impatient(io.get_executor(), 100ms);
  EXPECT_THROW(run_until_done(io, impatient.get(server.url("/"))), http::RequestTimeoutError);
}

TEST_F(HttpClientTest, APeerClosingMidBodyIsAReadError) {
  TestHttpServer server(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b");
    c.close();
  });
  EXPECT_THROW(run_until_done(io, client.get(server.url("/"))), http::ReadError);
}

TEST_F(HttpClientTest, AClosedConnectionBeforeAnyResponseIsAReadError) {
  TestHttpServer server(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    c.close();
    co_return;
  });
  EXPECT_THROW(run_until_done(io, client.get(server.url("/"))), http::ReadError);
}

TEST_F(HttpClientTest, AMalformedStatusLineIsAProtocolError) {
  TestHttpServer server(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.write("HTTP/1.1 two hundred OK\r\nContent-Length: 0\r\n\r\n");
  });
  EXPECT_THROW(run_until_done(io, client.get(server.url("/"))), http::ProtocolError);
}

TEST_F(HttpClientTest, CancellationPropagatesAsCancellation) {
  TestHttpServer server(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.sleep(10s);
  });
  asio::cancellation_signal sig;
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(io, client.get(server.url("/")),
                 asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr e, http::FullResponse) {
                   error = e;
                   done = true;
                 }));
  asio::steady_timer t(io, 50ms);
  t.async_wait([&](auto) { sig.emit(asio::cancellation_type::terminal); });
  while (!done) io.run_one();
  ASSERT_TRUE(error);
  EXPECT_TRUE(dravik::is_cancellation(error));
  EXPECT_FALSE(dravik::is_ordinary_error(error));
}

TEST_F(HttpClientTest, AClosedClientRefusesNewRequests) {
  client.close();
  EXPECT_THROW(run_until_done(io, client.get("http://127.0.0.1:1/")), dravik::RuntimeError);
}

TEST_F(HttpClientTest, BadUrlsAreValueErrors) {
  EXPECT_THROW(run_until_done(io, client.get("ftp://example.org/x")), dravik::ValueError);
  EXPECT_THROW(run_until_done(io, client.get("not a url")), dravik::ValueError);
}

TEST_F(HttpClientTest, ATricklingAnswerCannotOutlastTheWholeRequestTimeOut) {
  // One byte every 30 ms: each read is quick, the whole answer is not.
  TestHttpServer server(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    const std::string all = "HTTP/1.1 200 OK\r\nContent-Length: 40\r\nConnection: close\r\n\r\n" + std::string(40, 'x');
    for (char ch : all) {
      if (c.peer_closed()) co_return;
      co_await c.write(std::string(1, ch));
      co_await c.sleep(30ms);
    }
  });
  EXPECT_THROW(run_until_done(io, client.get(server.url("/slots/0"), 300ms)), http::RequestTimeoutError);
}

TEST_F(HttpClientTest, ClosingTheConnectionsEndsOpenStreamsWithAReadError) {
  TestHttpServer server(io.get_executor(), [](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    if (r.target == "/again") {
      co_await c.respond(200, "{}");
      co_return;
    }
    co_await c.write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n");
    co_await c.write(Conn::chunk("data: one\n\n"));
    while (!c.peer_closed()) co_await c.sleep(10ms);
  });
  run_until_done(io, [&]() -> asio::awaitable<void> {
    http::Request req;
    req.url = server.url("/v1/chat/completions");
    auto resp = co_await client.send(req);
    EXPECT_TRUE(co_await resp.read_some());
    asio::steady_timer t(io, 50ms);
    t.async_wait([&](auto) { client.close_connections(); });
    EXPECT_THROW(co_await resp.read_some(), http::ReadError);
    // The client itself stays usable.
    auto next = co_await client.get(server.url("/again"));
    EXPECT_EQ(next.status, 200);
  }());
}

// Redirects to another origin: credentials stay behind, and the installed
// isolation policy judges each hop before anything is sent there.
TEST_F(HttpClientTest, CredentialsStayWithTheOriginTheCallerAddressed) {
  TestHttpServer other(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(200, "elsewhere");
  });
  const std::string away = other.url("/landed");
  TestHttpServer origin(io.get_executor(), [&](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    if (r.path() == "/start") co_await c.respond(307, "", "text/plain", "Location: /moved\r\n");
    else co_await c.respond(307, "", "text/plain", "Location: " + away + "\r\n");
  });
  http::Request req;
  req.method = "POST";
  req.url = origin.url("/start");
  req.body = "{}";
  req.headers = {{"Authorization", "Bearer sk-secret"}, {"X-Api-Key", "k2"}, {"Cookie", "s=1"},
                 {"Content-Type", "application/json"}, {"Accept", "text/event-stream"}};
  auto r = run_until_done(io, client.fetch(req));
  EXPECT_EQ(r.body, "elsewhere");
  // A redirect within the origin keeps everything.
  ASSERT_EQ(origin.requests().size(), 2u);
  EXPECT_EQ(origin.requests()[1].header("Authorization"), "Bearer sk-secret");
  EXPECT_EQ(origin.requests()[1].header("X-Api-Key"), "k2");
  // Another port is another origin: only what describes the request follows.
  ASSERT_EQ(other.requests().size(), 1u);
  const RawRequest& there = other.requests()[0];
  EXPECT_EQ(there.method, "POST");
  EXPECT_EQ(there.body, "{}");
  EXPECT_EQ(there.header("Content-Type"), "application/json");
  EXPECT_EQ(there.header("Accept"), "text/event-stream");
  EXPECT_FALSE(there.header("Authorization"));
  EXPECT_FALSE(there.header("X-Api-Key"));
  EXPECT_FALSE(there.header("Cookie"));
}

TEST_F(HttpClientTest, TheIsolationPolicyJudgesEveryRedirectBeforeItIsFollowed) {
  namespace host = dravik::host;
  struct RefusingPolicy : host::IsolationPolicy {
    std::string refused_url;
    std::vector<std::pair<std::string, std::string>> asked;
    bool airgapped_from_cfg(const Json&) override { return true; }
    void assert_endpoint_allowed(const std::optional<std::string>& endpoint, const std::string& label) override {
      asked.emplace_back(endpoint.value_or(""), label);
      if (endpoint == refused_url) throw host::AirgapViolationError("refused " + *endpoint);
    }
    void apply_airgap_env(host::Environment&, bool) override {}
  };
  auto policy = std::make_shared<RefusingPolicy>();
  host::HostServices services;
  services.isolation_policy = policy;
  host::install_host_services(services);
  struct Uninstall {
    ~Uninstall() { dravik::host::install_host_services({}); }
  } uninstall;

  TestHttpServer forbidden(io.get_executor(), [](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(200, "should not be reached");
  });
  policy->refused_url = forbidden.url("/x");
  TestHttpServer origin(io.get_executor(), [&](const RawRequest& r, Conn& c) -> asio::awaitable<void> {
    if (r.path() == "/hop") co_await c.respond(302, "", "text/plain", "Location: /final\r\n");
    else if (r.path() == "/final") co_await c.respond(200, "ok");
    else co_await c.respond(307, "", "text/plain", "Location: " + policy->refused_url + "\r\n");
  });
  // An allowed hop is asked about and followed.
  EXPECT_EQ(run_until_done(io, client.get(origin.url("/hop"))).body, "ok");
  ASSERT_EQ(policy->asked.size(), 1u);
  EXPECT_EQ(policy->asked[0].first, origin.url("/final"));
  EXPECT_NE(policy->asked[0].second.find(origin.url("/hop")), std::string::npos);
  // A refused one ends the request with the policy's error; nothing reaches
  // the refused address.
  EXPECT_THROW(run_until_done(io, client.get(origin.url("/away"))), host::AirgapViolationError);
  EXPECT_TRUE(forbidden.requests().empty());
}
