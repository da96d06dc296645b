#include "codec/cast.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "runtime/pool.h"

// The 8-bit encoder and the 64-to-32-bit narrowing let the FPU do their round-to-nearest-even;
// they assume the default rounding mode, which nothing in the process is expected to change.

namespace tarnwick {
namespace {

// Elements per unit of parallel work: 64 KiB of 32-bit floats, 16 KiB of 8-bit codes.
constexpr std::size_t kChunkElements = 16384;

constexpr std::string_view kFloat32 = "float32";

// Runs body(begin, end) over [0, count) in chunks of kChunkElements on the worker pool.
template <class Body>
void for_each_chunk(std::size_t count, const Body& body) {
  parallel_for((count + kChunkElements - 1) / kChunkElements, [&](std::size_t chunk) {
    const std::size_t begin = chunk * kChunkElements;
    body(begin, std::min(count, begin + kChunkElements));
  });
}

TarnwickError not_castable(std::string_view dtype) {
  std::string text = "'";
  text.append(dtype).append("' is not a float dtype this build can cast");
  return TarnwickError::invalid_config(std::move(text));
}

TarnwickError bad_length(std::string_view short_name, std::size_t length, std::size_t multiple) {
  return TarnwickError::invalid_config(std::string(short_name) + " data length " + std::to_string(length) +
                                       " is not a multiple of " + std::to_string(multiple));
}

TarnwickError out_of_memory(std::size_t count, std::size_t element_size) {
  return TarnwickError::invalid_config("out of memory: cannot allocate " + std::to_string(count) + " elements of " +
                                       std::to_string(element_size) + " bytes for a float cast");
}

// The one allocation of an output buffer of `count` elements; running out of memory becomes an
// error value.
Result<Bytes> allocate(std::size_t count, std::size_t element_size) {
  if (count > Bytes().max_size() / element_size) return fail(out_of_memory(count, element_size));
  try {
    Bytes out;
    out.resize(count * element_size);
    return out;
  } catch (const std::bad_alloc&) {
    return fail(out_of_memory(count, element_size));
  }
}

Result<Bytes> copy_of(ByteView bytes) {
  TW_ASSIGN_OR_RETURN(Bytes out, allocate(bytes.size(), 1));
  if (!bytes.empty()) std::memcpy(out.data(), bytes.data(), bytes.size());
  return out;
}

// One element at a time through `convert`, with unaligned loads and stores, over buffers that do
// not overlap: a loop the compiler can vectorise.
template <class In, class Out, class Convert>
void convert_range(const std::byte* __restrict src, std::byte* __restrict dst, std::size_t count, Convert convert) {
  for (std::size_t i = 0; i < count; ++i) {
    In value;
    std::memcpy(&value, src + i * sizeof(In), sizeof(In));
    const Out converted = convert(value);
    std::memcpy(dst + i * sizeof(Out), &converted, sizeof(Out));
  }
}

// Converts every whole In element of `in` into a new buffer of Out elements, in parallel chunks.
template <class In, class Out, class Convert>
Result<Bytes> convert_elements(ByteView in, Convert convert) {
  const std::size_t count = in.size() / sizeof(In);
  TW_ASSIGN_OR_RETURN(Bytes out, allocate(count, sizeof(Out)));
  const std::byte* src = in.data();
  std::byte* dst = out.data();
  for_each_chunk(count, [&](std::size_t begin, std::size_t end) {
    convert_range<In, Out>(src + begin * sizeof(In), dst + begin * sizeof(Out), end - begin, convert);
  });
  return out;
}

// The largest finite magnitude in a run of floats, as its bit pattern: for non-negative floats
// the order of the patterns is the order of the values.
std::uint32_t finite_amax_bits(const std::byte* __restrict src, std::size_t count) {
  std::uint32_t largest = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, src + i * sizeof(bits), sizeof(bits));
    const std::uint32_t magnitude = bits & 0x7fffffffu;
    largest = std::max(largest, magnitude < 0x7f800000u ? magnitude : 0u);
  }
  return largest;
}

// The float types casting passes through 32-bit float: float32, bfloat16, float16, float64.
std::optional<DType> castable_float(std::string_view dtype) {
  for (DType candidate : {DType::Float32, DType::BFloat16, DType::Float16, DType::Float64}) {
    if (dtype_name(candidate) == dtype) return candidate;
  }
  return std::nullopt;
}

// Decodes the code point starting at `pos` of a UTF-8 text and says how many bytes it spans. A
// byte that does not start a valid sequence is one unit of its own, distinct from every code
// point.
struct CodePoint {
  char32_t value;
  std::size_t length;
};

CodePoint code_point_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  const CodePoint invalid{0x110000u + lead, 1};
  if (lead < 0x80) return {lead, 1};

  std::size_t length;
  char32_t value;
  char32_t smallest;
  if ((lead & 0xe0) == 0xc0) {
    length = 2, value = lead & 0x1fu, smallest = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, value = lead & 0x0fu, smallest = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, value = lead & 0x07u, smallest = 0x10000;
  } else {
    return invalid;
  }
  if (text.size() - pos < length) return invalid;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xc0) != 0x80) return invalid;
    value = (value << 6) | (byte(pos + i) & 0x3fu);
  }
  const bool surrogate = value >= 0xd800 && value <= 0xdfff;
  if (value < smallest || value > 0x10ffff || surrogate) return invalid;
  return {value, length};
}

}  // namespace

// ---------------------------------------------------------------------------------------------

Result<std::optional<DType>> DType::parse(std::string_view text) {
  std::string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });

  if (lowered.empty() || lowered == "none") return std::optional<DType>();
  struct Spelling {
    std::string_view text;
    DType::Value target;
  };
  static constexpr Spelling kSpellings[] = {
      {"fp64", Float64},           {"float64", Float64},          {"double", Float64},
      {"fp32", Float32},           {"float32", Float32},          {"bf16", BFloat16},
      {"bfloat16", BFloat16},      {"fp16", Float16},             {"float16", Float16},
      {"fp8", Float8E4M3FN},       {"float8", Float8E4M3FN},      {"fp8_e4m3", Float8E4M3FN},
      {"float8_e4m3fn", Float8E4M3FN}, {"fp8_e5m2", Float8E5M2}, {"float8_e5m2", Float8E5M2},
  };
  for (const Spelling& spelling : kSpellings) {
    if (spelling.text == lowered) return std::optional<DType>(spelling.target);
  }
  return fail(TarnwickError::invalid_config(
      "unknown save_dtype '" + lowered +
      "'. Use one of: none, bf16, fp16, fp32, fp64, fp8 (= fp8_e4m3), fp8_e5m2. Integer, bool and complex tensors "
      "are stored unchanged and need no setting; they are not cast targets."));
}

std::string_view dtype_name(DType dtype) {
  switch (dtype) {
    case DType::Float64: return "float64";
    case DType::Float32: return kFloat32;
    case DType::BFloat16: return "bfloat16";
    case DType::Float16: return "float16";
    case DType::Float8E4M3FN: return kFloat8E4M3FN.dtype_name;
    case DType::Float8E5M2: return kFloat8E5M2.dtype_name;
  }
  return {};
}

bool glob_match(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::optional<std::size_t> after_star;  // pattern position just after the last `*` seen
  std::size_t star_name = 0;              // name position that star currently swallows up to

  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      after_star = ++p;
      star_name = n;
      continue;
    }
    if (p < pattern.size()) {
      const CodePoint want = code_point_at(pattern, p);
      const CodePoint got = code_point_at(name, n);
      if (want.value == got.value) {
        p += want.length;
        n += got.length;
        continue;
      }
    }
    if (!after_star) return false;
    star_name += code_point_at(name, star_name).length;
    n = star_name;
    p = *after_star;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

Result<DTypePolicy> DTypePolicy::from_rules(std::span<const std::pair<std::string, std::string>> rules) {
  std::vector<Rule> parsed;
  parsed.reserve(rules.size());
  for (const auto& [pattern, dtype_text] : rules) {
    if (pattern.empty()) {
      return fail(TarnwickError::invalid_config("save_dtype has an empty pattern; use \"*\" to mean every tensor"));
    }
    TW_ASSIGN_OR_RETURN(std::optional<DType> target, DType::parse(dtype_text));
    parsed.push_back(Rule{pattern, target});
  }
  return DTypePolicy(std::move(parsed));
}

std::optional<DType> DTypePolicy::target_for(std::string_view name) const {
  for (const Rule& rule : rules_) {
    if (glob_match(rule.pattern, name)) return rule.target;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------

const Float8Format* find_float8_format(std::string_view dtype) {
  if (dtype == kFloat8E4M3FN.dtype_name) return &kFloat8E4M3FN;
  if (dtype == kFloat8E5M2.dtype_name) return &kFloat8E5M2;
  return nullptr;
}

float float8_to_float(std::uint8_t code, const Float8Format& format) {
  const int exponent = (code & 0x7f) >> format.mantissa_bits;
  const int mantissa = code & ((1 << format.mantissa_bits) - 1);
  const int exponent_all_ones = (1 << format.exponent_bits) - 1;
  const int mantissa_all_ones = (1 << format.mantissa_bits) - 1;

  float magnitude;
  if (format.has_infinities() && exponent == exponent_all_ones) {
    magnitude = mantissa == 0 ? std::numeric_limits<float>::infinity() : std::numeric_limits<float>::quiet_NaN();
  } else if (!format.has_infinities() && exponent == exponent_all_ones && mantissa == mantissa_all_ones) {
    magnitude = std::numeric_limits<float>::quiet_NaN();
  } else if (exponent != 0) {
    magnitude = std::ldexp(1.0f + static_cast<float>(mantissa) / static_cast<float>(1 << format.mantissa_bits),
                           exponent - format.exponent_bias);
  } else {
    magnitude = static_cast<float>(mantissa) * format.smallest_subnormal;
  }
  return (code & 0x80) ? -magnitude : magnitude;
}

Result<Bytes> widen_to_fp32(ByteView bytes, std::string_view source_dtype) {
  const std::optional<DType> source = castable_float(source_dtype);
  if (!source) return fail(not_castable(source_dtype));
  switch (*source) {
    case DType::Float32:
      return copy_of(bytes);
    case DType::BFloat16:
      if (bytes.size() % 2 != 0) return fail(bad_length("bf16", bytes.size(), 2));
      return convert_elements<std::uint16_t, float>(bytes, [](std::uint16_t v) { return bfloat16_to_float(v); });
    case DType::Float16:
      if (bytes.size() % 2 != 0) return fail(bad_length("fp16", bytes.size(), 2));
      return convert_elements<std::uint16_t, float>(bytes, [](std::uint16_t v) { return half_to_float(v); });
    case DType::Float64:
      if (bytes.size() % 8 != 0) return fail(bad_length("fp64", bytes.size(), 8));
      return convert_elements<double, float>(bytes, [](double v) { return static_cast<float>(v); });
    default:
      return fail(not_castable(source_dtype));
  }
}

Result<Bytes> narrow_from_fp32(ByteView f32_bytes, std::string_view target_dtype) {
  const std::optional<DType> target = castable_float(target_dtype);
  if (!target) return fail(not_castable(target_dtype));
  if (*target == DType::Float32) return copy_of(f32_bytes);
  if (f32_bytes.size() % 4 != 0) return fail(bad_length("fp32", f32_bytes.size(), 4));
  switch (*target) {
    case DType::BFloat16:
      return convert_elements<float, std::uint16_t>(f32_bytes, [](float v) { return float_to_bfloat16(v); });
    case DType::Float16:
      return convert_elements<float, std::uint16_t>(f32_bytes, [](float v) { return float_to_half(v); });
    case DType::Float64:
      return convert_elements<float, double>(f32_bytes, [](float v) { return static_cast<double>(v); });
    default:
      return fail(not_castable(target_dtype));
  }
}

float finite_amax(ByteView f32_bytes) {
  const std::byte* src = f32_bytes.data();
  std::atomic<std::uint32_t> largest{0};
  for_each_chunk(f32_bytes.size() / sizeof(float), [&](std::size_t begin, std::size_t end) {
    const std::uint32_t local = finite_amax_bits(src + begin * sizeof(float), end - begin);
    std::uint32_t seen = largest.load(std::memory_order_relaxed);
    while (local > seen && !largest.compare_exchange_weak(seen, local, std::memory_order_relaxed)) {
    }
  });
  return std::bit_cast<float>(largest.load(std::memory_order_relaxed));
}

float quant_scale_for(float amax, const Float8Format& format) {
  const float scale = amax / format.largest_finite;
  const std::uint32_t exponent = (std::bit_cast<std::uint32_t>(scale) >> 23) & 0xffu;
  return exponent == 0 || exponent == 0xff ? 1.0f : scale;
}

Result<Bytes> encode_float8(ByteView f32_bytes, const Float8Format& format, float scale) {
  if (f32_bytes.size() % 4 != 0) return fail(bad_length("fp32", f32_bytes.size(), 4));
  const float inverse = 1.0f / scale;
  // The format is captured by value so the loop sees its fields as constants that no store to
  // the output can change.
  return convert_elements<float, std::uint8_t>(
      f32_bytes, [format, inverse](float v) { return float_to_float8(v * inverse, format); });
}

Result<Bytes> decode_float8(ByteView codes, const Float8Format& format, float scale) {
  std::array<float, 256> table;
  for (std::size_t code = 0; code < table.size(); ++code) {
    const float value = float8_to_float(static_cast<std::uint8_t>(code), format);
    table[code] = std::isfinite(value) ? value * scale : value;
  }
  return convert_elements<std::uint8_t, float>(codes, [&table](std::uint8_t code) { return table[code]; });
}

// ---------------------------------------------------------------------------------------------

Result<CastResult> cast_for_storage(std::string_view name, std::string_view dtype, ByteView bytes,
                                    const DTypePolicy& policy) {
  const std::optional<DType> target = policy.target_for(name);
  const std::string_view target_name = target ? dtype_name(*target) : std::string_view();
  if (!target || !castable_float(dtype) || target_name == dtype) {
    return CastResult{.dtype = std::string(dtype), .converted = {}, .original_dtype = {}, .quant_scale = {}};
  }

  CastResult result{.dtype = std::string(target_name), .converted = {}, .original_dtype = std::string(dtype),
                    .quant_scale = {}};
  // Every conversion goes through 32-bit floats; a float32 source is read in place.
  Bytes widened;
  ByteView f32 = bytes;
  if (dtype != kFloat32) {
    TW_ASSIGN_OR_RETURN(widened, widen_to_fp32(bytes, dtype));
    f32 = widened;
  }

  if (const Float8Format* format = find_float8_format(target_name)) {
    if (f32.size() % 4 != 0) return fail(bad_length("fp32", f32.size(), 4));
    const float scale = quant_scale_for(finite_amax(f32), *format);
    TW_ASSIGN_OR_RETURN(result.converted, encode_float8(f32, *format, scale));
    result.quant_scale = scale;
  } else if (*target == DType::Float32) {
    result.converted = std::move(widened);
  } else {
    TW_ASSIGN_OR_RETURN(result.converted, narrow_from_fp32(f32, target_name));
  }
  return result;
}

Result<Bytes> restore_after_loading(Bytes stored, std::string_view dtype,
                                    std::optional<std::string_view> original_dtype,
                                    std::optional<float> quant_scale) {
  if (!original_dtype || *original_dtype == dtype) return stored;

  if (const Float8Format* format = find_float8_format(dtype)) {
    if (!quant_scale) {
      return fail(TarnwickError::invalid_config("tensor stored as " + std::string(dtype) +
                                                " carries no quant_scale; its bytes cannot be turned back into " +
                                                std::string(*original_dtype) + " without it"));
    }
    TW_ASSIGN_OR_RETURN(Bytes f32, decode_float8(stored, *format, *quant_scale));
    if (*original_dtype == kFloat32) return f32;
    return narrow_from_fp32(f32, *original_dtype);
  }

  // No save stores a tensor under any other pair of dtypes; handing such bytes back as if they
  // were in `original_dtype` would mislabel them, so the pair is refused.
  if (!castable_float(dtype)) return fail(not_castable(dtype));
  if (!castable_float(*original_dtype)) return fail(not_castable(*original_dtype));

  if (dtype == kFloat32) return narrow_from_fp32(stored, *original_dtype);
  TW_ASSIGN_OR_RETURN(Bytes f32, widen_to_fp32(stored, dtype));
  if (*original_dtype == kFloat32) return f32;
  return narrow_from_fp32(f32, *original_dtype);
}

}  // namespace tarnwick
