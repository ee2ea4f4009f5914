#include "support/http/http.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <set>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include "host_services/host_services.hpp"

namespace dravik::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = beast::http;
using boost::system::error_code;

namespace {

enum class Phase { connect, handshake, write, read_header, read_body };

const char* phase_text(Phase p) {
  switch (p) {
    case Phase::connect: return "connecting to";
    case Phase::handshake: return "TLS handshake with";
    case Phase::write: return "sending request to";
    case Phase::read_header: return "reading response from";
    case Phase::read_body: return "reading response body from";
  }
  return "";
}

bool is_http_category(const error_code& ec) {
  return &ec.category() == &bhttp::make_error_code(bhttp::error::bad_version).category();
}

// Maps a Beast/Asio error to the client's error kinds. Cancellation is
// rethrown as is so that it keeps propagating as cancellation.
[[noreturn]] void fail(const error_code& ec, Phase phase, const std::string& url) {
  if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
  const std::string where = std::string(phase_text(phase)) + " " + url;
  if (ec == beast::error::timeout) throw RequestTimeoutError("timed out " + where);
  const std::string what = ec.message() + " (" + where + ")";
  if (phase == Phase::connect || phase == Phase::handshake || phase == Phase::write)
    throw ConnectError(what);
  if (is_http_category(ec)) {
    // A peer that closes early shows up as a parse error of the same category;
    // it is a read failure, not a malformed response.
    if (ec == bhttp::error::partial_message || ec == bhttp::error::end_of_stream) throw ReadError(what);
    throw ProtocolError(what);
  }
  throw ReadError(what);
}

struct Target {
  bool tls = false;
  std::string host;       // for connecting (no IPv6 brackets)
  std::string host_port;  // Host header
  std::uint16_t port = 80;
  std::string path;       // request target
};

Target parse_target(const std::string& url) {
  auto r = boost::urls::parse_uri(url);
  if (!r) throw ValueError("invalid URL: " + url);
  const auto& u = *r;
  Target t;
  std::string scheme = std::string(u.scheme());
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  if (scheme == "https") t.tls = true;
  else if (scheme != "http") throw ValueError("unsupported URL scheme: " + url);
  t.host = u.host_address();
  if (t.host.empty()) throw ValueError("URL has no host: " + url);
  t.port = u.has_port() ? u.port_number() : (t.tls ? 443 : 80);
  t.host_port = std::string(u.encoded_host_and_port());
  t.path = std::string(u.encoded_path());
  if (t.path.empty()) t.path = "/";
  if (u.has_query()) t.path += "?" + std::string(u.encoded_query());
  return t;
}

// Resolves without Asio's resolver thread: literal addresses directly, names
// through a synchronous lookup.
std::vector<asio::ip::tcp::endpoint> resolve(asio::any_io_executor ex, const std::string& host, std::uint16_t port) {
  std::vector<asio::ip::tcp::endpoint> endpoints;
  error_code ec;
  auto addr = asio::ip::make_address(host, ec);
  if (!ec) {
    endpoints.emplace_back(addr, port);
    return endpoints;
  }
  asio::ip::tcp::resolver resolver(ex);
  auto results = resolver.resolve(host, std::to_string(port), ec);
  if (ec) throw ConnectError("cannot resolve " + host + ": " + ec.message());
  for (const auto& r : results) endpoints.push_back(r.endpoint());
  return endpoints;
}

// Whether two targets share an origin: scheme, host (case-insensitive) and
// port, as browsers and curl compare them before passing credentials on.
bool same_origin(const Target& a, const Target& b) {
  return a.tls == b.tls && a.port == b.port && beast::iequals(a.host, b.host);
}

// Headers that describe the request rather than authorize it: the only ones
// that follow a redirect to another origin.
bool descriptive_header(std::string_view name) {
  static constexpr std::string_view kKept[] = {"Accept",        "Accept-Encoding", "Accept-Language", "Content-Type",
                                               "Content-Length", "Range",          "If-Range",        "If-Match",
                                               "If-None-Match", "If-Modified-Since", "If-Unmodified-Since"};
  for (auto k : kKept)
    if (beast::iequals(name, k)) return true;
  return false;
}

bool is_redirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Opens the socket close-on-exec before connecting, so that programs the
// host starts meanwhile do not inherit it, trying each endpoint in turn.
asio::awaitable<error_code> connect_cloexec(beast::tcp_stream& s,
                                            const std::vector<asio::ip::tcp::endpoint>& endpoints) {
  error_code ec = asio::error::host_not_found;
  for (const auto& ep : endpoints) {
    error_code ignored;
    s.socket().close(ignored);
    s.socket().open(ep.protocol(), ec);
    if (ec) continue;
    ::fcntl(s.socket().native_handle(), F_SETFD, FD_CLOEXEC);
    co_await s.async_connect(ep, asio::redirect_error(asio::use_awaitable, ec));
    if (!ec || ec == asio::error::operation_aborted || ec == beast::error::timeout) co_return ec;
  }
  co_return ec;
}

using Clock = std::chrono::steady_clock;

}  // namespace

struct Client::Registry {
  std::set<Response::Impl*> open;
};

struct Response::Impl {
  std::unique_ptr<asio::ssl::context> ssl_ctx;  // outlives `tls`
  std::unique_ptr<beast::tcp_stream> tcp;
  std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls;
  beast::flat_buffer buffer;
  bhttp::response_parser<bhttp::buffer_body> parser;
  Duration timeout{};
  std::string url;
  int status = 0;
  Headers headers;
  bool done = false;
  // Set by Client::close_connections: errors of this connection are then
  // the client's own doing, reported as a closed connection.
  bool aborted = false;
  Clock::time_point deadline = Clock::time_point::max();
  std::shared_ptr<Client::Registry> registry;

  ~Impl() {
    if (registry) registry->open.erase(this);
  }

  beast::tcp_stream& lowest() { return tls ? beast::get_lowest_layer(*tls) : *tcp; }

  // Arms the time-out of the next operation: `timeout` from now, but never
  // past the whole request's deadline.
  void arm() {
    const auto now = Clock::now();
    const auto until = deadline - now < timeout ? deadline : now + timeout;
    lowest().expires_at(until);
  }

  [[noreturn]] void failed(const error_code& ec, Phase phase) {
    if (aborted) throw ReadError("connection to " + url + " closed by the client");
    fail(ec, phase, url);
  }
};

namespace {

template <class Stream>
asio::awaitable<void> write_on(Stream& s, bhttp::request<bhttp::string_body>& req, Response::Impl& im) {
  error_code ec;
  co_await bhttp::async_write(s, req, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) im.failed(ec, Phase::write);
}

template <class Stream>
asio::awaitable<void> read_header_on(Stream& s, Response::Impl& im) {
  error_code ec;
  co_await bhttp::async_read_header(s, im.buffer, im.parser, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) im.failed(ec, Phase::read_header);
}

template <class Stream>
asio::awaitable<std::size_t> read_body_on(Stream& s, Response::Impl& im, std::string& chunk) {
  im.parser.get().body().data = chunk.data();
  im.parser.get().body().size = chunk.size();
  error_code ec;
  co_await bhttp::async_read_some(s, im.buffer, im.parser, asio::redirect_error(asio::use_awaitable, ec));
  if (ec == bhttp::error::need_buffer) ec = {};
  if (ec) im.failed(ec, Phase::read_body);
  co_return chunk.size() - im.parser.get().body().size;
}

// Opens a connection, sends one request and reads the response headers.
asio::awaitable<std::unique_ptr<Response::Impl>> open_once(asio::any_io_executor ex, const Request& req,
                                                           Duration timeout, Clock::time_point deadline,
                                                           std::shared_ptr<Client::Registry> registry) {
  Target t = parse_target(req.url);
  auto im = std::make_unique<Response::Impl>();
  im->timeout = timeout;
  im->deadline = deadline;
  im->url = req.url;
  im->parser.body_limit(boost::none);  // bodies are streamed, any size
  // Beast sizes each socket read by the buffer's free capacity (at least 512
  // bytes): without room reserved, a large body arrives 512 bytes a read.
  im->buffer.reserve(64 * 1024);

  auto endpoints = resolve(ex, t.host, t.port);
  error_code ec;

  if (t.tls) {
    im->ssl_ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    im->ssl_ctx->set_default_verify_paths();
    im->ssl_ctx->set_verify_mode(asio::ssl::verify_peer);
    im->tls = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(ex, *im->ssl_ctx);
    if (!SSL_set_tlsext_host_name(im->tls->native_handle(), t.host.c_str()))
      throw ConnectError("cannot set TLS server name for " + t.host);
    im->tls->set_verify_callback(asio::ssl::host_name_verification(t.host));
  } else {
    im->tcp = std::make_unique<beast::tcp_stream>(ex);
  }

  im->registry = std::move(registry);
  im->registry->open.insert(im.get());

  im->arm();
  ec = co_await connect_cloexec(im->lowest(), endpoints);
  if (ec) im->failed(ec, Phase::connect);
  if (im->tls) {
    im->arm();
    co_await im->tls->async_handshake(asio::ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) im->failed(ec, Phase::handshake);
  }

  bhttp::request<bhttp::string_body> r;
  r.method_string(req.method);
  r.target(t.path);
  r.version(11);
  r.set(bhttp::field::host, t.host_port);
  r.set(bhttp::field::user_agent, "dravik");
  r.set(bhttp::field::connection, "close");
  for (const auto& [k, v] : req.headers) r.set(k, v);
  if (req.body) {
    r.body() = *req.body;
    r.prepare_payload();
  }

  im->arm();
  if (im->tls) co_await write_on(*im->tls, r, *im);
  else co_await write_on(*im->tcp, r, *im);

  im->arm();
  if (im->tls) co_await read_header_on(*im->tls, *im);
  else co_await read_header_on(*im->tcp, *im);

  const auto& msg = im->parser.get();
  im->status = static_cast<int>(msg.result_int());
  for (const auto& f : msg) im->headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
  co_return im;
}

}  // namespace

Response::Response(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Response::Response(Response&&) noexcept = default;
Response& Response::operator=(Response&&) noexcept = default;
Response::~Response() = default;

int Response::status() const { return impl_->status; }
const Headers& Response::headers() const { return impl_->headers; }

std::optional<std::string> Response::header(std::string_view name) const {
  for (const auto& [k, v] : impl_->headers)
    if (beast::iequals(k, name)) return v;
  return std::nullopt;
}

asio::awaitable<std::optional<std::string>> Response::read_some() {
  auto& im = *impl_;
  while (!im.done) {
    if (im.parser.is_done()) {
      im.done = true;
      break;
    }
    if (im.aborted) throw ReadError("connection to " + im.url + " closed by the client");
    std::string chunk(64 * 1024, '\0');
    im.arm();
    std::size_t n = im.tls ? co_await read_body_on(*im.tls, im, chunk) : co_await read_body_on(*im.tcp, im, chunk);
    if (n > 0) {
      chunk.resize(n);
      co_return chunk;
    }
  }
  co_return std::nullopt;
}

asio::awaitable<std::string> Response::read_all(std::size_t limit) {
  std::string body;
  while (auto piece = co_await read_some()) {
    body += *piece;
    if (body.size() > limit)
      throw ReadError("response body of " + impl_->url + " exceeds " + std::to_string(limit) + " bytes");
  }
  co_return body;
}

void Response::close() {
  if (!impl_) return;
  impl_->done = true;
  error_code ec;
  impl_->lowest().socket().shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  impl_->lowest().close();
}

Client::Client(asio::any_io_executor ex, Duration timeout, RedirectCheck redirect_check)
    : ex_(std::move(ex)),
      timeout_(timeout),
      redirect_check_(std::move(redirect_check)),
      registry_(std::make_shared<Registry>()) {}
Client::~Client() = default;

void Client::close_connections() {
  for (Response::Impl* im : registry_->open) {
    im->aborted = true;
    error_code ec;
    // Shutting down wakes a pending read with end of stream and tells the
    // server at once; cancelling ends a connect or handshake in progress.
    im->lowest().socket().shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    im->lowest().cancel();
  }
}

asio::awaitable<Response> Client::send(Request req) {
  co_return co_await send_until(std::move(req), Clock::time_point::max());
}

asio::awaitable<Response> Client::send_until(Request req, Clock::time_point deadline) {
  if (closed_) throw RuntimeError("HTTP client is closed");
  const Duration timeout = req.timeout.value_or(timeout_);
  for (int redirects = 0;; ++redirects) {
    auto im = co_await open_once(ex_, req, timeout, deadline, registry_);
    Response resp(std::move(im));
    if (!is_redirect(resp.status()) || redirects >= req.max_redirects) co_return resp;
    auto location = resp.header("Location");
    if (!location || location->empty()) co_return resp;

    auto base = boost::urls::parse_uri(req.url);
    auto ref = boost::urls::parse_uri_reference(*location);
    if (!base || !ref) throw ProtocolError("invalid redirect location '" + *location + "' from " + req.url);
    boost::urls::url next;
    auto rr = boost::urls::resolve(*base, *ref, next);
    if (!rr) throw ProtocolError("cannot resolve redirect location '" + *location + "' from " + req.url);
    resp.close();

    std::string next_url = std::string(next.buffer());
    // Parsed first: a redirect to an unusable URL fails as that, before
    // the policy is asked about it.
    const Target from = parse_target(req.url), to = parse_target(next_url);
    if (redirect_check_) redirect_check_(req.url, next_url);
    if (!same_origin(from, to))
      std::erase_if(req.headers, [](const auto& h) { return !descriptive_header(h.first); });
    req.url = std::move(next_url);
    // 307 and 308 repeat the request as it was; the others turn it into a GET.
    if (resp.status() != 307 && resp.status() != 308 && req.method != "HEAD") {
      req.method = "GET";
      req.body.reset();
      std::erase_if(req.headers, [](const auto& h) {
        return beast::iequals(h.first, "Content-Type") || beast::iequals(h.first, "Content-Length");
      });
    }
  }
}

asio::awaitable<FullResponse> Client::fetch(Request req) {
  const Duration timeout = req.timeout.value_or(timeout_);
  const auto now = Clock::now();
  const auto deadline = Clock::time_point::max() - now > timeout ? now + timeout : Clock::time_point::max();
  Response resp = co_await send_until(std::move(req), deadline);
  FullResponse out;
  out.status = resp.status();
  out.headers = resp.headers();
  out.body = co_await resp.read_all();
  co_return out;
}

asio::awaitable<FullResponse> Client::get(std::string url, std::optional<Duration> timeout) {
  Request req;
  req.url = std::move(url);
  req.timeout = timeout;
  co_return co_await fetch(std::move(req));
}

asio::awaitable<FullResponse> Client::post_json(std::string url, const Json& body, std::optional<Duration> timeout) {
  Request req;
  req.method = "POST";
  req.url = std::move(url);
  req.headers.emplace_back("Content-Type", "application/json");
  req.body = dump_json(body);
  req.timeout = timeout;
  co_return co_await fetch(std::move(req));
}

asio::awaitable<bool> is_listening(asio::any_io_executor ex, std::string host, std::uint16_t port, Duration timeout) {
  std::vector<asio::ip::tcp::endpoint> endpoints;
  try {
    endpoints = resolve(ex, host, port);
  } catch (const ConnectError&) {
    co_return false;
  }
  beast::tcp_stream s(ex);
  s.expires_after(timeout);
  error_code ec = co_await connect_cloexec(s, endpoints);
  if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
  co_return !ec;
}

}  // namespace dravik::http
