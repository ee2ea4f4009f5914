// Writes small, structurally valid GGUF files for the tests: a header with
// one metadata entry and one F32 tensor, its data padded to the alignment.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace dravik::testing {

inline void put_u32(std::string& s, std::uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }
inline void put_u64(std::string& s, std::uint64_t v) { s.append(reinterpret_cast<const char*>(&v), 8); }
inline void put_str(std::string& s, const std::string& t) {
  put_u64(s, t.size());
  s += t;
}

// A GGUF v3 file whose one tensor holds `floats` F32 values.
inline std::string tiny_gguf(std::uint64_t floats) {
  std::string s = "GGUF";
  put_u32(s, 3);
  put_u64(s, 1);  // tensors
  put_u64(s, 1);  // metadata entries
  put_str(s, "general.architecture");
  put_u32(s, 8);  // string
  put_str(s, "llama");
  put_str(s, "weights");
  put_u32(s, 1);  // dimensions
  put_u64(s, floats);
  put_u32(s, 0);  // F32
  put_u64(s, 0);  // offset in the data section
  s.resize((s.size() + 31) / 32 * 32, '\0');
  for (std::uint64_t i = 0; i < floats; ++i) {
    const float f = static_cast<float>(i % 1000) / 7.0f;
    s.append(reinterpret_cast<const char*>(&f), 4);
  }
  s.resize((s.size() + 31) / 32 * 32, '\0');
  return s;
}

}  // namespace dravik::testing
