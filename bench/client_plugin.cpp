// Loaded with dlopen by bench_sidecar to measure what the sidecar library
// and one client cost a host.
#include <boost/asio/io_context.hpp>

#include "sidecar/sidecar.hpp"

extern "C" void* dravik_bench_new_client(void* io) {
  auto& ctx = *static_cast<boost::asio::io_context*>(io);
  return new dravik::sidecar::SidecarClient(ctx.get_executor(), "/models/model.gguf");
}

extern "C" void dravik_bench_delete_client(void* client) {
  delete static_cast<dravik::sidecar::SidecarClient*>(client);
}
