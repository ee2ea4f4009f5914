// The shell executor: commands and the file tools, confined to the working
// directory.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "host_services/host_services.hpp"
#include "sandbox.hpp"
#include "support/json.hpp"

namespace dravik::hostlib {

struct ShellOptions {
  std::filesystem::path workdir;
  std::size_t output_cap = 64 * 1024;      // per stream, head and tail kept
  std::size_t read_cap = 256 * 1024;       // read_file
  std::size_t list_cap = 500;              // glob and list results
  std::size_t grep_cap = 200;              // grep matches
  std::size_t walk_cap = 100000;           // entries a glob or grep may visit
  std::uint64_t grep_read_cap = 512ull << 20;  // bytes one grep may read in all
  std::chrono::milliseconds kill_grace{2000};
  // Air-gapped mode: commands get the environment the installed isolation
  // policy gives child programs (proxy variables removed, offline switches
  // set), as llama-server does.
  bool airgapped = false;
  // The sandbox commands run in (absent: none).
  std::shared_ptr<Sandbox> sandbox;
};

class LocalShellExecutor : public host::ShellExecutor {
 public:
  explicit LocalShellExecutor(ShellOptions options);
  boost::asio::awaitable<host::ExecResult> run_shell(std::string command, std::int64_t timeout_seconds) override;
  boost::asio::awaitable<std::string> read_file(std::string path) override;
  boost::asio::awaitable<std::string> write_file(std::string path, std::string content) override;
  boost::asio::awaitable<host::LoadFileResult> load_file(std::string path,
                                                         std::optional<std::int64_t> max_tokens) override;
  boost::asio::awaitable<host::EditFileResult> edit_file(std::string path, host::EditFileRequest request) override;
  boost::asio::awaitable<std::string> glob_files(std::string pattern, Json path) override;
  boost::asio::awaitable<std::string> grep_files(std::string pattern, Json path, Json glob_filter,
                                                 bool ignore_case) override;
  boost::asio::awaitable<std::string> list_directory(Json path) override;

  // The synchronous work behind the file tools (also for tests).
  std::string read_file_now(const std::string& path);
  std::string write_file_now(const std::string& path, const std::string& content);
  host::EditFileResult edit_file_now(const std::string& path, const host::EditFileRequest& request);
  std::string glob_now(const std::string& pattern, const Json& path);
  std::string grep_now(const std::string& pattern, const Json& path, const Json& glob_filter, bool ignore_case);
  std::string list_now(const Json& path);
  host::LoadFileResult load_now(const std::string& path, std::optional<std::int64_t> max_tokens);

 private:
  ShellOptions o_;
};

}  // namespace dravik::hostlib
