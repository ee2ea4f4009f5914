// The resident memory a host gains by loading the sidecar library and
// constructing one client. This program links none of our libraries: it
// loads them through a small plugin.
#include <dlfcn.h>

#include <cstdio>

#include <boost/asio/io_context.hpp>

#include "bench_util.hpp"

using namespace dravik;
namespace asio = boost::asio;

int main() {
  const long before = bench::status_kb("VmRSS");
  void* lib = ::dlopen(DRAVIK_BENCH_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::printf("cannot load %s: %s\n", DRAVIK_BENCH_PLUGIN, ::dlerror());
    return 1;
  }
  const long loaded = bench::status_kb("VmRSS");
  auto make = reinterpret_cast<void* (*)(void*)>(::dlsym(lib, "dravik_bench_new_client"));
  auto drop = reinterpret_cast<void (*)(void*)>(::dlsym(lib, "dravik_bench_delete_client"));
  asio::io_context io;
  void* client = make(&io);
  const long constructed = bench::status_kb("VmRSS");
  std::printf("resident memory: host before %ld kB, +%ld kB for the libraries, +%ld kB for one client\n", before,
              loaded - before, constructed - loaded);
  bench::ratio_line("  host RSS after load+construct vs before", static_cast<double>(constructed),
                    static_cast<double>(before), "kB");
  drop(client);
  return 0;
}
