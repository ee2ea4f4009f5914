// Construction, launch assembly, platform probing, memory preparation, clock
// tuning and the stale-process scan, against a fake system root.
#include <gtest/gtest.h>

#include "sidecar_env.hpp"
#include "support/errors.hpp"

using namespace dravik;
using namespace dravik::testing;
using sidecar::SidecarClient;

namespace {

class Launch : public ::testing::Test {
 protected:
  SidecarEnv env;
  asio::io_context io;
  SidecarClient make(std::string device = "auto") {
    return SidecarClient(io.get_executor(), "/models/m.gguf", "127.0.0.1", 8080, 2048, device);
  }
};

std::vector<std::string> lines_of(const fs::path& p) {
  std::istringstream in(read_text(p));
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

}  // namespace

TEST_F(Launch, ConstructionNormalisesItsArguments) {
  SidecarClient a(io.get_executor(), "m.gguf", "127.0.0.1", 8080, 100, " CUDA ", -5);
  EXPECT_EQ(a.context_window_tokens, 512);
  EXPECT_EQ(a.gpu_layers, 0);
  EXPECT_EQ(a.device, "cuda");
  EXPECT_EQ(a.base_url, "http://127.0.0.1:8080");
  EXPECT_EQ(a.reasoning_mode, "default");
  EXPECT_FALSE(a._proc);
  SidecarClient b(io.get_executor(), "m.gguf", "127.0.0.1", 9, 4096, "");
  EXPECT_EQ(b.context_window_tokens, 4096);
  EXPECT_EQ(b.device, "auto");
  SidecarClient c(io.get_executor(), "m.gguf", "127.0.0.1", 9, 512, "   ");
  EXPECT_EQ(c.context_window_tokens, 512);
  EXPECT_EQ(c.device, "");
}

TEST_F(Launch, DeviceResolvesByRequestOrByProbingTheRoot) {
  EXPECT_EQ(make("gpu")._resolve_device(), "cpu");
  EXPECT_EQ(make("")._resolve_device(), "cpu");
  fs::create_directories(env.root / "usr/local/cuda");
  EXPECT_EQ(make("gpu")._resolve_device(), "cuda");
  EXPECT_EQ(make("cpu")._resolve_device(), "cpu");
  fs::remove_all(env.root / "usr");
  write_text(env.root / "dev/nvhost-gpu", "");
  EXPECT_EQ(make("auto")._resolve_device(), "cuda");
}

TEST_F(Launch, JetsonIsRecognisedByEitherMarker) {
  EXPECT_FALSE(SidecarClient::_is_jetson_platform());
  write_text(env.root / "dev/nvhost-gpu", "");
  EXPECT_TRUE(SidecarClient::_is_jetson_platform());
  fs::remove(env.root / "dev/nvhost-gpu");
  write_text(env.root / "etc/nv_tegra_release", "R36");
  EXPECT_TRUE(SidecarClient::_is_jetson_platform());
}

TEST_F(Launch, CommandHasTheExactLayout) {
  auto c = make();
  auto cmd = c._launch_command("/opt/x/bin/llama-server", 0, 2048, 128, 32, false, false);
  ASSERT_EQ(cmd.size(), 26u);
  auto slot = fs::canonical(fs::current_path() / ".dravik/state/swap").string();
  std::vector<std::string> expected{"/opt/x/bin/llama-server", "-m", "/models/m.gguf", "--host", "127.0.0.1",
                                    "--port", "8080", "--parallel", "1", "--no-mmap", "--slot-save-path", slot,
                                    "--flash-attn", "on", "-ctk", "q8_0", "-ctv", "q8_0", "-b", "128", "-ub", "32",
                                    "-ngl", "0", "-c", "2048"};
  EXPECT_EQ(cmd, expected);
  auto both = c._launch_command("llama-server", 99, 4096, 128, 32, true, true);
  ASSERT_EQ(both.size(), 29u);
  EXPECT_EQ(std::vector<std::string>(both.begin() + 12, both.begin() + 16),
            (std::vector<std::string>{"--fit", "off", "--no-warmup", "--flash-attn"}));
  EXPECT_EQ(both[26], "99");
  EXPECT_EQ(both[28], "4096");
}

TEST_F(Launch, SlotPathResolvesSymbolicLinks) {
  fs::create_directories(env.dir / "real");
  fs::create_directory_symlink(env.dir / "real", ".dravik");
  auto cmd = make()._launch_command("llama-server", 0, 2048, 128, 32, false, false);
  EXPECT_EQ(cmd[11], fs::canonical(env.dir / "real/state/swap").string());
}

TEST_F(Launch, AnUncreatableSlotDirectoryFailsBeforeAnyLaunch) {
  write_text(".dravik", "a file where the directory should be");
  EXPECT_THROW(make()._launch_command("llama-server", 0, 2048, 128, 32, false, false), OSError);
}

TEST_F(Launch, EnvironmentSetsLibrariesAndCudaVariables) {
  ::unsetenv("LD_LIBRARY_PATH");
  env.setenv("CUDA_MODULE_LOADING", "EAGER");
  env.setenv("GGML_CUDA_ENABLE_UNIFIED_MEMORY", "0");
  env.setenv("LLAMA_API_KEY", "secret");
  env.setenv("LLAMA_ARG_THREADS", "1");
  auto c = make();
  auto e = c._launch_environment("/opt/x/bin/llama-server", "cpu");
  // No empty element: an empty one would make the loader search the
  // current directory.
  EXPECT_EQ(e["LD_LIBRARY_PATH"], "/opt/x/bin:/usr/local/cuda/lib64");
  EXPECT_EQ(e["CUDA_MODULE_LOADING"], "EAGER");
  EXPECT_EQ(e["GGML_CUDA_ENABLE_UNIFIED_MEMORY"], "1");
  EXPECT_EQ(e.count("LLAMA_API_KEY"), 0u);
  EXPECT_EQ(e["LLAMA_ARG_THREADS"], "1");
  EXPECT_EQ(e.count("GGML_CUDA_VMM_CHUNK_MB"), 0u);
  EXPECT_EQ(env.policy->env_calls, std::vector<bool>{false});

  env.setenv("LD_LIBRARY_PATH", "/a::/b:");
  EXPECT_EQ(c._launch_environment("llama-server", "cpu")["LD_LIBRARY_PATH"], "/usr/local/cuda/lib64:/a:/b");
  ::unsetenv("CUDA_MODULE_LOADING");
  EXPECT_EQ(c._launch_environment("llama-server", "cpu")["CUDA_MODULE_LOADING"], "LAZY");
}

TEST_F(Launch, JetsonVmmDefaultsOnlyForCudaAndNeverOverHostValues) {
  write_text(env.root / "etc/nv_tegra_release", "R36");
  auto c = make();
  auto cpu = c._launch_environment("llama-server", "cpu");
  EXPECT_EQ(cpu.count("GGML_CUDA_VMM_CHUNK_MB"), 0u);
  auto cuda = c._launch_environment("llama-server", "cuda");
  EXPECT_EQ(cuda["GGML_CUDA_VMM_CHUNK_MB"], "1");
  EXPECT_EQ(cuda["GGML_CUDA_VMM_RESERVE_MB"], "4096");
  env.setenv("GGML_CUDA_VMM_RESERVE_MB", "2048");
  EXPECT_EQ(c._launch_environment("llama-server", "cuda")["GGML_CUDA_VMM_RESERVE_MB"], "2048");
}

TEST_F(Launch, ThePolicyCanEditOrRefuseTheEnvironment) {
  env.policy->edit_env = [](host::Environment& e) { e["HTTPS_PROXY"] = "blocked"; };
  EXPECT_EQ(make()._launch_environment("llama-server", "cpu")["HTTPS_PROXY"], "blocked");
  env.policy->edit_env = [](host::Environment&) { throw host::AirgapViolationError("no"); };
  EXPECT_THROW(make()._launch_environment("llama-server", "cpu"), host::AirgapViolationError);
}

TEST_F(Launch, FindSidecarSearchesPathThenTheHomeBuild) {
  EXPECT_EQ(sidecar::_find_sidecar(), (env.bin / "llama-server").string());
  ::setenv("PATH", "/nonexistent", 1);
  env.setenv("HOME", env.dir.string());
  try {
    sidecar::_find_sidecar();
    FAIL();
  } catch (const FileNotFoundError& e) {
    EXPECT_STREQ(e.what(), "llama-server not found on PATH or ~/llama.cpp/build/bin/");
  }
  write_text(env.dir / "llama.cpp/build/bin/llama-server", "", true);
  EXPECT_EQ(sidecar::_find_sidecar(), (env.dir / "llama.cpp/build/bin/llama-server").string());
}

TEST_F(Launch, DiagnosticsSurviveAMissingOrFailingHook) {
  SidecarClient quiet(io.get_executor(), "m.gguf");
  quiet._emit_diagnostic("runtime_llama_x", Json::object());
  int calls = 0;
  SidecarClient noisy(io.get_executor(), "m.gguf", "127.0.0.1", 8080, 2048, "auto", 99, false,
                      [&](const std::string&, const Json&) {
                        ++calls;
                        throw std::runtime_error("hook broke");
                      });
  EXPECT_NO_THROW(noisy._emit_diagnostic("runtime_llama_x", Json{{"a", 1}}));
  EXPECT_EQ(calls, 1);
}

TEST_F(Launch, ReasoningModeAcceptsOnlyTheThreeValues) {
  auto c = make();
  c.set_reasoning_mode("  ON ");
  EXPECT_EQ(c.reasoning_status(), "on");
  try {
    c.set_reasoning_mode("true");
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "reasoning mode must be one of: default, on, off");
  }
  EXPECT_EQ(c.reasoning_status(), "on");
  EXPECT_EQ(c._reasoning_extra_body()->dump(), R"({"reasoning_format":"auto","chat_template_kwargs":{"enable_thinking":true}})");
  c.set_reasoning_mode("off");
  EXPECT_EQ(c._reasoning_extra_body()->dump(), R"({"reasoning_format":"none","chat_template_kwargs":{"enable_thinking":false}})");
  c.set_reasoning_mode("Default");
  EXPECT_FALSE(c._reasoning_extra_body());
}

// ------------------------------------------------------------------- memory

TEST_F(Launch, MeminfoFieldsAreReadInFileOrderAndRounded) {
  write_text(env.root / "proc/meminfo",
             "MemTotal:        7999999 kB\nMemFree:  1 kB\nBuffers: 100 kB\nCached: x kB\nSwapFree: 2048 kB\nshort\n");
  auto m = SidecarClient::_read_meminfo_fields();
  EXPECT_EQ(m.dump(), R"({"memtotal_mb":7812.5,"memfree_mb":0.0,"swapfree_mb":2.0})");
  fs::remove(env.root / "proc/meminfo");
  EXPECT_TRUE(SidecarClient::_read_meminfo_fields().empty());
}

TEST_F(Launch, LargestFreeBlockPoolsAllZones) {
  auto lfb = [](const std::string& t, int kb) { return SidecarClient::_largest_free_block_mb_from_text(t, kb); };
  EXPECT_EQ(lfb("", 4), std::nullopt);
  EXPECT_EQ(lfb("node 0, zone DMA 1 1 1\n", 4), std::nullopt);
  EXPECT_EQ(lfb("Node 0, zone DMA 0 0 0 0\n", 4), std::nullopt);
  EXPECT_EQ(lfb("Node 0, zone DMA 1 1 1 5 0\nNode 1, zone Normal 0 0 0 0 0 0 0 2\n", 4), 0.5);
  // A bad field keeps the order numbers of those after it.
  EXPECT_EQ(lfb("  Node 0, zone DMA 0 0 x 1\n", 4), 4.0 * 8 / 1024);
  std::string order10 = "Node 0, zone Normal 0 0 0 0 0 0 0 0 0 0 1\n";
  EXPECT_EQ(lfb(order10, 4), 4.0);
  EXPECT_EQ(lfb(order10, 64), 64.0);
  EXPECT_EQ(lfb("Node 0, zone Normal 0 0 0 0 0 0 0 0 0 0 0 3\n", 16), 32.0);
}

TEST_F(Launch, LiveMeasurementUsesThePageSizeWithAFallback) {
  write_text(env.root / "proc/buddyinfo", "Node 0, zone Normal 0 0 0 0 0 0 0 0 0 0 1\n");
  sidecar::detail::seams().page_size_bytes = 512;
  EXPECT_EQ(SidecarClient::_largest_free_block_mb(), 4.0);
  sidecar::detail::seams().page_size_bytes = 65536;
  EXPECT_EQ(SidecarClient::_largest_free_block_mb(), 64.0);
  auto snap = SidecarClient::_memory_snapshot();
  EXPECT_EQ(snap.dump(), R"({"largest_free_block_mb":64.0})");
  fs::remove(env.root / "proc/buddyinfo");
  write_text(env.root / "proc/meminfo", "MemAvailable: 1024 kB\n");
  EXPECT_EQ(SidecarClient::_memory_snapshot().dump(), R"({"memavailable_mb":1.0})");
}

TEST_F(Launch, ProfileTurnsWarmupOffOnlyForAMeasuredSmallBlock) {
  EXPECT_EQ(SidecarClient::_startup_profile_for_lfb(63.99), (sidecar::StartupProfile{128, 32, true, true}));
  EXPECT_EQ(SidecarClient::_startup_profile_for_lfb(64.0), (sidecar::StartupProfile{128, 32, true, false}));
  EXPECT_EQ(SidecarClient::_startup_profile_for_lfb(std::nullopt), (sidecar::StartupProfile{128, 32, true, false}));
}

TEST_F(Launch, PreparationStopsAtABigEnoughBlock) {
  sidecar::detail::seams().page_size_bytes = 4096;
  write_text(env.root / "proc/buddyinfo", "Node 0, zone Normal 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1\n");  // order 14: 64 MB
  fs::create_directories(env.root / "proc/sys/vm");
  auto c = make();
  EXPECT_EQ(run_until_done(io, c._prepare_memory_for_launch()), 64.0);
  EXPECT_FALSE(fs::exists(env.sync_log));
  EXPECT_FALSE(fs::exists(env.root / "proc/sys/vm/drop_caches"));
}

TEST_F(Launch, PreparationRunsThreeCompactionRoundsAtMost) {
  sidecar::detail::seams().page_size_bytes = 4096;
  write_text(env.root / "proc/buddyinfo", "Node 0, zone Normal 0 0 0 0 0 0 0 0 0 0 1\n");  // 4 MB
  fs::create_directories(env.root / "proc/sys/vm");
  auto c = make();
  EXPECT_EQ(run_until_done(io, c._prepare_memory_for_launch()), 4.0);
  EXPECT_EQ(lines_of(env.sync_log).size(), 3u);
  EXPECT_EQ(read_text(env.root / "proc/sys/vm/drop_caches"), "3");
  EXPECT_EQ(read_text(env.root / "proc/sys/vm/compact_memory"), "1");
}

TEST_F(Launch, AnUnmeasurableBlockStillRunsEveryRound) {
  auto c = make();
  EXPECT_EQ(run_until_done(io, c._prepare_memory_for_launch()), std::nullopt);
  EXPECT_EQ(lines_of(env.sync_log).size(), 3u);
  // The tunables do not exist under this root: nothing was written.
  EXPECT_FALSE(fs::exists(env.root / "proc/sys/vm/compact_memory"));
}

TEST_F(Launch, ARefusedDropCachesSkipsCompaction) {
  fs::create_directories(env.root / "proc/sys/vm/drop_caches");  // a directory: the write fails
  EXPECT_NO_THROW(SidecarClient::_compact_memory());
  EXPECT_FALSE(fs::exists(env.root / "proc/sys/vm/compact_memory"));
}

// ------------------------------------------------------------------- clocks

TEST_F(Launch, AnInstalledSudoersRuleStartsNoProcess) {
  SidecarClient::_ensure_jetson_clocks_sudoers();
  EXPECT_FALSE(fs::exists(env.sudo_log));
}

TEST_F(Launch, TheSudoersRuleAllowsTheClockToolWithoutArgumentsOnly) {
  fs::remove(env.root / "etc/sudoers.d/dravik-clocks");
  SidecarClient::_ensure_jetson_clocks_sudoers();
  auto file = (env.root / "etc/sudoers.d/dravik-clocks").string();
  EXPECT_EQ(lines_of(env.sudo_log), (std::vector<std::string>{"tee " + file, "chmod 0440 " + file}));
  EXPECT_EQ(read_text(file), "ALL ALL=(ALL) NOPASSWD: /usr/bin/jetson_clocks \"\"\n");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::mask, fs::perms::owner_read | fs::perms::group_read);
}

TEST_F(Launch, ClockPinningFallsBackToDevfreq) {
  auto devfreq = env.root / "sys/devices/platform/bus@0/17000000.gpu/devfreq/17000000.gpu";
  write_text(devfreq / "max_freq", "1300500000\n");
  write_text(devfreq / "min_freq", "306000000\n");
  SidecarClient::_maximize_gpu_clocks();
  EXPECT_EQ(read_text(devfreq / "min_freq"), "1300500000");
  EXPECT_EQ(lines_of(env.sudo_log), std::vector<std::string>{"-n jetson_clocks"});
}

TEST_F(Launch, ASucceedingClockToolTouchesNoDevfreqFile) {
  write_text(env.bin / "sudo", "#!/bin/sh\nexit 0\n", true);
  auto devfreq = env.root / "sys/devices/platform/bus@0/17000000.gpu/devfreq/17000000.gpu";
  write_text(devfreq / "max_freq", "9\n");
  write_text(devfreq / "min_freq", "1\n");
  SidecarClient::_maximize_gpu_clocks();
  EXPECT_EQ(read_text(devfreq / "min_freq"), "1\n");
}

TEST_F(Launch, AMachineWithoutSudoIsNotAnError) {
  ::setenv("PATH", "/nonexistent", 1);
  fs::remove(env.root / "etc/sudoers.d/dravik-clocks");
  EXPECT_NO_THROW(SidecarClient::_ensure_jetson_clocks_sudoers());
  EXPECT_NO_THROW(SidecarClient::_maximize_gpu_clocks());
}

// --------------------------------------------------------- stale processes

TEST_F(Launch, StaleScanReadsNameAndRealUserOfEachProcess) {
  const auto uid = std::to_string(::getuid());
  auto add = [&](const std::string& pid, const std::string& uid_line, const std::string& cmdline) {
    write_text(env.root / "proc" / pid / "status", "Name:\tx\n" + uid_line + "\nGid:\t0\n");
    write_text(env.root / "proc" / pid / "cmdline", cmdline);
  };
  add("101", "Uid:\t" + uid + "\t" + uid + "\t0\t0", std::string("/usr/local/bin/LLAMA-SERVER\0-m\0x", 32));
  add("102", "Uid:\t99999\t" + uid, std::string("llama-server\0", 13));
  add("103", "Uid:\t" + uid, std::string("ollama\0serve\0", 13));
  add("104", "Uid:\t" + uid, std::string("/bin/sh\0llama-server.sh\0", 24));
  add("105", "Uid:\t" + uid, std::string("llama-server-old\0", 17));
  add("106", "Uid:", std::string("llama-server\0", 13));
  add("107", "Uid:\t" + uid, "");
  add("108", "Uid:\t" + uid, std::string("\0\0/opt/llama-server\0", 20));
  add(std::to_string(::getpid()), "Uid:\t" + uid, std::string("llama-server\0", 13));
  fs::create_directories(env.root / "proc/109");  // vanished: no status file
  write_text(env.root / "proc/self/status", "Uid:\t" + uid);
  write_text(env.root / "proc/self/cmdline", "llama-server");
  auto pids = SidecarClient::_find_stale_inference_pids();
  std::sort(pids.begin(), pids.end());
  EXPECT_EQ(pids, (std::vector<pid_t>{101, 103, 108}));
  EXPECT_TRUE(SidecarClient::_pid_exists(109));
  EXPECT_FALSE(SidecarClient::_pid_exists(110));
}

TEST_F(Launch, NothingStaleMeansNoEventAndNoWait) {
  auto c = env.client(io);
  run_until_done(io, c->_cleanup_stale_inference_processes());
  EXPECT_TRUE(env.events.empty());
}

TEST_F(Launch, AnUnreadableProcessTableIsAnError) {
  fs::remove_all(env.root / "proc");
  EXPECT_THROW(SidecarClient::_find_stale_inference_pids(), OSError);
}
