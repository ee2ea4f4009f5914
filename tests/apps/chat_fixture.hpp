// The Chat fixture: the real dravik program against the fake llama-server,
// in a temporary home and working directory, with the server's script and
// the requests it received as files.
#pragma once

#include <csignal>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "apps/terminal.hpp"
#include "fakes/test_http_server.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/process/process.hpp"

namespace dravik::testing {

class Chat : public ::testing::Test {
 protected:
  asio::io_context io;
  fs::path dir, home, work, bin, script, requests;
  std::string dravik = std::string(std::getenv("DRAVIK_TEST_BIN_DIR")) + "/dravik";
  std::uint16_t port = free_port();

  void SetUp() override {
    char tmpl[] = "/tmp/dravik-chat-XXXXXX";
    dir = ::mkdtemp(tmpl);
    home = dir / "home";
    work = dir / "work";
    bin = dir / "bin";
    script = dir / "script.json";
    requests = dir / "requests.jsonl";
    fs::create_directories(work);
    fs::create_directories(bin);
    fs::create_symlink(fs::path(std::getenv("DRAVIK_TEST_BIN_DIR")) / "fake_llama_server", bin / "llama-server");
    write_text(bin / "sudo", "#!/bin/sh\nexit 1\n", true);
    write_text(dir / "model.gguf", "GGUF");
    write_text(home / ".dravik/config.json", "{\"llama_model\": \"" + (dir / "model.gguf").string() +
                                                 "\", \"device\": \"cpu\", \"llama_port\": " + std::to_string(port) + "}");
  }
  void TearDown() override {
    EXPECT_FALSE(server_left()) << "a llama-server outlived dravik";
    kill_leftovers();
    fs::remove_all(dir);
  }
  proc::Environment env() {
    auto e = proc::current_environment();
    e["HOME"] = home.string();
    e["PATH"] = bin.string() + ":/usr/bin:/bin";
    e["FAKE_LLAMA_SCRIPT"] = script.string();
    e["FAKE_LLAMA_REQUESTS"] = requests.string();
    e["FAKE_LLAMA_RECORD"] = (dir / "record.json").string();
    return e;
  }
  proc::RunResult chat(std::vector<std::string> args, std::optional<std::string> stdin_text = std::nullopt,
                       std::optional<fs::path> cwd = std::nullopt) {
    args.insert(args.begin(), {dravik, "chat"});
    proc::RunOptions o;
    o.env = env();
    o.cwd = cwd.value_or(work).string();
    o.stdin_bytes = std::move(stdin_text);
    o.timeout = std::chrono::seconds(60);
    return run_until_done(io, proc::run(args, o));
  }
  std::vector<Json> sent() const {
    std::vector<Json> out;
    std::istringstream in(read_text(requests));
    for (std::string l; std::getline(in, l);) out.push_back(Json::parse(l));
    return out;
  }
  // The processes whose command line (NUL-separated) `matches`.
  static std::vector<pid_t> processes(const std::function<bool(const std::string&)>& matches) {
    std::vector<pid_t> out;
    for (const auto& p : fs::directory_iterator("/proc")) {
      const std::string name = p.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      if (matches(read_text(p.path() / "cmdline"))) out.push_back(std::stoi(name));
    }
    return out;
  }
  // Fake servers of this test still running (their command line names our
  // model).
  std::vector<pid_t> servers() const {
    return processes([&](const std::string& cmdline) {
      return cmdline.find((dir / "model.gguf").string()) != std::string::npos ||
             cmdline.find((home / ".dravik/models").string()) != std::string::npos;
    });
  }
  bool server_left() const { return !servers().empty(); }
  // A failed test must not leave its server to the next one.
  void kill_leftovers() const {
    for (pid_t pid : servers()) ::kill(pid, SIGKILL);
  }
};

}  // namespace dravik::testing
