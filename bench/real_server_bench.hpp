// The set-up of the benchmarks against the real llama-server: the server
// and model the tests use (DRAVIK_TEST_LLAMA_SERVER, DRAVIK_TEST_MODEL),
// a working directory with the server on PATH as "llama-server" and a fake
// system root (nothing of the machine is stopped or pinned), and the host
// services installed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "bench_util.hpp"
#include "dravik_host.hpp"
#include "sidecar/detail/seams.hpp"

namespace dravik::bench {

struct RealServer {
  std::string model;         // absolute
  std::filesystem::path dir;  // the working directory (removed by the caller)
};

// Absent (after saying what to set) when the variables are not set.
inline std::optional<RealServer> real_server_bench(boost::asio::io_context& io) {
  const char* server = std::getenv("DRAVIK_TEST_LLAMA_SERVER");
  const char* model = std::getenv("DRAVIK_TEST_MODEL");
  if (!server || !model) {
    std::fprintf(stderr, "set DRAVIK_TEST_LLAMA_SERVER and DRAVIK_TEST_MODEL\n");
    return std::nullopt;
  }
  RealServer r{std::filesystem::absolute(model).string(),
               make_sidecar_sandbox(std::filesystem::absolute(server).string())};
  sidecar::detail::seams().root = (r.dir / "root").string();
  hostlib::ServiceOptions services;
  services.workdir = r.dir;
  hostlib::install_services(io.get_executor(), services);
  return r;
}

}  // namespace dravik::bench
