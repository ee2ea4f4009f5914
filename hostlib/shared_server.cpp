// The board's one model server, shared by the dravik sessions on it.
#include "shared_server.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <random>
#include <sstream>

#include "sidecar/sidecar.hpp"
#include "support/async.hpp"
#include "support/http/http.hpp"
#include "support/config.hpp"
#include "support/files.hpp"
#include "support/process/process.hpp"
#include "support/text.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;
namespace asio = boost::asio;

namespace {

constexpr int kRecordVersion = 1;
constexpr std::chrono::milliseconds kLockPoll{50};
// How long a server gets to end after SIGTERM before SIGKILL.
constexpr std::chrono::milliseconds kStopGrace{5000};

std::string record_file(const fs::path& dir) { return (dir / "server.json").string(); }

Json id_json(const ProcessId& id) { return Json{{"pid", id.pid}, {"start", id.start}}; }

std::optional<ProcessId> id_from(const Json& j) {
  if (!j.is_object() || !j.contains("pid") || !j.contains("start")) return std::nullopt;
  if (!j["pid"].is_number_integer() || !j["start"].is_number_unsigned()) return std::nullopt;
  return ProcessId{j["pid"].get<pid_t>(), j["start"].get<std::uint64_t>()};
}

std::string string_at(const Json& j, const char* key) {
  const Json* v = config::find(j, key);
  return v && v->is_string() ? v->get<std::string>() : std::string();
}

std::string canonical(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? path : p.string();
}

std::string new_token() {
  std::random_device rd;
  std::ostringstream s;
  s << std::hex << rd() << rd();
  return s.str();
}

std::string mib_text(std::int64_t kib) {
  if (kib >= 1024 * 1024) {
    const auto tenths = kib * 10 / (1024 * 1024);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " GiB";
  }
  return std::to_string(kib / 1024) + " MiB";
}

}  // namespace

// ------------------------------------------------------------ identities

std::optional<ProcessId> process_id(pid_t pid, const std::string& proc_root) {
  if (pid <= 0) return std::nullopt;
  const auto stat = files::try_read_file(proc_root + "/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  // "PID (comm) S ppid ...": the name may hold spaces and parentheses, so
  // the fields are counted after the last ')'. The state is field 3, the
  // start time field 22.
  const auto close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat->substr(close + 1));
  std::string state;
  fields >> state;
  if (state.empty() || state == "Z" || state == "X") return std::nullopt;
  std::string field;
  for (int i = 4; i <= 22 && fields >> field; ++i)
    if (i == 22) {
      const auto start = config::parse_int64(field);
      if (!start || *start < 0) return std::nullopt;
      return ProcessId{pid, static_cast<std::uint64_t>(*start)};
    }
  return std::nullopt;
}

bool still_running(const ProcessId& id, const std::string& proc_root) {
  const auto now = process_id(id.pid, proc_root);
  return now && *now == id;
}

// ---------------------------------------------------------------- record

std::vector<ServerRecord::Session> ServerRecord::live_sessions(const std::string& proc_root) const {
  std::vector<Session> live;
  for (const auto& s : sessions)
    if (still_running(s.process, proc_root)) live.push_back(s);
  return live;
}

Json ServerRecord::to_json() const {
  Json list = Json::array();
  for (const auto& s : sessions) {
    Json e = id_json(s.process);
    e["token"] = s.token;
    e["project"] = s.project;
    list.push_back(std::move(e));
  }
  Json j = {{"version", kRecordVersion}, {"server", id_json(server)}, {"host", host},
            {"port", port},             {"model", model},            {"slot_dir", slot_dir},
            {"context", context}};
  if (cache_ram_mib) j["cache_ram_mib"] = *cache_ram_mib;
  j["sessions"] = std::move(list);
  return j;
}

std::optional<ServerRecord> ServerRecord::from_json(const Json& j) {
  const Json* version = j.is_object() ? config::find(j, "version") : nullptr;
  if (!version || !version->is_number_integer() || version->get<int>() != kRecordVersion) return std::nullopt;
  ServerRecord r;
  const auto server = id_from(j.value("server", Json()));
  const Json* port = config::find(j, "port");
  const Json* context = config::find(j, "context");
  if (!server || !port || !port->is_number_integer() || !context || !context->is_number_integer())
    return std::nullopt;
  r.server = *server;
  r.port = port->get<std::int64_t>();
  r.context = context->get<std::int64_t>();
  r.host = string_at(j, "host");
  r.model = string_at(j, "model");
  r.slot_dir = string_at(j, "slot_dir");
  if (r.host.empty() || r.model.empty()) return std::nullopt;
  if (const Json* c = config::find(j, "cache_ram_mib"); c && c->is_number_integer()) r.cache_ram_mib = c->get<std::int64_t>();
  if (const Json* list = config::find(j, "sessions"); list && list->is_array())
    for (const Json& e : *list)
      if (const auto id = id_from(e)) r.sessions.push_back({*id, string_at(e, "token"), string_at(e, "project")});
  return r;
}

// -------------------------------------------------------------- registry

ServerRegistry::Lock::~Lock() {
  if (fd_ >= 0) ::close(fd_);
}

ServerRegistry::Lock& ServerRegistry::Lock::operator=(Lock&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

asio::awaitable<std::optional<ServerRegistry::Lock>> ServerRegistry::lock(std::chrono::milliseconds bound,
                                                                          std::function<void()> waiting) const {
  auto held = co_await lock_named("lock", bound, std::move(waiting));
  co_return held;
}

asio::awaitable<std::optional<ServerRegistry::Lock>> ServerRegistry::turn(std::chrono::milliseconds bound,
                                                                          std::function<void()> waiting) const {
  auto held = co_await lock_named("turn", bound, std::move(waiting));
  co_return held;
}

asio::awaitable<std::optional<ServerRegistry::Lock>> ServerRegistry::lock_named(const char* name,
                                                                                std::chrono::milliseconds bound,
                                                                                std::function<void()> waiting) const {
  files::create_private_directories(dir_.string());
  const std::string path = (dir_ / name).string();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw OSError(errno, "cannot open " + path + ": " + std::strerror(errno));
  Lock held(fd);
  const auto deadline = std::chrono::steady_clock::now() + bound;
  bool said = false;
  // Polled, not waited for: a blocking flock would stop the event loop.
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) throw OSError(errno, "cannot lock " + path + ": " + std::strerror(errno));
    if (std::chrono::steady_clock::now() >= deadline) co_return std::nullopt;
    if (!std::exchange(said, true) && waiting) waiting();
    co_await async::sleep_for(kLockPoll);
  }
  co_return std::optional<Lock>(std::move(held));
}

std::optional<ServerRecord> ServerRegistry::read() const {
  const auto text = files::try_read_file(record_file(dir_));
  if (!text) return std::nullopt;
  try {
    return ServerRecord::from_json(Json::parse(*text, nullptr, false));
  } catch (const Json::exception&) {
    return std::nullopt;  // not one this version wrote
  }
}

void ServerRegistry::write(const ServerRecord& record, const Lock&) const {
  files::replace_file(record_file(dir_), dump_json(record.to_json(), 2) + "\n", 0600);
}

void ServerRegistry::remove(const Lock&) const {
  std::error_code ignored;
  fs::remove(record_file(dir_), ignored);
}

// -------------------------------------------------------------- processes

std::string ServerProcess::shown() const {
  return program + " (pid " + std::to_string(pid) + ", " + mib_text(resident_kib) + " resident)";
}

std::vector<ServerProcess> describe_processes(const std::vector<pid_t>& pids, const std::string& proc_root) {
  std::vector<ServerProcess> out;
  for (pid_t pid : pids) {
    const std::string dir = proc_root + "/" + std::to_string(pid);
    const auto status = files::try_read_file(dir + "/status");
    if (!status || !process_id(pid, proc_root)) continue;
    ServerProcess p{pid, "", 0};
    std::istringstream lines(*status);
    for (std::string l; std::getline(lines, l);) {
      if (text::starts_with(l, "Name:")) p.program = config::trim(l.substr(5));
      if (text::starts_with(l, "VmRSS:")) {
        std::istringstream v(l.substr(6));
        v >> p.resident_kib;
      }
    }
    out.push_back(std::move(p));
  }
  return out;
}

asio::awaitable<void> stop_process(const proc::ProcessHandle& handle, std::chrono::milliseconds grace) {
  handle.signal(SIGTERM);
  handle.signal(SIGCONT);
  const bool ended = co_await handle.wait_for_exit(grace);
  if (ended) co_return;
  handle.signal(SIGKILL);
  co_await handle.wait_for_exit(std::chrono::seconds(1));
}

// ---------------------------------------------------------- shared server

SharedServer::SharedServer(sidecar::SidecarClient& client, SharedServerOptions options)
    : client_(client), options_(std::move(options)), registry_(options_.run_dir), token_(new_token()) {}

SharedServer::~SharedServer() {
  // Gone without leaving (an error or a cancellation on the way out): a
  // server others use is let go of, not killed with our client.
  try {
    if (server_ && other_sessions() > 0) client_.release_server();
  } catch (...) {
  }
}

ServerRecord::Session SharedServer::me() const {
  return {process_id(::getpid()).value_or(ProcessId{::getpid(), 0}), token_, options_.project.string()};
}

std::string SharedServer::own_slot_dir() const {
  // Where the sidecar puts the slot files of a server it launches.
  std::error_code ec;
  return canonical((fs::current_path(ec) / sidecar::SLOT_DIR).string());
}

asio::awaitable<void> SharedServer::join() {
  if (server_) co_await leave();
  std::vector<pid_t> agreed_foreign;
  std::optional<ProcessId> agreed_holder;
  // The user is asked without the lock held; what was agreed to is checked
  // again once it is taken back, a few times at most.
  for (int round = 0; round < 4; ++round) {
    const bool joined = co_await try_join(agreed_foreign, agreed_holder);
    if (joined) co_return;
  }
  throw RuntimeError("the model servers on this machine kept changing while dravik started; try again");
}

void SharedServer::ask_about_foreign(const std::vector<ServerProcess>& foreign, std::vector<pid_t>& agreed) {
  std::vector<std::string> shown;
  std::vector<pid_t> pids;
  for (const auto& p : foreign) {
    shown.push_back(p.shown());
    pids.push_back(p.pid);
  }
  const bool one = foreign.size() == 1;
  StartQuestion q{StartQuestion::Kind::foreign,
                  text::join(shown, ", ") + (one ? " is" : " are") +
                      " running and was not started by dravik; starting the model server stops " + (one ? "it" : "them"),
                  "stop " + std::string(one ? "it" : "them") + " yourself, or let dravik do it"};
  if (!options_.confirm || !options_.confirm(q)) throw StartDeclined(q.what + "; nothing was stopped", q.kind);
  agreed = std::move(pids);
}

asio::awaitable<bool> SharedServer::try_join(std::vector<pid_t>& agreed_foreign,
                                             std::optional<ProcessId>& agreed_holder) {
  // Named, not a temporary in the co_await's arguments (g++ 12).
  std::function<void()> waiting = [this] {
    if (options_.notify) options_.notify("(waiting for another dravik that is starting or stopping the model server)");
  };
  auto lock = co_await registry_.lock(options_.join_wait, std::move(waiting));
  if (!lock)
    throw RuntimeError("another dravik has held " + (registry_.dir() / "lock").string() + " for " +
                       std::to_string(options_.join_wait.count() / 1000) + " s; try again when it has started");
  if (auto record = registry_.read()) {
    auto handle = proc::ProcessHandle::open(record->server.pid);
    // Opened first, checked after: the handle then names the recorded
    // process, not a later one with its pid.
    if (handle && still_running(record->server)) {
      const auto live = record->live_sessions();
      if (!live.empty() && canonical(record->model) == canonical(client_.model)) {
        attach(std::move(*record), std::make_unique<proc::ProcessHandle>(std::move(*handle)), *lock);
        co_return true;
      }
      if (!live.empty() && agreed_holder != record->server) {
        StartQuestion q{StartQuestion::Kind::holder,
                        "the model server (pid " + std::to_string(record->server.pid) + ", " +
                            fs::path(record->model).filename().string() + ") is in use by dravik chat (pid " +
                            std::to_string(live.front().process.pid) + " in " + live.front().project + ")" +
                            (live.size() > 1 ? " and " + std::to_string(live.size() - 1) + " more" : ""),
                        "leave that session first, or use its model: dravik chat --model " + record->model};
        lock.reset();
        if (!options_.confirm || !options_.confirm(q))
          throw StartDeclined(q.what + "; it was left running", q.kind);
        agreed_holder = record->server;
        co_return false;
      }
      // An orphan (every session that used it is gone), or one the user
      // agreed to stop.
      if (live.empty() && options_.notify)
        options_.notify("(stopping the model server an earlier dravik left running, pid " +
                        std::to_string(record->server.pid) + ")");
      co_await stop_process(*handle, kStopGrace);
    }
    registry_.remove(*lock);
  }
  // What a start would stop besides: asked about unless agreed already.
  const auto foreign = describe_processes(sidecar::SidecarClient::stale_server_pids());
  const bool agreed = std::all_of(foreign.begin(), foreign.end(), [&](const ServerProcess& p) {
    return std::find(agreed_foreign.begin(), agreed_foreign.end(), p.pid) != agreed_foreign.end();
  });
  if (!agreed) {
    lock.reset();
    ask_about_foreign(foreign, agreed_foreign);
    co_return false;
  }
  // A server of our own is started as this session's settings say, not as
  // the one it may have joined before.
  if (own_) restore_own_settings();
  co_await client_.start();
  const auto pid = client_.server_pid();
  const auto id = pid ? process_id(*pid) : std::nullopt;
  if (!id) co_return true;  // ended at once: the next request says so
  ServerRecord record;
  record.server = *id;
  record.host = client_.host;
  record.port = client_.port;
  record.model = canonical(client_.model);
  record.slot_dir = own_slot_dir();
  record.context = client_.context_window_tokens;
  record.cache_ram_mib = client_.cache_ram_mib;
  record.sessions.push_back(me());
  server_ = *id;
  client_.slot_files = true;
  try {
    registry_.write(record, *lock);
    recorded_ = true;
  } catch (const OSError& e) {
    // A full disk must not cost the session its server: it serves this
    // session alone, and is stopped when it leaves.
    if (options_.notify)
      options_.notify(std::string("(the model server could not be recorded for other sessions: ") + e.what() +
                      "; it serves this session alone)");
  }
  co_return true;
}

void SharedServer::attach(ServerRecord record, std::unique_ptr<proc::ProcessHandle> handle,
                          const ServerRegistry::Lock& lock) {
  if (!own_) own_ = Own{client_.host, client_.port, client_.base_url, client_.context_window_tokens, client_.cache_ram_mib};
  client_.host = record.host;
  client_.port = record.port;
  client_.base_url = "http://" + record.host + ":" + std::to_string(record.port);
  client_.context_window_tokens = record.context;
  client_.cache_ram_mib = record.cache_ram_mib;
  // The server writes slot files only into the directory it was launched
  // with: another project's conversation must not replace them.
  client_.slot_files = record.slot_dir == own_slot_dir();
  server_ = record.server;
  // Our own child (a session that left and joined again keeps it) needs
  // no second handle.
  if (client_.server_pid() != record.server.pid) handle_ = std::move(handle);
  record.sessions = record.live_sessions();
  record.sessions.push_back(me());
  // Unrecorded, this session would not count: the last one that does
  // would stop the server under it.
  try {
    registry_.write(record, lock);
  } catch (const OSError& e) {
    server_.reset();
    handle_.reset();
    restore_own_settings();
    throw RuntimeError(std::string("cannot join the running model server: ") + e.what());
  }
  recorded_ = true;
}

void SharedServer::restore_own_settings() {
  if (!own_) return;
  client_.host = own_->host;
  client_.port = own_->port;
  client_.base_url = own_->base_url;
  client_.context_window_tokens = own_->context;
  client_.cache_ram_mib = own_->cache_ram_mib;
  client_.slot_files = true;
}

asio::awaitable<void> SharedServer::leave() {
  // Whatever goes wrong with the record, a server other sessions may use is
  // never stopped because of it: this session lets go of it instead.
  const std::exception_ptr error = co_await async::attempt(leave_recorded());
  if (!error) co_return;
  if (options_.notify) options_.notify("(the model server was left running: " + error_text(error) + ")");
  co_await forget_child();
}

asio::awaitable<void> SharedServer::leave_recorded() {
  if (!server_) {
    // Never joined (or the start failed): only a child of ours to stop.
    co_await client_._stop_server();
    co_return;
  }
  const ProcessId server = *std::exchange(server_, std::nullopt);
  auto handle = std::move(handle_);
  if (!std::exchange(recorded_, false)) {
    // No one else knows of it: ours to stop, theirs to keep.
    if (!handle) co_await client_._stop_server();
    co_return;
  }
  std::function<void()> quiet;
  auto lock = co_await registry_.lock(options_.leave_wait, std::move(quiet));
  if (!lock) {
    // Another dravik is asking its user or starting: the server is left as
    // it is, and this session's entry, once its process is gone, counts as
    // gone; the server is then stopped as an orphan by the next start.
    co_await forget_child();
    co_return;
  }
  auto record = registry_.read();
  if (!record || !(record->server == server)) {
    // Replaced meanwhile: what still runs of ours is no one's.
    co_await client_._stop_server();
    co_return;
  }
  record->sessions = record->live_sessions();
  std::erase_if(record->sessions, [&](const ServerRecord::Session& s) { return s.token == token_; });
  if (!record->sessions.empty()) {
    registry_.write(*record, *lock);
    co_await forget_child();
    co_return;
  }
  if (handle) {
    // Our requests in flight would hold up its shutdown.
    client_._http->close_connections();
    co_await stop_process(*handle, kStopGrace);
  } else {
    co_await client_._stop_server();
  }
  registry_.remove(*lock);
}

bool SharedServer::running() {
  if (!server_) return false;
  if (handle_) return !handle_->exited();
  return client_.server_running();
}

asio::awaitable<void> SharedServer::forget_child() {
  if (client_.server_running()) client_.release_server();
  else co_await client_._stop_server();
}

std::size_t SharedServer::other_sessions() const {
  if (!server_) return 0;
  const auto record = registry_.read();
  if (!record || !(record->server == *server_)) return 0;
  std::size_t n = 0;
  for (const auto& s : record->live_sessions())
    if (s.token != token_) ++n;
  return n;
}

bool SharedServer::shared_with_others() const { return other_sessions() > 0; }

void SharedServer::turn_ended() { last_turn_end_ = std::chrono::steady_clock::now(); }

asio::awaitable<std::optional<ServerRegistry::Lock>> SharedServer::take_turn() {
  if (!server_ || !recorded_) co_return std::nullopt;
  // A session that has just had its turn (a tool loop asks again within
  // milliseconds) lets a waiting one, which looks every kLockPoll, go first.
  if (std::chrono::steady_clock::now() - last_turn_end_ < 2 * kLockPoll) co_await async::sleep_for(2 * kLockPoll);
  std::function<void()> waiting = [this] {
    if (options_.notify) options_.notify("(waiting for another session's reply on the shared model server)");
  };
  // A lock that cannot be had (a full disk) costs the turn-taking only.
  auto taken = co_await async::attempt(registry_.turn(options_.turn_wait, std::move(waiting)));
  if (taken.error) {
    bool unlockable = false;
    try {
      std::rethrow_exception(taken.error);
    } catch (const OSError&) {
      unlockable = true;
    }
    if (unlockable) co_return std::nullopt;
  }
  auto turn = std::move(*taken.value);
  if (!turn)
    throw RuntimeError("another session's reply has held the shared model server for " +
                       std::to_string(options_.turn_wait.count() / 60000) + " minutes");
  co_return turn;
}

std::optional<pid_t> SharedServer::pid() const {
  if (!server_) return std::nullopt;
  return server_->pid;
}

}  // namespace dravik::hostlib
