// The result of an operation that can fail in an ordinary way (a missing
// file, a patch that does not apply, arguments a model got wrong): a value,
// or a Failure with a short kind and a message.
//
// A failure's message is a plain sentence fragment ("a.txt does not exist"),
// never the "Error: " form a tool's result takes: that form is made once,
// where a tool's text is handed back (tool_text below), and nothing reads it
// back.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace dravik {

// What kind of failure it was, for callers that act on it; the message says
// the rest.
enum class ErrorKind {
  not_found,     // the file, directory or entry named does not exist
  is_directory,  // a directory where a file was expected
  invalid,       // the request cannot be carried out as given: bad arguments,
                 // a patch that does not apply, a file that is not text
  refused,       // not allowed: outside the working directory, a link where
                 // none is followed, a write vetoed by the caller
  too_large,     // over a size limit
  changed,       // the file no longer holds what it was expected to hold
  io,            // the operating system failed a read, a write or a rename
};

struct Failure {
  ErrorKind kind = ErrorKind::io;
  std::string message;  // without any "Error: " prefix
  bool operator==(const Failure&) const = default;
};

// A T, or a Failure. Converts implicitly from either, so a function returns
// its value or `Failure{ErrorKind::not_found, "..."}` alike. Reading the
// value of a failure (or the failure of a value) throws
// std::bad_variant_access: it is a programming error, never undefined.
template <class T = void>
class [[nodiscard]] Result {
 public:
  template <class U = T,
            std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                 !std::is_same_v<std::remove_cvref_t<U>, Failure> &&
                                 !std::is_same_v<std::remove_cvref_t<U>, Result>,
                             int> = 0>
  Result(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}
  Result(Failure failure) : v_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // REQUIRES: ok().
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok().
  const Failure& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};

// Success with no value (default-constructed), or a Failure.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)) {}

  bool ok() const noexcept { return !failure_; }
  explicit operator bool() const noexcept { return ok(); }
  // REQUIRES: !ok() (else throws std::bad_optional_access).
  const Failure& error() const { return failure_.value(); }

 private:
  std::optional<Failure> failure_;
};

// The text a tool returns for a failure: "Error: " and the message.
inline std::string tool_text(const Failure& failure) { return "Error: " + failure.message; }

// The text a tool returns for a result: the text itself, or the failure's
// text as above.
inline std::string tool_text(const Result<std::string>& result) {
  return result ? *result : tool_text(result.error());
}

}  // namespace dravik
