// The AV1 configuration record: sequence header parsing, the OBU scan, and the rule that
// nothing is written unless the whole input is sound.
#include "codecs/av1_config.h"

#include <gtest/gtest.h>

#include <cstring>

#include "codec_test_util.h"
#include "codec_vectors.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes av1c_body(const Bytes& extradata, int32_t* result = nullptr) {
  int32_t r = 0;
  Bytes bytes = captured_bytes([&](ByteWriter* w) {
    r = write_av1c(w, extradata.data(), static_cast<int32_t>(extradata.size()));
  });
  if (result) *result = r;
  return bytes;
}

Bytes head_of(const Bytes& bytes, size_t n) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

// The payload of a sequence header OBU with a one-byte header and a one-byte size.
Bytes payload_of(const Bytes& obu) {
  return Bytes(obu.begin() + 2, obu.end());
}

TEST(Av1Config, RealSequenceHeadersGiveFfmpegsFixedPart) {
  for (const Av1Vector& v : kAv1Vectors) {
    SCOPED_TRACE(v.name);
    Bytes obu = hex_bytes(v.sequence_header_obu);
    int32_t result = -1;
    Bytes body = av1c_body(obu, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(body, concat({hex_bytes(v.ffmpeg_fixed_part), obu}));
    // The same with the temporal delimiter the encoders put in front.
    EXPECT_EQ(av1c_body(concat({hex_bytes(kAv1TemporalDelimiter), obu})), body);
  }
}

TEST(Av1Config, SequenceHeaderFields) {
  struct Case {
    const char* obu;
    Av1SequenceInfo expected;
  };
  const Case cases[] = {
      // profile, level, tier, depth, mono, ss_x, ss_y, csp, colour description, cp, tc, mc, range
      {kAv1Vectors[0].sequence_header_obu, {0, 8, 0, 8, 0, 1, 1, 0, 0, 2, 2, 2, 0}},
      {kAv1Vectors[1].sequence_header_obu, {0, 8, 0, 10, 0, 1, 1, 0, 0, 2, 2, 2, 0}},
      {kAv1Vectors[3].sequence_header_obu, {0, 1, 0, 10, 0, 1, 1, 0, 1, 9, 16, 9, 0}},
      {kAv1Vectors[5].sequence_header_obu, {1, 0, 0, 8, 0, 0, 0, 0, 0, 2, 2, 2, 0}},
      {kAv1Vectors[6].sequence_header_obu, {2, 0, 0, 8, 0, 1, 0, 0, 0, 2, 2, 2, 0}},
      {kAv1Vectors[7].sequence_header_obu, {2, 0, 0, 12, 0, 1, 1, 0, 0, 2, 2, 2, 0}},
      {kAv1Vectors[8].sequence_header_obu, {0, 0, 0, 8, 1, 1, 1, 0, 0, 2, 2, 2, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.obu);
    Bytes payload = payload_of(hex_bytes(c.obu));
    Av1SequenceInfo info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(
        parse_av1_sequence_header(&info, payload.data(), static_cast<uint32_t>(payload.size())), 0);
    const Av1SequenceInfo& e = c.expected;
    EXPECT_EQ(info.seq_profile, e.seq_profile);
    EXPECT_EQ(info.seq_level_idx_0, e.seq_level_idx_0);
    EXPECT_EQ(info.seq_tier_0, e.seq_tier_0);
    EXPECT_EQ(info.bit_depth, e.bit_depth);
    EXPECT_EQ(info.mono_chrome, e.mono_chrome);
    EXPECT_EQ(info.subsampling_x, e.subsampling_x);
    EXPECT_EQ(info.subsampling_y, e.subsampling_y);
    EXPECT_EQ(info.chroma_sample_position, e.chroma_sample_position);
    EXPECT_EQ(info.color_description_present_flag, e.color_description_present_flag);
    EXPECT_EQ(info.color_primaries, e.color_primaries);
    EXPECT_EQ(info.transfer_characteristics, e.transfer_characteristics);
    EXPECT_EQ(info.matrix_coefficients, e.matrix_coefficients);
  }
}

// A sequence header written field by field, for the branches encoders seldom take.
struct BuiltHeader {
  uint32_t profile = 0;
  uint32_t level = 12;
  uint32_t tier = 1;
  bool twelve_bit = false;
  uint32_t primaries = 1, transfer = 13, matrix = 0;  // sRGB with identity matrix
  uint32_t chroma_sample_position = 2;
  bool screen_content_forced = true;
};

Bytes built_sequence_header_payload(const BuiltHeader& h) {
  TestBits b;
  b.u(3, h.profile);
  b.u(1, 0);  // still_picture
  b.u(1, 0);  // reduced_still_picture_header
  b.u(1, 0);  // timing_info_present_flag
  b.u(1, 1);  // initial_display_delay_present_flag
  b.u(5, 1);  // two operating points
  for (int op = 0; op < 2; ++op) {
    b.u(12, op ? 0x101 : 0x103);
    b.u(5, op ? 4 : h.level);
    if ((op ? 4 : h.level) > 7) b.u(1, h.tier);
    b.u(1, 1);  // initial_display_delay_present_for_this_op
    b.u(4, 9);
  }
  b.u(4, 10);  // frame_width_bits_minus_1
  b.u(4, 9);
  b.u(11, 1919);
  b.u(10, 1079);
  b.u(1, 1);  // frame_id_numbers_present_flag
  b.u(7, 0x35);
  b.u(3, 7);
  b.u(4, 0xF);
  b.u(1, 1);  // enable_order_hint
  b.u(2, 3);
  b.u(1, 0);  // seq_choose_screen_content_tools
  b.u(1, h.screen_content_forced);
  if (h.screen_content_forced) {
    b.u(1, 0);  // seq_choose_integer_mv
    b.u(1, 1);  // seq_force_integer_mv
  }
  b.u(3, 6);  // order_hint_bits_minus_1
  b.u(3, 7);
  // colour config
  b.u(1, 1);  // high_bitdepth
  if (h.profile == 2) b.u(1, h.twelve_bit);
  if (h.profile != 1) b.u(1, 0);  // mono_chrome
  b.u(1, 1);                      // color_description_present_flag
  b.u(8, h.primaries);
  b.u(8, h.transfer);
  b.u(8, h.matrix);
  bool srgb = h.primaries == 1 && h.transfer == 13 && h.matrix == 0;
  if (!srgb) {
    b.u(1, 1);  // color_range
    if (h.profile == 2 && h.twelve_bit) {
      b.u(1, 1);  // subsampling_x
      b.u(1, 1);  // subsampling_y
    }
    if (h.profile == 0 || (h.profile == 2 && h.twelve_bit)) b.u(2, h.chroma_sample_position);
  }
  b.u(1, 0);  // separate_uv_delta_q
  b.u(1, 0);  // film_grain_params_present
  b.trailing();
  return b.bytes();
}

TEST(Av1Config, BuiltSequenceHeaders) {
  struct Case {
    const char* name;
    BuiltHeader header;
    const char* fixed_part;
  };
  const Case cases[] = {
      // sRGB/identity: 4:4:4 without a colour range bit, whatever the profile says
      {"srgb identity", {1, 12, 1, false, 1, 13, 0, 2, true}, "81 2c c0 00"},
      {"profile 0, tier 1, chroma position 2", {0, 12, 1, false, 9, 16, 9, 2, true}, "81 0c ce 00"},
      {"level 7 codes no tier", {0, 7, 1, false, 9, 16, 9, 1, false}, "81 07 4d 00"},
      {"12-bit 4:2:0 in profile 2", {2, 13, 0, true, 9, 16, 9, 3, true}, "81 4d 6f 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes payload = built_sequence_header_payload(c.header);
    ASSERT_LT(payload.size(), 128u);
    Bytes obu = concat({Bytes{0x0A, static_cast<uint8_t>(payload.size())}, payload});
    int32_t result = -1;
    EXPECT_EQ(av1c_body(obu, &result), concat({hex_bytes(c.fixed_part), obu}));
    EXPECT_EQ(result, 0);
  }
}

TEST(Av1Config, KeepsSequenceHeaderAndFirstMetadataDropsTheRest) {
  Bytes sh = hex_bytes(kAv1Vectors[3].sequence_header_obu);
  Bytes light = hex_bytes(kAv1MetadataLight);
  Bytes mastering = hex_bytes(kAv1MetadataMastering);
  Bytes td = hex_bytes(kAv1TemporalDelimiter);
  Bytes padding = hex_bytes("7a 03 00 00 00");  // padding OBU (type 15)

  Bytes body = av1c_body(concat({td, sh, light, mastering, padding}));
  EXPECT_EQ(body, concat({hex_bytes("81 01 4c 00"), sh, light}));
  // Metadata ahead of the sequence header still goes after it in the record.
  EXPECT_EQ(av1c_body(concat({mastering, td, sh})),
            concat({hex_bytes("81 01 4c 00"), sh, mastering}));
}

TEST(Av1Config, SizeFieldForms) {
  Bytes sh = hex_bytes(kAv1Vectors[0].sequence_header_obu);
  Bytes payload = payload_of(sh);
  struct Case {
    const char* name;
    Bytes obu;
  };
  const Case cases[] = {
      // No size field: the OBU runs to the end of the data.
      {"without size field", concat({hex_bytes("08"), payload})},
      // A padded LEB128 size (11 written in three bytes).
      {"padded size", concat({hex_bytes("0a 8b 80 00"), payload})},
      // obu_extension_flag: a two-byte header.
      {"extension header", concat({hex_bytes("0e 10 0b"), payload})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t result = -1;
    EXPECT_EQ(av1c_body(c.obu, &result), concat({hex_bytes("81 08 0c 00"), c.obu}));
    EXPECT_EQ(result, 0);
  }
  // A temporal delimiter without size field swallows the sequence header behind it.
  int32_t result = 0;
  EXPECT_TRUE(av1c_body(concat({hex_bytes("10"), sh}), &result).empty());
  EXPECT_EQ(result, -1);
}

TEST(Av1Config, StructuralProblemsWriteNothing) {
  Bytes sh = hex_bytes(kAv1Vectors[0].sequence_header_obu);
  Bytes td = hex_bytes(kAv1TemporalDelimiter);
  Bytes light = hex_bytes(kAv1MetadataLight);
  struct Case {
    const char* name;
    Bytes extradata;
  };
  const Case cases[] = {
      {"empty", {}},
      {"two sequence headers", concat({sh, sh})},
      {"two sequence headers with the second differing",
       concat({sh, hex_bytes(kAv1Vectors[1].sequence_header_obu)})},
      {"trailing garbage", concat({sh, hex_bytes("0a 05 00")})},
      {"truncated sequence header", Bytes(sh.begin(), sh.end() - 1)},
      {"forbidden bit", concat({hex_bytes("92 00"), sh})},
      {"zero-sized sequence header", hex_bytes("0a 00")},
      {"zero-sized metadata", concat({sh, hex_bytes("2a 00")})},
      {"no sequence header", concat({td, light})},
      {"size field that never ends (8 bytes)",
       concat({hex_bytes("0a 80 80 80 80 80 80 80 80 0b"), payload_of(sh)})},
      {"size field cut by the end", hex_bytes("0a 80")},
      {"extension header cut by the end", hex_bytes("0e")},
      {"huge size", concat({hex_bytes("0a ff ff ff ff ff ff ff 7f"), payload_of(sh)})},
      {"sequence header with an extra byte inside",
       concat({hex_bytes("0a 0c"), payload_of(sh), hex_bytes("80")})},
      {"sequence header cut inside", concat({hex_bytes("0a 06"), head_of(payload_of(sh), 6)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t result = 0;
    // As the sample entry does it: open the box, write the body, patch the size.
    Bytes box = captured_bytes([&](ByteWriter* w) {
      int64_t start = open_box(w, "av1C");
      result = write_av1c(w, c.extradata.data(), static_cast<int32_t>(c.extradata.size()));
      patch_box_size(w, start);
    });
    EXPECT_EQ(box, hex_bytes("00 00 00 08 61 76 31 43"));
    EXPECT_LT(result, 0);
  }
  EXPECT_EQ(write_av1c(nullptr, sh.data(), static_cast<int32_t>(sh.size())), -1);
}

TEST(Av1Config, PayloadBits) {
  struct Case {
    const char* payload;
    uint32_t obu_type;
    int32_t bits;
  };
  const Case cases[] = {
      {"80", 1, 0},          {"40", 1, 1},     {"ab 80", 1, 8}, {"ab 01", 1, 15},
      {"ab 80 00 00", 1, 8}, {"00 00", 1, 0},  {"", 1, 0},      {"ab 80 00", 4, 24},
      {"ab 80 00", 6, 24},   {"ab 81", 5, 15}, {"ff", 2, 7},
  };
  for (const Case& c : cases) {
    Bytes payload = hex_bytes(c.payload);
    EXPECT_EQ(av1_payload_bits(payload.data(), static_cast<uint32_t>(payload.size()), c.obu_type),
              c.bits)
        << c.payload << " type " << c.obu_type;
  }
  uint8_t byte = 0x80;
  EXPECT_EQ(av1_payload_bits(&byte, 0x10000000, 1), -1);
  EXPECT_EQ(av1_payload_bits(nullptr, 1, 1), -1);
}

TEST(Av1Config, ParserNeedsExactlyTheFilmGrainBitLeft) {
  Bytes payload = payload_of(hex_bytes(kAv1Vectors[0].sequence_header_obu));
  Av1SequenceInfo info;
  ASSERT_EQ(parse_av1_sequence_header(&info, payload.data(), static_cast<uint32_t>(payload.size())),
            0);
  // Every shorter prefix runs out of bits.
  for (size_t n = 0; n < payload.size(); ++n) {
    EXPECT_EQ(parse_av1_sequence_header(&info, payload.data(), static_cast<uint32_t>(n)), -1) << n;
  }
  // One more meaningful bit behind the header is one too many.
  Bytes longer = payload;
  longer.back() = 0x00;
  longer.push_back(0xC0);
  EXPECT_EQ(parse_av1_sequence_header(&info, longer.data(), static_cast<uint32_t>(longer.size())),
            -1);
  EXPECT_EQ(parse_av1_sequence_header(nullptr, payload.data(), 11), -1);
}

}  // namespace
