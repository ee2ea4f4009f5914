// The server-sent events of a streamed chat answer and the assistant message
// folded from its chunks. Everything here is written by the server, so every
// size is bounded and nothing the server nests is copied or walked
// recursively.
#include <algorithm>

#include "support/errors.hpp"
#include "text_tools.hpp"

namespace dravik::hostlib {

namespace {

const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// The deepest nesting of arrays and objects in JSON text, counted without
// parsing; stops counting once `limit` is passed.
std::size_t nesting_depth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0, deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) return deepest;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// The JSON of `text` when it is JSON nesting at most `limit` deep. The
// depth is judged on the text first, so that neither the parse nor anything
// after it meets a deeper tree.
std::optional<Json> parse_within(std::string_view text, std::size_t limit) {
  if (nesting_depth(text, limit) > limit) return std::nullopt;
  Json v = Json::parse(text.begin(), text.end(), nullptr, false);
  if (v.is_discarded()) return std::nullopt;
  return v;
}

}  // namespace

void SseParser::feed(std::string_view bytes) {
  buffer_.append(bytes);
  std::size_t start = 0;  // the first byte not yet consumed
  for (;;) {
    const auto nl = buffer_.find('\n', std::max(start, scanned_));
    if (nl == std::string::npos) break;
    std::string_view l(buffer_.data() + start, nl - start);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    if (l.size() > max_line_) throw RuntimeError("chat stream line longer than " + std::to_string(max_line_) + " bytes");
    line(l);
    start = nl + 1;
  }
  buffer_.erase(0, start);
  scanned_ = buffer_.size();
  // The unfinished tail, its CR not counted: it may be the start of a CR LF.
  std::size_t tail = buffer_.size();
  if (tail > 0 && buffer_.back() == '\r') --tail;
  if (tail > max_line_) throw RuntimeError("chat stream line longer than " + std::to_string(max_line_) + " bytes");
}

void SseParser::line(std::string_view l) {
  if (l.empty()) {  // end of an event
    if (has_data_) events_.push_back(std::move(data_));
    data_.clear();
    has_data_ = false;
    return;
  }
  if (l.front() == ':') return;  // comment (keep-alive)
  const auto colon = l.find(':');
  std::string_view field = l.substr(0, colon);
  std::string_view value = colon == std::string_view::npos ? std::string_view() : l.substr(colon + 1);
  if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  if (field != "data") return;  // event:, id:, retry: carry nothing we use
  if (data_.size() + value.size() + 1 > max_line_)
    throw RuntimeError("chat stream event longer than " + std::to_string(max_line_) + " bytes");
  if (has_data_) data_ += '\n';
  data_.append(value);
  has_data_ = true;
}

std::optional<std::string> SseParser::next_event() {
  if (taken_ >= events_.size()) {
    events_.clear();
    taken_ = 0;
    return std::nullopt;
  }
  return std::move(events_[taken_++]);
}

std::optional<Json> parse_chunk(std::string_view data) { return parse_within(data, kMaxChunkDepth); }

// ------------------------------------------------------------ accumulator

void ChatAccumulator::add(const Json& chunk) {
  if (!chunk.is_object()) return;
  // Only the figures the program reads are kept, as numbers.
  if (const Json* u = member(chunk, "usage"); u && u->is_object()) {
    Json kept = Json::object();
    for (const char* key : {"prompt_tokens", "completion_tokens", "total_tokens"})
      if (const Json* n = member(*u, key); n && n->is_number_integer()) kept[key] = n->get<std::int64_t>();
    if (const Json* d = member(*u, "prompt_tokens_details"))
      if (const Json* n = member(*d, "cached_tokens"); n && n->is_number_integer())
        kept["cached_tokens"] = n->get<std::int64_t>();
    usage_ = std::move(kept);
  }
  if (const Json* t = member(chunk, "timings"); t && t->is_object()) {
    Json kept = Json::object();
    for (const char* key : {"prompt_n", "cache_n", "predicted_n"})
      if (const Json* n = member(*t, key); n && n->is_number_integer()) kept[key] = n->get<std::int64_t>();
    for (const char* key : {"prompt_ms", "predicted_ms", "prompt_per_token_ms", "predicted_per_token_ms",
                            "prompt_per_second", "predicted_per_second"})
      if (const Json* n = member(*t, key); n && n->is_number()) kept[key] = n->get<double>();
    timings_ = std::move(kept);
  }
  const Json* choices = member(chunk, "choices");
  if (!choices || !choices->is_array() || choices->empty()) return;
  const Json& choice = choices->front();
  if (const Json* f = member(choice, "finish_reason"); f && f->is_string()) finish_reason_ = f->get<std::string>();
  const Json* delta = member(choice, "delta");
  if (!delta || !delta->is_object()) return;
  if (const Json* c = member(*delta, "content"); c && c->is_string()) content_ += c->get_ref<const std::string&>();
  for (const char* key : {"reasoning_content", "reasoning"})
    if (const Json* r = member(*delta, key); r && r->is_string()) reasoning_ += r->get_ref<const std::string&>();
  const Json* calls = member(*delta, "tool_calls");
  if (!calls || !calls->is_array()) return;
  for (const Json& call : *calls) {
    if (!call.is_object()) continue;
    std::int64_t index = static_cast<std::int64_t>(calls_.size());
    if (const Json* i = member(call, "index"); i && i->is_number_integer()) index = i->get<std::int64_t>();
    auto it = calls_.find(index);
    if (it == calls_.end()) {
      if (calls_.size() >= kMaxToolCalls) {
        ++dropped_calls_;
        continue;
      }
      it = calls_.emplace(index, PendingCall{}).first;
    }
    PendingCall& p = it->second;
    if (const Json* id = member(call, "id"); id && id->is_string()) p.id = id->get<std::string>();
    if (const Json* fn = member(call, "function"); fn && fn->is_object()) {
      if (const Json* n = member(*fn, "name"); n && n->is_string()) p.name += n->get_ref<const std::string&>();
      if (const Json* a = member(*fn, "arguments"); a && a->is_string())
        p.arguments += a->get_ref<const std::string&>();
    }
  }
}

std::vector<host::ToolCall> ChatAccumulator::tool_calls() const {
  std::vector<host::ToolCall> out;
  out.reserve(calls_.size());
  for (const auto& [index, p] : calls_) {
    std::optional<Json> args;
    if (p.arguments.empty()) args = Json::object();
    else args = parse_within(p.arguments, kMaxToolArgumentDepth);
    out.push_back({p.name, args ? std::move(*args) : Json(p.arguments)});
  }
  return out;
}

Json ChatAccumulator::message() const {
  Json m = {{"role", "assistant"}, {"content", content_}};
  if (!calls_.empty()) {
    Json calls = Json::array();
    for (const auto& [index, p] : calls_)
      calls.push_back({{"id", p.id.empty() ? "call_" + std::to_string(index) : p.id},
                       {"type", "function"},
                       {"function", {{"name", p.name}, {"arguments", p.arguments.empty() ? "{}" : p.arguments}}}});
    m["tool_calls"] = std::move(calls);
  }
  return m;
}

}  // namespace dravik::hostlib
