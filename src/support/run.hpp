// Running one operation on an io_context from synchronous code: for a
// program's main flow and for tests.
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace dravik::async {

// Runs `aw` on `io` until it completes and returns its result or rethrows
// its error. Other work on the loop (a server's error-stream drain, a test
// server) goes on meanwhile and is not waited for.
template <class T>
T run_until_done(boost::asio::io_context& io, boost::asio::awaitable<T> aw) {
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

inline void run_until_done(boost::asio::io_context& io, boost::asio::awaitable<void> aw) {
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

}  // namespace dravik::async
