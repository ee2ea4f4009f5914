// A thin asynchronous HTTP/1.1 client on the host's event loop: GET and POST,
// streamed response bodies, per-client and per-request time-outs, bounded
// redirect following and https. One connection per request.
//
// Redirects: before a redirect is followed, the client's redirect check, when
// it was given one (host::policy_redirect_check() asks the isolation policy),
// judges the URL it points to, so that air-gapped mode holds for every hop
// and not only the first address.
// A redirect to another origin (scheme, host or port) carries on only the
// headers that describe the request (Accept*, Content-Type, Range, If-*):
// credentials such as Authorization, cookies or API keys under any name stay
// with the origin the caller addressed, for the rest of the request.
//
// Failures are reported by kind:
//   ConnectError        the connection (or TLS handshake) could not be made
//   ReadError           the peer closed or reset the connection while reading
//   ProtocolError       the peer sent something that is not HTTP/1.1
//   RequestTimeoutError connecting, writing or one read exceeded the time-out,
//                       or a whole fetch exceeded it
// All four derive from TransportError. Cancellation of the awaiting coroutine
// propagates as Asio's operation_aborted, never as one of these.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "support/errors.hpp"
#include "support/json.hpp"

namespace dravik::http {

class TransportError : public Error {
 public:
  using Error::Error;
};
class ConnectError : public TransportError {
 public:
  using TransportError::TransportError;
};
class ReadError : public TransportError {
 public:
  using TransportError::TransportError;
};
class ProtocolError : public TransportError {
 public:
  using TransportError::TransportError;
};
class RequestTimeoutError : public TransportError {
 public:
  using TransportError::TransportError;
};

using Headers = std::vector<std::pair<std::string, std::string>>;
using Duration = std::chrono::steady_clock::duration;

struct Request {
  std::string method = "GET";
  std::string url;
  // Sent to the URL's own origin; past a redirect to another origin only
  // the descriptive ones go on (see above).
  Headers headers;
  std::optional<std::string> body;
  // Overrides the client's time-out for this request (connect, each write,
  // each read).
  std::optional<Duration> timeout;
  // Redirects followed before the redirect response itself is returned.
  // A redirect the client's check refuses throws its error (for example
  // host::AirgapViolationError) before anything is sent there.
  int max_redirects = 10;
};

// A response whose status and headers have arrived; the body is read on
// demand. Owns its connection until destroyed or closed.
class Response {
 public:
  struct Impl;
  explicit Response(std::unique_ptr<Impl> impl);
  Response(Response&&) noexcept;
  Response& operator=(Response&&) noexcept;
  ~Response();

  int status() const;
  const Headers& headers() const;
  // First header of that name (case-insensitive).
  std::optional<std::string> header(std::string_view name) const;

  // The next piece of the body as it arrives; nullopt at the end of the body.
  boost::asio::awaitable<std::optional<std::string>> read_some();
  // The rest of the body. Throws ReadError when it exceeds `limit` bytes.
  boost::asio::awaitable<std::string> read_all(std::size_t limit = 64u << 20);
  // Drops the connection.
  void close();

 private:
  std::unique_ptr<Impl> impl_;
};

// A completely read response.
struct FullResponse {
  int status = 0;
  Headers headers;
  std::string body;
};

// Judges the URL a redirect points to before it is followed; throws to
// refuse it.
using RedirectCheck = std::function<void(const std::string& from, const std::string& to)>;

class Client {
 public:
  explicit Client(boost::asio::any_io_executor ex, Duration timeout = std::chrono::seconds(120),
                  RedirectCheck redirect_check = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Sends the request and returns once the response headers have arrived.
  boost::asio::awaitable<Response> send(Request req);
  // Sends the request and reads the whole body. The time-out also bounds
  // the request as a whole (redirects included): a server that trickles
  // its answer cannot stretch it.
  boost::asio::awaitable<FullResponse> fetch(Request req);
  boost::asio::awaitable<FullResponse> get(std::string url, std::optional<Duration> timeout = {});
  boost::asio::awaitable<FullResponse> post_json(std::string url, const Json& body,
                                                 std::optional<Duration> timeout = {});

  // After close, every new request fails with RuntimeError.
  void close() { closed_ = true; }

  // Ends every request and response of this client that is still open:
  // their pending and later reads fail with ReadError. The client stays
  // usable for new requests.
  void close_connections();

  // Responses of this client whose connection is still open (internal).
  struct Registry;

 private:
  boost::asio::awaitable<Response> send_until(Request req, std::chrono::steady_clock::time_point deadline);
  boost::asio::any_io_executor ex_;
  Duration timeout_;
  RedirectCheck redirect_check_;
  bool closed_ = false;
  std::shared_ptr<Registry> registry_;
};

// True when something accepts TCP connections at host:port within
// `timeout`. Used to refuse starting a server on an address already taken.
boost::asio::awaitable<bool> is_listening(boost::asio::any_io_executor ex, std::string host, std::uint16_t port,
                                          Duration timeout);

}  // namespace dravik::http
