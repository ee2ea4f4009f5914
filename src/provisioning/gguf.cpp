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
#include <cstdio>
#include <limits>
#include <map>
#include <algorithm>
#include <optional>

#include "provisioning/provisioning.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"

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

// The "<architecture>.<name>" keys of the figures that size a KV cache.
constexpr const char* kShapeNames[] = {"context_length",       "block_count",          "embedding_length",
                                       "attention.head_count", "attention.head_count_kv", "attention.key_length",
                                       "attention.value_length"};

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() > tail.size() && s.substr(s.size() - tail.size()) == tail && s[s.size() - tail.size() - 1] == '.';
}

bool shape_key(const std::string& key) {
  for (const char* n : kShapeNames)
    if (ends_with(key, n)) return true;
  return false;
}

// An unsigned count from a scalar integer, or the largest of an integer
// array (models that vary a figure by layer); nothing for other types,
// which are skipped.
std::optional<std::uint64_t> read_count(Reader& r, std::uint32_t type) {
  auto scalar = [&](std::uint32_t t) -> std::optional<std::uint64_t> {
    switch (t) {
      case kU8: return r.get<std::uint8_t>();
      case kU16: return r.get<std::uint16_t>();
      case kU32: return r.get<std::uint32_t>();
      case kU64: return r.get<std::uint64_t>();
      case kI8: return static_cast<std::uint64_t>(std::max<std::int8_t>(0, r.get<std::int8_t>()));
      case kI16: return static_cast<std::uint64_t>(std::max<std::int16_t>(0, r.get<std::int16_t>()));
      case kI32: return static_cast<std::uint64_t>(std::max<std::int32_t>(0, r.get<std::int32_t>()));
      case kI64: return static_cast<std::uint64_t>(std::max<std::int64_t>(0, r.get<std::int64_t>()));
      default: return std::nullopt;
    }
  };
  auto integer = [](std::uint32_t t) { return t != kF32 && t != kF64 && t != kBool && scalar_size(t) != 0; };
  if (type == kArray) {
    const auto item = r.get<std::uint32_t>();
    const auto count = r.get<std::uint64_t>();
    if (!integer(item)) {
      if (item != kString && item != kArray && scalar_size(item) == 0)
        throw Malformed{"an unknown value type " + std::to_string(item)};
      for (std::uint64_t i = 0; i < count; ++i) skip_value(r, item, 1);
      return std::nullopt;
    }
    std::optional<std::uint64_t> most;
    for (std::uint64_t i = 0; i < count; ++i) {
      const auto v = scalar(item);
      if (v && (!most || *v > *most)) most = v;
    }
    return most;
  }
  if (!integer(type)) {
    skip_value(r, type);
    return std::nullopt;
  }
  return scalar(type);
}

// The figures of the model's own architecture (other architectures' keys,
// as a multimodal file may carry, are ignored).
void fill_shape(GgufModelShape& s, const std::map<std::string, std::uint64_t>& numbers) {
  auto get = [&](const char* name) -> std::uint64_t {
    auto it = numbers.find(s.architecture + "." + name);
    return it == numbers.end() ? 0 : it->second;
  };
  if (s.architecture.empty()) return;
  s.context_length = get("context_length");
  s.block_count = get("block_count");
  s.embedding_length = get("embedding_length");
  s.head_count = get("attention.head_count");
  s.head_count_kv = get("attention.head_count_kv");
  if (s.head_count_kv == 0) s.head_count_kv = s.head_count;
  const std::uint64_t per_head = s.head_count ? s.embedding_length / s.head_count : 0;
  s.key_length = get("attention.key_length");
  if (s.key_length == 0) s.key_length = per_head;
  s.value_length = get("attention.value_length");
  if (s.value_length == 0) s.value_length = per_head;
}

std::string megabytes(std::uint64_t bytes) {
  const double mb = static_cast<double>(bytes) / (1024.0 * 1024.0);
  if (mb >= 1024.0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f GB", mb / 1024.0);
    return buf;
  }
  return thousands(static_cast<std::uint64_t>(mb + 0.5)) + " MB";
}

// Reads the metadata entries: the shape keys into `shape`; returns the
// data section's alignment.
std::uint64_t read_metadata(Reader& r, std::uint64_t kvs, GgufModelShape& shape) {
  std::uint64_t alignment = 32;
  std::map<std::string, std::uint64_t> numbers;
  for (std::uint64_t i = 0; i < kvs; ++i) {
    const std::string key = r.string(1 << 16);
    const auto type = r.get<std::uint32_t>();
    if (key == "general.alignment" && type == kU32) {
      alignment = r.get<std::uint32_t>();
      if (alignment == 0 || (alignment & (alignment - 1)) != 0)
        throw Malformed{"an alignment of " + std::to_string(alignment)};
    } else if (key == "general.architecture" && type == kString) {
      shape.architecture = r.string(256);
    } else if (shape_key(key)) {
      if (auto v = read_count(r, type)) numbers[key] = *v;
    } else {
      skip_value(r, type);
    }
  }
  fill_shape(shape, numbers);
  return alignment;
}

// Reads the tensor infos; returns where the last tensor's bytes end,
// relative to the start of the data section, or nothing when a tensor type
// is newer than this check (the layout is then unknown).
std::optional<std::uint64_t> tensor_data_end(Reader& r, std::uint64_t tensors) {
  std::uint64_t data_end = 0;
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
      known_layout = false;
      continue;
    }
    const std::uint64_t bytes = (elements + ts.block - 1) / ts.block * ts.bytes;
    if (offset > std::numeric_limits<std::uint64_t>::max() - bytes) throw Malformed{"a tensor past any file size"};
    data_end = std::max(data_end, offset + bytes);
  }
  if (!known_layout) return std::nullopt;
  return data_end;
}

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
    const std::uint64_t alignment = read_metadata(r, kvs, c.shape);
    const std::optional<std::uint64_t> data_end = tensor_data_end(r, tensors);
    const std::uint64_t data_start = align_up(r.offset(), alignment);
    if (!data_end) {
      c.verdict = GgufCheck::Verdict::whole;
      c.expected = c.found;
      c.detail = "GGUF model (a tensor type unknown to this check: size not verified)";
      return c;
    }
    // Writers pad each tensor, the last one included, to the alignment;
    // a file that ends right after the last tensor's bytes is whole too.
    const std::uint64_t exact = data_start + *data_end;
    const std::uint64_t padded = data_start + align_up(*data_end, alignment);
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

std::uint64_t GgufModelShape::kv_bytes_per_token_q8_0() const {
  // q8_0 stores 32 values in 34 bytes.
  const std::uint64_t values = block_count * head_count_kv * (key_length + value_length);
  return (values * 34 + 31) / 32;
}

ContextChoice choose_context_window(const GgufModelShape& shape, std::optional<std::uint64_t> available_bytes,
                                    std::uint64_t model_bytes) {
  constexpr std::int64_t kFloor = 4096, kCeiling = 16384, kStep = 1024;
  ContextChoice c;
  const std::uint64_t per_token = shape.kv_bytes_per_token_q8_0();
  // (A header claiming more than 4 GB a token is not a model to size by.)
  if (shape.context_length == 0 || per_token == 0 || per_token > (1ull << 32)) {
    c.tokens = kFloor;
    c.why = "the model's metadata does not give its KV-cache size";
    return c;
  }
  const auto trained = static_cast<std::int64_t>(std::min<std::uint64_t>(shape.context_length, 1u << 30));
  if (trained <= kFloor) {
    c.tokens = trained;
    c.why = "the model was trained for " + thousands(static_cast<std::uint64_t>(trained)) + " tokens";
    return c;
  }
  if (!available_bytes) {
    c.tokens = kFloor;
    c.why = "the memory available is unknown";
    return c;
  }
  const std::uint64_t left = *available_bytes > model_bytes ? *available_bytes - model_bytes : 0;
  const std::int64_t upper = std::min(kCeiling, trained / kStep * kStep);
  c.tokens = kFloor;
  for (std::int64_t t = kFloor + kStep; t <= upper; t += kStep)
    if (static_cast<std::uint64_t>(t) * per_token <= left / 4) c.tokens = t;
  const std::uint64_t cache = static_cast<std::uint64_t>(c.tokens) * per_token;
  c.why = "trained for " + thousands(static_cast<std::uint64_t>(trained)) + "; its KV cache (q8_0) takes " +
          megabytes(cache) + " of the " + megabytes(left) + " left after the model";
  if (cache > left / 4) c.why += " (" + thousands(kFloor) + " is the least chosen)";
  else if (c.tokens < upper) c.why += " (kept within a quarter)";
  return c;
}

namespace {

// MemAvailable of /proc/meminfo.
std::optional<std::uint64_t> available_memory() {
  if (auto meminfo = files::try_read_file("/proc/meminfo")) {
    const auto at = meminfo->find("MemAvailable:");
    if (at != std::string::npos) {
      unsigned long long kb = 0;
      if (std::sscanf(meminfo->c_str() + at + 13, "%llu", &kb) == 1) return static_cast<std::uint64_t>(kb) * 1024;
    }
  }
  return std::nullopt;
}

// The model's shape and size; nothing known of an unreadable one (the
// start reports the file itself).
std::pair<GgufModelShape, std::uint64_t> model_facts(const std::filesystem::path& model) {
  try {
    const GgufCheck check = check_gguf(model);
    return {check.shape, check.found};
  } catch (const std::exception&) {
    return {GgufModelShape{}, 0};
  }
}

}  // namespace

ContextChoice choose_context_window(const std::filesystem::path& model) {
  const auto [shape, model_bytes] = model_facts(model);
  return choose_context_window(shape, available_memory(), model_bytes);
}

std::int64_t choose_cache_ram_mib(std::optional<std::uint64_t> available_bytes, std::uint64_t model_bytes,
                                  std::uint64_t kv_cache_bytes) {
  constexpr std::int64_t kServerDefault = 8192, kStep = 64, kUnknown = 1024;
  if (!available_bytes) return kUnknown;
  const std::uint64_t used = model_bytes + kv_cache_bytes;
  const std::uint64_t left = *available_bytes > used ? *available_bytes - used : 0;
  const auto mib = static_cast<std::int64_t>(std::min<std::uint64_t>(left / 4 >> 20, kServerDefault));
  return mib / kStep * kStep;
}

std::int64_t choose_cache_ram_mib(const std::filesystem::path& model, std::int64_t context_tokens) {
  const auto [shape, model_bytes] = model_facts(model);
  const std::uint64_t per_token = shape.kv_bytes_per_token_q8_0();
  // (Both bounded: a header's or a configuration's wild number must not
  // wrap the product.)
  const auto tokens = static_cast<std::uint64_t>(std::clamp<std::int64_t>(context_tokens, 0, std::int64_t{1} << 24));
  const std::uint64_t kv = per_token > (1ull << 32) ? 0 : per_token * tokens;
  return choose_cache_ram_mib(available_memory(), model_bytes, kv);
}

}  // namespace dravik::provisioning
