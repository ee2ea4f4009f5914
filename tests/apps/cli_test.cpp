// The dravik command line as a user meets it: run as a program, on pipes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "fakes/test_http_server.hpp"
#include "provisioning/tiny_gguf.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/process/process.hpp"

using namespace dravik;
using namespace dravik::testing;

namespace {

class Cli : public ::testing::Test {
 protected:
  asio::io_context io;
  fs::path dir, home, work, bin;
  std::string dravik = std::string(std::getenv("DRAVIK_TEST_BIN_DIR")) + "/dravik";

  void SetUp() override {
    char tmpl[] = "/tmp/dravik-cli-XXXXXX";
    dir = ::mkdtemp(tmpl);
    home = dir / "home";
    work = dir / "work";
    bin = dir / "bin";
    fs::create_directories(home);
    fs::create_directories(work);
    fs::create_directories(bin);
  }
  void TearDown() override { fs::remove_all(dir); }

  // Runs dravik with a home, a working directory and a PATH of its own.
  proc::RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), dravik);
    proc::RunOptions o;
    o.env = proc::current_environment();
    (*o.env)["HOME"] = home.string();
    (*o.env)["PATH"] = bin.string() + ":/usr/bin:/bin";
    o.cwd = work.string();
    o.timeout = std::chrono::seconds(60);
    return run_until_done(io, proc::run(args, o));
  }
  void add_server_to_path() {
    fs::create_symlink(fs::path(std::getenv("DRAVIK_TEST_BIN_DIR")) / "fake_llama_server", bin / "llama-server");
  }
  static bool plain_text(const std::string& s) {
    return s.find('\x1b') == std::string::npos && s.find('\r') == std::string::npos;
  }
};

}  // namespace

TEST_F(Cli, HelpAndVersionExitZero) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"--help"}, {"-h"}, {"help"}, {"help", "setup"}, {"doctor", "--help"}, {"setup", "--help"}}) {
    auto r = run(args);
    EXPECT_EQ(r.exit_status, 0) << args.size();
    EXPECT_NE(r.out.find("Usage: dravik"), std::string::npos) << r.out;
  }
  EXPECT_NE(run({"--help"}).out.find("setup"), std::string::npos);
  EXPECT_NE(run({"doctor", "--help"}).out.find("--port"), std::string::npos);
  auto v = run({"--version"});
  EXPECT_EQ(v.exit_status, 0);
  EXPECT_FALSE(v.out.empty());
}

TEST_F(Cli, UsageErrorsAreOneLineAndTheUsageWithExitTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"frobnicate"},
                                                                {"doctor", "--bogus"},
                                                                {"setup", "--port", "5"},  // not a setup option
                                                                {"doctor", "--port", "70000"},
                                                                {"doctor", "--port", "0"},
                                                                {"doctor", "--device", "gpu"},
                                                                {"help", "nothing"},
                                                                {"chat", "--runtime", "opnai_compatible"}}) {
    auto r = run(args);
    EXPECT_EQ(r.exit_status, 2) << args.back();
    EXPECT_EQ(r.err.rfind("dravik: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Usage: dravik"), std::string::npos) << r.err;
  }
  // The unknown runtime is named with the ones there are.
  const auto r = run({"chat", "--runtime", "opnai_compatible", "-p", "hi"});
  EXPECT_NE(r.err.find("unknown runtime 'opnai_compatible': one of llama_cpp, openai_compatible, openrouter"),
            std::string::npos)
      << r.err;
}

TEST_F(Cli, DoctorOnlyLooks) {
  auto r = run({"doctor"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(fs::is_empty(work)) << "the doctor wrote into the working directory";
  EXPECT_TRUE(fs::is_empty(home));
  EXPECT_NE(r.out.find("slot directory:        " + (work / ".dravik/state/swap").string()), std::string::npos);
  EXPECT_NE(r.out.find("missing (run `dravik setup`"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("context:               4,096 tokens (chosen: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" -c 4096"), std::string::npos) << r.out;
  EXPECT_TRUE(plain_text(r.out));
}

TEST_F(Cli, DoctorStartWithoutAServerStopsNothing) {
  proc::SpawnOptions decoy;
  decoy.argv = {"bash", "-c", "exec -a ollama sleep 30"};
  auto other = proc::Child::spawn(io.get_executor(), decoy);
  auto r = run({"doctor", "--start", "--yes"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("run `dravik setup`"), std::string::npos) << r.err;
  EXPECT_FALSE(other.poll()) << "a process of the user was stopped";
  EXPECT_TRUE(fs::is_empty(work));
}

TEST_F(Cli, SetupDownloadsAndSaysWhatIsWhere) {
  const std::string model = tiny_gguf(50000);
  TestHttpServer server(io.get_executor(), [&](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(200, model, "application/octet-stream");
  });
  add_server_to_path();
  const fs::path target = home / "models/m.gguf";
  auto r = run({"setup", "--model-url", server.url("/m.gguf"), "--model", target.string()});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(read_text(target), model);
  EXPECT_NE(r.out.find("Set-up complete."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("model:        " + target.string()), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("llama-server: " + (bin / "llama-server").string()), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Downloading m.gguf: 100%"), std::string::npos) << r.out;
  EXPECT_TRUE(plain_text(r.out)) << r.out;

  r = run({"setup", "--json", "--model-url", server.url("/m.gguf"), "--model", target.string()});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(Json::parse(r.out).at("llama_model"), target.string());
  // The configuration left for dravik chat names the model and its context;
  // a context the user set stays.
  Json cfg = Json::parse(read_text(home / ".dravik/config.json"));
  EXPECT_EQ(cfg.at("llama_model"), target.string());
  EXPECT_EQ(cfg.at("context_window_tokens"), 4096);
  cfg["context_window_tokens"] = 6144;
  write_text(home / ".dravik/config.json", cfg.dump());
  r = run({"setup", "--model-url", server.url("/m.gguf"), "--model", target.string()});
  EXPECT_NE(r.out.find("context:      6144 tokens (kept from the configuration"), std::string::npos) << r.out;
  EXPECT_EQ(Json::parse(read_text(home / ".dravik/config.json")).at("context_window_tokens"), 6144);
}

TEST_F(Cli, AnAirGappedSetupTriesNoNetwork) {
  TestHttpServer server(io.get_executor(), [&](const RawRequest&, Conn& c) -> asio::awaitable<void> {
    co_await c.respond(200, "x");
  });
  auto r = run({"setup", "--airgapped", "--model-url", server.url("/m.gguf"), "--model", (home / "m.gguf").string()});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("air-gapped"), std::string::npos) << r.err;
  EXPECT_TRUE(server.requests().empty());
}
