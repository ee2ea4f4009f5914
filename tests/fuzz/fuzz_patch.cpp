// Any patch against any text: applied or refused with a message, never a
// crash, an overflow or a result that claims success without hunks.
//
// Input: text NUL patch NUL path.
#include "fuzz_check.hpp"
#include "text_tools.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto f = fuzz::fields(data, size, 3);
  const auto r = dravik::hostlib::apply_patch(f[0], f[1], f[2]);
  if (r) FUZZ_CHECK(r->hunks > 0);
  else FUZZ_CHECK(!r.error().message.empty());
  return 0;
}
