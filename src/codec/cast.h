// The save_dtype vocabulary, the name-to-target policy, and every float conversion the store
// performs: element rules with their exact rounding, whole-buffer narrowing and widening, the
// 8-bit float formats with their scale, and the two per-tensor steps around encoding (cast for
// storage) and decoding (restore after loading).
//
// Buffers hold packed little-endian elements; nothing here knows about shapes. Every failure is
// an InvalidConfig error and leaves nothing half-converted.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/bytes.h"
#include "runtime/error.h"

namespace tarnwick {

static_assert(std::endian::native == std::endian::little, "element buffers are read as native little-endian words");

// ---------------------------------------------------------------------------------------------
// Cast targets and the policy that picks one per tensor name.

// One of the six float types a tensor may be stored as.
class DType {
 public:
  enum Value : std::uint8_t { Float64, Float32, BFloat16, Float16, Float8E4M3FN, Float8E5M2 };

  constexpr DType(Value value) : value_(value) {}
  constexpr operator Value() const { return value_; }

  // Reads a save_dtype text, case-insensitively: a target, or nullopt for "none" and the empty
  // text. Anything else is InvalidConfig.
  [[nodiscard]] static Result<std::optional<DType>> parse(std::string_view text);

 private:
  Value value_;
};

// The dtype name a target produces ("float64", "bfloat16", "float8_e4m3fn", ...).
std::string_view dtype_name(DType dtype);

// Whether `name` matches the glob `pattern`. Both are compared as Unicode code points decoded
// from UTF-8 (a byte that is not part of a valid sequence stands for itself); `*` matches any
// run, including an empty one and one containing '/'; there is no other wildcard and no escape.
bool glob_match(std::string_view pattern, std::string_view name);

// An ordered list of (glob, target-or-none) rules; the first rule whose glob matches a tensor
// name decides its target, so a rule with target none exempts the names it matches from the
// rules after it. Immutable once built, so encoder threads may share it by const reference.
class DTypePolicy {
 public:
  struct Rule {
    std::string pattern;
    std::optional<DType> target;
  };

  // The empty policy: nothing is cast.
  DTypePolicy() = default;

  // Builds the policy from (pattern, save_dtype text) pairs in order. An empty pattern or an
  // unknown dtype text is InvalidConfig.
  [[nodiscard]] static Result<DTypePolicy> from_rules(std::span<const std::pair<std::string, std::string>> rules);

  // The target of the first rule matching `name`; nullopt when that rule says none or no rule
  // matches.
  std::optional<DType> target_for(std::string_view name) const;

  const std::vector<Rule>& rules() const { return rules_; }

 private:
  explicit DTypePolicy(std::vector<Rule> rules) : rules_(std::move(rules)) {}

  std::vector<Rule> rules_;
};

// ---------------------------------------------------------------------------------------------
// 8-bit float formats. Codes below are magnitudes; bit 7 carries the sign.

struct Float8Format {
  std::string_view dtype_name;
  int exponent_bits;
  int mantissa_bits;
  int exponent_bias;
  float largest_finite;
  float smallest_subnormal;
  int largest_finite_exponent_field;
  int largest_mantissa_field_at_that_exponent;
  std::uint8_t nan_code;
  std::optional<std::uint8_t> infinity_code;  // none: infinities encode as the NaN code
  std::uint8_t largest_finite_code;

  constexpr bool has_infinities() const { return infinity_code.has_value(); }
};

inline constexpr Float8Format kFloat8E4M3FN{
    .dtype_name = "float8_e4m3fn",
    .exponent_bits = 4,
    .mantissa_bits = 3,
    .exponent_bias = 7,
    .largest_finite = 448.0f,
    .smallest_subnormal = 0x1p-9f,
    .largest_finite_exponent_field = 15,
    .largest_mantissa_field_at_that_exponent = 6,
    .nan_code = 0x7f,
    .infinity_code = std::nullopt,
    .largest_finite_code = 0x7e,
};

inline constexpr Float8Format kFloat8E5M2{
    .dtype_name = "float8_e5m2",
    .exponent_bits = 5,
    .mantissa_bits = 2,
    .exponent_bias = 15,
    .largest_finite = 57344.0f,
    .smallest_subnormal = 0x1p-16f,
    .largest_finite_exponent_field = 30,
    .largest_mantissa_field_at_that_exponent = 3,
    .nan_code = 0x7e,
    .infinity_code = 0x7c,
    .largest_finite_code = 0x7b,
};

// The format stored under `dtype`, or nullptr when `dtype` is not an 8-bit float name.
const Float8Format* find_float8_format(std::string_view dtype);

// ---------------------------------------------------------------------------------------------
// Element conversions. Defined here so that the buffer loops inline them.

namespace cast_detail {
// `if_true` where `condition` holds, else `if_false`, as a mask blend rather than a branch, so
// that element loops built from it stay free of control flow and vectorise. Both operands are
// always computed.
inline std::uint32_t select(bool condition, std::uint32_t if_true, std::uint32_t if_false) {
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(condition);
  return (if_true & mask) | (if_false & ~mask);
}
}  // namespace cast_detail

// Exact: the 16 bits become the upper half of the float.
inline float bfloat16_to_float(std::uint16_t bits) { return std::bit_cast<float>(std::uint32_t{bits} << 16); }

// Round to nearest, ties to even; values past the largest finite bfloat16 become infinity; NaN
// stays NaN (quieted, sign and upper payload kept).
inline std::uint16_t float_to_bfloat16(float value) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t quiet_nan = (x >> 16) | 0x0040u;
  const std::uint32_t rounded = (x + ((x >> 16) & 1u) + 0x7fffu) >> 16;
  return static_cast<std::uint16_t>(cast_detail::select((x & 0x7fffffffu) > 0x7f800000u, quiet_nan, rounded));
}

// Exact: signed zeros, subnormals, infinities and NaN payloads all survive.
inline float half_to_float(std::uint16_t bits) {
  using cast_detail::select;
  const std::uint32_t sign = std::uint32_t{bits & 0x8000u} << 16;
  const std::uint32_t magnitude = bits & 0x7fffu;
  const std::uint32_t special = (magnitude << 13) | 0x7f800000u;  // exponent 31 -> 255
  const std::uint32_t normal = (magnitude << 13) + (112u << 23);  // re-biased exponent
  // A subnormal is its mantissa times 2^-24; both factors and the product are exact floats.
  const std::uint32_t subnormal =
      std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(magnitude)) * 0x1p-24f);
  return std::bit_cast<float>(sign |
                              select(magnitude >= 0x7c00u, special, select(magnitude >= 0x0400u, normal, subnormal)));
}

// Rounds half away from zero (the first discarded bit is added, so a carry may raise the
// exponent: 65520 becomes infinity). NaN becomes the quiet NaN of its sign, payload dropped.
inline std::uint16_t float_to_half(float value) {
  using cast_detail::select;
  const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t sign = (x >> 16) & 0x8000u;
  const std::uint32_t exponent = (x >> 23) & 0xffu;
  const std::uint32_t fraction = x & 0x7fffffu;

  const std::uint32_t nan_or_infinity = sign | select(fraction != 0, 0x7e00u, 0x7c00u);
  const std::uint32_t overflow = sign | 0x7c00u;
  const std::uint32_t normal = sign + ((exponent - 112u) << 10) + (fraction >> 13) + ((fraction >> 12) & 1u);
  // Subnormal results (exponent 102..112) are |x| / 2^-24 rounded half up, i.e. the integer part
  // of |x| * 2^24 + 1/2. The scaling is exact and the addition cannot round across an integer,
  // so this equals shifting the significand right by 113 - exponent and adding the first
  // discarded bit, without a per-element shift count. Other exponents feed in 0 so that the
  // conversion to integer stays in range.
  const bool subnormal_range = exponent >= 102u && exponent <= 112u;
  const float scaled = std::bit_cast<float>(select(subnormal_range, x & 0x7fffffffu, 0u)) * 0x1p24f + 0.5f;
  const std::uint32_t subnormal = sign | static_cast<std::uint32_t>(static_cast<std::int32_t>(scaled));

  return static_cast<std::uint16_t>(
      select(exponent == 255u, nan_or_infinity,
             select(exponent >= 143u, overflow,
                    select(exponent >= 113u, normal, select(exponent >= 102u, subnormal, sign)))));
}

// Encodes a value that is already divided by the tensor's scale: round to nearest, ties to
// even; finite values beyond the format saturate to the largest finite code, never to infinity.
inline std::uint8_t float_to_float8(float scaled, const Float8Format& format) {
  using cast_detail::select;
  const std::uint32_t x = std::bit_cast<std::uint32_t>(scaled);
  const std::uint32_t sign = (x >> 24) & 0x80u;
  const std::uint32_t magnitude = x & 0x7fffffffu;
  const auto mantissa_bits = static_cast<std::uint32_t>(format.mantissa_bits);
  const auto bias = static_cast<std::uint32_t>(format.exponent_bias);

  // Normal results (target exponent field E >= 1): move the exponent to the target bias and round
  // the whole exponent-and-mantissa word at a fixed position, so a rounding carry raises E.
  const std::uint32_t shift = 23u - mantissa_bits;
  const std::uint32_t rebased = magnitude - ((127u - bias) << 23);
  const std::uint32_t normal = (rebased + (1u << (shift - 1)) - 1u + ((rebased >> shift) & 1u)) >> shift;
  const std::uint32_t saturated = std::min<std::uint32_t>(normal, format.largest_finite_code);

  // Subnormal results (E <= 0): adding 2^(24 - bias - m) makes one float ulp equal to the smallest
  // subnormal, so the addition itself rounds to the nearest multiple of it, ties to even. The
  // float pattern of a value this small is a plain magnitude, so the difference of patterns is the
  // code (up to 2^m, the smallest normal code, when rounding carries).
  const float subnormal_anchor = std::bit_cast<float>((127u + 24u - bias - mantissa_bits) << 23);
  const std::uint32_t subnormal = std::bit_cast<std::uint32_t>(std::bit_cast<float>(magnitude) + subnormal_anchor) -
                                  std::bit_cast<std::uint32_t>(subnormal_anchor);

  const std::uint32_t infinity_code = format.infinity_code.value_or(format.nan_code);
  const std::uint32_t code =
      select(magnitude > 0x7f800000u, format.nan_code,
             select(magnitude == 0x7f800000u, infinity_code,
                    select(magnitude >= ((128u - bias) << 23), saturated, subnormal)));
  return static_cast<std::uint8_t>(sign | code);
}

// The unscaled value of an 8-bit code.
float float8_to_float(std::uint8_t code, const Float8Format& format);

// ---------------------------------------------------------------------------------------------
// Whole-buffer conversions. Each allocates its output once, at its final size, and splits the
// elements into fixed chunks run on the calling thread's worker pool.

// Converts `bytes` of dtype `source_dtype` ("float32", "bfloat16", "float16" or "float64") to
// packed 32-bit floats. A float32 source is copied as it is.
[[nodiscard]] Result<Bytes> widen_to_fp32(ByteView bytes, std::string_view source_dtype);

// Converts packed 32-bit floats to `target_dtype` ("float32", "bfloat16", "float16" or
// "float64"). A float32 target is a copy as it is.
[[nodiscard]] Result<Bytes> narrow_from_fp32(ByteView f32_bytes, std::string_view target_dtype);

// The largest |v| over the finite 32-bit floats in `f32_bytes` (NaN and infinities skipped); 0
// when there is none. Trailing bytes short of a whole element are ignored.
float finite_amax(ByteView f32_bytes);

// The quant_scale of a tensor whose largest finite magnitude is `amax`: amax divided by the
// format's largest finite value, or 1.0 when that quotient is not a normal float.
float quant_scale_for(float amax, const Float8Format& format);

// Encodes packed 32-bit floats as one code per element: each value is multiplied by 1 / scale
// and rounded by `float_to_float8`.
[[nodiscard]] Result<Bytes> encode_float8(ByteView f32_bytes, const Float8Format& format, float scale);

// Decodes one code per element to packed 32-bit floats: the code's value times `scale`
// (infinities and NaNs stay as they are).
[[nodiscard]] Result<Bytes> decode_float8(ByteView codes, const Float8Format& format, float scale);

// ---------------------------------------------------------------------------------------------
// The per-tensor steps around encoding and decoding.

struct CastResult {
  // The dtype the tensor is stored as: the target's name, or the tensor's own dtype unchanged.
  std::string dtype;
  // The stored bytes when the cast produced new ones. nullopt means the tensor is stored as it
  // came: its stored bytes are the caller's input buffer, which the caller still owns and must
  // keep alive for as long as it uses them (see `stored_bytes`).
  std::optional<Bytes> converted;
  // The tensor's own dtype when it differs from `dtype`.
  std::optional<std::string> original_dtype;
  // The scale that decoding multiplies by; present only for 8-bit targets.
  std::optional<float> quant_scale;

  // The bytes to store: the converted buffer, or `input` (the buffer given to cast_for_storage)
  // when nothing changed.
  ByteView stored_bytes(ByteView input) const { return converted ? ByteView(*converted) : input; }
};

// Narrows (or widens) one tensor as `policy` asks for `name`. Only float32, float16, bfloat16
// and float64 tensors are ever cast; all other dtypes, and tensors the policy leaves alone or
// that already have the target dtype, come back unchanged without a copy.
[[nodiscard]] Result<CastResult> cast_for_storage(std::string_view name, std::string_view dtype, ByteView bytes,
                                                  const DTypePolicy& policy);

// Turns stored bytes of `dtype` back into `original_dtype`, the inverse of cast_for_storage (up
// to its rounding). Without an `original_dtype` different from `dtype` the buffer is moved
// through untouched. An 8-bit tensor without its `quant_scale`, or a pair of dtypes no save
// produces, is InvalidConfig.
[[nodiscard]] Result<Bytes> restore_after_loading(Bytes stored, std::string_view dtype,
                                                  std::optional<std::string_view> original_dtype,
                                                  std::optional<float> quant_scale);

}  // namespace tarnwick
