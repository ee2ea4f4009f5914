// What the fuzz targets share: a check that aborts (so that libFuzzer and the
// replay driver alike report the input), and a reader of fuzz bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(cond)                                                          \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

namespace fuzz {

// The input as NUL-separated fields (missing ones are empty).
inline std::vector<std::string> fields(const std::uint8_t* data, std::size_t size, std::size_t count) {
  std::vector<std::string> out(count);
  std::string_view in(reinterpret_cast<const char*>(data), size);
  for (std::size_t i = 0; i < count; ++i) {
    const auto nul = i + 1 < count ? in.find('\0') : std::string_view::npos;
    out[i] = std::string(in.substr(0, nul));
    if (nul == std::string_view::npos) break;
    in.remove_prefix(nul + 1);
  }
  return out;
}

// Bytes consumed one at a time; zeros once they run out.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
  bool empty() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_, at_ = 0;
};

}  // namespace fuzz
