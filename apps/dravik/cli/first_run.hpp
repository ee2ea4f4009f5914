// The set-up steps shared by `dravik setup` and the first `dravik chat` on a
// machine that has no model or no llama-server yet: what would be
// downloaded and built, whether the disk can hold it, and the steps
// themselves with their progress on a Console, stoppable with Ctrl-C.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>

#include "cli/console.hpp"
#include "host_services/host_services.hpp"
#include "support/json.hpp"

namespace dravik::app {

// The model file a set-up downloads.
struct ModelDownload {
  std::string label;     // the catalog's name ("Qwen2.5 Coder 7B")
  std::string filename;  // the file name of `target`
  std::string url;
  std::string target;
  bool mirror = false;                 // `url` is not the catalog's
  std::optional<std::uint64_t> bytes;  // the catalog's size; for a mirror, what it answers
};

// The catalog's model for this board, or the URL and path given instead.
// Sends nothing anywhere: a mirror's size stays unknown here.
ModelDownload model_download(const host::HardwareInfo& hw, const std::optional<std::string>& url,
                             const std::optional<std::string>& path);

// The size of the file at `url` as its server announces it (a one-byte
// range request, nothing downloaded); nullopt when it says nothing or
// cannot be reached.
std::optional<std::uint64_t> announced_size(boost::asio::io_context& io, const std::string& url);

// Free bytes where the model goes (the nearest existing directory), or
// nullopt when that cannot be told.
std::optional<std::uint64_t> free_space_for(const ModelDownload& m);

// Bytes still to download: the size minus a partial download kept from
// an interrupted run.
std::uint64_t bytes_to_download(const ModelDownload& m);

// The message for a disk that cannot hold the rest of the model, with the
// numbers; nullopt when it can or the size is unknown.
std::optional<std::string> disk_shortfall(const ModelDownload& m);

// Thrown when Ctrl-C, SIGTERM or SIGHUP stopped the set-up steps.
class SetupStopped : public std::runtime_error {
 public:
  SetupStopped();
};

// The set-up steps of `dravik setup`: the model download (when
// `with_model` and the file is not there yet, after checking the disk
// space) and the llama-server build (when none exists). Returns the
// provisioning result ("llama_model", "sidecar_path"). A signal cancels the
// steps (a partial download is kept and resumes next time) and throws
// SetupStopped.
Json run_setup_steps(boost::asio::io_context& io, Console& con, const host::HardwareInfo& hw, ModelDownload m,
                     bool with_model);

struct FirstRunOptions {
  bool interactive = false;  // a person at a terminal can be asked
  bool yes = false;          // consent given on the command line (--yes)
  bool airgapped = false;
  std::optional<std::string> model_url;  // a mirror for the model download
};

// Before a llama.cpp chat: when the model or llama-server is missing, says
// what is missing and sets it up with consent. `exit_status` set: the chat
// does not start (declined, stopped, refused off a terminal); `model`: the
// model file the set-up left, when it differs from `server.model`.
struct FirstRun {
  std::optional<int> exit_status;
  std::optional<std::string> model;
};
struct LocalServerSettings;
FirstRun prepare_first_run(boost::asio::io_context& io, const LocalServerSettings& server, const FirstRunOptions& o);

}  // namespace dravik::app
