// The reference MCP server ("everything", DRAVIK_TEST_MCP_EVERYTHING) over
// streamable HTTP, running on its own as a user would have it.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "support/process/process.hpp"

namespace dravik::testing {

// Starts it on `port` of the loopback (a process group of its own, to be
// ended with terminate(grace, true)) and waits until it takes connections.
inline proc::Child start_everything_http(boost::asio::io_context& io, const std::string& index, std::uint16_t port) {
  proc::SpawnOptions so;
  so.argv = {"node", index, "streamableHttp"};
  auto env = proc::current_environment();
  env["PORT"] = std::to_string(port);
  so.env = env;
  so.out = so.err = proc::Stdio::null;
  so.new_process_group = true;
  auto server = proc::Child::spawn(io.get_executor(), std::move(so));
  for (int i = 0; i < 500; ++i) {
    boost::asio::ip::tcp::socket s(io);
    boost::system::error_code ec;
    s.connect({boost::asio::ip::make_address("127.0.0.1"), port}, ec);
    if (!ec) break;
    ::usleep(20000);
  }
  return server;
}

}  // namespace dravik::testing
