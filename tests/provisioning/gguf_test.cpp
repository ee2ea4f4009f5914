// The GGUF structure check on files written by the tests and on a real
// model file when the project's shared fixtures are at hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "provisioning/provisioning.hpp"
#include "provisioning/tiny_gguf.hpp"
#include "support/errors.hpp"

namespace fs = std::filesystem;
namespace pv = dravik::provisioning;
using Verdict = pv::GgufCheck::Verdict;
using dravik::testing::tiny_gguf;

namespace {

class Gguf : public ::testing::Test {
 protected:
  fs::path file = fs::temp_directory_path() / ("dravik-gguf-" + std::to_string(::getpid()) + ".gguf");
  void TearDown() override { fs::remove(file); }
  pv::GgufCheck check(const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
    return pv::check_gguf(file);
  }
};

}  // namespace

TEST_F(Gguf, WholeTruncatedPaddedAndNotAModel) {
  const std::string model = tiny_gguf(1001);  // 4,004 data bytes, padded with 28
  auto c = check(model);
  EXPECT_EQ(c.verdict, Verdict::whole) << c.detail;
  EXPECT_EQ(c.expected, model.size());
  // Without the padding after the last tensor it is whole as well.
  EXPECT_EQ(check(model.substr(0, model.size() - 28)).verdict, Verdict::whole);

  c = check(model.substr(0, model.size() - 100));
  EXPECT_EQ(c.verdict, Verdict::truncated);
  EXPECT_EQ(c.detail, "truncated: " + pv::thousands(model.size() - 100) + " of " + pv::thousands(model.size()) +
                          " bytes");
  c = check(model.substr(0, 40));  // ends inside the header
  EXPECT_EQ(c.verdict, Verdict::truncated);

  c = check(model + std::string(64, 'x'));
  EXPECT_EQ(c.verdict, Verdict::padded);

  EXPECT_EQ(check("<html>login</html>").verdict, Verdict::not_model);
  std::string bad_version = model;
  bad_version[4] = 9;
  EXPECT_EQ(check(bad_version).verdict, Verdict::not_model);
  EXPECT_THROW(pv::check_gguf("/nonexistent/model.gguf"), dravik::FileNotFoundError);
}

TEST(GgufThousands, GroupsDigitsInThrees) {
  EXPECT_EQ(pv::thousands(0), "0");
  EXPECT_EQ(pv::thousands(999), "999");
  EXPECT_EQ(pv::thousands(1000002), "1,000,002");
}

TEST(GgufFixture, ARealModelFileIsWhole) {
  const fs::path fixture = DRAVIK_SHARED_FIXTURES "/tiny-chat.gguf";
  if (!fs::exists(fixture)) GTEST_SKIP() << "no shared fixtures here";
  const auto c = pv::check_gguf(fixture);
  EXPECT_EQ(c.verdict, Verdict::whole) << c.detail;
  EXPECT_GT(c.shape.context_length, 0u) << c.shape.architecture;
  EXPECT_GT(c.shape.kv_bytes_per_token_q8_0(), 0u) << c.shape.architecture;
}

// The figures that size a KV cache, read from the metadata (a per-layer
// array counts by its largest value), and the context chosen from them.
TEST(GgufContext, ShapeFromTheMetadataAndAContextThatFitsTheBoard) {
  using dravik::testing::put_str;
  using dravik::testing::put_u32;
  using dravik::testing::put_u64;
  std::string s = "GGUF";
  put_u32(s, 3);
  put_u64(s, 0);  // tensors
  put_u64(s, 6);  // metadata entries
  put_str(s, "general.architecture");
  put_u32(s, 8);
  put_str(s, "qwen2");
  put_str(s, "qwen2.context_length");
  put_u32(s, 4);
  put_u32(s, 32768);
  put_str(s, "qwen2.block_count");
  put_u32(s, 4);
  put_u32(s, 28);
  put_str(s, "qwen2.embedding_length");
  put_u32(s, 4);
  put_u32(s, 3584);
  put_str(s, "qwen2.attention.head_count");
  put_u32(s, 4);
  put_u32(s, 28);
  put_str(s, "qwen2.attention.head_count_kv");
  put_u32(s, 9);  // an array of u32, one per layer
  put_u32(s, 4);
  put_u64(s, 3);
  for (std::uint32_t v : {2u, 4u, 3u}) put_u32(s, v);
  const fs::path file = fs::temp_directory_path() / ("dravik-shape-" + std::to_string(::getpid()) + ".gguf");
  std::ofstream(file, std::ios::binary) << s;
  const auto shape = pv::check_gguf(file).shape;
  fs::remove(file);
  EXPECT_EQ(shape.architecture, "qwen2");
  EXPECT_EQ(shape.context_length, 32768u);
  EXPECT_EQ(shape.head_count_kv, 4u);
  EXPECT_EQ(shape.key_length, 128u);  // embedding / heads when not given
  EXPECT_EQ(shape.kv_bytes_per_token_q8_0(), 28u * 4 * 256 * 34 / 32);

  const std::uint64_t gb = 1ull << 30, model = 4 * gb;
  EXPECT_EQ(pv::choose_context_window(shape, 8 * gb, model).tokens, 16384);  // the ceiling
  // 1 GB left: a quarter holds 8,811 tokens of cache.
  const auto tight = pv::choose_context_window(shape, 5 * gb, model);
  EXPECT_EQ(tight.tokens, 8192);
  EXPECT_NE(tight.why.find("32,768"), std::string::npos) << tight.why;
  EXPECT_EQ(pv::choose_context_window(shape, 3 * gb, model).tokens, 4096);  // the floor
  EXPECT_EQ(pv::choose_context_window(shape, std::nullopt, model).tokens, 4096);
  EXPECT_EQ(pv::choose_context_window(pv::GgufModelShape{}, 8 * gb, model).tokens, 4096);
  auto small = shape;
  small.context_length = 2048;
  EXPECT_EQ(pv::choose_context_window(small, 8 * gb, model).tokens, 2048);
}

// The prompt cache a server gets: a quarter of what the model and its KV
// cache leave, never above the server's own default.
TEST(CacheRam, AQuarterOfWhatIsLeftWithinTheServersDefault) {
  constexpr std::uint64_t GiB = 1ull << 30;
  struct Case {
    std::optional<std::uint64_t> available;
    std::uint64_t model, kv;
    std::int64_t mib;
  } cases[] = {
      {std::nullopt, 4 * GiB, GiB, 1024},  // unknown memory: a modest budget
      {8 * GiB, 4 * GiB, GiB, 768},        // an 8 GB board
      {256 * GiB, 4 * GiB, GiB, 8192},     // at most the server's default
      {4 * GiB, 4 * GiB, GiB, 0},          // nothing left
      {5 * GiB + 100, 4 * GiB, 0, 256},    // steps of 64 MiB
  };
  for (const auto& c : cases)
    EXPECT_EQ(dravik::provisioning::choose_cache_ram_mib(c.available, c.model, c.kv), c.mib)
        << c.model << " " << c.kv;
}
