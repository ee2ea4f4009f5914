// The structure check of a GGUF model file: the header is read (version,
// tensor count, metadata, tensor infos, alignment) and the end of the last
// tensor's data is compared with the end of the file. No transport can fake
// that, so it catches a body cut short without a Content-Length as well as
// a file with something appended.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "provisioning/provisioning.hpp"
#include "support/errors.hpp"

namespace dravik::provisioning {

namespace {

// Thrown when the header runs past the end of the file.
struct EndOfFile {};
// Thrown when the header holds something no GGUF writer produces.
struct Malformed {
  std::string why;
};

class Reader {
 public:
  explicit Reader(int fd) : fd_(fd) {}
  std::uint64_t offset() const { return offset_; }

  void read(void* out, std::size_t n) {
    auto* dst = static_cast<char*>(out);
    while (n > 0) {
      if (pos_ == len_) fill();
      const std::size_t take = std::min(n, len_ - pos_);
      std::memcpy(dst, buf_ + pos_, take);
      pos_ += take;
      offset_ += take;
      dst += take;
      n -= take;
    }
  }
  void skip(std::uint64_t n) {
    while (n > 0) {
      if (pos_ == len_) fill();
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, len_ - pos_));
      pos_ += take;
      offset_ += take;
      n -= take;
    }
  }
  template <class T>
  T get() {
    T v;
    read(&v, sizeof v);  // GGUF is little-endian, as every board we run on
    return v;
  }
  std::string string(std::size_t limit) {
    const auto n = get<std::uint64_t>();
    if (n > limit) throw Malformed{"a text of " + std::to_string(n) + " bytes in the header"};
    std::string s(static_cast<std::size_t>(n), '\0');
    read(s.data(), s.size());
    return s;
  }

 private:
  void fill() {
    ssize_t n;
    do {
      n = ::read(fd_, buf_, sizeof buf_);
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw OSError(errno, std::string("cannot read the model file: ") + std::strerror(errno));
    if (n == 0) throw EndOfFile{};
    pos_ = 0;
    len_ = static_cast<std::size_t>(n);
  }
  int fd_;
  char buf_[1 << 16];
  std::size_t pos_ = 0, len_ = 0;
  std::uint64_t offset_ = 0;
};

// Metadata value types.
enum : std::uint32_t {
  kU8 = 0, kI8, kU16, kI16, kU32, kI32, kF32, kBool, kString, kArray, kU64, kI64, kF64
};

std::uint64_t scalar_size(std::uint32_t type) {
  switch (type) {
    case kU8: case kI8: case kBool: return 1;
    case kU16: case kI16: return 2;
    case kU32: case kI32: case kF32: return 4;
    case kU64: case kI64: case kF64: return 8;
    default: return 0;
  }
}

void skip_value(Reader& r, std::uint32_t type, int depth = 0) {
  if (type == kString) {
    r.skip(r.get<std::uint64_t>());
    return;
  }
  if (type == kArray) {
    if (depth > 4) throw Malformed{"arrays nested too deep"};
    const auto item = r.get<std::uint32_t>();
    const auto count = r.get<std::uint64_t>();
    if (const auto size = scalar_size(item)) {
      if (count > std::numeric_limits<std::uint64_t>::max() / size) throw Malformed{"an array too large"};
      r.skip(count * size);
      return;
    }
    if (item != kString && item != kArray) throw Malformed{"an unknown value type " + std::to_string(item)};
    for (std::uint64_t i = 0; i < count; ++i) skip_value(r, item, depth + 1);
    return;
  }
  const auto size = scalar_size(type);
  if (size == 0) throw Malformed{"an unknown value type " + std::to_string(type)};
  r.skip(size);
}

struct TypeSize {
  std::uint64_t block;  // elements per block
  std::uint64_t bytes;  // bytes per block
};

// ggml's tensor types by number: elements per block and bytes per block.
// Numbers without an entry were removed from the format.
bool type_size(std::uint32_t type, TypeSize& out) {
  static const TypeSize kTable[] = {
      {1, 4},     {1, 2},     {32, 18},  {32, 20},  {0, 0},    {0, 0},    {32, 22},  {32, 24},   // 0-7
      {32, 34},   {32, 36},   {256, 84}, {256, 110}, {256, 144}, {256, 176}, {256, 210}, {256, 292},  // 8-15
      {256, 66},  {256, 74},  {256, 98}, {256, 50}, {32, 18},  {256, 110}, {256, 82}, {256, 136},  // 16-23
      {1, 1},     {1, 2},     {1, 4},    {1, 8},    {1, 8},    {256, 56}, {1, 2},    {0, 0},      // 24-31
      {0, 0},     {0, 0},     {256, 54}, {256, 66}, {0, 0},    {0, 0},    {0, 0},    {32, 17},    // 32-39
  };
  if (type >= std::size(kTable) || kTable[type].block == 0) return false;
  out = kTable[type];
  return true;
}

std::uint64_t align_up(std::uint64_t x, std::uint64_t a) { return (x + a - 1) / a * a; }

}  // namespace

std::string thousands(std::uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

GgufCheck check_gguf(const std::filesystem::path& path) {
  GgufCheck c;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT) throw FileNotFoundError("no model file at " + path.string());
    throw OSError(e, "cannot read " + path.string() + ": " + std::strerror(e));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat sb{};
  ::fstat(fd, &sb);
  c.found = static_cast<std::uint64_t>(sb.st_size);

  Reader r(fd);
  try {
    char magic[4];
    r.read(magic, 4);
    if (std::memcmp(magic, "GGUF", 4) != 0) {
      c.verdict = GgufCheck::Verdict::not_model;
      c.detail = "not a model: the file does not start with \"GGUF\"";
      return c;
    }
    const auto version = r.get<std::uint32_t>();
    if (version < 2 || version > 3) throw Malformed{"unknown format version " + std::to_string(version)};
    const auto tensors = r.get<std::uint64_t>();
    const auto kvs = r.get<std::uint64_t>();
    if (tensors > (1u << 20) || kvs > (1u << 20)) throw Malformed{"implausible tensor or metadata counts"};
    std::uint64_t alignment = 32;
    for (std::uint64_t i = 0; i < kvs; ++i) {
      const std::string key = r.string(1 << 16);
      const auto type = r.get<std::uint32_t>();
      if (key == "general.alignment" && type == kU32) {
        alignment = r.get<std::uint32_t>();
        if (alignment == 0 || (alignment & (alignment - 1)) != 0)
          throw Malformed{"an alignment of " + std::to_string(alignment)};
      } else {
        skip_value(r, type);
      }
    }
    std::uint64_t data_end = 0;  // relative to the start of the data section
    bool known_layout = true;
    for (std::uint64_t i = 0; i < tensors; ++i) {
      r.string(1 << 16);
      const auto dims = r.get<std::uint32_t>();
      if (dims > 8) throw Malformed{"a tensor with " + std::to_string(dims) + " dimensions"};
      std::uint64_t elements = 1;
      for (std::uint32_t d = 0; d < dims; ++d) {
        const auto n = r.get<std::uint64_t>();
        if (n != 0 && elements > std::numeric_limits<std::uint64_t>::max() / n) throw Malformed{"a tensor too large"};
        elements *= n;
      }
      const auto type = r.get<std::uint32_t>();
      const auto offset = r.get<std::uint64_t>();
      TypeSize ts;
      if (!type_size(type, ts)) {
        known_layout = false;  // a tensor type newer than this check
        continue;
      }
      const std::uint64_t bytes = (elements + ts.block - 1) / ts.block * ts.bytes;
      if (offset > std::numeric_limits<std::uint64_t>::max() - bytes) throw Malformed{"a tensor past any file size"};
      data_end = std::max(data_end, offset + bytes);
    }
    const std::uint64_t data_start = align_up(r.offset(), alignment);
    if (!known_layout) {
      c.verdict = GgufCheck::Verdict::whole;
      c.expected = c.found;
      c.detail = "GGUF model (a tensor type unknown to this check: size not verified)";
      return c;
    }
    // Writers pad each tensor, the last one included, to the alignment;
    // a file that ends right after the last tensor's bytes is whole too.
    const std::uint64_t exact = data_start + data_end;
    const std::uint64_t padded = data_start + align_up(data_end, alignment);
    c.expected = padded;
    if (c.found == exact || c.found == padded) {
      c.expected = c.found;
      c.verdict = GgufCheck::Verdict::whole;
      c.detail = "whole GGUF model (" + thousands(c.found) + " bytes, " + std::to_string(tensors) + " tensors)";
    } else if (c.found < exact) {
      c.verdict = GgufCheck::Verdict::truncated;
      c.detail = "truncated: " + thousands(c.found) + " of " + thousands(padded) + " bytes";
    } else {
      c.verdict = GgufCheck::Verdict::padded;
      c.detail = "padded: " + thousands(c.found) + " bytes where the model ends at " + thousands(padded);
    }
    return c;
  } catch (const EndOfFile&) {
    c.verdict = GgufCheck::Verdict::truncated;
    c.detail = "truncated: " + thousands(c.found) + " bytes end inside the model's header";
    return c;
  } catch (const Malformed& m) {
    c.verdict = GgufCheck::Verdict::not_model;
    c.detail = "not a model: the GGUF header holds " + m.why;
    return c;
  }
}

}  // namespace dravik::provisioning
