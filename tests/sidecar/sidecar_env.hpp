// A sandbox for SidecarClient tests: a temporary working directory, a fake
// system root, the fake llama-server and recording scripts on PATH, short
// waits, and the host-service doubles installed.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <boost/asio.hpp>

#include "fakes/host_doubles.hpp"
#include "fakes/test_http_server.hpp"
#include "sidecar/detail/seams.hpp"
#include "sidecar/sidecar.hpp"

namespace dravik::testing {

namespace fs = std::filesystem;

inline std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_text(const fs::path& p, const std::string& text, bool executable = false) {
  if (!p.parent_path().empty()) fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
  if (executable) fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

inline std::uint16_t free_port() {
  asio::io_context io;
  asio::ip::tcp::acceptor a(io, {asio::ip::make_address("127.0.0.1"), 0});
  return a.local_endpoint().port();
}

struct Event {
  std::string type;
  Json payload;
};

class SidecarEnv {
 public:
  fs::path dir, root, bin, sudo_log, sync_log;
  std::shared_ptr<RecordingIsolationPolicy> policy = std::make_shared<RecordingIsolationPolicy>();
  std::shared_ptr<SseChatProtocol> chat = std::make_shared<SseChatProtocol>();
  std::vector<Event> events;

  SidecarEnv() {
    char tmpl[] = "/tmp/dravik-test-XXXXXX";
    dir = ::mkdtemp(tmpl);
    root = dir / "root";
    bin = dir / "bin";
    sudo_log = dir / "sudo.log";
    sync_log = dir / "sync.log";
    fs::create_directories(root / "proc");
    fs::create_directories(dir / "work");
    write_text(root / "etc/sudoers.d/dravik-clocks", "installed\n");
    fs::create_directories(bin);
    const char* fake_dir = std::getenv("DRAVIK_TEST_BIN_DIR");
    fs::create_symlink(fs::path(fake_dir ? fake_dir : ".") / "fake_llama_server", bin / "llama-server");
    // sudo: record the call; "-n jetson_clocks" fails like a machine without
    // the tool; tee and chmod do their job on the fake root.
    write_text(bin / "sudo",
               "#!/bin/sh\necho \"$*\" >> '" + sudo_log.string() +
                   "'\ncase \"$1\" in\n  tee) cat > \"$2\";;\n  chmod) chmod \"$2\" \"$3\";;\n  *) exit 1;;\nesac\n",
               true);
    write_text(bin / "sync", "#!/bin/sh\necho sync >> '" + sync_log.string() + "'\n", true);
    old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin.string() + ":" + old_path_).c_str(), 1);
    old_cwd_ = fs::current_path();
    fs::current_path(dir / "work");

    auto& s = sidecar::detail::seams();
    saved_ = s;
    s.root = root.string();
    s.readiness_deadline = std::chrono::milliseconds(8000);
    s.poll_interval = std::chrono::milliseconds(20);
    s.stop_grace = std::chrono::milliseconds(400);
    s.cleanup_term_wait = std::chrono::milliseconds(200);
    s.cleanup_kill_wait = std::chrono::milliseconds(50);
    s.compaction_wait = std::chrono::milliseconds(5);
    s.early_exit_stderr_wait = std::chrono::milliseconds(500);
    s.slot_request_timeout = std::chrono::milliseconds(2000);

    host::HostServices hs;
    hs.isolation_policy = policy;
    hs.chat_protocol = chat;
    host::install_host_services(hs);
  }

  ~SidecarEnv() {
    for (const auto& k : set_vars_) ::unsetenv(k.c_str());
    ::setenv("PATH", old_path_.c_str(), 1);
    fs::current_path(old_cwd_);
    sidecar::detail::seams() = saved_;
    host::install_host_services({});
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  void setenv(const std::string& k, const std::string& v) {
    ::setenv(k.c_str(), v.c_str(), 1);
    set_vars_.push_back(k);
  }

  sidecar::DiagnosticsHook hook() {
    return [this](const std::string& type, const Json& payload) { events.push_back({type, payload}); };
  }

  std::vector<std::string> event_types() const {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.type);
    return out;
  }

  const Event* find_event(const std::string& type) const {
    for (const auto& e : events)
      if (e.type == type) return &e;
    return nullptr;
  }

  // A client for the fake server on a free port, device "cpu".
  std::unique_ptr<sidecar::SidecarClient> client(asio::io_context& io, std::string device = "cpu") {
    return std::make_unique<sidecar::SidecarClient>(io.get_executor(), (dir / "model.gguf").string(), "127.0.0.1",
                                                    free_port(), 2048, device, 99, false, hook());
  }

  // What the fake server recorded about its start (FAKE_LLAMA_RECORD).
  fs::path record_file() const { return dir / "record.json"; }
  void record() { setenv("FAKE_LLAMA_RECORD", record_file().string()); }
  Json recorded() const { return Json::parse(read_text(record_file())); }

 private:
  std::string old_path_;
  fs::path old_cwd_;
  sidecar::detail::Seams saved_;
  std::vector<std::string> set_vars_;
};

}  // namespace dravik::testing
