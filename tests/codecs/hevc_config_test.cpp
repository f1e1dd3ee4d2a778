// The HEVC configuration record: Annex-B splitting, parameter-set parsing, the record's
// fields and layout, and refusals. Real parameter sets come from libx265 (see
// codec_vectors.h); syntax branches that encoder never writes use built parameter sets.
#include "codecs/hevc_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "codec_test_util.h"
#include "codec_vectors.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ConfigDeleter {
  void operator()(HevcConfig* c) const { hevc_config_release(c); }
};
using ConfigPtr = std::unique_ptr<HevcConfig, ConfigDeleter>;

// A configuration together with the Annex-B buffer its units point into.
struct Built {
  Bytes stream;
  ConfigPtr config;
  HevcConfig* get() const { return config.get(); }
  HevcConfig* operator->() const { return config.get(); }
  explicit operator bool() const { return config != nullptr; }
};

Built build(Bytes stream, int32_t* error = nullptr, uint32_t completeness = 0) {
  int32_t ignored = 0;
  Built built{std::move(stream), nullptr};
  built.config.reset(hevc_config_from_annexb(built.stream.data(),
                                             static_cast<int32_t>(built.stream.size()),
                                             completeness, error ? error : &ignored));
  return built;
}

// A configuration with no units yet, for adding units one by one.
Built empty_config() {
  return build(hex_bytes("00 00 01 26 01 af"));
}

Bytes record_of(HevcConfig* config, int32_t* result = nullptr) {
  int32_t r = 0;
  Bytes bytes = captured_bytes([&](ByteWriter* w) { r = write_hvcc_record(w, config); });
  if (result) *result = r;
  return bytes;
}

Bytes head(const Bytes& bytes, size_t n) {
  return Bytes(bytes.begin(),
               bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size())));
}

// ---- reader primitives ----

TEST(HevcBitReader, ReadsFixedWidthAndExpGolombFields) {
  // 1 | 010 (ue 1) | 00111 (ue 6) | 0001000 (ue 7) | 1011 | then a 40-bit field
  Bytes data = hex_bytes("a3 88 b0 12 34 56 78 9a");
  HevcBitReader r;
  hevc_reader_init(&r, data.data(), static_cast<uint32_t>(data.size()));
  EXPECT_EQ(read_bits(&r, 1), 1u);
  EXPECT_EQ(read_ue(&r), 1u);
  EXPECT_EQ(read_ue(&r), 6u);
  EXPECT_EQ(read_ue(&r), 7u);
  EXPECT_EQ(read_bits(&r, 4), 0xBu);
  EXPECT_EQ(r.bit_index, 20u);
  EXPECT_EQ(read_bits_long(&r, 44), 0x01234'56789aULL);
  EXPECT_TRUE(hevc_reader_ok(&r));
  EXPECT_EQ(read_bits(&r, 0), 0u);
  EXPECT_TRUE(hevc_reader_ok(&r));
}

TEST(HevcBitReader, BitsPastTheEndReadAsZeroAndAreReported) {
  Bytes data = hex_bytes("ff");
  HevcBitReader r;
  hevc_reader_init(&r, data.data(), 1);
  EXPECT_EQ(read_bits(&r, 12), 0xFF0u);
  EXPECT_FALSE(hevc_reader_ok(&r));
  EXPECT_EQ(r.bit_index, 12u);

  // An Exp-Golomb code past the end is all zeros: it stops at 32 zeros, invalid.
  hevc_reader_init(&r, data.data(), 1);
  read_bits(&r, 8);
  EXPECT_EQ(read_ue(&r), UINT32_MAX);
  EXPECT_FALSE(hevc_reader_ok(&r));

  // 31 leading zeros is the longest valid code.
  Bytes longest = hex_bytes("00 00 00 01 ff ff ff fe");
  hevc_reader_init(&r, longest.data(), static_cast<uint32_t>(longest.size()));
  EXPECT_EQ(read_ue(&r), 0xFFFFFFFEu);
  EXPECT_TRUE(hevc_reader_ok(&r));

  // Wider reads than the reader supports are refused, not truncated silently.
  hevc_reader_init(&r, longest.data(), static_cast<uint32_t>(longest.size()));
  read_bits(&r, 33);
  EXPECT_FALSE(hevc_reader_ok(&r));
}

TEST(HevcAnnexB, FindStartCodeAndUnescape) {
  Bytes data = hex_bytes("11 00 00 02 00 00 01 22 00 00");
  const uint8_t* begin = data.data();
  const uint8_t* end = begin + data.size();
  EXPECT_EQ(find_start_code(begin, end), begin + 4);
  EXPECT_EQ(find_start_code(begin + 5, end), end);
  EXPECT_EQ(find_start_code(begin, begin + 2), begin + 2);

  struct Case {
    const char* escaped;
    const char* rbsp;
  };
  const Case cases[] = {
      {"42 01 00 00 03 01 80", "42 01 00 00 01 80"},
      {"42 01 00 00 03 00 00 03 03", "42 01 00 00 00 00 03"},
      {"00 00 03 01", "00 00 03 01"},  // the header bytes are never unescaped
      {"42 01 00 00 03", "42 01 00 00"},
      {"42 01 00 00", "42 01 00 00"},
      {"42", "42"},
      {"", ""},
  };
  for (const Case& c : cases) {
    Bytes in = hex_bytes(c.escaped);
    uint32_t size = 12345;
    uint8_t* out = nal_to_rbsp(in.data(), static_cast<uint32_t>(in.size()), &size);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(Bytes(out, out + size), hex_bytes(c.rbsp)) << c.escaped;
    std::free(out);
  }
}

// ---- real streams: fields and the cross-check against ffmpeg's records ----

struct RealStream {
  const char* name;
  const char* vps;
  const char* sps;
  const char* pps;
  const char* ffmpeg_fixed;  // the first 22 bytes of ffmpeg's hvcC for the same stream
  uint8_t tier, profile_idc, level_idc, chroma_format, bit_depth_luma_minus8,
      bit_depth_chroma_minus8, num_temporal_layers, temporal_id_nested, parallelism_type;
};

const RealStream kRealStreams[] = {
    {"420_8bit", kHevc420Vps, kHevc420Sps, kHevc420Pps, kFfmpegHvcc420, 0, 1, 60, 1, 0, 0, 1, 1, 3},
    {"420_no_wpp", kHevc420Vps, kHevc420Sps, kHevc420NoWppPps, kFfmpegHvcc420, 0, 1, 60, 1, 0, 0, 1,
     1, 1},
    {"444_8bit", kHevc444Vps, kHevc444Sps, kHevc444Pps, kFfmpegHvcc444, 0, 4, 30, 3, 0, 0, 1, 1, 1},
    {"422_10bit", kHevc422Vps, kHevc422Sps, kHevc422Pps, kFfmpegHvcc422, 0, 4, 60, 2, 2, 2, 1, 1,
     3},
    {"420_10bit_hrd_two_layers", kHevcHrdVps, kHevcHrdSps, kHevcHrdPps, kFfmpegHvccHrd, 0, 2, 153,
     1, 2, 2, 2, 0, 3},
    {"high_tier", kHevcHighTierVps, kHevcHighTierSps, kHevc420Pps, kFfmpegHvccHighTier, 1, 1, 120,
     1, 0, 0, 1, 1, 3},
};

TEST(HevcConfig, RealStreamsGiveTheirFieldsAndMatchFfmpegRecords) {
  for (const RealStream& s : kRealStreams) {
    SCOPED_TRACE(s.name);
    int32_t error = 1;
    Built config = build(
        annexb({hex_bytes(s.vps), hex_bytes(s.sps), hex_bytes(s.pps), hex_bytes(kHevcIdrSlice)}),
        &error);
    ASSERT_TRUE(config);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(config->general_profile_space, 0);
    EXPECT_EQ(config->general_tier_flag, s.tier);
    EXPECT_EQ(config->general_profile_idc, s.profile_idc);
    EXPECT_EQ(config->general_level_idc, s.level_idc);
    EXPECT_EQ(config->chroma_format, s.chroma_format);
    EXPECT_EQ(config->bit_depth_luma_minus8, s.bit_depth_luma_minus8);
    EXPECT_EQ(config->bit_depth_chroma_minus8, s.bit_depth_chroma_minus8);
    EXPECT_EQ(config->num_temporal_layers, s.num_temporal_layers);
    EXPECT_EQ(config->temporal_id_nested, s.temporal_id_nested);
    EXPECT_EQ(config->parallelism_type, s.parallelism_type);
    EXPECT_EQ(config->min_spatial_segmentation_idc, 4097);  // x265 writes no restriction
    EXPECT_EQ(config->num_of_arrays, 3);

    int32_t result = -1;
    Bytes record = record_of(config.get(), &result);
    EXPECT_EQ(result, 0);
    Bytes expected = hex_bytes(s.ffmpeg_fixed);
    if (std::string(s.name) == "420_10bit_hrd_two_layers") {
      // See kFfmpegHvccHrd: no restriction in the VUI, so "none" and parallelism 0.
      expected[13] = 0xF0;
      expected[14] = 0x00;
      expected[15] = 0xFC;
    }
    EXPECT_EQ(head(record, 22), expected);
  }
}

TEST(HevcConfig, WritesTheWholeRecordWithSeiKeptAndSlicesIgnored) {
  Bytes stream = annexb({hex_bytes(kHevc420Vps), hex_bytes(kHevc420Sps), hex_bytes(kHevc420Pps),
                         hex_bytes(kHevc420SeiLight), hex_bytes(kHevc420SeiMastering),
                         hex_bytes(kHevcIdrSlice)});
  Built config = build(stream);
  ASSERT_TRUE(config);
  ASSERT_EQ(config->num_of_arrays, 4);
  // Units point into the caller's buffer, escaped as they stand.
  EXPECT_EQ(config->arrays[1].nal_unit[0], config.stream.data() + 4 + 24 + 4);

  Bytes expected = concat({
      hex_bytes("01"                 // configurationVersion
                "01"                 // profile space 0, tier 0, profile 1 (Main)
                "60 00 00 00"        // profile compatibility
                "90 00 00 00 00 00"  // constraint indicator flags
                "3c"                 // level 60
                "f0 00"              // min_spatial_segmentation: none seen -> 0
                "fc"                 // parallelism type forced to 0 with it
                "fd"                 // chroma format 1
                "f8 f8"              // 8-bit luma and chroma
                "00 00"              // avgFrameRate
                "0f"                 // 1 temporal layer, nested, 4-byte lengths
                "04"),               // numOfArrays
      hex_bytes("20 00 01 00 18"),
      hex_bytes(kHevc420Vps),  // VPS array
      hex_bytes("21 00 01 00 2a"),
      hex_bytes(kHevc420Sps),  // SPS array
      hex_bytes("22 00 01 00 07"),
      hex_bytes(kHevc420Pps),  // PPS array
      hex_bytes("27 00 02"),   // prefix SEI array, two units
      hex_bytes("00 09"),
      hex_bytes(kHevc420SeiLight),  //
      hex_bytes("00 1e"),
      hex_bytes(kHevc420SeiMastering),
  });
  EXPECT_EQ(record_of(config.get()), expected);
}

TEST(HevcConfig, CompletenessFlagMarksParameterSetArraysOnly) {
  Bytes stream = annexb({hex_bytes(kHevc420Vps), hex_bytes(kHevc420Sps), hex_bytes(kHevc420Pps),
                         hex_bytes(kHevc420SeiLight), hex_bytes("50 01 80")});  // suffix SEI
  Built config = build(stream, nullptr, 1);
  ASSERT_TRUE(config);
  ASSERT_EQ(config->num_of_arrays, 5);
  Bytes record = record_of(config.get());
  ASSERT_GT(record.size(), 23u);
  size_t pos = 23;
  const uint8_t expected_headers[] = {0xA0, 0xA1, 0xA2, 0x27, 0x28};
  for (uint8_t expected : expected_headers) {
    ASSERT_LT(pos + 3, record.size());
    EXPECT_EQ(record[pos], expected);
    uint32_t units = record[pos + 1] << 8 | record[pos + 2];
    pos += 3;
    for (uint32_t i = 0; i < units; ++i) pos += 2 + (record[pos] << 8 | record[pos + 1]);
  }
  EXPECT_EQ(pos, record.size());
}

TEST(HevcConfig, ArraysFollowFirstAppearanceNotTypeOrder) {
  Bytes sps = hex_bytes(kHevc420Sps);
  Bytes sps_high_tier = hex_bytes(kHevcHighTierSps);
  Built config = build(annexb({hex_bytes(kHevc420SeiLight), sps, hex_bytes(kHevc420Vps),
                               hex_bytes(kHevc420Pps), sps_high_tier}));
  ASSERT_TRUE(config);
  ASSERT_EQ(config->num_of_arrays, 4);
  const uint8_t expected_types[] = {39, 33, 32, 34};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(config->arrays[i].nal_unit_type, expected_types[i]);
  ASSERT_EQ(config->arrays[1].num_nalus, 2);  // the later SPS joined the first SPS array
  EXPECT_EQ(Bytes(config->arrays[1].nal_unit[1],
                  config->arrays[1].nal_unit[1] + config->arrays[1].nal_unit_length[1]),
            sps_high_tier);

  Bytes record = record_of(config.get());
  ASSERT_GT(record.size(), 26u);
  EXPECT_EQ(record[22], 4);
  EXPECT_EQ(record[23], 0x27);
  EXPECT_EQ(head(Bytes(record.begin() + 24, record.end()), 4), hex_bytes("00 01 00 09"));
  size_t second = 23 + 3 + 2 + 9;
  EXPECT_EQ(record[second], 0x21);
  EXPECT_EQ(record[second + 2], 2);
}

TEST(HevcConfig, EmulationPreventionIsRemovedForParsingButKeptInTheRecord) {
  // Every real SPS carries 00 00 03 inside its constraint flags, before the level: read
  // without unescaping, the level would come out as 0x00 or 0x03.
  Bytes sps = hex_bytes(kHevc444Sps);
  ASSERT_EQ(sps.size(), 41u);
  Built config = build(annexb({hex_bytes(kHevc444Vps), sps, hex_bytes(kHevc444Pps)}));
  ASSERT_TRUE(config);
  EXPECT_EQ(config->general_level_idc, 30);
  EXPECT_EQ(config->general_constraint_indicator_flags, 0x9E0800000000u);
  EXPECT_EQ(config->chroma_format, 3);
  // The SPS array holds the unit with its 00 00 03 01 (and the other escapes) intact.
  Bytes record = record_of(config.get());
  Bytes sps_entry = concat({hex_bytes("21 00 01 00 29"), sps});
  EXPECT_NE(std::search(record.begin(), record.end(), sps_entry.begin(), sps_entry.end()),
            record.end());
}

TEST(HevcConfig, SplitsThreeAndFourByteStartCodesAndSkipsLeadingBytes) {
  Bytes vps = hex_bytes(kHevc420Vps), sps = hex_bytes(kHevc420Sps), pps = hex_bytes(kHevc420Pps);
  // Garbage before the first start code, a 3-byte start code, extra zeros between units,
  // and trailing zeros after the last one.
  Bytes stream = concat({hex_bytes("ab cd 00 00 01"), vps, hex_bytes("00 00 00 00 00 01"), sps,
                         hex_bytes("00 00 01"), pps, hex_bytes("00 00 00 01 00 00 01"),
                         hex_bytes(kHevcIdrSlice), hex_bytes("00 00")});
  Built config = build(stream);
  ASSERT_TRUE(config);
  ASSERT_EQ(config->num_of_arrays, 3);
  EXPECT_EQ(config->arrays[0].nal_unit[0], config.stream.data() + 5);
  // Before a longer run of zeros, a unit keeps the zeros that precede the 4-byte start
  // code (trailing_zero_8bits).
  EXPECT_EQ(config->arrays[0].nal_unit_length[0], vps.size() + 2);
  EXPECT_EQ(config->arrays[1].nal_unit_length[0], sps.size());
  EXPECT_EQ(config->arrays[2].nal_unit_length[0], pps.size());
  EXPECT_EQ(head(record_of(config.get()), 22), hex_bytes(kFfmpegHvcc420));

  Bytes zeros_before_sps = concat({annexb({vps}), hex_bytes("00 00"), annexb({sps, pps})});
  config = build(zeros_before_sps);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->arrays[0].nal_unit_length[0], vps.size() + 2);
  EXPECT_EQ(config->arrays[1].nal_unit_length[0], sps.size());
}

TEST(HevcConfig, InputsWithoutUsableUnits) {
  int32_t error = 0;
  Bytes tiny = hex_bytes("00 00 01 40 01");
  EXPECT_FALSE(build(tiny, &error));
  EXPECT_EQ(error, kHevcErrorShortInput);
  EXPECT_EQ(hevc_config_from_annexb(nullptr, 100, 0, &error), nullptr);
  EXPECT_EQ(error, kHevcErrorShortInput);
  EXPECT_EQ(hevc_config_from_annexb(tiny.data(), -5, 0, nullptr), nullptr);

  // No start code, only slices, or empty units: a configuration without arrays, which the
  // writer refuses.
  const Bytes empty_builds[] = {
      hex_bytes("12 34 56 78 9a bc de"),
      annexb({hex_bytes(kHevcIdrSlice), hex_bytes("02 01 d0 10")}),
      hex_bytes("00 00 01 00 00 01 00 00 01"),
  };
  for (const Bytes& stream : empty_builds) {
    error = 1;
    Built config = build(stream, &error);
    ASSERT_TRUE(config);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(config->num_of_arrays, 0);
    int32_t result = 0;
    EXPECT_TRUE(record_of(config.get(), &result).empty());
    EXPECT_EQ(result, kHevcErrorWriteRefused);
  }
}

TEST(HevcConfig, WriterRefusesIncompleteSetsAndTheBoxStaysEmpty) {
  Built no_pps = build(annexb({hex_bytes(kHevc420Vps), hex_bytes(kHevc420Sps)}));
  ASSERT_TRUE(no_pps);  // building succeeds; writing does not
  int32_t result = 0;
  EXPECT_TRUE(record_of(no_pps.get(), &result).empty());
  EXPECT_EQ(result, kHevcErrorWriteRefused);

  // As the sample entry does it: open the box, write the body, patch the size.
  Bytes box = captured_bytes([&](ByteWriter* w) {
    int64_t start = open_box(w, "hvcC");
    write_hvcc_record(w, no_pps.get());
    patch_box_size(w, start);
  });
  EXPECT_EQ(box, hex_bytes("00 00 00 08 68 76 63 43"));

  // Null pointers: nothing written, and write_hvcc_record reports 0.
  EXPECT_TRUE(record_of(nullptr, &result).empty());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(hevc_config_write(nullptr, no_pps.get()), kHevcErrorWriteRefused);
  EXPECT_EQ(hevc_config_release(nullptr), 1);
}

TEST(HevcConfig, WriterChecksParameterSetCountsPerType) {
  struct Case {
    uint32_t vps, sps, pps;
    bool written;
  };
  const Case cases[] = {
      {1, 1, 1, true},   {16, 32, 256, true}, {0, 1, 1, false},   {1, 0, 1, false},
      {17, 1, 1, false}, {1, 33, 1, false},   {1, 1, 257, false},
  };
  Bytes vps = hex_bytes(kHevc420Vps), sps = hex_bytes(kHevc420Sps), pps = hex_bytes(kHevc420Pps);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.vps << " " << c.sps << " " << c.pps);
    Built config = empty_config();
    ASSERT_TRUE(config);
    for (uint32_t i = 0; i < c.vps; ++i)
      ASSERT_EQ(hevc_config_add_nal(vps.data(), static_cast<uint32_t>(vps.size()), 0, config.get()),
                0);
    for (uint32_t i = 0; i < c.sps; ++i)
      ASSERT_EQ(hevc_config_add_nal(sps.data(), static_cast<uint32_t>(sps.size()), 0, config.get()),
                0);
    for (uint32_t i = 0; i < c.pps; ++i)
      ASSERT_EQ(hevc_config_add_nal(pps.data(), static_cast<uint32_t>(pps.size()), 0, config.get()),
                0);
    int32_t result = 1;
    Bytes record = record_of(config.get(), &result);
    EXPECT_EQ(result, c.written ? 0 : kHevcErrorWriteRefused);
    EXPECT_EQ(record.empty(), !c.written);
    if (c.written) {
      size_t expected_size = 23 + (c.vps ? 3 : 0) + (c.sps ? 3 : 0) + (c.pps ? 3 : 0) +
                             c.vps * (2 + vps.size()) + c.sps * (2 + sps.size()) +
                             c.pps * (2 + pps.size());
      EXPECT_EQ(record.size(), expected_size);
    }
  }
}

// ---- merging profile, tier and level over several parameter sets ----

Bytes sps_with_level(const char* sps_hex, uint8_t level) {
  Bytes sps = hex_bytes(sps_hex);
  sps[17] = level;  // general_level_idc in these escaped SPSs
  return sps;
}

TEST(HevcConfig, TierAndLevelMerge) {
  struct Case {
    const char* name;
    Bytes first, second;
    uint8_t tier, level;
  };
  const Case cases[] = {
      {"tier 0 L150 then tier 1 L120", sps_with_level(kHevc420Sps, 150),
       hex_bytes(kHevcHighTierSps), 1, 120},
      {"tier 1 L120 then tier 0 L150", hex_bytes(kHevcHighTierSps),
       sps_with_level(kHevc420Sps, 150), 1, 150},
      {"both tier 0: larger level", sps_with_level(kHevc420Sps, 150), hex_bytes(kHevc420Sps), 0,
       150},
      {"both tier 0, rising", hex_bytes(kHevc420Sps), sps_with_level(kHevc420Sps, 93), 0, 93},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Built config = build(annexb({c.first, c.second, hex_bytes(kHevc420Pps)}));
    ASSERT_TRUE(config);
    EXPECT_EQ(config->general_tier_flag, c.tier);
    EXPECT_EQ(config->general_level_idc, c.level);
  }

  // Profile: maximum; compatibility and constraint flags: AND over all sets.
  TestSps main10;
  main10.profile_idc = 2;
  main10.compatibility = 0x20000000;
  main10.constraints = 0x800000000000;
  Built config = build(annexb({hex_bytes(kHevc420Sps), build_test_sps(main10)}));
  ASSERT_TRUE(config);
  EXPECT_EQ(config->general_profile_idc, 2);
  EXPECT_EQ(config->general_profile_compatibility_flags, 0x20000000u);
  EXPECT_EQ(config->general_constraint_indicator_flags, 0x800000000000u);
}

// ---- built parameter sets: syntax branches and limits ----

TEST(HevcConfig, BuiltSpsWithEveryOptionalSectionParses) {
  // min_spatial_segmentation_idc is the last field read: a mistake anywhere earlier in the
  // walk (scaling lists, PCM, reference picture sets, long-term pictures, VUI, HRD) shows
  // up as a wrong value or a failed build.
  TestSps s;
  s.max_sub_layers_minus1 = 2;
  s.chroma_format_idc = 3;
  s.scaling_list_data = true;
  s.pcm = true;
  s.ref_pic_sets = {
      {false, 2, 1, {}},
      {true, 0, 0, {{true, false}, {false, true}, {false, false}, {true, false}}},
      {true, 0, 0, {{false, false}, {true, false}, {true, false}, {false, true}}},
      {false, 16, 16, {}},
  };
  s.long_term = true;
  s.long_term_count = 32;
  s.vui = true;
  s.vui_extended_sar = true;
  s.vui_hrd = true;
  s.hrd = {true, true, true, 31};
  s.min_spatial_segmentation = 1234;
  Bytes sps = build_test_sps(s);
  Built config = build(annexb({build_test_vps(s), sps, build_test_pps(false, true)}));
  ASSERT_TRUE(config);
  EXPECT_EQ(config->min_spatial_segmentation_idc, 1234);
  EXPECT_EQ(config->num_temporal_layers, 3);
  EXPECT_EQ(config->chroma_format, 3);

  Bytes record = record_of(config.get());
  ASSERT_GE(record.size(), 23u);
  EXPECT_EQ(head(Bytes(record.begin() + 13, record.end()), 3), hex_bytes("f4 d2 ff"));
  EXPECT_EQ(record[21], 0x1F);  // 3 layers, nested, 4-byte lengths

  // The same SPS cut before its last byte no longer holds the VUI's final fields.
  Bytes cut(sps.begin(), sps.end() - 3);
  int32_t error = 0;
  EXPECT_FALSE(build(annexb({cut}), &error));
  EXPECT_EQ(error, kHevcErrorMalformed);
}

TEST(HevcConfig, SpatialSegmentationAndParallelism) {
  struct Case {
    const char* name;
    std::vector<int64_t> min_spatial;  // one SPS per value, -1 without restriction
    bool tiles, wpp;
    const char* written;  // min_spatial_segmentation and parallelism bytes
  };
  const Case cases[] = {
      {"none seen", {-1}, false, true, "f0 00 fc"},
      {"slices", {4}, false, false, "f0 04 fd"},
      {"tiles", {4}, true, false, "f0 04 fe"},
      {"wavefront", {4}, false, true, "f0 04 ff"},
      {"tiles and wavefront", {4}, true, true, "f0 04 fc"},
      {"minimum over SPSs", {200, 8, -1}, false, true, "f0 08 ff"},
      {"zero forces type 0", {0}, false, true, "f0 00 fc"},
      {"4095 is the largest", {4095}, true, false, "ff ff fe"},
      // Only values above 4096 are zeroed; 4096 keeps the parallelism type and
      // leaves its low 12 bits, 0, in the field.
      {"4096 is not zeroed", {4096}, true, false, "f0 00 fe"},
      {"4097 and above are zeroed", {4097}, true, false, "f0 00 fc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> stream = annexb({hex_bytes(kHevc420Vps)});
    for (int64_t value : c.min_spatial) {
      TestSps s;
      s.vui = true;
      s.min_spatial_segmentation = value;
      stream = concat({stream, annexb({build_test_sps(s)})});
    }
    stream = concat({stream, annexb({build_test_pps(c.tiles, c.wpp)})});
    Built config = build(stream);
    ASSERT_TRUE(config);
    Bytes record = record_of(config.get());
    ASSERT_GE(record.size(), 23u);
    EXPECT_EQ(Bytes(record.begin() + 13, record.begin() + 16), hex_bytes(c.written));
  }
}

TEST(HevcConfig, MalformedParameterSetsFailTheBuild) {
  auto sps_with = [](auto change) {
    TestSps s;
    s.vui = true;
    change(s);
    return build_test_sps(s);
  };
  struct Case {
    const char* name;
    Bytes unit;
    int32_t error;
  };
  TestSps seven_layers;
  seven_layers.max_sub_layers_minus1 = 7;
  const Case cases[] = {
      {"65 reference picture sets", sps_with([](TestSps& s) {
         s.ref_pic_sets.assign(65, TestRefPicSet{false, 1, 0, {}});
       }),
       kHevcErrorTooManyRefPicSets},
      {"64 reference picture sets are fine, but the count says 65", sps_with([](TestSps& s) {
         s.ref_pic_sets.assign(64, TestRefPicSet{false, 1, 0, {}});
         s.ref_pic_set_count_override = 65;
       }),
       kHevcErrorTooManyRefPicSets},
      {"17 negative pictures", sps_with([](TestSps& s) {
         s.ref_pic_sets = {{false, 17, 0, {}}};
       }),
       kHevcErrorRefPicSet},
      {"17 positive pictures", sps_with([](TestSps& s) {
         s.ref_pic_sets = {{false, 0, 17, {}}};
       }),
       kHevcErrorRefPicSet},
      {"predicted set growing past 32 pictures", sps_with([](TestSps& s) {
         TestRefPicSet predicted{true, 0, 0, {}};
         predicted.entries.assign(33, {true, false});
         s.ref_pic_sets = {{false, 16, 16, {}}, predicted};
       }),
       kHevcErrorRefPicSet},
      {"33 long-term pictures", sps_with([](TestSps& s) {
         s.long_term = true;
         s.long_term_count = 33;
       }),
       kHevcErrorMalformed},
      {"cpb_cnt_minus1 32", sps_with([](TestSps& s) {
         s.vui_hrd = true;
         s.hrd.cpb_cnt_minus1 = 32;
       }),
       kHevcErrorMalformed},
      {"8 sub-layers in the SPS", build_test_sps(seven_layers), kHevcErrorMalformed},
      {"8 sub-layers in the VPS", build_test_vps(seven_layers), kHevcErrorMalformed},
      {"chroma_format_idc 4", sps_with([](TestSps& s) { s.chroma_format_idc = 4; }),
       kHevcErrorMalformed},
      {"luma deeper than 16 bits", sps_with([](TestSps& s) { s.bit_depth_luma_minus8 = 9; }),
       kHevcErrorMalformed},
      {"chroma deeper than 16 bits", sps_with([](TestSps& s) { s.bit_depth_chroma_minus8 = 9; }),
       kHevcErrorMalformed},
      {"truncated SPS", head(hex_bytes(kHevc420Sps), 30), kHevcErrorMalformed},
      {"truncated VPS", head(hex_bytes(kHevc420Vps), 12), kHevcErrorMalformed},
      {"truncated PPS", hex_bytes("44 01 c1"), kHevcErrorMalformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t error = 0;
    EXPECT_FALSE(build(annexb({hex_bytes(kHevc420Vps), c.unit, hex_bytes(kHevc420Pps)}), &error));
    EXPECT_EQ(error, c.error);
  }

  // The largest accepted counts build.
  Built config = build(annexb({sps_with([](TestSps& s) {
    s.ref_pic_sets.assign(64, TestRefPicSet{false, 16, 16, {}});
    s.long_term = true;
    s.long_term_count = 32;
    s.vui_hrd = true;
    s.hrd.cpb_cnt_minus1 = 31;
  })}));
  EXPECT_TRUE(config);
}

TEST(HevcConfig, AddNalChecksTypeAndSize) {
  Built config = empty_config();
  ASSERT_TRUE(config);
  Bytes slice = hex_bytes(kHevcIdrSlice);
  EXPECT_EQ(hevc_config_add_nal(slice.data(), static_cast<uint32_t>(slice.size()), 0, config.get()),
            kHevcErrorTypeNotAccepted);
  EXPECT_EQ(config->num_of_arrays, 0);

  // A unit must fit the record's 16-bit length field.
  Bytes sei(65535, 0x80);
  sei[0] = 0x4e;
  sei[1] = 0x01;
  EXPECT_EQ(hevc_config_add_nal(sei.data(), 65535, 0, config.get()), 0);
  sei.push_back(0x80);
  EXPECT_EQ(hevc_config_add_nal(sei.data(), 65536, 0, config.get()), kHevcErrorUnitTooLarge);
  ASSERT_EQ(config->num_of_arrays, 1);
  EXPECT_EQ(config->arrays[0].num_nalus, 1);
  EXPECT_EQ(config->arrays[0].nal_unit_length[0], 65535);

  // An oversized parameter set fails the whole build; an oversized SEI unit
  // (below) is passed over instead.
  Bytes pps = hex_bytes(kHevc420Pps);
  pps.resize(65536, 0x80);
  int32_t error = 0;
  EXPECT_FALSE(build(annexb({hex_bytes(kHevc420Vps), hex_bytes(kHevc420Sps), pps}), &error));
  EXPECT_EQ(error, kHevcErrorUnitTooLarge);

  EXPECT_EQ(hevc_config_add_nal(nullptr, 10, 0, config.get()), kHevcErrorMalformed);
  EXPECT_EQ(hevc_config_add_nal(slice.data(), 8, 0, nullptr), kHevcErrorMalformed);
}

// Units the record cannot hold: an SEI unit of one byte (no full header) or
// longer than the 16-bit length field is left out and the rest of the record
// stands; the parameter sets are what a decoder needs.
TEST(HevcConfig, SeiUnitsTheRecordCannotHoldAreLeftOut) {
  Bytes oversized(65536, 0x80);
  oversized[0] = 0x4e;
  oversized[1] = 0x01;
  struct Case {
    const char* name;
    Bytes sei;
  };
  const Case cases[] = {
      {"one-byte prefix SEI", hex_bytes("4e")},
      {"one-byte suffix SEI", hex_bytes("50")},
      {"prefix SEI of 65536 bytes", oversized},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t error = 0;
    Built config = build(annexb({hex_bytes(kHevc420Vps), c.sei, hex_bytes(kHevc420Sps),
                                 hex_bytes(kHevc420SeiLight), hex_bytes(kHevc420Pps)}),
                         &error);
    ASSERT_TRUE(config) << std::hex << error;
    ASSERT_EQ(config->num_of_arrays, 4);
    EXPECT_EQ(config->arrays[0].nal_unit_type, 32);
    EXPECT_EQ(config->arrays[1].nal_unit_type, 33);
    EXPECT_EQ(config->arrays[2].nal_unit_type, 39);
    EXPECT_EQ(config->arrays[2].num_nalus, 1) << "only the good SEI unit";
    EXPECT_EQ(config->arrays[2].nal_unit_length[0], hex_bytes(kHevc420SeiLight).size());
    EXPECT_EQ(config->arrays[3].nal_unit_type, 34);
    int32_t result = 0;
    record_of(config.get(), &result);
    EXPECT_EQ(result, 0);
  }
}

// H.265 allows bit depths up to 16 (minus 8 = 8): the stream builds, the
// configuration keeps the value, and the record's 3-bit fields carry it
// masked as the record's layout has them (value | 0xF8).
TEST(HevcConfig, SixteenBitStreamsBuildTheRecord) {
  TestSps s;
  s.vui = true;
  s.bit_depth_luma_minus8 = 8;
  s.bit_depth_chroma_minus8 = 8;
  Built config =
      build(annexb({hex_bytes(kHevc420Vps), build_test_sps(s), build_test_pps(false, false)}));
  ASSERT_TRUE(config);
  EXPECT_EQ(config->bit_depth_luma_minus8, 8);
  EXPECT_EQ(config->bit_depth_chroma_minus8, 8);
  int32_t result = -1;
  Bytes record = record_of(config.get(), &result);
  EXPECT_EQ(result, 0);
  ASSERT_GE(record.size(), 23u);
  EXPECT_EQ(Bytes(record.begin() + 17, record.begin() + 19), hex_bytes("f8 f8"));
}

}  // namespace
