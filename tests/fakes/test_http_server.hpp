// A scriptable HTTP/1.1 server on 127.0.0.1 for tests. Each connection's
// request is parsed (headers, Content-Length body) and handed to a coroutine
// that writes raw bytes back, so a test can send anything: chunked bodies,
// slow pieces, malformed status lines, a connection closed half-way.
#pragma once

#include "support/run.hpp"

#include <sys/socket.h>

#include <cerrno>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

namespace dravik::testing {

namespace asio = boost::asio;

struct RawRequest {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  std::optional<std::string> header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
      if (k.size() != name.size()) continue;
      bool eq = true;
      for (std::size_t i = 0; i < k.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(k[i])) != std::tolower(static_cast<unsigned char>(name[i]))) eq = false;
      if (eq) return v;
    }
    return std::nullopt;
  }
  std::string path() const { return target.substr(0, target.find('?')); }
};

class Conn {
 public:
  explicit Conn(asio::ip::tcp::socket& s) : s_(s) {}
  asio::awaitable<void> write(std::string bytes) {
    boost::system::error_code ec;
    co_await asio::async_write(s_, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
  }
  asio::awaitable<void> sleep(std::chrono::milliseconds d) {
    asio::steady_timer t(s_.get_executor(), d);
    co_await t.async_wait(asio::use_awaitable);
  }
  // A complete response with Content-Length.
  asio::awaitable<void> respond(int status, std::string body, std::string content_type = "application/json",
                                std::string extra_headers = "") {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    head += "Content-Type: " + content_type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    head += extra_headers;
    head += "Connection: close\r\n\r\n";
    co_await write(head + body);
  }
  static std::string chunk(const std::string& data) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%zx\r\n", data.size());
    return buf + data + "\r\n";
  }
  // True once the client has closed or reset its end.
  bool peer_closed() {
    char b;
    ssize_t n = ::recv(s_.native_handle(), &b, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }
  void close() {
    boost::system::error_code ec;
    s_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    s_.close(ec);
  }
  static std::string reason(int status) {
    switch (status) {
      case 200: return "OK";
      case 206: return "Partial Content";
      case 301: return "Moved Permanently";
      case 302: return "Found";
      case 400: return "Bad Request";
      case 404: return "Not Found";
      case 416: return "Range Not Satisfiable";
      case 500: return "Internal Server Error";
      case 503: return "Service Unavailable";
      default: return "Status";
    }
  }

 private:
  asio::ip::tcp::socket& s_;
};

using Handler = std::function<asio::awaitable<void>(const RawRequest&, Conn&)>;

class TestHttpServer {
 public:
  TestHttpServer(asio::any_io_executor ex, Handler handler, std::uint16_t port = 0)
      : state_(std::make_shared<State>(ex, std::move(handler), port)) {
    asio::co_spawn(ex, accept_loop(state_), asio::detached);
  }
  ~TestHttpServer() {
    boost::system::error_code ec;
    state_->acceptor.close(ec);
  }
  std::uint16_t port() const { return state_->acceptor.local_endpoint().port(); }
  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
  }
  const std::vector<RawRequest>& requests() const { return state_->requests; }

 private:
  struct State {
    asio::ip::tcp::acceptor acceptor;
    Handler handler;
    std::vector<RawRequest> requests;
    State(asio::any_io_executor ex, Handler h, std::uint16_t port)
        : acceptor(ex, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port)), handler(std::move(h)) {}
  };

  static asio::awaitable<void> accept_loop(std::shared_ptr<State> st) {
    for (;;) {
      boost::system::error_code ec;
      auto sock = co_await st->acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return;
      asio::co_spawn(st->acceptor.get_executor(), serve(st, std::move(sock)), asio::detached);
    }
  }

  static asio::awaitable<void> serve(std::shared_ptr<State> st, asio::ip::tcp::socket sock) {
    try {
      std::string buf;
      boost::system::error_code ec;
      std::size_t n = co_await asio::async_read_until(sock, asio::dynamic_buffer(buf), "\r\n\r\n",
                                                      asio::redirect_error(asio::use_awaitable, ec));
      if (ec) co_return;
      RawRequest req;
      std::string head = buf.substr(0, n);
      buf.erase(0, n);
      auto line_end = head.find("\r\n");
      std::string first = head.substr(0, line_end);
      auto sp1 = first.find(' ');
      auto sp2 = first.find(' ', sp1 + 1);
      req.method = first.substr(0, sp1);
      req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
      std::size_t pos = line_end + 2;
      while (pos < head.size()) {
        auto e = head.find("\r\n", pos);
        if (e == pos || e == std::string::npos) break;
        std::string l = head.substr(pos, e - pos);
        auto colon = l.find(':');
        std::string v = l.substr(colon + 1);
        while (!v.empty() && v.front() == ' ') v.erase(0, 1);
        req.headers.emplace_back(l.substr(0, colon), v);
        pos = e + 2;
      }
      if (auto cl = req.header("Content-Length")) {
        std::size_t len = std::stoul(*cl);
        if (buf.size() < len) {
          co_await asio::async_read(sock, asio::dynamic_buffer(buf), asio::transfer_exactly(len - buf.size()),
                                    asio::redirect_error(asio::use_awaitable, ec));
        }
        req.body = buf.substr(0, len);
      }
      st->requests.push_back(req);
      Conn conn(sock);
      co_await st->handler(req, conn);
      conn.close();
    } catch (...) {
    }
  }

  std::shared_ptr<State> state_;
};

using dravik::async::run_until_done;

}  // namespace dravik::testing
