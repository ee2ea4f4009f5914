// A tools/call round trip through the MCP client (McpServers::call: request,
// time-out timer, answer matched, result folded) against a minimal client
// that writes the same request and reads its answer with blocking system
// calls, on the reference "everything" server over stdio and over HTTP.
// Goal: at most 2 ms more at the median. Needs DRAVIK_TEST_MCP_EVERYTHING
// (its dist/index.js) and node.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "bench_util.hpp"
#include "fakes/mcp_peer.hpp"
#include "mcp.hpp"
#include "support/process/process.hpp"
#include "support/run.hpp"

using namespace dravik;
namespace asio = boost::asio;
using bench::Clock;

namespace {

constexpr int kCalls = 300;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string request(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"echo","arguments":{"message":"hi"}}})";
}

std::string init_request() {
  return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"b","version":"1"}}})";
}

// Reads from `fd` until `needle` has arrived after `from`.
bool read_until(int fd, std::string& buf, const std::string& needle) {
  char chunk[65536];
  while (buf.find(needle) == std::string::npos) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buf.append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

void write_all(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// The baseline over stdio: a pipe pair, one line out, one line back.
std::vector<double> raw_stdio(const std::string& index) {
  int to[2], from[2];
  if (::pipe(to) != 0 || ::pipe(from) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(to[0], 0);
    ::dup2(from[1], 1);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 2);
    ::close(to[1]);
    ::close(from[0]);
    ::execlp("node", "node", index.c_str(), "stdio", static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(to[0]);
  ::close(from[1]);
  std::string buf;
  write_all(to[1], init_request() + "\n");
  read_until(from[0], buf, "\"id\":0");
  write_all(to[1], R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n");
  std::vector<double> times;
  for (int i = 1; i <= kCalls; ++i) {
    buf.clear();
    const auto t0 = Clock::now();
    write_all(to[1], request(i) + "\n");
    if (!read_until(from[0], buf, "\"id\":" + std::to_string(i) + "}")) break;
    times.push_back(bench::ms_since(t0));
  }
  ::close(to[1]);
  ::close(from[0]);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return times;
}

// The baseline over HTTP: one kept-alive connection, each request written
// by hand, read until its answer's event.
std::vector<double> raw_http(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
  auto post = [&](const std::string& body, const std::string& session) {
    std::string r = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                    "Accept: application/json, text/event-stream\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n";
    if (!session.empty()) r += "Mcp-Session-Id: " + session + "\r\nMCP-Protocol-Version: 2025-11-25\r\n";
    write_all(fd, r + "\r\n" + body);
  };
  std::string buf;
  post(init_request(), "");
  read_until(fd, buf, "\"id\":0");
  std::string session;
  std::string lower = buf;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (auto at = lower.find("mcp-session-id: "); at != std::string::npos)
    session = buf.substr(at + 16, buf.find("\r\n", at) - at - 16);
  // The answer's stream ends with its chunked terminator.
  read_until(fd, buf, "\r\n0\r\n\r\n");
  std::vector<double> times;
  for (int i = 1; i <= kCalls; ++i) {
    buf.clear();
    const auto t0 = Clock::now();
    post(request(i), session);
    if (!read_until(fd, buf, "\"id\":" + std::to_string(i) + "}")) break;
    times.push_back(bench::ms_since(t0));
    read_until(fd, buf, "\r\n0\r\n\r\n");
  }
  ::close(fd);
  return times;
}

std::vector<double> client(asio::io_context& io, hostlib::McpServerConfig config) {
  hostlib::McpOptions o;
  o.workdir = ".";
  hostlib::McpServers servers(io.get_executor(), {std::move(config)}, o);
  const std::string warning = async::run_until_done(io, servers.start());
  if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
  const std::string tool = servers.tools().empty() ? "" : servers.tools()[0].server + "__echo";
  std::vector<double> times;
  for (int i = 1; i <= kCalls; ++i) {
    const auto t0 = Clock::now();
    const auto r = async::run_until_done(io, servers.call(tool, Json{{"message", "hi"}}));
    if (!r.ok) break;
    times.push_back(bench::ms_since(t0));
  }
  async::run_until_done(io, servers.stop());
  return times;
}

}  // namespace

int main() {
  const char* index = std::getenv("DRAVIK_TEST_MCP_EVERYTHING");
  if (!index) {
    std::printf("bench_mcp: set DRAVIK_TEST_MCP_EVERYTHING to the everything server's dist/index.js\n");
    return 0;
  }
  asio::io_context io;

  hostlib::McpServerConfig stdio;
  stdio.name = "s";
  stdio.argv = {"node", index, "stdio"};
  const auto base_stdio = raw_stdio(index);
  const auto ours_stdio = client(io, stdio);

  // The HTTP server, with port chosen by the system for it.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
  const std::uint16_t port = ntohs(a.sin_port);
  ::close(probe);
  auto server = testing::start_everything_http(io, index, port);
  hostlib::McpServerConfig http;
  http.name = "h";
  http.url = "http://127.0.0.1:" + std::to_string(port) + "/mcp";
  const auto base_http = raw_http(port);
  const auto ours_http = client(io, http);
  async::run_until_done(io, server.terminate(std::chrono::seconds(2), true));

  if (base_stdio.empty() || ours_stdio.empty() || base_http.empty() || ours_http.empty()) {
    std::printf("bench_mcp: a run failed (%zu %zu %zu %zu calls)\n", base_stdio.size(), ours_stdio.size(),
                base_http.size(), ours_http.size());
    return 1;
  }
  std::printf("%d tools/call round trips of echo each, median:\n", kCalls);
  bench::ratio_line("stdio: McpServers::call vs minimal client", median(ours_stdio), median(base_stdio), "ms");
  bench::ratio_line("HTTP: McpServers::call vs minimal client", median(ours_http), median(base_http), "ms");
  std::printf("added at the median: stdio %+.3f ms, HTTP %+.3f ms (goal: at most +2 ms)\n",
              median(ours_stdio) - median(base_stdio), median(ours_http) - median(base_http));
  return 0;
}
