// The dravik commands, each given its parsed options; each returns the
// process exit status (0 success, 1 failure; 2 is for usage errors, found
// while parsing).
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace dravik::app {

struct DoctorOptions {
  std::optional<std::string> model;
  std::string device = "auto";
  std::int64_t port = 8080;
  bool start = false;
  bool airgapped = false;
  bool yes = false;
};

struct SetupOptions {
  bool airgapped = false;
  bool json = false;
  std::optional<std::string> model_url;
  std::optional<std::string> model_path;
};

struct ChatOptions {
  std::optional<std::string> config_file;
  std::optional<std::string> model;
  std::optional<std::string> runtime;
  std::optional<std::string> prompt;
  bool airgapped = false;
  bool yes = false;
  bool json = false;
  bool resume = false;
};

int doctor(const DoctorOptions& o);
int chat(const ChatOptions& o);
int setup(const SetupOptions& o);

// Runs one operation on the loop until it ends. Other work on the loop
// (the server's error-stream drain lives as long as the server) goes on
// in the background and is not waited for.
template <class T>
T run(boost::asio::io_context& io, boost::asio::awaitable<T> aw) {
  std::optional<T> result;
  std::exception_ptr error;
  bool done = false;
  boost::asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e, T v) {
    error = e;
    if (!e) result.emplace(std::move(v));
    done = true;
  });
  io.restart();
  while (!done) io.run_one();
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

inline void run(boost::asio::io_context& io, boost::asio::awaitable<void> aw) {
  std::exception_ptr error;
  bool done = false;
  boost::asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e) {
    error = e;
    done = true;
  });
  io.restart();
  while (!done) io.run_one();
  if (error) std::rethrow_exception(error);
}

// An error message for the terminal: control characters escaped, and a
// long one (a build tool's whole output) cut to its last lines.
std::string shown_error(const std::string& what);

}  // namespace dravik::app
