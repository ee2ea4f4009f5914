// The small exception vocabulary every Dravik library raises. A host catches
// by kind (`dravik::ValueError`, `dravik::TimeoutError`, ...) or all of them
// through `dravik::Error`.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace dravik {

// Base of every error the libraries raise on purpose.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value of the wrong kind (a list where a text was expected, ...).
class TypeError : public Error {
 public:
  using Error::Error;
};

// A value of the right kind that cannot be used ("reasoning mode must be ...").
class ValueError : public Error {
 public:
  using Error::Error;
};

// An operating-system failure (spawn, file access). `code()` is the errno.
class OSError : public Error {
 public:
  OSError(int code, const std::string& what) : Error(what), code_(code) {}
  int code() const noexcept { return code_; }

 private:
  int code_;
};

// A file or program that does not exist.
class FileNotFoundError : public OSError {
 public:
  explicit FileNotFoundError(const std::string& what);
};

// An operation that did not finish within its time limit.
class TimeoutError : public Error {
 public:
  using Error::Error;
};

// An operation a base class leaves to its implementations.
class NotImplementedError : public Error {
 public:
  NotImplementedError() : Error("") {}
  using Error::Error;
};

// Any other failure of an operation that cannot do its job.
class RuntimeError : public Error {
 public:
  using Error::Error;
};

// True when `e` is the cancellation of an awaiting operation (Asio's
// operation_aborted), which must always propagate; false for ordinary errors.
bool is_cancellation(const std::exception_ptr& e) noexcept;

// True for ordinary errors: anything derived from std::exception that is not
// a cancellation. Code that "swallows ordinary errors" tests this first.
bool is_ordinary_error(const std::exception_ptr& e) noexcept;

// The message of an exception, or "unknown error" for non-standard ones.
std::string error_text(const std::exception_ptr& e);

}  // namespace dravik
