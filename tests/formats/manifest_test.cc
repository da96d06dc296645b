#include "formats/manifest.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>

#include "formats/json_writer.h"

namespace tarnwick {
namespace {

using std::chrono::milliseconds;
using std::chrono::sys_days;
using namespace std::chrono_literals;

const Uuid kFirstId = *Uuid::parse("11111111-2222-4333-8444-555555555555");
const Uuid kSecondId = *Uuid::parse("aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
const Timestamp kNoon = sys_days(std::chrono::year(2025) / 3 / 1) + 12h + 5s;

Manifest fixture_manifest() {
  TensorEntry weight;
  weight.name = "layer.weight";
  weight.shape = {2, 3};
  weight.dtype = "bfloat16";
  weight.original_dtype = "float32";
  weight.storage = TensorStorage::Full;
  weight.offset = 32;
  weight.compressed_size = 10;
  weight.raw_size = 12;
  weight.hash_raw = "00112233445566778899aabbccddeeff";
  weight.hash_compressed = "ffeeddccbbaa99887766554433221100";

  TensorEntry tied = weight;
  tied.name = "layer.weight_tied";
  tied.storage = TensorStorage::Alias;
  tied.alias_of = "layer.weight";
  tied.offset = 0;
  tied.compressed_size = 0;
  tied.hash_compressed.reset();

  RankEntry rank0;
  rank0.rank = 0;
  rank0.tensors = {weight, tied};
  rank0.pack_file = rank_pack_key(kFirstId, 0);
  rank0.total_compressed = 10;
  rank0.total_raw = 24;
  rank0.skipped_count = 1;
  rank0.full_count = 1;

  Snapshot full;
  full.id = kFirstId;
  full.step = 100;
  full.created_at = kNoon;
  full.ranks = {{0, rank0}};
  full.compression = CompressionAlgo::zstd(3);
  full.finalized = true;

  TensorEntry moment;
  moment.name = "opt/exp_avg";
  moment.dtype = "float8_e4m3fn";
  moment.original_dtype = "float32";
  moment.quant_scale = 0.001953125f;
  moment.storage = TensorStorage::DeltaXor;
  moment.offset = 32;
  moment.compressed_size = 7;
  moment.raw_size = 1;
  moment.hash_raw = "0123456789abcdef0123456789abcdef";
  moment.hash_compressed = "fedcba9876543210fedcba9876543210";
  moment.shuffled = true;

  TensorEntry counter;
  counter.name = "step_count";
  counter.shape = {1};
  counter.dtype = "int64";
  counter.storage = TensorStorage::Skipped;
  counter.raw_size = 8;
  counter.hash_raw = "89abcdef0123456789abcdef01234567";

  RankEntry rank2;
  rank2.rank = 2;
  rank2.tensors = {moment, counter};
  rank2.pack_file = rank_pack_key(kSecondId, 2);
  rank2.total_compressed = 7;
  rank2.total_raw = 9;
  rank2.skipped_count = 1;
  rank2.delta_count = 1;

  RankEntry rank10;
  rank10.rank = 10;

  Snapshot delta;
  delta.id = kSecondId;
  delta.step = 200;
  delta.created_at = kNoon + 250ms;
  delta.ranks = {{10, rank10}, {2, rank2}};
  delta.base_snapshot_id = kFirstId;
  delta.metadata = {{"\xc3\xa9", "\xc3\xbc"}, {"a", "tab\there \"q\" \\ \x01"}, {"B", "x/y"}};
  delta.compression = CompressionAlgo::none();
  delta.finalized = false;
  delta.pinned = true;

  Manifest manifest;
  manifest.format_version = 2;
  manifest.world_size = 2;
  manifest.snapshots = {full, delta};
  manifest.retention = {3, 5, 1000, std::nullopt};
  manifest.lineage = {500, 4};
  return manifest;
}

// Ranks in numeric order (2 before 10), metadata keys in byte order, escapes only where needed.
constexpr std::string_view kFixtureText = R"json({
  "format_version": 2,
  "world_size": 2,
  "snapshots": [
    {
      "id": "11111111-2222-4333-8444-555555555555",
      "step": 100,
      "created_at": "2025-03-01T12:00:05Z",
      "ranks": {
        "0": {
          "rank": 0,
          "tensors": [
            {
              "name": "layer.weight",
              "shape": [
                2,
                3
              ],
              "dtype": "bfloat16",
              "original_dtype": "float32",
              "quant_scale": null,
              "storage": "Full",
              "alias_of": null,
              "filename": null,
              "offset": 32,
              "compressed_size": 10,
              "raw_size": 12,
              "hash_raw": "00112233445566778899aabbccddeeff",
              "hash_compressed": "ffeeddccbbaa99887766554433221100",
              "shuffled": false
            },
            {
              "name": "layer.weight_tied",
              "shape": [
                2,
                3
              ],
              "dtype": "bfloat16",
              "original_dtype": "float32",
              "quant_scale": null,
              "storage": "Alias",
              "alias_of": "layer.weight",
              "filename": null,
              "offset": 0,
              "compressed_size": 0,
              "raw_size": 12,
              "hash_raw": "00112233445566778899aabbccddeeff",
              "hash_compressed": null,
              "shuffled": false
            }
          ],
          "pack_file": "snapshots/11111111-2222-4333-8444-555555555555/rank_0.pack",
          "total_compressed": 10,
          "total_raw": 24,
          "skipped_count": 1,
          "delta_count": 0,
          "full_count": 1
        }
      },
      "base_snapshot_id": null,
      "metadata": {},
      "compression": {
        "Zstd": {
          "level": 3
        }
      },
      "finalized": true,
      "pinned": false
    },
    {
      "id": "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee",
      "step": 200,
      "created_at": "2025-03-01T12:00:05.250Z",
      "ranks": {
        "2": {
          "rank": 2,
          "tensors": [
            {
              "name": "opt/exp_avg",
              "shape": [],
              "dtype": "float8_e4m3fn",
              "original_dtype": "float32",
              "quant_scale": 0.001953125,
              "storage": "DeltaXor",
              "alias_of": null,
              "filename": null,
              "offset": 32,
              "compressed_size": 7,
              "raw_size": 1,
              "hash_raw": "0123456789abcdef0123456789abcdef",
              "hash_compressed": "fedcba9876543210fedcba9876543210",
              "shuffled": true
            },
            {
              "name": "step_count",
              "shape": [
                1
              ],
              "dtype": "int64",
              "original_dtype": null,
              "quant_scale": null,
              "storage": "Skipped",
              "alias_of": null,
              "filename": null,
              "offset": 0,
              "compressed_size": 0,
              "raw_size": 8,
              "hash_raw": "89abcdef0123456789abcdef01234567",
              "hash_compressed": null,
              "shuffled": false
            }
          ],
          "pack_file": "snapshots/aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee/rank_2.pack",
          "total_compressed": 7,
          "total_raw": 9,
          "skipped_count": 1,
          "delta_count": 1,
          "full_count": 0
        },
        "10": {
          "rank": 10,
          "tensors": [],
          "pack_file": null,
          "total_compressed": 0,
          "total_raw": 0,
          "skipped_count": 0,
          "delta_count": 0,
          "full_count": 0
        }
      },
      "base_snapshot_id": "11111111-2222-4333-8444-555555555555",
      "metadata": {
        "B": "x/y",
        "a": "tab\there \"q\" \\ \u0001",
        "é": "ü"
      },
      "compression": "None",
      "finalized": false,
      "pinned": true
    }
  ],
  "retention": {
    "max_full_snapshots": 3,
    "max_deltas_per_full": 5,
    "full_snapshot_every_steps": 1000,
    "max_total_snapshots": null
  },
  "lineage": {
    "rollback_interval_steps": 500,
    "max_rollback_snapshots": 4
  }
})json";

}  // namespace

void PrintTo(const TarnwickError& error, std::ostream* out) { *out << error.message(); }

namespace {

std::string write(const Manifest& manifest) {
  Result<std::string> text = write_manifest(manifest);
  EXPECT_TRUE(text.has_value()) << text.error().message();
  return text.value_or("");
}

Result<Manifest> read(std::string_view text) { return read_manifest(as_bytes(text)); }

Manifest read_ok(std::string_view text) {
  Result<Manifest> manifest = read(text);
  EXPECT_TRUE(manifest.has_value()) << manifest.error().message();
  return manifest.value_or(Manifest{});
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// ---- Writing ------------------------------------------------------------------------------

TEST(ManifestText, WritesThePrettyLayoutExactly) { EXPECT_EQ(write(fixture_manifest()), kFixtureText); }

TEST(ManifestText, ReadsBackWhatItWrote) {
  const Manifest manifest = fixture_manifest();
  EXPECT_EQ(read_ok(kFixtureText), manifest);
  EXPECT_EQ(write(read_ok(write(manifest))), kFixtureText);
}

TEST(ManifestText, EmptyManifestUsesEmptyBrackets) {
  Manifest manifest;
  manifest.retention.max_total_snapshots = 9;
  EXPECT_EQ(write(manifest), R"({
  "format_version": 2,
  "world_size": 1,
  "snapshots": [],
  "retention": {
    "max_full_snapshots": 0,
    "max_deltas_per_full": 0,
    "full_snapshot_every_steps": 0,
    "max_total_snapshots": 9
  },
  "lineage": {
    "rollback_interval_steps": 0,
    "max_rollback_snapshots": 0
  }
})");
}

TEST(ManifestText, TextThatIsNotUtf8FailsToWriteInsteadOfWritingAnUnreadableDocument) {
  Manifest manifest = fixture_manifest();
  manifest.snapshots[0].ranks[0].tensors[0].name = "bad\xff";
  Result<std::string> text = write_manifest(manifest);
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error(), TarnwickError::serialization("the value of `name` is not valid UTF-8"));

  manifest = fixture_manifest();
  manifest.snapshots[1].metadata["\xc3"] = "truncated sequence in a key";
  EXPECT_FALSE(write_manifest(manifest).has_value());
}

TEST(PackDescriptorText, IsCompactWithTheSameValueEncodings) {
  const Manifest manifest = fixture_manifest();
  const Snapshot& snapshot = manifest.snapshots[0];
  PackDescriptor descriptor{snapshot.id,      snapshot.step,        snapshot.created_at,
                            kSecondId,        {{"k", "v\n"}},       snapshot.compression,
                            2,                snapshot.ranks.at(0)};
  descriptor.rank.tensors.resize(1);
  descriptor.rank.tensors[0].quant_scale = 1e-7f;
  const std::string expected =
      R"({"snapshot_id":"11111111-2222-4333-8444-555555555555","step":100,"created_at":"2025-03-01T12:00:05Z",)"
      R"("base_snapshot_id":"aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee","metadata":{"k":"v\n"},)"
      R"("compression":{"Zstd":{"level":3}},"world_size":2,"rank":{"rank":0,"tensors":[{"name":"layer.weight",)"
      R"("shape":[2,3],"dtype":"bfloat16","original_dtype":"float32","quant_scale":1e-7,"storage":"Full",)"
      R"("alias_of":null,"filename":null,"offset":32,"compressed_size":10,"raw_size":12,)"
      R"("hash_raw":"00112233445566778899aabbccddeeff","hash_compressed":"ffeeddccbbaa99887766554433221100",)"
      R"("shuffled":false}],"pack_file":"snapshots/11111111-2222-4333-8444-555555555555/rank_0.pack",)"
      R"("total_compressed":10,"total_raw":24,"skipped_count":1,"delta_count":0,"full_count":1}})";
  Result<std::string> text = write_pack_descriptor(descriptor);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, expected);
  Result<PackDescriptor> back = parse_pack_descriptor(as_bytes(*text));
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(*back, descriptor);
}

TEST(PackDescriptorText, WithoutBaseSnapshotIdReadsAsNoBase) {
  PackDescriptor descriptor;
  descriptor.snapshot_id = kFirstId;
  descriptor.base_snapshot_id = kSecondId;
  std::string text = write_pack_descriptor(descriptor).value();
  text = replaced(text, R"("base_snapshot_id":"aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee",)", "");
  Result<PackDescriptor> back = parse_pack_descriptor(as_bytes(text));
  ASSERT_TRUE(back.has_value()) << back.error().message();
  EXPECT_EQ(back->base_snapshot_id, std::nullopt);
}

// ---- Floats -------------------------------------------------------------------------------

struct FloatCase {
  const char* name;
  float value;
  const char* text;
};

class FloatLayout : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatLayout, WritesShortestDigitsInTheDecidedLayout) {
  EXPECT_EQ(format_float(GetParam().value), GetParam().text);
}

TEST_P(FloatLayout, ReadsBackBitForBitThroughTheManifest) {
  const float value = GetParam().value;
  Manifest manifest = fixture_manifest();
  manifest.snapshots[0].ranks[0].tensors[0].quant_scale = value;
  const Manifest back = read_ok(write(manifest));
  const std::optional<float> scale = back.snapshots[0].ranks.at(0).tensors[0].quant_scale;
  if (!std::isfinite(value)) {
    EXPECT_EQ(scale, std::nullopt);
  } else {
    ASSERT_TRUE(scale.has_value());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(*scale), std::bit_cast<std::uint32_t>(value));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatLayout,
    ::testing::Values(FloatCase{"one", 1.0f, "1.0"}, FloatCase{"integral", 448.0f, "448.0"},
                      FloatCase{"zero", 0.0f, "0.0"}, FloatCase{"negative_zero", -0.0f, "-0.0"},
                      FloatCase{"negative_integral", -2.0f, "-2.0"}, FloatCase{"half", 0.5f, "0.5"},
                      FloatCase{"tenth", 0.1f, "0.1"}, FloatCase{"power_of_two", 0.001953125f, "0.001953125"},
                      FloatCase{"rounded_digits", 123456.79f, "123456.79"},
                      FloatCase{"integral_with_trailing_zeros", 1e12f, "1000000000000.0"},
                      FloatCase{"largest_plain_exponent", 9.999999e12f, "9999999000000.0"},
                      FloatCase{"smallest_plain_exponent", 1e-6f, "0.000001"},
                      FloatCase{"just_below_plain", 9.999999e-7f, "9.999999e-7"},
                      FloatCase{"small_exponent", 1e-7f, "1e-7"},
                      // The float nearest 2.2321428e-7 is closer to ...29 than to ...28; both read back to it.
                      FloatCase{"small_exponent_digits", 2.2321428e-7f, "2.2321429e-7"},
                      FloatCase{"negative_small", -1.25e-10f, "-1.25e-10"},
                      FloatCase{"large_exponent", 1e13f, "1e13"}, FloatCase{"large_digits", 1.5e13f, "1.5e13"},
                      FloatCase{"float_max", std::numeric_limits<float>::max(), "3.4028235e38"},
                      FloatCase{"smallest_subnormal", std::numeric_limits<float>::denorm_min(), "1e-45"},
                      FloatCase{"infinity", std::numeric_limits<float>::infinity(), "null"},
                      FloatCase{"negative_infinity", -std::numeric_limits<float>::infinity(), "null"},
                      FloatCase{"nan", std::numeric_limits<float>::quiet_NaN(), "null"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FloatText, EveryWrittenFloatParsesBackToItselfAcrossTheBitSpace) {
  for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 9973) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (!std::isfinite(value)) continue;
    const std::string text = format_float(value);
    float back = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_TRUE(error == std::errc() && end == text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), bits) << text;
  }
}

TEST(FloatText, ReadersAcceptAnyJsonNumber) {
  const std::string base = write(fixture_manifest());
  const auto scale_of = [&](std::string_view number) {
    const Manifest manifest = read_ok(replaced(base, "\"quant_scale\": 0.001953125", "\"quant_scale\": " + std::string(number)));
    return manifest.snapshots[1].ranks.at(2).tensors[0].quant_scale.value_or(-1);
  };
  EXPECT_EQ(scale_of("2"), 2.0f);
  EXPECT_EQ(scale_of("-25E-2"), -0.25f);
  EXPECT_EQ(scale_of("1.0e+2"), 100.0f);
  EXPECT_EQ(scale_of("123456789012345678901234567890"), 1.2345679e29f);
  EXPECT_EQ(scale_of("1e39"), std::numeric_limits<float>::infinity());
}

// ---- Strings ------------------------------------------------------------------------------

struct EscapeCase {
  const char* name;
  std::string raw;
  std::string json;
};

class StringEscapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(StringEscapes, EscapeOnlyQuotesBackslashesAndControlCharacters) {
  JsonWriter writer(JsonWriter::Style::Compact);
  writer.string_value(GetParam().raw);
  EXPECT_EQ(std::move(writer).finish().value(), GetParam().json);

  Manifest manifest = fixture_manifest();
  manifest.snapshots[0].ranks[0].tensors[0].name = GetParam().raw;
  manifest.snapshots[0].metadata[GetParam().raw] = GetParam().raw;
  EXPECT_EQ(read_ok(write(manifest)), manifest);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringEscapes,
    ::testing::Values(EscapeCase{"plain", "layer.0/weight", R"("layer.0/weight")"},
                      EscapeCase{"quote", "a\"b", R"("a\"b")"}, EscapeCase{"backslash", "a\\b", R"("a\\b")"},
                      EscapeCase{"short_escapes", "\b\f\n\r\t", R"("\b\f\n\r\t")"},
                      EscapeCase{"other_controls", std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
                      EscapeCase{"delete_is_raw", "\x7f", "\"\x7f\""},
                      EscapeCase{"non_ascii_is_raw", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                                 "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StringReading, ReaderUnescapesAnyValidEscape) {
  const std::string text = replaced(write(fixture_manifest()), R"("name": "layer.weight")",
                                    R"("n\u0061me": "\u006cayer\/weight\ud83d\ude00")");
  EXPECT_EQ(read_ok(text).snapshots[0].ranks.at(0).tensors[0].name, "layer/weight\xf0\x9f\x98\x80");
}

// ---- Timestamps ---------------------------------------------------------------------------

struct TimestampCase {
  const char* name;
  Timestamp time;
  const char* text;
};

class TimestampText : public ::testing::TestWithParam<TimestampCase> {};

TEST_P(TimestampText, WritesFewestExactFractionDigits) {
  EXPECT_EQ(format_timestamp(GetParam().time), GetParam().text);
  EXPECT_EQ(parse_timestamp(GetParam().text), GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimestampText,
    ::testing::Values(TimestampCase{"whole_seconds", kNoon, "2025-03-01T12:00:05Z"},
                      TimestampCase{"milliseconds", kNoon + 5ms, "2025-03-01T12:00:05.005Z"},
                      TimestampCase{"quarter_second", kNoon + 250ms, "2025-03-01T12:00:05.250Z"},
                      TimestampCase{"microsecond", kNoon + 1us, "2025-03-01T12:00:05.000001Z"},
                      TimestampCase{"nanosecond", kNoon + 1ns, "2025-03-01T12:00:05.000000001Z"},
                      TimestampCase{"micro_not_milli", kNoon + 1500us, "2025-03-01T12:00:05.001500Z"},
                      TimestampCase{"epoch", Timestamp{}, "1970-01-01T00:00:00Z"},
                      TimestampCase{"before_epoch", Timestamp{} - 1ns, "1969-12-31T23:59:59.999999999Z"},
                      TimestampCase{"leap_day", sys_days(std::chrono::year(2024) / 2 / 29) + 23h + 59min + 59s,
                                    "2024-02-29T23:59:59Z"}),
    [](const auto& info) { return std::string(info.param.name); });

struct TimestampInput {
  const char* name;
  const char* text;
  std::optional<Timestamp> time;
};

class TimestampReading : public ::testing::TestWithParam<TimestampInput> {};

TEST_P(TimestampReading, AcceptsRfc3339AndHoldsUtc) { EXPECT_EQ(parse_timestamp(GetParam().text), GetParam().time); }

INSTANTIATE_TEST_SUITE_P(
    Table, TimestampReading,
    ::testing::Values(TimestampInput{"positive_offset", "2025-03-01T14:00:05+02:00", kNoon},
                      TimestampInput{"negative_offset", "2025-03-01T06:30:05.5-05:30", kNoon + 500ms},
                      TimestampInput{"offset_crosses_day", "2025-03-02T00:00:05+12:00", kNoon},
                      TimestampInput{"zero_offset", "2025-03-01T12:00:05-00:00", kNoon},
                      TimestampInput{"lower_case", "2025-03-01t12:00:05.25z", kNoon + 250ms},
                      TimestampInput{"space_separator", "2025-03-01 12:00:05Z", kNoon},
                      TimestampInput{"long_fraction_truncated", "2025-03-01T12:00:05.1234567899Z", kNoon + 123456789ns},
                      TimestampInput{"leap_second", "2016-12-31T23:59:60Z",
                                     Timestamp(sys_days(std::chrono::year(2017) / 1 / 1))},
                      TimestampInput{"no_zone", "2025-03-01T12:00:05", std::nullopt},
                      TimestampInput{"empty_fraction", "2025-03-01T12:00:05.Z", std::nullopt},
                      TimestampInput{"month_13", "2025-13-01T12:00:05Z", std::nullopt},
                      TimestampInput{"february_30", "2025-02-30T12:00:05Z", std::nullopt},
                      TimestampInput{"hour_24", "2025-03-01T24:00:00Z", std::nullopt},
                      TimestampInput{"short_month", "2025-3-01T12:00:05Z", std::nullopt},
                      TimestampInput{"offset_without_colon", "2025-03-01T12:00:05+0200", std::nullopt},
                      TimestampInput{"trailing_text", "2025-03-01T12:00:05Z ", std::nullopt},
                      TimestampInput{"beyond_nanosecond_range", "2300-01-01T00:00:00Z", std::nullopt},
                      TimestampInput{"empty", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- UUIDs --------------------------------------------------------------------------------

TEST(UuidText, ParsesEitherCaseAndWritesLowerCase) {
  const std::optional<Uuid> upper = Uuid::parse("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
  ASSERT_TRUE(upper.has_value());
  EXPECT_EQ(*upper, kSecondId);
  EXPECT_EQ(upper->to_string(), "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
  EXPECT_EQ(Uuid::parse("00112233-4455-6677-8899-aabbccddeeff")->octets(),
            (Uuid::Octets{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
}

TEST(UuidText, RejectsEveryOtherForm) {
  for (const char* text : {"", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeee", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeeee",
                           "aaaaaaaabbbb4ccc8dddeeeeeeeeeeee", "{aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeee}",
                           "aaaaaaaa-bbbb-4ccc-8ddd_eeeeeeeeeeee", "aaaaaaa-abbbb-4ccc-8ddd-eeeeeeeeeeee",
                           "gaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeee "}) {
    EXPECT_EQ(Uuid::parse(text), std::nullopt) << text;
  }
}

TEST(UuidText, RandomIdsAreVersion4AndDistinct) {
  std::unordered_set<Uuid> seen;
  for (int i = 0; i < 1000; ++i) {
    const Uuid id = Uuid::random_v4();
    EXPECT_EQ(id.octets()[6] >> 4, 4);
    EXPECT_EQ(id.octets()[8] >> 6, 0b10);
    EXPECT_EQ(Uuid::parse(id.to_string()), id);
    EXPECT_TRUE(seen.insert(id).second);
  }
}

TEST(StoreLayout, KeysNameTheSnapshotInHyphenatedForm) {
  EXPECT_EQ(snapshot_prefix(kFirstId), "snapshots/11111111-2222-4333-8444-555555555555");
  EXPECT_EQ(rank_pack_key(kFirstId, 12), "snapshots/11111111-2222-4333-8444-555555555555/rank_12.pack");
}

// ---- Reading: defaults, old names, padding ------------------------------------------------

// One-line documents keep the column arithmetic of the error cases readable.
constexpr std::string_view kTensorText =
    R"({"name":"w","shape":[2],"dtype":"float32","storage":"Full","offset":32,"compressed_size":4,)"
    R"("raw_size":8,"hash_raw":"00112233445566778899aabbccddeeff","hash_compressed":"ffeeddccbbaa99887766554433221100"})";

std::string compact_manifest(std::string_view tensor = kTensorText) {
  return std::string(
             R"({"format_version":2,"world_size":1,"snapshots":[{"id":"11111111-2222-4333-8444-555555555555",)"
             R"("step":7,"created_at":"2025-03-01T12:00:05Z","ranks":{"0":{"rank":0,"tensors":[)") +
         std::string(tensor) +
         R"(],"pack_file":"p","total_compressed":4,"total_raw":8,"skipped_count":0,"delta_count":0,"full_count":1}},)"
         R"("metadata":{},"compression":"None","finalized":true}],"retention":{"max_full_snapshots":1,)"
         R"("max_deltas_per_full":2,"full_snapshot_every_steps":3},"lineage":{"rollback_interval_steps":4,)"
         R"("max_rollback_snapshots":5}})";
}

std::string position_of(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start + 1);
}

TEST(ManifestReading, AbsentOptionalKeysTakeTheirDefaults) {
  const Manifest manifest = read_ok(compact_manifest());
  const Snapshot& snapshot = manifest.snapshots.at(0);
  EXPECT_FALSE(snapshot.pinned);
  EXPECT_EQ(snapshot.base_snapshot_id, std::nullopt);
  EXPECT_EQ(manifest.retention, (RetentionPolicy{1, 2, 3, std::nullopt}));
  const TensorEntry& entry = snapshot.ranks.at(0).tensors.at(0);
  EXPECT_EQ(entry.original_dtype, std::nullopt);
  EXPECT_EQ(entry.quant_scale, std::nullopt);
  EXPECT_EQ(entry.alias_of, std::nullopt);
  EXPECT_EQ(entry.filename, std::nullopt);
  EXPECT_FALSE(entry.shuffled);
  EXPECT_EQ(read_ok(replaced(compact_manifest(), R"("offset":32,)", "")).snapshots[0].ranks.at(0).tensors[0].offset, 0u);

  // Absent keys are written out in full, as null where they have no value.
  const std::string rewritten = write(manifest);
  EXPECT_NE(rewritten.find(R"("max_total_snapshots": null)"), std::string::npos);
  EXPECT_NE(rewritten.find(R"("pinned": false)"), std::string::npos);
  EXPECT_NE(rewritten.find(R"("base_snapshot_id": null)"), std::string::npos);
}

TEST(ManifestReading, OldHashNamesReadAsTheNewOnesAndAreWrittenBackAsTheNewOnes) {
  const std::string old_names =
      replaced(replaced(compact_manifest(), "\"hash_raw\"", "\"sha256_raw\""), "\"hash_compressed\"", "\"sha256_compressed\"");
  const Manifest manifest = read_ok(old_names);
  EXPECT_EQ(manifest, read_ok(compact_manifest()));
  const std::string rewritten = write(manifest);
  EXPECT_EQ(rewritten.find("sha256"), std::string::npos);
  EXPECT_NE(rewritten.find(R"("hash_raw": "00112233445566778899aabbccddeeff")"), std::string::npos);
}

TEST(ManifestReading, KeysMayComeInAnyOrder) {
  const std::string reordered = R"({"lineage":{"max_rollback_snapshots":5,"rollback_interval_steps":4},"snapshots":[],)"
                                R"("retention":{"full_snapshot_every_steps":3,"max_total_snapshots":9,)"
                                R"("max_deltas_per_full":2,"max_full_snapshots":1},"world_size":1,"format_version":7})";
  const Manifest manifest = read_ok(reordered);
  EXPECT_EQ(manifest.format_version, 7u);
  EXPECT_EQ(manifest.retention, (RetentionPolicy{1, 2, 3, 9}));
  EXPECT_EQ(manifest.lineage, (LineageConfig{4, 5}));
}

TEST(ManifestReading, UnknownKeysAnywhereAreIgnoredAndDropped) {
  std::string text = compact_manifest();
  text = replaced(text, R"({"format_version")", R"({"future":{"a":[1,2.5e3,{"b":null}],"c":"\u00e9"},"format_version")");
  text = replaced(text, R"("step":7,)", R"("step":7,"comment":"x",)");
  text = replaced(text, R"("name":"w",)", R"("name":"w","extra":[true,false,null,-1e400,123456789012345678901234567890],)");
  text = replaced(text, R"("compression":"None")", R"("compression":{"Zstd":{"window":{},"level":-5,"more":[]}})");
  text = replaced(text, R"("full_count":1})", R"("full_count":1,"note":{}})");
  const Manifest manifest = read_ok(text);
  EXPECT_EQ(manifest.snapshots[0].compression, CompressionAlgo::zstd(-5));
  Manifest expected = read_ok(compact_manifest());
  expected.snapshots[0].compression = CompressionAlgo::zstd(-5);
  EXPECT_EQ(manifest, expected);
  const std::string rewritten = write(manifest);
  for (const char* dropped : {"future", "comment", "extra", "window", "note"}) {
    EXPECT_EQ(rewritten.find(dropped), std::string::npos) << dropped;
  }
}

TEST(ManifestReading, NestingOfUnknownValuesIsBounded) {
  const auto nested = [](std::size_t depth) {
    return replaced(compact_manifest(), R"("step":7,)",
                    R"("step":7,"x":)" + std::string(depth, '[') + std::string(depth, ']') + ",");
  };
  EXPECT_TRUE(read(nested(128)).has_value());
  const std::string deep = nested(1'000'000);
  Result<Manifest> manifest = read(deep);
  ASSERT_FALSE(manifest.has_value());
  EXPECT_EQ(manifest.error(),
            TarnwickError::serialization("recursion limit exceeded" + position_of(deep, deep.find("[[") + 128)));
}

TEST(ManifestReading, CompressionLevelsSurviveWritingAndReading) {
  for (const std::int32_t level : {3, -5, 0, std::numeric_limits<std::int32_t>::min(), 22}) {
    Manifest manifest = fixture_manifest();
    manifest.snapshots[0].compression = CompressionAlgo::zstd(level);
    EXPECT_EQ(read_ok(write(manifest)).snapshots[0].compression, CompressionAlgo::zstd(level)) << level;
  }
}

TEST(ManifestReading, NonFiniteQuantScaleIsWrittenAsNullAndReadsBackAbsent) {
  for (const float scale : {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
    Manifest manifest = fixture_manifest();
    manifest.snapshots[1].ranks[2].tensors[0].quant_scale = scale;
    const std::string text = write(manifest);
    EXPECT_NE(text.find(R"("quant_scale": null)"), std::string::npos);
    EXPECT_EQ(read_ok(text).snapshots[1].ranks.at(2).tensors[0].quant_scale, std::nullopt);
  }
}

TEST(ManifestReading, TrailingZeroBytesOfPaddedObjectsAreIgnored) {
  const Manifest expected = fixture_manifest();
  // Long padding is parsed in place; padding shorter than the parser's look-ahead is copied.
  for (const std::size_t zeros : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{5000}}) {
    std::string padded(kFixtureText);
    padded.append(zeros, '\0');
    EXPECT_EQ(read_ok(padded), expected) << zeros;
  }
  std::string spaced(kFixtureText);
  spaced += " \n\t\r  ";
  spaced.append(4096, '\0');
  EXPECT_EQ(read_ok(spaced), expected);
}

TEST(ManifestReading, AllZeroOrEmptyDocumentFailsWithoutPosition) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{4096}}) {
    const std::string zeros(size, '\0');
    Result<Manifest> manifest = read(zeros);
    ASSERT_FALSE(manifest.has_value());
    EXPECT_EQ(manifest.error(), TarnwickError::serialization("EOF while parsing a value"));
  }
}

// ---- Reading: failures with their positions -----------------------------------------------

struct ReadFailure {
  const char* name;
  std::string from;     // replaced in the compact manifest ...
  std::string to;       // ... by this
  std::string message;  // expected message without position
  std::string anchor;   // first occurrence in the changed document ...
  std::size_t shift;    // ... plus this many bytes is where the reader noticed the problem
};

class ManifestReadFailure : public ::testing::TestWithParam<ReadFailure> {};

TEST_P(ManifestReadFailure, NamesTheProblemAndWhereItWasNoticed) {
  const ReadFailure& row = GetParam();
  const std::string text = replaced(compact_manifest(), row.from, row.to);
  const std::size_t anchor = text.find(row.anchor);
  ASSERT_NE(anchor, std::string::npos);
  Result<Manifest> manifest = read(text);
  ASSERT_FALSE(manifest.has_value());
  EXPECT_EQ(manifest.error(), TarnwickError::serialization(row.message + position_of(text, anchor + row.shift)));
}

const std::string kStorageVariants = ", expected one of `Full`, `DeltaXor`, `Skipped`, `Alias`";
const std::string kCompressionVariants = ", expected `None` or `Zstd`";

INSTANTIATE_TEST_SUITE_P(
    Table, ManifestReadFailure,
    ::testing::Values(
        ReadFailure{"missing_step_at_closing_brace", R"("step":7,)", "", "missing field `step`", R"("finalized":true})", 16},
        ReadFailure{"missing_metadata", R"("metadata":{},)", "", "missing field `metadata`", R"("finalized":true})", 16},
        ReadFailure{"missing_tensor_name", R"("name":"w",)", "", "missing field `name`", R"(1100"})", 5},
        ReadFailure{"missing_zstd_level", R"("compression":"None")", R"("compression":{"Zstd":{"lvl":1}})",
                    "missing field `level`", R"("lvl":1})", 7},
        ReadFailure{"missing_top_level_key", R"("world_size":1,)", "", "missing field `world_size`", R"(5}})", 2},
        ReadFailure{"old_and_new_hash_name", R"("hash_compressed")", R"("sha256_raw":"ab","hash_compressed")",
                    "duplicate field `hash_raw`", R"("sha256_raw")", 0},
        ReadFailure{"old_hash_name_first", R"("hash_raw":)", R"("sha256_raw":"ab","hash_raw":)",
                    "duplicate field `hash_raw`", R"("hash_raw")", 0},
        ReadFailure{"repeated_top_level_key", R"("snapshots":)", R"("world_size":3,"snapshots":)",
                    "duplicate field `world_size`", R"("world_size":3)", 0},
        ReadFailure{"repeated_zstd_level", R"("compression":"None")", R"("compression":{"Zstd":{"level":1,"level":2}})",
                    "duplicate field `level`", R"("level":2)", 0},
        ReadFailure{"repeated_metadata_key", R"("metadata":{})", R"("metadata":{"k":"a","k":"b"})",
                    "duplicate key `k`", R"("k":"b")", 0},
        ReadFailure{"repeated_rank_key", R"("full_count":1}})", R"("full_count":1},"0":{}})", "duplicate key `0`",
                    R"("0":{})", 0},
        ReadFailure{"unknown_storage", R"("Full")", R"("Fulll")", "unknown variant `Fulll`" + kStorageVariants,
                    R"("Fulll")", 0},
        ReadFailure{"long_names_are_cut_in_messages", R"("Full")", "\"" + std::string(100, 'X') + "\"",
                    "unknown variant `" + std::string(64, 'X') + "...`" + kStorageVariants, R"("XXX)", 0},
        ReadFailure{"unknown_compression_name", R"("None")", R"("Lz4")", "unknown variant `Lz4`" + kCompressionVariants,
                    R"("Lz4")", 0},
        ReadFailure{"unknown_compression_key", R"("None")", R"({"Lz4":{"level":1}})",
                    "unknown variant `Lz4`" + kCompressionVariants, R"("Lz4")", 0},
        ReadFailure{"zstd_as_bare_string", R"("None")", R"("Zstd")",
                    "invalid type: unit variant, expected struct variant `Zstd` with field `level`", R"("Zstd")", 0},
        ReadFailure{"compression_with_two_keys", R"("None")", R"({"Zstd":{"level":1},"None":null})",
                    "invalid value: map with more than one key, expected a CompressionAlgo", R"("None")", 0},
        ReadFailure{"none_as_map", R"("None")", R"({"None":null})",
                    "invalid type: map, expected the unit variant `None` as a string", R"("None")", 0},
        ReadFailure{"storage_as_number", R"("storage":"Full")", R"("storage":0)",
                    "invalid type: number `0`, expected a TensorStorage variant name", R"("storage":0)", 10},
        ReadFailure{"compression_empty_map", R"("None")", R"({})", "invalid value: empty map, expected a CompressionAlgo",
                    R"("compression":{})", 15},
        ReadFailure{"rank_key_not_a_number", R"({"0":{)", R"({"x":{)",
                    R"(invalid value: string "x", expected a decimal u32 rank)", R"("x")", 0},
        ReadFailure{"rank_key_negative", R"({"0":{)", R"({"-1":{)",
                    R"(invalid value: string "-1", expected a decimal u32 rank)", R"("-1")", 0},
        ReadFailure{"rank_key_beyond_u32", R"({"0":{)", R"({"4294967296":{)",
                    R"(invalid value: string "4294967296", expected a decimal u32 rank)", R"("4294967296")", 0},
        ReadFailure{"rank_key_with_leading_zero", R"({"0":{)", R"({"01":{)",
                    R"(invalid value: string "01", expected a decimal u32 rank)", R"("01")", 0},
        ReadFailure{"world_size_beyond_u32", R"("world_size":1)", R"("world_size":4294967296)",
                    "invalid value: number `4294967296`, expected u32", "4294967296", 0},
        ReadFailure{"level_beyond_i32", R"("None")", R"({"Zstd":{"level":2147483648}})",
                    "invalid value: number `2147483648`, expected i32", "2147483648", 0},
        ReadFailure{"negative_step", R"("step":7)", R"("step":-1)", "invalid value: number `-1`, expected u64", "-1", 0},
        ReadFailure{"fractional_step", R"("step":7)", R"("step":7.5)", "invalid value: number `7.5`, expected u64",
                    "7.5", 0},
        ReadFailure{"step_beyond_u64", R"("step":7)", R"("step":18446744073709551616)",
                    "invalid value: number `18446744073709551616`, expected u64", "18446744073709551616", 0},
        ReadFailure{"step_as_string", R"("step":7)", R"("step":"7")", R"(invalid type: string "7", expected u64)",
                    R"("7")", 0},
        ReadFailure{"negative_dimension", R"("shape":[2])", R"("shape":[2, -3])",
                    "invalid value: number `-3`, expected u64", "-3", 0},
        ReadFailure{"null_dtype", R"("dtype":"float32")", R"("dtype":null)", "invalid type: null, expected a string",
                    "null", 0},
        ReadFailure{"finalized_as_number", R"("finalized":true)", R"("finalized":1)",
                    "invalid type: number `1`, expected a boolean", R"("finalized":1)", 12},
        ReadFailure{"snapshots_as_object", R"("snapshots":[)", R"("snapshots":{"a":[)",
                    "invalid type: map, expected a sequence of Snapshot", R"({"a")", 0},
        ReadFailure{"bad_uuid", R"("id":"11111111-2222-4333-8444-555555555555")", R"("id":"not-a-uuid")",
                    R"(invalid value: string "not-a-uuid", expected a hyphenated UUID)", R"("not-a-uuid")", 0},
        ReadFailure{"bad_timestamp", "2025-03-01T12:00:05Z", "2025-13-01T12:00:05Z",
                    R"(invalid value: string "2025-13-01T12:00:05Z", expected an RFC 3339 timestamp)",
                    R"("2025-13)", 0},
        ReadFailure{"trailing_characters", R"(5}})", R"(5}} x)", "trailing characters", " x", 1},
        ReadFailure{"second_document", R"(5}})", R"(5}}{})", "trailing characters", "}{}", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ManifestReadPosition, PrettyDocumentReportsLineAndColumnOfTheClosingBrace) {
  // Without the first snapshot's `step` the reader notices at that snapshot's closing brace,
  // which is "    }," on line 69 of the fixture (68 after removing one line).
  const std::string text = replaced(std::string(kFixtureText), "      \"step\": 100,\n", "");
  Result<Manifest> manifest = read(text);
  ASSERT_FALSE(manifest.has_value());
  EXPECT_EQ(manifest.error(), TarnwickError::serialization("missing field `step` at line 68 column 5"));
}

struct MalformedCase {
  const char* name;
  std::string from;
  std::string to;
};

class MalformedJson : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedJson, IsRejectedWithAPosition) {
  const std::string text = replaced(compact_manifest(), GetParam().from, GetParam().to);
  Result<Manifest> manifest = read(text);
  ASSERT_FALSE(manifest.has_value());
  EXPECT_EQ(manifest.error().kind(), ErrorKind::Serialization);
  EXPECT_NE(manifest.error().text().find(" at line 1 column "), std::string::npos) << manifest.error().text();
}

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedJson,
    ::testing::Values(MalformedCase{"trailing_comma_in_object", R"("finalized":true)", R"("finalized":true,)"},
                      MalformedCase{"trailing_comma_in_array", R"("shape":[2])", R"("shape":[2,])"},
                      MalformedCase{"missing_colon", R"("step":7)", R"("step" 7)"},
                      MalformedCase{"missing_comma", R"("step":7,)", R"("step":7 )"},
                      MalformedCase{"unclosed_document", R"(5}})", R"(5})"},
                      MalformedCase{"single_quotes", R"("dtype":"float32")", R"("dtype":'float32')"},
                      MalformedCase{"bad_literal", R"("finalized":true)", R"("finalized":tru)"},
                      MalformedCase{"leading_zero", R"("step":7)", R"("step":07)"},
                      MalformedCase{"invalid_escape", R"("dtype":"float32")", R"("dtype":"float\x32")"},
                      MalformedCase{"bad_unknown_array", R"("step":7,)", R"("step":7,"x":[1,,2],)"},
                      MalformedCase{"bad_unknown_number", R"("step":7,)", R"("step":7,"x":01,)"},
                      MalformedCase{"bad_unknown_literal", R"("step":7,)", R"("step":7,"x":nul,)"},
                      MalformedCase{"bad_unknown_string", R"("step":7,)", R"("step":7,"x":"\q",)"},
                      MalformedCase{"bad_unknown_nesting", R"("step":7,)", R"("step":7,"x":{"a" 1},)"},
                      MalformedCase{"extra_closing_brace", R"("full_count":1}})", R"("full_count":1}}})"},
                      MalformedCase{"stray_colon", R"("step":7,)", R"("step"::7,)"},
                      MalformedCase{"root_is_array", R"({"format_version":2,)", R"([{"format_version":2,)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Problems found while the whole text is scanned, before any value is read, have no position.
TEST(MalformedText, InvalidUtf8ControlCharactersAndUnclosedStringsAreRejected) {
  const std::string text = compact_manifest();
  for (const std::string& bad : {replaced(text, R"("float32")", "\"float\xff\""),
                                 replaced(text, R"("float32")", "\"float\n32\""),
                                 text.substr(0, text.find("rollback_interval_steps"))}) {
    Result<Manifest> manifest = read(bad);
    ASSERT_FALSE(manifest.has_value()) << bad;
    EXPECT_EQ(manifest.error().kind(), ErrorKind::Serialization);
  }
}

}  // namespace
}  // namespace tarnwick
