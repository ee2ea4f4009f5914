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
}
