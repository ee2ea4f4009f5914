// The chat stream as a server could write it: bytes split anywhere, lines
// and events of any length, chunks of any shape and depth, folded by the
// accumulator. The parser must give the same events however the bytes are
// split, and refuse or accept the same lines.
//
// Input: [piece length, 0 = one piece] [line bound selector] stream bytes...
#include "fuzz_check.hpp"
#include "text_tools.hpp"

namespace {

struct Outcome {
  std::vector<std::string> events;
  bool refused = false;
};

Outcome parse(std::string_view stream, std::size_t piece, std::size_t bound) {
  dravik::hostlib::SseParser parser(bound);
  Outcome o;
  try {
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      parser.feed(stream.substr(at, piece));
      while (auto e = parser.next_event()) o.events.push_back(std::move(*e));
    }
  } catch (const dravik::RuntimeError&) {
    o.refused = true;
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = data[0] == 0 ? size : data[0];
  const std::size_t bound = data[1] == 255 ? (8u << 20) : (data[1] + 1u) * 16u;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  const Outcome split = parse(stream, piece, bound);
  const Outcome whole = parse(stream, stream.size() + 1, bound);
  FUZZ_CHECK(split.refused == whole.refused);
  if (!split.refused) FUZZ_CHECK(split.events == whole.events);

  dravik::hostlib::ChatAccumulator acc;
  for (const std::string& e : split.events) {
    if (auto chunk = dravik::hostlib::parse_chunk(e)) acc.add(*chunk);
  }
  const auto calls = acc.tool_calls();
  FUZZ_CHECK(calls.size() <= dravik::hostlib::ChatAccumulator::kMaxToolCalls);
  const dravik::Json m = acc.message();
  FUZZ_CHECK(m.contains("role"));
  if (acc.usage()) FUZZ_CHECK(acc.usage()->size() <= 4);
  (void)dravik::dump_json(m);
  return 0;
}
