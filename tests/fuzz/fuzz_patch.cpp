// Any patch against any text: applied or refused with a message, never a
// crash, an overflow or a result that claims success without hunks.
//
// Input: text NUL patch NUL path.
#include "fuzz_check.hpp"
#include "text_tools.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto f = fuzz::fields(data, size, 3);
  const auto r = dravik::hostlib::apply_unified_diff(f[0], f[1], f[2]);
  if (r.ok) {
    FUZZ_CHECK(r.hunks > 0);
    FUZZ_CHECK(r.error.empty());
  } else {
    FUZZ_CHECK(!r.error.empty());
  }
  return 0;
}
