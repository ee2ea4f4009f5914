#include "support/errors.hpp"

#include <cerrno>
#include <system_error>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace dravik {

FileNotFoundError::FileNotFoundError(const std::string& what) : OSError(ENOENT, what) {}

bool is_cancellation(const std::exception_ptr& e) noexcept {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error& se) {
    return se.code() == boost::asio::error::operation_aborted;
  } catch (const std::system_error& se) {
    return se.code() == std::errc::operation_canceled;
  } catch (...) {
    return false;
  }
}

bool is_ordinary_error(const std::exception_ptr& e) noexcept {
  if (!e || is_cancellation(e)) return false;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::string error_text(const std::exception_ptr& e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace dravik
