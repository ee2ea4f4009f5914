// Model download throughput from a local server against `curl -o` of the
// same 1 GB sparse file, and the process's peak memory.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <boost/asio.hpp>

#include "bench_util.hpp"
#include "fakes/test_http_server.hpp"
#include "provisioning/provisioning.hpp"
#include "support/process/process.hpp"

using namespace dravik;
namespace fs = std::filesystem;
namespace asio = boost::asio;
using testing::run_until_done;

int main(int argc, char** argv) {
  const std::uint64_t size = argc > 1 ? std::stoull(argv[1]) : (1ull << 30);
  char tmpl[] = "/tmp/dravik-dl-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(tmpl);
  fs::create_directories(dir / "serve");
  {
    std::ofstream f(dir / "serve/model.gguf", std::ios::binary);
    f << "GGUF";
  }
  fs::resize_file(dir / "serve/model.gguf", size);

  asio::io_context io;
  asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
  const std::string port = std::to_string(probe.local_endpoint().port());
  probe.close();
  proc::SpawnOptions so;
  so.argv = {"python3", "-m", "http.server", port, "--bind", "127.0.0.1", "--directory", (dir / "serve").string()};
  so.err = proc::Stdio::null;
  auto server = proc::Child::spawn(io.get_executor(), so);
  const std::string url = "http://127.0.0.1:" + port + "/model.gguf";
  for (int i = 0; i < 100; ++i) {
    if (proc::run_sync({"curl", "-s", "-o", "/dev/null", "-I", url}).exit_status == 0) break;
    ::usleep(50000);
  }

  auto t0 = bench::Clock::now();
  auto curl = proc::run_sync({"curl", "-s", "-o", (dir / "curl.gguf").string(), url});
  const double curl_s = bench::ms_since(t0) / 1000.0;
  fs::remove(dir / "curl.gguf");

  const long hwm_before = bench::status_kb("VmHWM");
  t0 = bench::Clock::now();
  Json setup = {{"model_source", "direct"}, {"model_download_url", url},
                {"model_download_path", (dir / "ours.gguf").string()}};
  run_until_done(io, provisioning::ensure_direct_model(setup, nullptr, nullptr, nullptr));
  const double ours_s = bench::ms_since(t0) / 1000.0;
  const long hwm_after = bench::status_kb("VmHWM");

  const double mb = static_cast<double>(size) / 1048576.0;
  std::printf("download of %.0f MB from a local server (curl exit %d)\n", mb, curl.exit_status);
  bench::ratio_line("  throughput (ours vs curl -o)", mb / ours_s, mb / curl_s, "MB/s");
  std::printf("  peak resident memory: %ld kB before, %ld kB after (grew %ld kB)\n", hwm_before, hwm_after,
              hwm_after - hwm_before);
  run_until_done(io, server.terminate(std::chrono::seconds(2)));
  fs::remove_all(dir);
  return 0;
}
