// The stale-process scan against `pgrep -u <uid> -x llama-server` over the
// same process table, with and without 1000 extra processes.
#include <unistd.h>

#include <vector>

#include <boost/asio/io_context.hpp>

#include "bench_util.hpp"
#include "sidecar/sidecar.hpp"
#include "support/process/process.hpp"

using namespace dravik;

int main() {
  boost::asio::io_context io;
  const std::string uid = std::to_string(::getuid());
  for (int extra : {0, 1000}) {
    std::vector<proc::Child> children;
    for (int i = 0; i < extra; ++i) {
      proc::SpawnOptions o;
      o.argv = {"sleep", "300"};
      children.push_back(proc::Child::spawn(io.get_executor(), o));
    }
    const int runs = 30;
    auto t0 = bench::Clock::now();
    std::size_t found = 0;
    for (int i = 0; i < runs; ++i) found += sidecar::SidecarClient::_find_stale_inference_pids().size();
    const double scan = bench::ms_since(t0) / runs;
    t0 = bench::Clock::now();
    for (int i = 0; i < runs; ++i) proc::run_sync({"pgrep", "-u", uid, "-x", "llama-server"});
    const double pgrep = bench::ms_since(t0) / runs;
    std::printf("process table with %d extra processes (%zu stale found per scan)\n", extra, found / runs);
    bench::ratio_line("  stale scan per call vs pgrep", scan, pgrep, "ms");
  }
  return 0;
}
