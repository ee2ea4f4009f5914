#include "provisioning/provisioning.hpp"

#include <cmath>

#include <gtest/gtest.h>

#include "fakes/host_doubles.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/errors.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;
namespace pv = dravik::provisioning;

namespace {

// A home directory, fake git and cmake on PATH (recording "cwd|args"), the
// hardware probe double, and callbacks that record what the user sees.
class Provisioning : public ::testing::Test {
 protected:
  fs::path dir, home, bin, calls_log;
  std::string old_path;
  std::shared_ptr<FakeHardwareProbe> probe = std::make_shared<FakeHardwareProbe>();
  std::vector<std::string> logged, status;
  int cleared = 0;
  asio::io_context io;

  void SetUp() override {
    char tmpl[] = "/tmp/dravik-prov-XXXXXX";
    dir = ::mkdtemp(tmpl);
    home = dir / "home";
    bin = dir / "bin";
    calls_log = dir / "calls.log";
    fs::create_directories(home);
    pv::detail::set_home(home);
    const std::string rec = "echo \"$(pwd)|$(basename $0) $*\" >> '" + calls_log.string() + "'\n";
    write_text(bin / "git",
               "#!/bin/sh\n" + rec +
                   "[ -n \"$FAKE_GIT_OUT\" ] && printf '%s' \"$FAKE_GIT_OUT\"\n"
                   "[ -n \"$FAKE_GIT_ERR\" ] && printf '%s' \"$FAKE_GIT_ERR\" >&2\n"
                   "[ \"${FAKE_GIT_EXIT:-0}\" = 0 ] && mkdir -p \"$5\"\n"
                   "exit ${FAKE_GIT_EXIT:-0}\n",
               true);
    write_text(bin / "cmake",
               "#!/bin/sh\n" + rec +
                   "if [ \"$1\" = --build ]; then\n"
                   "  [ -n \"$FAKE_CMAKE_KILL\" ] && kill -9 $$\n"
                   "  [ -n \"$FAKE_BUILD_PROGRESS\" ] && printf '[1/3] Building A\\n[2/3] Building B\\r\\n[3/3] Linking\\n'\n"
                   "  [ \"${FAKE_BUILD_EXIT:-0}\" = 0 ] && [ -z \"$FAKE_BUILD_NO_BINARY\" ] && mkdir -p bin && touch bin/llama-server\n"
                   "  [ -n \"$FAKE_BUILD_ERR\" ] && echo \"$FAKE_BUILD_ERR\" >&2\n"
                   "  exit ${FAKE_BUILD_EXIT:-0}\n"
                   "fi\n"
                   "exit ${FAKE_CONFIGURE_EXIT:-0}\n",
               true);
    old_path = std::getenv("PATH");
    ::setenv("PATH", (bin.string() + ":/usr/bin:/bin").c_str(), 1);
    host::HostServices s;
    s.hardware_probe = probe;
    host::install_host_services(s);
    pv::detail::progress_interval = 0ms;
    old_cwd = fs::current_path();
    fs::current_path(dir);
  }
  fs::path old_cwd;
  void TearDown() override {
    fs::current_path(old_cwd);
    ::setenv("PATH", old_path.c_str(), 1);
    for (const char* v : {"FAKE_GIT_EXIT", "FAKE_GIT_OUT", "FAKE_GIT_ERR", "FAKE_CONFIGURE_EXIT", "FAKE_BUILD_EXIT",
                          "FAKE_BUILD_NO_BINARY", "FAKE_BUILD_ERR", "FAKE_CMAKE_KILL", "FAKE_BUILD_PROGRESS"})
      ::unsetenv(v);
    host::install_host_services({});
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  std::vector<std::string> calls() const {
    std::istringstream in(read_text(calls_log));
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  pv::LogWriter log() {
    return [this](const std::string& s) { logged.push_back(s); };
  }
  pv::SetStatus set_status() {
    return [this](const std::string& s) { status.push_back(s); };
  }
  pv::ClearStatus clear() {
    return [this] { ++cleared; };
  }
  Json ensure_sidecar(const Json& setup, host::HardwareInfo hw = {8.0, false, "x86"}) {
    return run_until_done(io, pv::ensure_sidecar(setup, hw, log(), set_status(), clear()));
  }
  std::string sidecar_error(const Json& setup) {
    try {
      ensure_sidecar(setup);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

}  // namespace

TEST(Catalog, RecommendationFollowsTotalRam) {
  auto label = [](double gb) { return pv::recommend_direct_model({gb, false, ""})["label"].get<std::string>(); };
  EXPECT_EQ(label(6.0), "Qwen2.5 Coder 1.5B");
  EXPECT_EQ(label(6.01), "Qwen2.5 Coder 7B");
  EXPECT_EQ(label(24.0), "Qwen2.5 Coder 7B");
  EXPECT_EQ(label(24.5), "Qwen2.5 Coder 14B");
  EXPECT_EQ(label(0), "Qwen2.5 Coder 1.5B");
  EXPECT_EQ(label(-4), "Qwen2.5 Coder 1.5B");
  EXPECT_EQ(label(20000), "Qwen2.5 Coder 14B");
  EXPECT_EQ(label(std::nan("")), "Qwen2.5 Coder 14B");
  for (const auto& e : pv::detail::MODEL_CATALOG) {
    EXPECT_EQ(e.url.rfind("https://", 0), 0u);
    EXPECT_NE(e.url.find("/resolve/main/" + e.filename + "?download=true"), std::string::npos);
  }
}

TEST_F(Provisioning, TheRecommendationPointsIntoTheModelsDirectory) {
  Json r = pv::recommend_direct_model({16.0, true, "Jetson AGX Orin"});
  std::vector<std::string> keys;
  for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"label", "filename", "url", "target_path"}));
  for (const auto& [key, value] : r.items()) EXPECT_TRUE(value.is_string()) << key;
  // The size the first-run offer shows comes from the catalog, not the map.
  EXPECT_EQ(pv::size_text(*pv::catalog_size_bytes(r["filename"].get<std::string>())), "4.36 GB");
  EXPECT_FALSE(pv::catalog_size_bytes("other.gguf"));
  EXPECT_EQ(r["target_path"], (home / ".dravik/models/Qwen2.5-Coder-7B-Instruct-Q4_K_M.gguf").string());
  EXPECT_EQ(pv::SIDECAR_BIN, home / ".dravik/bin/llama-server");
  EXPECT_EQ(pv::LLAMA_CPP_DIR, home / "llama.cpp");
}

TEST_F(Provisioning, CmakeArgumentsFollowCudaAndTheJetsonLabel) {
  EXPECT_EQ(pv::_llama_cmake_args({8, true, "NVIDIA Jetson Orin Nano"}),
            (std::vector<std::string>{"cmake", "..", "-DGGML_CUDA=ON", "-DGGML_CUDA_FA_ALL_QUANTS=ON",
                                      "-DCMAKE_CUDA_ARCHITECTURES=87"}));
  EXPECT_EQ(pv::_llama_cmake_args({8, false, "NVIDIA Jetson Orin Nano"}), (std::vector<std::string>{"cmake", ".."}));
  EXPECT_EQ(pv::_llama_cmake_args({8, true, "RTX box"}).size(), 4u);
}

TEST_F(Provisioning, AnExistingServerIsFoundPathFirst) {
  EXPECT_EQ(pv::current_sidecar_path(), std::nullopt);
  write_text(pv::SIDECAR_BIN, "", true);
  EXPECT_EQ(pv::current_sidecar_path(), pv::SIDECAR_BIN.string());
  write_text(home / "llama.cpp/build/bin/llama-server", "", true);
  EXPECT_EQ(pv::current_sidecar_path(), (home / "llama.cpp/build/bin/llama-server").string());
  write_text(bin / "llama-server", "", true);
  EXPECT_EQ(pv::current_sidecar_path(), (bin / "llama-server").string());
}

TEST_F(Provisioning, AnotherRuntimeOrAnExistingServerBuildsNothing) {
  Json setup = {{"runtime", "openrouter"}};
  EXPECT_EQ(ensure_sidecar(setup), setup);
  write_text(bin / "llama-server", "", true);
  Json local = {{"runtime", "llama_cpp"}, {"x", 1}};
  Json r = ensure_sidecar(local);
  EXPECT_EQ(r, (Json{{"runtime", "llama_cpp"}, {"x", 1}, {"sidecar_path", (bin / "llama-server").string()},
                     {"setup_missing_runtime", false}}));
  EXPECT_EQ(local, (Json{{"runtime", "llama_cpp"}, {"x", 1}}));
  EXPECT_TRUE(calls().empty());
  EXPECT_TRUE(status.empty());
}

TEST_F(Provisioning, AFreshBoardIsClonedConfiguredAndBuilt) {
  Json r = ensure_sidecar(Json::object(), {8, true, "Jetson Orin"});
  const std::string build = (home / "llama.cpp/build").string();
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         dir.string() + "|git clone --depth 1 https://github.com/ggml-org/llama.cpp " +
                             (home / "llama.cpp").string(),
                         build + "|cmake .. -DGGML_CUDA=ON -DGGML_CUDA_FA_ALL_QUANTS=ON -DCMAKE_CUDA_ARCHITECTURES=87",
                         build + "|cmake --build . --target llama-server -j4"}));
  EXPECT_EQ(r["sidecar_path"], build + "/bin/llama-server");
  EXPECT_EQ(r["setup_missing_runtime"], false);
  EXPECT_EQ(status, std::vector<std::string>{"provisioning llama-server"});
  EXPECT_EQ(logged, std::vector<std::string>{"[bold bright_white]Provisioning llama-server...[/]"});
  EXPECT_EQ(cleared, 1);
}

TEST_F(Provisioning, AnExistingCheckoutIsReusedWithoutGit) {
  fs::create_directories(home / "llama.cpp");
  ensure_sidecar(Json::object());
  for (const auto& c : calls()) EXPECT_EQ(c.find("|git"), std::string::npos) << c;
}

TEST_F(Provisioning, FailuresCarryTheToolsOwnWords) {
  ::setenv("FAKE_GIT_EXIT", "128", 1);
  ::setenv("FAKE_GIT_OUT", "fatal: x\n", 1);
  EXPECT_EQ(sidecar_error(Json::object()), "fatal: x");
  ::setenv("FAKE_GIT_ERR", "  fatal: could not resolve host  ", 1);
  EXPECT_EQ(sidecar_error(Json::object()), "fatal: could not resolve host");
  ::unsetenv("FAKE_GIT_ERR");
  ::unsetenv("FAKE_GIT_OUT");
  EXPECT_EQ(sidecar_error(Json::object()), "Failed to clone llama.cpp");
  EXPECT_EQ(cleared, 3);
  ::unsetenv("FAKE_GIT_EXIT");

  ::setenv("FAKE_CONFIGURE_EXIT", "1", 1);
  EXPECT_EQ(sidecar_error(Json::object()), "Failed to configure llama.cpp");
  EXPECT_EQ(cleared, 4);
  ::unsetenv("FAKE_CONFIGURE_EXIT");

  ::setenv("FAKE_BUILD_EXIT", "2", 1);
  ::setenv("FAKE_BUILD_ERR", "nvcc fatal", 1);
  EXPECT_EQ(sidecar_error(Json::object()), "nvcc fatal");
  EXPECT_EQ(cleared, 5);
  ::unsetenv("FAKE_BUILD_EXIT");
  ::unsetenv("FAKE_BUILD_ERR");

  ::setenv("FAKE_BUILD_NO_BINARY", "1", 1);
  EXPECT_EQ(sidecar_error(Json::object()), "llama-server build completed but binary was not found.");
}

// A build takes up to an hour on a board: its own counter is the status,
// and its last lines are shown when it fails.
TEST_F(Provisioning, TheBuildShowsItsProgressAndItsLastLinesOnFailure) {
  ::setenv("FAKE_BUILD_PROGRESS", "1", 1);
  ensure_sidecar(Json::object());
  EXPECT_EQ(status, (std::vector<std::string>{"provisioning llama-server", "building llama-server: [1/3]",
                                              "building llama-server: [2/3]", "building llama-server: [3/3]"}));
  fs::remove_all(home / "llama.cpp/build");
  logged.clear();
  ::setenv("FAKE_BUILD_EXIT", "2", 1);
  EXPECT_NE(sidecar_error(Json::object()).find("[3/3] Linking"), std::string::npos);  // the tool's own words
  EXPECT_EQ(logged.at(1), "[bold]Last lines of the build:[/]");
  EXPECT_EQ(logged.at(3), "\\[2/3] Building B");  // shown as text, not read as markup
}

TEST_F(Provisioning, ABuildKilledByASignalIsAFailure) {
  ::setenv("FAKE_CMAKE_KILL", "1", 1);
  EXPECT_EQ(sidecar_error(Json::object()), "Failed to build llama-server");
  auto r = run_until_done(io, pv::_run_exec({"sh", "-c", "kill -TERM $$"}));
  EXPECT_EQ(r.exit_status, -15);
}

TEST_F(Provisioning, AMissingToolIsAnOperatingSystemError) {
  fs::remove(bin / "git");
  ::setenv("PATH", bin.string().c_str(), 1);
  EXPECT_THROW(ensure_sidecar(Json::object()), FileNotFoundError);
  EXPECT_EQ(cleared, 0);  // the status line stays, as the error says what happened
}

TEST_F(Provisioning, RunExecUsesTheWorkingDirectory) {
  auto r = run_until_done(io, pv::_run_exec({"sh", "-c", "pwd; echo err >&2; exit 4"}, dir));
  EXPECT_EQ(r.exit_status, 4);
  EXPECT_EQ(r.out, dir.string() + "\n");
  EXPECT_EQ(r.err, "err\n");
}
