#include "session/state_seal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <memory>
#include <optional>

#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/json.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStateFiles[] = {"messages.json", "kv_cache.bin"};



// SHA-256 of a regular file read in pieces (a KV cache can be large), or
// nothing when there is no such file. A link or anything but a regular file
// counts as present and unreadable: it can never match a record.
std::optional<std::string> file_digest(const fs::path& p) {
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    return std::string("unreadable");
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::string buf(1 << 16, '\0');
  while (ok) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!ok) return std::string("unreadable");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EVP_DigestFinal_ex(ctx.get(), md, &n);
  return hex_of(md, n);
}

fs::path record_path(const fs::path& state_dir, const fs::path& home) {
  return home / "state-seals" / (sha256_of(fs::absolute(state_dir).lexically_normal().string()) + ".json");
}

Json digests(const fs::path& state_dir) {
  Json d = Json::object();
  for (const char* name : kStateFiles) {
    auto digest = file_digest(state_dir / name);
    d[name] = digest ? Json(*digest) : Json(nullptr);
  }
  return d;
}

}  // namespace

std::string hex_of(const unsigned char* bytes, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string sha256_of(std::string_view data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr);
  return hex_of(md, n);
}

void seal_state(const fs::path& state_dir, const fs::path& home) {
  const fs::path record = record_path(state_dir, home);
  files::create_private_directories(record.parent_path().string());
  Json body = {{"state_dir", fs::absolute(state_dir).lexically_normal().string()}, {"files", digests(state_dir)}};
  const fs::path tmp = record.string() + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) throw OSError(errno, "cannot write " + tmp.string());
  try {
    files::write_all(fd, dump_json(body), tmp.string());
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), record.c_str()) != 0) throw OSError(errno, "cannot write " + record.string());
}

std::string check_state_seal(const fs::path& state_dir, const fs::path& home) {
  const auto text = files::try_read_file(record_path(state_dir, home).string());
  if (!text) return "it was not saved by dravik for this user";
  const Json record = Json::parse(*text, nullptr, false);
  if (!record.is_object() || !record.contains("files") || record.at("files") != digests(state_dir))
    return "its files changed after dravik saved them";
  return "";
}

}  // namespace dravik::app
