// Real implementations of the host services the Dravik libraries call, for
// any host application: a terminal front end, an editor plug-in, a test rig.
//
//   boost::asio::io_context io;
//   dravik::hostlib::install_services(io.get_executor(), {.workdir = "/path/to/project"});
//   auto runtime = dravik::hostlib::local_runtime(io.get_executor(), {.model = "model.gguf", .port = 8080});
//
// Every service runs on the host's event loop; none starts a thread.
#pragma once

#include <filesystem>
#include <optional>

#include <boost/asio/any_io_executor.hpp>

#include "chat_protocol.hpp"
#include "isolation.hpp"
#include "notes.hpp"
#include "probes.hpp"
#include "runtimes.hpp"
#include "sandbox.hpp"
#include "shell_tools.hpp"
#include "text_tools.hpp"

namespace dravik::hostlib {

// ----------------------------------------------------------- installation

struct ServiceOptions {
  // Where tools run and relative paths start; file tools stay inside it.
  std::filesystem::path workdir = std::filesystem::current_path();
  bool airgapped = false;
  // Product home for the global memory notes (default: ~/.dravik).
  std::optional<std::filesystem::path> home;
  // Where shell commands run (absent: unconfined, as the host itself).
  std::shared_ptr<Sandbox> sandbox;
};

// Builds all eight services and installs them with install_host_services.
void install_services(boost::asio::any_io_executor ex, const ServiceOptions& options);

}  // namespace dravik::hostlib
