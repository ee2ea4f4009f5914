#include "support/config.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "support/errors.hpp"

using dravik::Json;
using namespace dravik::config;

TEST(Truthiness, EveryJsonKind) {
  EXPECT_FALSE(truthy(nullptr));
  EXPECT_FALSE(truthy(false));
  EXPECT_FALSE(truthy(0));
  EXPECT_FALSE(truthy(0u));
  EXPECT_FALSE(truthy(0.0));
  EXPECT_FALSE(truthy(""));
  EXPECT_FALSE(truthy(Json::array()));
  EXPECT_FALSE(truthy(Json::object()));
  EXPECT_TRUE(truthy(true));
  EXPECT_TRUE(truthy(-1));
  EXPECT_TRUE(truthy(0.5));
  EXPECT_TRUE(truthy(std::nan("")));
  EXPECT_TRUE(truthy(" "));
  EXPECT_TRUE(truthy(Json::array({0})));
  EXPECT_TRUE(truthy(Json{{"a", nullptr}}));
}

TEST(PresentAndSet, DistinguishMissingFromFalsy) {
  Json cfg = {{"zero", 0}, {"null", nullptr}, {"name", "x"}};
  EXPECT_TRUE(present(cfg, "zero"));
  EXPECT_FALSE(is_set(cfg, "zero"));
  EXPECT_TRUE(present(cfg, "null"));
  EXPECT_FALSE(is_set(cfg, "null"));
  EXPECT_TRUE(is_set(cfg, "name"));
  EXPECT_FALSE(present(cfg, "missing"));
  // Not a map at all: nothing is present, and nothing throws.
  EXPECT_FALSE(present(Json::array({1}), "zero"));
  EXPECT_FALSE(is_set(Json("text"), "zero"));
}

TEST(TextForm, MatchesTheHostConvention) {
  EXPECT_EQ(text_form("as is "), "as is ");
  EXPECT_EQ(text_form(true), "True");
  EXPECT_EQ(text_form(false), "False");
  EXPECT_EQ(text_form(nullptr), "None");
  EXPECT_EQ(text_form(-42), "-42");
  EXPECT_EQ(text_form(18446744073709551615u), "18446744073709551615");
  EXPECT_EQ(text_form(1.0), "1.0");
  EXPECT_EQ(text_form(0.1), "0.1");
  EXPECT_EQ(text_form(Json::array({1, "a"})), "[1,\"a\"]");
}

TEST(TextForm, FloatsUseShortestRoundTripDigits) {
  EXPECT_EQ(format_float(2.5), "2.5");
  EXPECT_EQ(format_float(-0.0), "-0.0");
  EXPECT_EQ(format_float(1e16), "1e+16");
  EXPECT_EQ(format_float(1e15), "1000000000000000.0");
  EXPECT_EQ(format_float(123456789012345678.0), "1.2345678901234568e+17");
  EXPECT_EQ(format_float(1e-5), "1e-05");
  EXPECT_EQ(format_float(0.0001), "0.0001");
  EXPECT_EQ(format_float(1.5e-7), "1.5e-07");
  EXPECT_EQ(format_float(1e100), "1e+100");
  EXPECT_EQ(format_float(0.30000000000000004), "0.30000000000000004");
  EXPECT_EQ(format_float(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(format_float(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(format_float(std::nan("")), "nan");
}

TEST(IntegerConversion, AcceptsWhatAUserWrites) {
  EXPECT_EQ(to_int64(4096), 4096);
  EXPECT_EQ(to_int64(true), 1);
  EXPECT_EQ(to_int64(false), 0);
  EXPECT_EQ(to_int64(2.9), 2);
  EXPECT_EQ(to_int64(-2.9), -2);
  EXPECT_EQ(to_int64("4096"), 4096);
  EXPECT_EQ(to_int64("  -20 \t"), -20);
  EXPECT_EQ(to_int64("+7"), 7);
  EXPECT_EQ(to_int64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
}

TEST(IntegerConversion, RefusesEverythingElseWithTheRightKind) {
  EXPECT_THROW(to_int64(nullptr), dravik::TypeError);
  EXPECT_THROW(to_int64(Json::array()), dravik::TypeError);
  EXPECT_THROW(to_int64(Json::object()), dravik::TypeError);
  for (const char* bad : {"", "  ", "12a", "1.5", "0x10", "1_000", "- 1", "+", "9223372036854775808", "١٢"})
    EXPECT_THROW(to_int64(bad), dravik::ValueError) << bad;
  EXPECT_THROW(to_int64(std::nan("")), dravik::ValueError);
  EXPECT_THROW(to_int64(std::numeric_limits<double>::infinity()), dravik::ValueError);
  EXPECT_THROW(to_int64(1e19), dravik::ValueError);
  EXPECT_THROW(to_int64(9223372036854775808.0), dravik::ValueError);
  EXPECT_THROW(to_int64(Json(18446744073709551615u)), dravik::ValueError);
  try {
    to_int64(nullptr, "gpu_layers");
    FAIL();
  } catch (const dravik::TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("gpu_layers"), std::string::npos);
  }
}

TEST(TrimAndLower, AsciiOnly) {
  EXPECT_EQ(trim(" \t\r\nx y\v\f "), "x y");
  EXPECT_EQ(lower("OpenAI_Ü"), "openai_Ü");
}
