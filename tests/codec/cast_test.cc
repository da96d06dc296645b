#include "codec/cast.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

void PrintTo(DType dtype, std::ostream* os) { *os << dtype_name(dtype); }

namespace {

using ::testing::ElementsAreArray;
using ::testing::Optional;

// Table rows print as their name.
template <class Case>
  requires requires(const Case& c) { std::string_view(c.name); }
void PrintTo(const Case& row, std::ostream* os) {
  *os << row.name;
}

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

template <class T>
Bytes pack(const std::vector<T>& values) {
  Bytes out(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

template <class T>
std::vector<T> unpack(ByteView bytes) {
  std::vector<T> out(bytes.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

std::uint32_t bits_of(float value) { return std::bit_cast<std::uint32_t>(value); }
float float_of(std::uint32_t bits) { return std::bit_cast<float>(bits); }

template <class T>
void expect_invalid_config(const Result<T>& result, const std::string& text) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_EQ(result.error().text(), text);
}

// ---------------------------------------------------------------------------------------------
// DType::parse

struct ParseCase {
  const char* name;
  const char* text;
  std::optional<DType> expected;
};

class DTypeParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(DTypeParse, AcceptsSpelling) {
  auto parsed = DType::parse(GetParam().text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
  EXPECT_EQ(*parsed, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, DTypeParse,
    ::testing::Values(ParseCase{"empty_is_none", "", std::nullopt}, ParseCase{"none", "none", std::nullopt},
                      ParseCase{"upper_none", "NONE", std::nullopt}, ParseCase{"fp64", "fp64", DType::Float64},
                      ParseCase{"float64", "float64", DType::Float64}, ParseCase{"double", "Double", DType::Float64},
                      ParseCase{"fp32", "fp32", DType::Float32}, ParseCase{"float32", "FLOAT32", DType::Float32},
                      ParseCase{"bf16_upper", "BF16", DType::BFloat16},
                      ParseCase{"bfloat16", "bfloat16", DType::BFloat16}, ParseCase{"fp16", "fp16", DType::Float16},
                      ParseCase{"float16_mixed", "Float16", DType::Float16},
                      ParseCase{"fp8", "fp8", DType::Float8E4M3FN}, ParseCase{"float8", "float8", DType::Float8E4M3FN},
                      ParseCase{"fp8_e4m3", "fp8_E4M3", DType::Float8E4M3FN},
                      ParseCase{"float8_e4m3fn", "float8_e4m3fn", DType::Float8E4M3FN},
                      ParseCase{"fp8_e5m2", "FP8_E5M2", DType::Float8E5M2},
                      ParseCase{"float8_e5m2", "float8_e5m2", DType::Float8E5M2}),
    [](const auto& info) { return std::string(info.param.name); });

struct ParseErrorCase {
  const char* name;
  const char* text;
  const char* shown;  // the input as the message shows it
};

class DTypeParseError : public ::testing::TestWithParam<ParseErrorCase> {};

TEST_P(DTypeParseError, NamesLowerCasedInput) {
  expect_invalid_config(DType::parse(GetParam().text),
                        std::string("unknown save_dtype '") + GetParam().shown +
                            "'. Use one of: none, bf16, fp16, fp32, fp64, fp8 (= fp8_e4m3), fp8_e5m2. Integer, bool "
                            "and complex tensors are stored unchanged and need no setting; they are not cast targets.");
}

INSTANTIATE_TEST_SUITE_P(Unknown, DTypeParseError,
                         ::testing::Values(ParseErrorCase{"half", "half", "half"},
                                           ParseErrorCase{"upper_half_shown_lower", "HALF", "half"},
                                           ParseErrorCase{"integer_type", "Int64", "int64"},
                                           ParseErrorCase{"no_trimming", " bf16", " bf16"},
                                           ParseErrorCase{"near_miss_fnuz", "float8_e4m3fnuz", "float8_e4m3fnuz"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DTypeName, NamesEveryTarget) {
  EXPECT_EQ(dtype_name(DType::Float64), "float64");
  EXPECT_EQ(dtype_name(DType::Float32), "float32");
  EXPECT_EQ(dtype_name(DType::BFloat16), "bfloat16");
  EXPECT_EQ(dtype_name(DType::Float16), "float16");
  EXPECT_EQ(dtype_name(DType::Float8E4M3FN), "float8_e4m3fn");
  EXPECT_EQ(dtype_name(DType::Float8E5M2), "float8_e5m2");
}

// ---------------------------------------------------------------------------------------------
// glob_match

struct GlobCase {
  const char* name;
  std::string pattern;
  std::string text;
  bool matches;
};

class GlobMatch : public ::testing::TestWithParam<GlobCase> {};

TEST_P(GlobMatch, Decides) { EXPECT_EQ(glob_match(GetParam().pattern, GetParam().text), GetParam().matches); }

INSTANTIATE_TEST_SUITE_P(
    Cases, GlobMatch,
    ::testing::Values(GlobCase{"star_matches_empty_name", "*", "", true},
                      GlobCase{"stars_match_empty_name", "**", "", true},
                      GlobCase{"empty_pattern_matches_empty_name", "", "", true},
                      GlobCase{"empty_pattern_rejects_name", "", "a", false},
                      GlobCase{"literal_then_star_needs_literal", "a*", "", false},
                      GlobCase{"stars_backtrack", "a*b*c", "aXbYbZc", true},
                      GlobCase{"question_mark_is_literal", "layer.?", "layer.1", false},
                      GlobCase{"question_mark_matches_itself", "layer.?", "layer.?", true},
                      GlobCase{"star_crosses_slashes", "*/weight", "model/layer/0/weight", true},
                      GlobCase{"prefix_star", "optimizer/*", "optimizer/m", true},
                      GlobCase{"case_sensitive", "Model/*", "model/w", false},
                      GlobCase{"trailing_literal_must_end_name", "*ab", "aabx", false},
                      GlobCase{"retries_after_partial_suffix", "*ab", "aab", true},
                      GlobCase{"exact_literal", "model.w", "model.w", true},
                      GlobCase{"pattern_longer_than_name", "model.w.x", "model.w", false},
                      GlobCase{"multibyte_literal", "gewicht/ä*", "gewicht/äpfel", true},
                      GlobCase{"star_swallows_multibyte", "*ß", "straße", false},
                      GlobCase{"star_then_multibyte_suffix", "*ße", "straße", true},
                      GlobCase{"different_code_points", "é", "e", false},
                      // A lone lead byte is its own unit: it never matches the first half of a
                      // two-byte code point, as a byte-wise match would.
                      GlobCase{"no_partial_code_point", "\xc3*", "\xc3\xa9", false},
                      GlobCase{"invalid_byte_matches_itself", "\xc3*", "\xc3x", true},
                      // A star gives up whole code points, never a lone lead byte of one.
                      GlobCase{"star_swallows_whole_code_points", "*\xa9", "\xc3\xa9", false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// DTypePolicy

using RuleList = std::initializer_list<std::pair<const char*, const char*>>;

std::vector<std::pair<std::string, std::string>> rules(RuleList list) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [pattern, dtype] : list) out.emplace_back(pattern, dtype);
  return out;
}

TEST(DTypePolicy, NoneRuleExemptsFromLaterRules) {
  auto policy = DTypePolicy::from_rules(rules({{"optimizer/*", "none"}, {"*", "bf16"}}));
  ASSERT_TRUE(policy.has_value());
  EXPECT_EQ(policy->target_for("optimizer/m"), std::nullopt);
  EXPECT_THAT(policy->target_for("model/w"), Optional(DType(DType::BFloat16)));
}

TEST(DTypePolicy, FirstMatchingRuleWins) {
  auto policy = DTypePolicy::from_rules(rules({{"model/*", "fp16"}, {"*", "fp8"}, {"model/w", "bf16"}}));
  ASSERT_TRUE(policy.has_value());
  EXPECT_THAT(policy->target_for("model/w"), Optional(DType(DType::Float16)));
  EXPECT_THAT(policy->target_for("head/b"), Optional(DType(DType::Float8E4M3FN)));
}

TEST(DTypePolicy, UnmatchedNameAndEmptyPolicyCastNothing) {
  auto policy = DTypePolicy::from_rules(rules({{"model/*", "bf16"}}));
  ASSERT_TRUE(policy.has_value());
  EXPECT_EQ(policy->target_for("optimizer/m"), std::nullopt);
  EXPECT_EQ(DTypePolicy().target_for("model/w"), std::nullopt);
  auto empty = DTypePolicy::from_rules({});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->target_for(""), std::nullopt);
}

TEST(DTypePolicy, EmptyPatternIsRejectedWherever) {
  expect_invalid_config(DTypePolicy::from_rules(rules({{"*", "bf16"}, {"", "fp16"}})),
                        "save_dtype has an empty pattern; use \"*\" to mean every tensor");
}

TEST(DTypePolicy, UnknownDtypeTextIsPassedOn) {
  auto policy = DTypePolicy::from_rules(rules({{"*", "Half"}}));
  ASSERT_FALSE(policy.has_value());
  EXPECT_EQ(policy.error(), DType::parse("half").error());
}

// ---------------------------------------------------------------------------------------------
// Element conversions

struct NarrowCase {
  const char* name;
  float input;
  std::uint16_t expected;
};

class BFloat16Narrowing : public ::testing::TestWithParam<NarrowCase> {};

TEST_P(BFloat16Narrowing, RoundsTiesToEven) {
  EXPECT_EQ(float_to_bfloat16(GetParam().input), GetParam().expected);
  // The buffer form gives the same bits.
  auto narrowed = narrow_from_fp32(pack(std::vector<float>{GetParam().input}), "bfloat16");
  ASSERT_TRUE(narrowed.has_value());
  EXPECT_THAT(unpack<std::uint16_t>(*narrowed), ElementsAreArray({GetParam().expected}));
}

INSTANTIATE_TEST_SUITE_P(
    Edges, BFloat16Narrowing,
    ::testing::Values(NarrowCase{"half_ulp_tie_rounds_to_even_down", 1.0f + 0x1p-8f, 0x3f80},
                      NarrowCase{"one_and_a_half_ulp_tie_rounds_up", 1.0f + 3 * 0x1p-8f, 0x3f82},
                      NarrowCase{"above_half_rounds_up", 1.0f + 0x1p-8f + 0x1p-20f, 0x3f81},
                      NarrowCase{"negative_zero", -0.0f, 0x8000},
                      NarrowCase{"largest_float_overflows", std::numeric_limits<float>::max(), 0x7f80},
                      NarrowCase{"negative_infinity", -kInf, 0xff80},
                      NarrowCase{"signalling_nan_is_quieted", float_of(0x7f800001), 0x7fc0},
                      NarrowCase{"negative_nan_keeps_payload_top", float_of(0xffa10000), 0xffe1}),
    [](const auto& info) { return std::string(info.param.name); });

class HalfNarrowing : public ::testing::TestWithParam<NarrowCase> {};

TEST_P(HalfNarrowing, RoundsHalfAwayFromZero) {
  EXPECT_EQ(float_to_half(GetParam().input), GetParam().expected);
  auto narrowed = narrow_from_fp32(pack(std::vector<float>{GetParam().input}), "float16");
  ASSERT_TRUE(narrowed.has_value());
  EXPECT_THAT(unpack<std::uint16_t>(*narrowed), ElementsAreArray({GetParam().expected}));
}

INSTANTIATE_TEST_SUITE_P(
    Edges, HalfNarrowing,
    ::testing::Values(NarrowCase{"half_ulp_rounds_up", 1.0f + 0x1p-11f, 0x3c01},
                      NarrowCase{"negative_half_ulp_rounds_away", -(1.0f + 0x1p-11f), 0xbc01},
                      NarrowCase{"below_half_ulp_rounds_down", 1.0f + 0x1p-11f - 0x1p-23f, 0x3c00},
                      NarrowCase{"largest_finite_stays", 65504.0f, 0x7bff},
                      NarrowCase{"rounding_carry_overflows", 65520.0f, 0x7c00},
                      NarrowCase{"large_overflows", 1e10f, 0x7c00},
                      NarrowCase{"smallest_normal", 0x1p-14f, 0x0400},
                      NarrowCase{"largest_subnormal", 1023 * 0x1p-24f, 0x03ff},
                      NarrowCase{"subnormal_carry_into_normal", 1023.5f * 0x1p-24f, 0x0400},
                      NarrowCase{"subnormal_tie_rounds_away_not_even", 2.5f * 0x1p-24f, 0x0003},
                      NarrowCase{"smallest_subnormal", 0x1p-24f, 0x0001},
                      NarrowCase{"half_smallest_subnormal_rounds_up", 0x1p-25f, 0x0001},
                      NarrowCase{"quarter_smallest_subnormal_is_zero", 0x1p-26f, 0x0000},
                      NarrowCase{"negative_underflow_keeps_sign", -0x1p-26f, 0x8000},
                      NarrowCase{"infinity", kInf, 0x7c00}, NarrowCase{"negative_infinity", -kInf, 0xfc00},
                      NarrowCase{"nan_payload_dropped", float_of(0x7f800001), 0x7e00},
                      NarrowCase{"negative_nan", float_of(0xffc12345), 0xfe00}),
    [](const auto& info) { return std::string(info.param.name); });

// The value of a 16-bit float computed from its fields, independently of the bit manipulation.
std::uint32_t half_reference_bits(std::uint16_t code) {
  const bool negative = code & 0x8000;
  const int exponent = (code >> 10) & 0x1f;
  const int mantissa = code & 0x3ff;
  if (exponent == 31) {
    return (negative ? 0x80000000u : 0u) | 0x7f800000u | (static_cast<std::uint32_t>(mantissa) << 13);
  }
  const float magnitude = exponent == 0 ? std::ldexp(static_cast<float>(mantissa), -24)
                                        : std::ldexp(1.0f + mantissa / 1024.0f, exponent - 15);
  return bits_of(negative ? -magnitude : magnitude);
}

TEST(HalfWidening, EveryCodeIsExactAndNarrowsBack) {
  std::vector<std::uint16_t> codes(65536);
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint16_t>(i);
  auto widened = widen_to_fp32(pack(codes), "float16");
  ASSERT_TRUE(widened.has_value());
  const auto values = unpack<float>(*widened);
  ASSERT_EQ(values.size(), codes.size());
  auto narrowed = narrow_from_fp32(*widened, "float16");
  ASSERT_TRUE(narrowed.has_value());
  const auto back = unpack<std::uint16_t>(*narrowed);

  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::uint16_t code = codes[i];
    ASSERT_EQ(bits_of(values[i]), half_reference_bits(code)) << std::hex << code;
    const bool nan = (code & 0x7c00) == 0x7c00 && (code & 0x03ff) != 0;
    const std::uint16_t expected_back = nan ? static_cast<std::uint16_t>((code & 0x8000) | 0x7e00) : code;
    ASSERT_EQ(back[i], expected_back) << std::hex << code;
  }
}

TEST(BFloat16Widening, UpperHalfOfTheFloat) {
  auto widened = widen_to_fp32(pack(std::vector<std::uint16_t>{0x3f80, 0x8000, 0xff80, 0x7f81, 0x0001}), "bfloat16");
  ASSERT_TRUE(widened.has_value());
  const auto values = unpack<std::uint32_t>(*widened);
  EXPECT_THAT(values, ElementsAreArray({0x3f800000u, 0x80000000u, 0xff800000u, 0x7f810000u, 0x00010000u}));
}

TEST(DoubleConversions, NarrowingRoundsToEvenAndWideningIsExact) {
  const std::vector<double> doubles{1.0 + 0x1p-24, 1.0 + 3 * 0x1p-24, 1e39, -1e39, -0.0,
                                    std::numeric_limits<double>::quiet_NaN(), 0x1p-149, 0x1p-151};
  auto narrowed = widen_to_fp32(pack(doubles), "float64");
  ASSERT_TRUE(narrowed.has_value());
  const auto floats = unpack<float>(*narrowed);
  ASSERT_EQ(floats.size(), doubles.size());
  EXPECT_EQ(bits_of(floats[0]), bits_of(1.0f));
  EXPECT_EQ(bits_of(floats[1]), bits_of(1.0f + 0x1p-22f));
  EXPECT_EQ(floats[2], kInf);
  EXPECT_EQ(floats[3], -kInf);
  EXPECT_EQ(bits_of(floats[4]), 0x80000000u);
  EXPECT_TRUE(std::isnan(floats[5]));
  EXPECT_EQ(bits_of(floats[6]), 1u);  // smallest subnormal float survives
  EXPECT_EQ(bits_of(floats[7]), 0u);

  const std::vector<float> exact{1.0f + 0x1p-23f, 0x1p-149f, -kInf, 3.0e38f};
  auto widened = narrow_from_fp32(pack(exact), "float64");
  ASSERT_TRUE(widened.has_value());
  EXPECT_THAT(unpack<double>(*widened), ElementsAreArray({1.0 + 0x1p-23, 0x1p-149,
                                                          -std::numeric_limits<double>::infinity(),
                                                          static_cast<double>(3.0e38f)}));
}

// ---------------------------------------------------------------------------------------------
// Literal readings of the rounding rules, one decision at a time, against which the
// branch-free element functions are compared over many inputs.

std::uint32_t round_shift_ties_to_even(std::uint32_t value, int shift) {
  const std::uint32_t kept = value >> shift;
  const std::uint32_t rest = value & ((1u << shift) - 1);
  const std::uint32_t half = 1u << (shift - 1);
  return kept + ((rest > half || (rest == half && (kept & 1))) ? 1 : 0);
}

std::uint8_t reference_float8(float y, const Float8Format& format) {
  const std::uint32_t x = bits_of(y);
  const std::uint32_t sign = (x >> 31) << 7;
  if (std::isnan(y)) return static_cast<std::uint8_t>(sign | format.nan_code);
  if (y == 0.0f) return static_cast<std::uint8_t>(sign);
  if (std::isinf(y)) return static_cast<std::uint8_t>(sign | format.infinity_code.value_or(format.nan_code));
  int exponent = static_cast<int>((x >> 23) & 0xff) + format.exponent_bias - 127;
  const std::uint32_t significand = (x & 0x7fffff) | 0x800000;
  const int m = format.mantissa_bits;
  if (exponent <= 0) {
    const int shift = 24 - m - exponent;
    if (shift >= 32) return static_cast<std::uint8_t>(sign);
    return static_cast<std::uint8_t>(sign | round_shift_ties_to_even(significand, shift));
  }
  const std::uint32_t rounded = round_shift_ties_to_even(significand, 23 - m);
  std::uint32_t mantissa;
  if (rounded >> (m + 1)) {
    exponent += 1;
    mantissa = 0;
  } else {
    mantissa = rounded & ((1u << m) - 1);
  }
  if (exponent > format.largest_finite_exponent_field ||
      (exponent == format.largest_finite_exponent_field &&
       static_cast<int>(mantissa) > format.largest_mantissa_field_at_that_exponent)) {
    return static_cast<std::uint8_t>(sign | format.largest_finite_code);
  }
  return static_cast<std::uint8_t>(sign | (static_cast<std::uint32_t>(exponent) << m) | mantissa);
}

std::uint16_t reference_half(float value) {
  const std::uint32_t x = bits_of(value);
  const std::uint32_t sign = (x >> 16) & 0x8000;
  const std::uint32_t exponent = (x >> 23) & 0xff;
  const std::uint32_t fraction = x & 0x7fffff;
  if (exponent == 255) return static_cast<std::uint16_t>(sign | (fraction ? 0x7e00 : 0x7c00));
  if (exponent >= 143) return static_cast<std::uint16_t>(sign | 0x7c00);
  if (exponent >= 113) {
    return static_cast<std::uint16_t>(sign + ((exponent - 112) << 10) + (fraction >> 13) + ((fraction >> 12) & 1));
  }
  if (exponent >= 102) {
    const std::uint32_t g = (fraction | 0x800000) >> (113 - exponent);
    return static_cast<std::uint16_t>(sign | ((g >> 13) + ((g >> 12) & 1)));
  }
  return static_cast<std::uint16_t>(sign);
}

// Float patterns that cover every sign and exponent, every rounding position's exact ties and
// their neighbours (mantissas k * 2^j and one ulp either side), and a pseudo-random spread.
std::vector<float> rounding_probe_values() {
  std::vector<float> values;
  std::mt19937 random(12345);
  for (std::uint32_t sign = 0; sign < 2; ++sign) {
    for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
      const std::uint32_t base = (sign << 31) | (exponent << 23);
      for (std::uint32_t step = 14; step <= 22; ++step) {
        for (std::uint32_t k = 0; k < (1u << (23 - step)); ++k) {
          const std::uint32_t mantissa = k << step;
          for (std::uint32_t nearby : {mantissa - 1, mantissa, mantissa + 1}) {
            values.push_back(float_of(base | (nearby & 0x7fffff)));
          }
        }
      }
      for (int i = 0; i < 512; ++i) values.push_back(float_of(base | (random() & 0x7fffff)));
    }
  }
  return values;
}

class Float8Rules : public ::testing::TestWithParam<const Float8Format*> {};

TEST_P(Float8Rules, EncoderFollowsTheRoundingRules) {
  const Float8Format& format = *GetParam();
  for (float value : rounding_probe_values()) {
    ASSERT_EQ(float_to_float8(value, format), reference_float8(value, format)) << std::hex << bits_of(value);
  }
}

TEST_P(Float8Rules, EveryCodeDecodesAndEncodesBack) {
  const Float8Format& format = *GetParam();
  std::vector<std::uint8_t> codes(256);
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint8_t>(i);
  auto decoded = decode_float8(pack(codes), format, 1.0f);
  ASSERT_TRUE(decoded.has_value());
  auto encoded = encode_float8(*decoded, format, 1.0f);
  ASSERT_TRUE(encoded.has_value());
  const auto values = unpack<float>(*decoded);
  const auto back = unpack<std::uint8_t>(*encoded);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::uint8_t code = codes[i];
    const std::uint8_t sign = code & 0x80;
    if (std::isnan(values[i])) {
      EXPECT_EQ(back[i], sign | format.nan_code) << std::hex << int{code};
    } else {
      EXPECT_EQ(back[i], code) << std::hex << int{code};
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, Float8Rules, ::testing::Values(&kFloat8E4M3FN, &kFloat8E5M2),
                         [](const auto& info) { return std::string(info.param->dtype_name); });

TEST(HalfRules, NarrowingFollowsTheRoundingRules) {
  for (float value : rounding_probe_values()) {
    ASSERT_EQ(float_to_half(value), reference_half(value)) << std::hex << bits_of(value);
  }
}

struct Float8EncodeCase {
  const char* name;
  const Float8Format* format;
  float value;
  float scale;
  std::uint8_t expected;
};

class Float8Encoding : public ::testing::TestWithParam<Float8EncodeCase> {};

TEST_P(Float8Encoding, GivesCode) {
  const auto& c = GetParam();
  auto encoded = encode_float8(pack(std::vector<float>{c.value}), *c.format, c.scale);
  ASSERT_TRUE(encoded.has_value());
  EXPECT_THAT(unpack<std::uint8_t>(*encoded), ElementsAreArray({c.expected}));
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Float8Encoding,
    ::testing::Values(
        Float8EncodeCase{"e4m3_largest", &kFloat8E4M3FN, 448.0f, 1.0f, 0x7e},
        Float8EncodeCase{"e4m3_negative_largest", &kFloat8E4M3FN, -448.0f, 1.0f, 0xfe},
        Float8EncodeCase{"e4m3_tie_above_largest_rounds_to_even", &kFloat8E4M3FN, 464.0f, 1.0f, 0x7e},
        Float8EncodeCase{"e4m3_would_be_nan_saturates", &kFloat8E4M3FN, 480.0f, 1.0f, 0x7e},
        Float8EncodeCase{"e4m3_far_above_saturates", &kFloat8E4M3FN, -1e30f, 1.0f, 0xfe},
        Float8EncodeCase{"e4m3_infinity_is_nan_code", &kFloat8E4M3FN, kInf, 1.0f, 0x7f},
        Float8EncodeCase{"e4m3_negative_infinity", &kFloat8E4M3FN, -kInf, 1.0f, 0xff},
        Float8EncodeCase{"e4m3_nan", &kFloat8E4M3FN, kNaN, 1.0f, 0x7f},
        Float8EncodeCase{"e4m3_negative_nan_keeps_sign", &kFloat8E4M3FN, -kNaN, 1.0f, 0xff},
        Float8EncodeCase{"e4m3_negative_zero", &kFloat8E4M3FN, -0.0f, 1.0f, 0x80},
        Float8EncodeCase{"e4m3_one", &kFloat8E4M3FN, 1.0f, 1.0f, 0x38},
        Float8EncodeCase{"e4m3_tie_rounds_to_even_down", &kFloat8E4M3FN, 1.0625f, 1.0f, 0x38},
        Float8EncodeCase{"e4m3_tie_rounds_to_even_up", &kFloat8E4M3FN, 1.1875f, 1.0f, 0x3a},
        Float8EncodeCase{"e4m3_smallest_subnormal", &kFloat8E4M3FN, 0x1p-9f, 1.0f, 0x01},
        Float8EncodeCase{"e4m3_half_subnormal_ties_to_zero", &kFloat8E4M3FN, 0x1p-10f, 1.0f, 0x00},
        Float8EncodeCase{"e4m3_subnormal_tie_rounds_up_to_even", &kFloat8E4M3FN, 3 * 0x1p-10f, 1.0f, 0x02},
        Float8EncodeCase{"e4m3_subnormal_carries_into_normal", &kFloat8E4M3FN, 7.5f * 0x1p-9f, 1.0f, 0x08},
        Float8EncodeCase{"e4m3_scale_divides", &kFloat8E4M3FN, 896.0f, 2.0f, 0x7e},
        Float8EncodeCase{"e5m2_largest", &kFloat8E5M2, 57344.0f, 1.0f, 0x7b},
        Float8EncodeCase{"e5m2_above_largest_saturates", &kFloat8E5M2, 60000.0f, 1.0f, 0x7b},
        Float8EncodeCase{"e5m2_tie_carry_saturates", &kFloat8E5M2, 61440.0f, 1.0f, 0x7b},
        Float8EncodeCase{"e5m2_negative_saturates", &kFloat8E5M2, -1e9f, 1.0f, 0xfb},
        Float8EncodeCase{"e5m2_infinity", &kFloat8E5M2, kInf, 1.0f, 0x7c},
        Float8EncodeCase{"e5m2_negative_infinity", &kFloat8E5M2, -kInf, 1.0f, 0xfc},
        Float8EncodeCase{"e5m2_nan", &kFloat8E5M2, kNaN, 1.0f, 0x7e},
        Float8EncodeCase{"e5m2_one", &kFloat8E5M2, 1.0f, 1.0f, 0x3c},
        Float8EncodeCase{"e5m2_smallest_subnormal", &kFloat8E5M2, 0x1p-16f, 1.0f, 0x01},
        Float8EncodeCase{"e5m2_half_subnormal_ties_to_zero", &kFloat8E5M2, 0x1p-17f, 1.0f, 0x00}),
    [](const auto& info) { return std::string(info.param.name); });

struct Float8DecodeCase {
  const char* name;
  const Float8Format* format;
  std::uint8_t code;
  float scale;
  float expected;  // NaN means any NaN of the code's sign
};

class Float8Decoding : public ::testing::TestWithParam<Float8DecodeCase> {};

TEST_P(Float8Decoding, GivesValue) {
  const auto& c = GetParam();
  auto decoded = decode_float8(pack(std::vector<std::uint8_t>{c.code}), *c.format, c.scale);
  ASSERT_TRUE(decoded.has_value());
  const auto values = unpack<float>(*decoded);
  ASSERT_EQ(values.size(), 1u);
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(values[0]));
    EXPECT_EQ(std::signbit(values[0]), (c.code & 0x80) != 0);
  } else {
    EXPECT_EQ(bits_of(values[0]), bits_of(c.expected));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, Float8Decoding,
    ::testing::Values(Float8DecodeCase{"e4m3_largest", &kFloat8E4M3FN, 0x7e, 1.0f, 448.0f},
                      Float8DecodeCase{"e4m3_negative_one", &kFloat8E4M3FN, 0xb8, 1.0f, -1.0f},
                      Float8DecodeCase{"e4m3_smallest_subnormal", &kFloat8E4M3FN, 0x01, 1.0f, 0x1p-9f},
                      Float8DecodeCase{"e4m3_smallest_normal", &kFloat8E4M3FN, 0x08, 1.0f, 0x1p-6f},
                      Float8DecodeCase{"e4m3_negative_zero", &kFloat8E4M3FN, 0x80, 3.0f, -0.0f},
                      Float8DecodeCase{"e4m3_nan", &kFloat8E4M3FN, 0x7f, 2.0f, kNaN},
                      Float8DecodeCase{"e4m3_negative_nan", &kFloat8E4M3FN, 0xff, 2.0f, kNaN},
                      Float8DecodeCase{"e4m3_scaled", &kFloat8E4M3FN, 0x7e, 0.5f, 224.0f},
                      Float8DecodeCase{"e5m2_largest", &kFloat8E5M2, 0x7b, 1.0f, 57344.0f},
                      Float8DecodeCase{"e5m2_infinity_unscaled", &kFloat8E5M2, 0x7c, 0.25f, kInf},
                      Float8DecodeCase{"e5m2_negative_infinity", &kFloat8E5M2, 0xfc, 4.0f, -kInf},
                      Float8DecodeCase{"e5m2_nan_codes", &kFloat8E5M2, 0x7d, 1.0f, kNaN},
                      Float8DecodeCase{"e5m2_smallest_subnormal_scaled", &kFloat8E5M2, 0x01, 2.0f, 0x1p-15f}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Whole buffers

TEST(FiniteAmax, SkipsNonFiniteValues) {
  EXPECT_EQ(finite_amax(pack(std::vector<float>{1.0f, -7.5f, kInf, -kInf, kNaN, 3.0f})), 7.5f);
  EXPECT_EQ(finite_amax(pack(std::vector<float>{kNaN, -kInf})), 0.0f);
  EXPECT_EQ(finite_amax({}), 0.0f);
}

TEST(QuantScale, FallsBackToOneUnlessNormal) {
  EXPECT_EQ(quant_scale_for(896.0f, kFloat8E4M3FN), 2.0f);
  EXPECT_EQ(quant_scale_for(57344.0f, kFloat8E5M2), 1.0f);
  EXPECT_EQ(quant_scale_for(0.0f, kFloat8E4M3FN), 1.0f);
  EXPECT_EQ(quant_scale_for(1e-37f, kFloat8E4M3FN), 1.0f);  // the quotient is subnormal
}

// Buffers spanning several parallel chunks and a partial one come out element by element the
// same as the element functions, with nothing lost at the chunk seams.
class ChunkedBuffers : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 random(7);
    std::normal_distribution<float> normal(0.0f, 40.0f);
    values_.resize(3 * 16384 + 5);
    for (float& v : values_) v = normal(random);
    values_.back() = -1000.0f;  // the largest magnitude sits in the partial last chunk
    bytes_ = pack(values_);
  }
  std::vector<float> values_;
  Bytes bytes_;
};

TEST_F(ChunkedBuffers, NarrowingAndWideningCoverEveryElement) {
  auto bf16 = narrow_from_fp32(bytes_, "bfloat16");
  auto f16 = narrow_from_fp32(bytes_, "float16");
  ASSERT_TRUE(bf16.has_value());
  ASSERT_TRUE(f16.has_value());
  const auto bf16_codes = unpack<std::uint16_t>(*bf16);
  const auto f16_codes = unpack<std::uint16_t>(*f16);
  ASSERT_EQ(bf16_codes.size(), values_.size());
  ASSERT_EQ(f16_codes.size(), values_.size());
  auto bf16_back = widen_to_fp32(*bf16, "bfloat16");
  auto f16_back = widen_to_fp32(*f16, "float16");
  ASSERT_TRUE(bf16_back.has_value());
  ASSERT_TRUE(f16_back.has_value());
  const auto bf16_values = unpack<float>(*bf16_back);
  const auto f16_values = unpack<float>(*f16_back);
  for (std::size_t i = 0; i < values_.size(); ++i) {
    ASSERT_EQ(bf16_codes[i], float_to_bfloat16(values_[i])) << i;
    ASSERT_EQ(f16_codes[i], float_to_half(values_[i])) << i;
    ASSERT_EQ(bits_of(bf16_values[i]), bits_of(bfloat16_to_float(bf16_codes[i]))) << i;
    ASSERT_EQ(bits_of(f16_values[i]), bits_of(half_to_float(f16_codes[i]))) << i;
  }
}

TEST_F(ChunkedBuffers, Float8CoversEveryElement) {
  EXPECT_EQ(finite_amax(bytes_), 1000.0f);
  const float scale = quant_scale_for(1000.0f, kFloat8E4M3FN);
  auto codes = encode_float8(bytes_, kFloat8E4M3FN, scale);
  ASSERT_TRUE(codes.has_value());
  const auto code_list = unpack<std::uint8_t>(*codes);
  ASSERT_EQ(code_list.size(), values_.size());
  EXPECT_EQ(code_list.back(), 0xfe);
  auto decoded = decode_float8(*codes, kFloat8E4M3FN, scale);
  ASSERT_TRUE(decoded.has_value());
  const auto decoded_values = unpack<float>(*decoded);
  ASSERT_EQ(decoded_values.size(), values_.size());
  for (std::size_t i = 0; i < values_.size(); ++i) {
    ASSERT_EQ(code_list[i], float_to_float8(values_[i] * (1.0f / scale), kFloat8E4M3FN)) << i;
    ASSERT_EQ(bits_of(decoded_values[i]), bits_of(float8_to_float(code_list[i], kFloat8E4M3FN) * scale)) << i;
  }
}

struct LengthErrorCase {
  const char* name;
  bool widen;
  const char* dtype;
  std::size_t length;
  const char* message;
};

class ConversionErrors : public ::testing::TestWithParam<LengthErrorCase> {};

TEST_P(ConversionErrors, AreInvalidConfig) {
  const auto& c = GetParam();
  const Bytes bytes(c.length, std::byte{0});
  expect_invalid_config(c.widen ? widen_to_fp32(bytes, c.dtype) : narrow_from_fp32(bytes, c.dtype), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ConversionErrors,
    ::testing::Values(
        LengthErrorCase{"odd_bf16", true, "bfloat16", 3, "bf16 data length 3 is not a multiple of 2"},
        LengthErrorCase{"odd_fp16", true, "float16", 5, "fp16 data length 5 is not a multiple of 2"},
        LengthErrorCase{"short_fp64", true, "float64", 12, "fp64 data length 12 is not a multiple of 8"},
        LengthErrorCase{"widen_integer", true, "int64", 8, "'int64' is not a float dtype this build can cast"},
        LengthErrorCase{"widen_float8", true, "float8_e4m3fn", 1,
                        "'float8_e4m3fn' is not a float dtype this build can cast"},
        LengthErrorCase{"narrow_to_bf16", false, "bfloat16", 6, "fp32 data length 6 is not a multiple of 4"},
        LengthErrorCase{"narrow_to_fp16", false, "float16", 2, "fp32 data length 2 is not a multiple of 4"},
        LengthErrorCase{"narrow_to_fp64", false, "float64", 7, "fp32 data length 7 is not a multiple of 4"},
        LengthErrorCase{"narrow_to_float8", false, "float8_e5m2", 4,
                        "'float8_e5m2' is not a float dtype this build can cast"},
        LengthErrorCase{"dtype_names_are_exact", false, "Float16", 4,
                        "'Float16' is not a float dtype this build can cast"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Float8Buffers, EncodingNeedsWholeFloats) {
  expect_invalid_config(encode_float8(Bytes(10, std::byte{0}), kFloat8E5M2, 1.0f),
                        "fp32 data length 10 is not a multiple of 4");
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(Allocation, OutOfMemoryIsAnError) {
  // Never read: the output allocation (2^61 bytes) fails first.
  static const std::byte one{};
  const ByteView huge(&one, std::size_t{1} << 60);
  auto widened = widen_to_fp32(huge, "bfloat16");
  ASSERT_FALSE(widened.has_value());
  EXPECT_EQ(widened.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_THAT(widened.error().text(), ::testing::StartsWith("out of memory"));
}
#endif

// ---------------------------------------------------------------------------------------------
// Cast for storage

DTypePolicy policy_of(RuleList list) {
  auto policy = DTypePolicy::from_rules(rules(list));
  EXPECT_TRUE(policy.has_value());
  return policy.value_or(DTypePolicy());
}

struct UnchangedCase {
  const char* name;
  const char* policy_dtype;
  const char* tensor_dtype;
  const char* tensor_name;
};

class CastUnchanged : public ::testing::TestWithParam<UnchangedCase> {};

TEST_P(CastUnchanged, StoresTheInputAsItIs) {
  const auto& c = GetParam();
  const auto policy = policy_of({{"optimizer/*", "none"}, {"*", c.policy_dtype}});
  const Bytes input(16, std::byte{0x3c});
  auto cast = cast_for_storage(c.tensor_name, c.tensor_dtype, input, policy);
  ASSERT_TRUE(cast.has_value()) << cast.error().message();
  EXPECT_EQ(cast->dtype, c.tensor_dtype);
  EXPECT_FALSE(cast->converted.has_value());
  EXPECT_EQ(cast->original_dtype, std::nullopt);
  EXPECT_EQ(cast->quant_scale, std::nullopt);
  EXPECT_EQ(cast->stored_bytes(input).data(), input.data());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CastUnchanged,
    ::testing::Values(UnchangedCase{"same_dtype_as_target", "float16", "float16", "model/w"},
                      UnchangedCase{"integer_under_fp8_rule", "fp8", "int64", "model/step"},
                      UnchangedCase{"bool_under_bf16_rule", "bf16", "bool", "model/mask"},
                      UnchangedCase{"float8_tensor_is_not_recast", "bf16", "float8_e5m2", "model/w"},
                      UnchangedCase{"unknown_dtype", "fp16", "complex64", "model/w"},
                      UnchangedCase{"exempted_by_none_rule", "bf16", "float32", "optimizer/m"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CastForStorage, Float64ToFloat16IsRoundedTwice) {
  // Just under half a float16 ulp above 1: direct rounding would give 1.0, but the value first
  // becomes the float 1 + 2^-11, which then rounds half away to 1 + 2^-10.
  const Bytes input = pack(std::vector<double>{1.0 + 0x1p-11 - 0x1p-40, -2.0});
  auto cast = cast_for_storage("w", "float64", input, policy_of({{"*", "fp16"}}));
  ASSERT_TRUE(cast.has_value()) << cast.error().message();
  EXPECT_EQ(cast->dtype, "float16");
  EXPECT_EQ(cast->original_dtype, "float64");
  EXPECT_EQ(cast->quant_scale, std::nullopt);
  ASSERT_TRUE(cast->converted.has_value());
  EXPECT_THAT(unpack<std::uint16_t>(*cast->converted), ElementsAreArray({0x3c01, 0xc000}));
}

TEST(CastForStorage, Float32ToBFloat16) {
  const std::vector<float> values{1.0f + 0x1p-8f, -3.0f, 0.0f};
  auto cast = cast_for_storage("w", "float32", pack(values), policy_of({{"*", "bf16"}}));
  ASSERT_TRUE(cast.has_value());
  EXPECT_EQ(cast->dtype, "bfloat16");
  EXPECT_EQ(cast->original_dtype, "float32");
  ASSERT_TRUE(cast->converted.has_value());
  EXPECT_THAT(unpack<std::uint16_t>(*cast->converted), ElementsAreArray({0x3f80, 0xc040, 0x0000}));
}

TEST(CastForStorage, WideningTargetsAreExact) {
  auto to_float32 = cast_for_storage("w", "bfloat16", pack(std::vector<std::uint16_t>{0x3f81, 0xc040}),
                                     policy_of({{"*", "fp32"}}));
  ASSERT_TRUE(to_float32.has_value());
  EXPECT_EQ(to_float32->dtype, "float32");
  EXPECT_EQ(to_float32->original_dtype, "bfloat16");
  ASSERT_TRUE(to_float32->converted.has_value());
  EXPECT_THAT(unpack<std::uint32_t>(*to_float32->converted), ElementsAreArray({0x3f810000u, 0xc0400000u}));

  auto to_float64 =
      cast_for_storage("w", "float32", pack(std::vector<float>{0.1f}), policy_of({{"*", "double"}}));
  ASSERT_TRUE(to_float64.has_value());
  EXPECT_EQ(to_float64->dtype, "float64");
  ASSERT_TRUE(to_float64->converted.has_value());
  EXPECT_THAT(unpack<double>(*to_float64->converted), ElementsAreArray({static_cast<double>(0.1f)}));
}

TEST(CastForStorage, Float8ScaleComesFromTheFiniteMaximum) {
  const std::vector<float> values{1.0f, -3.0f, 0.5f, kNaN, kInf, -kInf};
  auto cast = cast_for_storage("w", "float32", pack(values), policy_of({{"*", "fp8"}}));
  ASSERT_TRUE(cast.has_value());
  EXPECT_EQ(cast->dtype, "float8_e4m3fn");
  EXPECT_EQ(cast->original_dtype, "float32");
  EXPECT_THAT(cast->quant_scale, Optional(3.0f / 448.0f));
  ASSERT_TRUE(cast->converted.has_value());
  const auto codes = unpack<std::uint8_t>(*cast->converted);
  ASSERT_EQ(codes.size(), values.size());
  EXPECT_EQ(codes[1], 0xfe);  // the largest magnitude lands on the largest finite code
  EXPECT_EQ(codes[3], 0x7f);
  EXPECT_EQ(codes[4], 0x7f);
  EXPECT_EQ(codes[5], 0xff);
}

TEST(CastForStorage, Float8FromNarrowSourcesWidensFirst) {
  // float16 57344 is 0x7b00, -1 is 0xbc00.
  auto cast = cast_for_storage("w", "float16", pack(std::vector<std::uint16_t>{0x7b00, 0xbc00}),
                               policy_of({{"*", "fp8_e5m2"}}));
  ASSERT_TRUE(cast.has_value());
  EXPECT_EQ(cast->dtype, "float8_e5m2");
  EXPECT_EQ(cast->original_dtype, "float16");
  EXPECT_THAT(cast->quant_scale, Optional(1.0f));
  ASSERT_TRUE(cast->converted.has_value());
  EXPECT_THAT(unpack<std::uint8_t>(*cast->converted), ElementsAreArray({0x7b, 0xbc}));
}

struct ScaleFallbackCase {
  const char* name;
  std::vector<float> values;
};

class Float8ScaleFallback : public ::testing::TestWithParam<ScaleFallbackCase> {};

TEST_P(Float8ScaleFallback, IsOne) {
  auto cast = cast_for_storage("w", "float32", pack(GetParam().values), policy_of({{"*", "fp8"}}));
  ASSERT_TRUE(cast.has_value());
  EXPECT_THAT(cast->quant_scale, Optional(1.0f));
  ASSERT_TRUE(cast->converted.has_value());
  EXPECT_EQ(cast->converted->size(), GetParam().values.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, Float8ScaleFallback,
                         ::testing::Values(ScaleFallbackCase{"all_zero", {0.0f, -0.0f, 0.0f}},
                                           ScaleFallbackCase{"all_non_finite", {kNaN, kInf, -kInf}},
                                           ScaleFallbackCase{"empty", {}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CastForStorage, LengthErrorsAreReported) {
  expect_invalid_config(cast_for_storage("w", "float32", Bytes(7, std::byte{0}), policy_of({{"*", "fp8"}})),
                        "fp32 data length 7 is not a multiple of 4");
  expect_invalid_config(cast_for_storage("w", "float32", Bytes(6, std::byte{0}), policy_of({{"*", "bf16"}})),
                        "fp32 data length 6 is not a multiple of 4");
  expect_invalid_config(cast_for_storage("w", "float16", Bytes(3, std::byte{0}), policy_of({{"*", "bf16"}})),
                        "fp16 data length 3 is not a multiple of 2");
}

// ---------------------------------------------------------------------------------------------
// Restore after loading

TEST(RestoreAfterLoading, MovesTheBufferThroughWhenNothingApplies) {
  Bytes stored(12, std::byte{0x41});
  const std::byte* address = stored.data();
  auto restored = restore_after_loading(std::move(stored), "float32", std::nullopt, std::nullopt);
  ASSERT_TRUE(restored.has_value());
  EXPECT_EQ(restored->data(), address);

  Bytes same(8, std::byte{0x41});
  address = same.data();
  auto restored_same = restore_after_loading(std::move(same), "bfloat16", "bfloat16", std::nullopt);
  ASSERT_TRUE(restored_same.has_value());
  EXPECT_EQ(restored_same->data(), address);
}

TEST(RestoreAfterLoading, Float8WithoutScaleFails) {
  expect_invalid_config(restore_after_loading(Bytes(4, std::byte{0}), "float8_e4m3fn", "float32", std::nullopt),
                        "tensor stored as float8_e4m3fn carries no quant_scale; its bytes cannot be turned back "
                        "into float32 without it");
  expect_invalid_config(restore_after_loading(Bytes(4, std::byte{0}), "float8_e5m2", "bfloat16", std::nullopt),
                        "tensor stored as float8_e5m2 carries no quant_scale; its bytes cannot be turned back "
                        "into bfloat16 without it");
}

// Saving and loading through every target gives back the caller's dtype; these values are exact
// in every format, so the bits come back too.
struct RoundTripCase {
  const char* name;
  const char* policy_dtype;
  const char* tensor_dtype;
};

class CastRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(CastRoundTrip, RestoresTheCallersDtype) {
  const auto& c = GetParam();
  const std::vector<float> values{1.0f, -2.0f, 0.5f, 0.0f, 448.0f};
  auto as_source = narrow_from_fp32(pack(values), c.tensor_dtype);
  ASSERT_TRUE(as_source.has_value());
  auto cast = cast_for_storage("w", c.tensor_dtype, *as_source, policy_of({{"*", c.policy_dtype}}));
  ASSERT_TRUE(cast.has_value()) << cast.error().message();
  ASSERT_TRUE(cast->converted.has_value());
  ASSERT_TRUE(cast->original_dtype.has_value());

  auto restored = restore_after_loading(std::move(*cast->converted), cast->dtype,
                                        std::optional<std::string_view>(*cast->original_dtype), cast->quant_scale);
  ASSERT_TRUE(restored.has_value()) << restored.error().message();
  EXPECT_THAT(*restored, ElementsAreArray(*as_source));
}

INSTANTIATE_TEST_SUITE_P(Targets, CastRoundTrip,
                         ::testing::Values(RoundTripCase{"float32_via_bf16", "bf16", "float32"},
                                           RoundTripCase{"float32_via_fp16", "fp16", "float32"},
                                           RoundTripCase{"float32_via_fp64", "fp64", "float32"},
                                           RoundTripCase{"float32_via_e4m3", "fp8", "float32"},
                                           RoundTripCase{"float32_via_e5m2", "fp8_e5m2", "float32"},
                                           RoundTripCase{"float16_via_bf16", "bf16", "float16"},
                                           RoundTripCase{"float16_via_fp32", "fp32", "float16"},
                                           RoundTripCase{"bfloat16_via_e4m3", "fp8", "bfloat16"},
                                           RoundTripCase{"float64_via_e5m2", "fp8_e5m2", "float64"},
                                           RoundTripCase{"float64_via_fp16", "fp16", "float64"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RestoreAfterLoading, Float8AppliesTheScale) {
  auto restored = restore_after_loading(pack(std::vector<std::uint8_t>{0x7e, 0xb8}), "float8_e4m3fn", "float32",
                                        std::optional<float>(0.5f));
  ASSERT_TRUE(restored.has_value());
  EXPECT_THAT(unpack<float>(*restored), ElementsAreArray({224.0f, -0.5f}));
}

struct RefusedPairCase {
  const char* name;
  const char* dtype;
  const char* original;
  const char* message;
};

class RestoreRefused : public ::testing::TestWithParam<RefusedPairCase> {};

TEST_P(RestoreRefused, NamesTheDtypeItCannotCast) {
  const auto& c = GetParam();
  expect_invalid_config(restore_after_loading(Bytes(8, std::byte{0}), c.dtype, std::string_view(c.original), 1.0f),
                        c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, RestoreRefused,
    ::testing::Values(
        RefusedPairCase{"integer_stored", "int64", "float32", "'int64' is not a float dtype this build can cast"},
        RefusedPairCase{"integer_original", "bfloat16", "int32", "'int32' is not a float dtype this build can cast"},
        RefusedPairCase{"float8_to_integer", "float8_e4m3fn", "int64",
                        "'int64' is not a float dtype this build can cast"},
        RefusedPairCase{"float_to_float8", "float32", "float8_e5m2",
                        "'float8_e5m2' is not a float dtype this build can cast"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick
