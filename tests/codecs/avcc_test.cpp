#include "codecs/avcc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/box_output.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t host_code(const char* s) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

// Sets the indication the way the session does at close: profile, compatibility 0, level.
void indicate(MuxTrack* t, const char* code) {
  AvcProfileLevel pl = choose_avc_profile_level(host_code(code));
  t->avc_profile = pl.profile;
  t->avc_compat = 0;
  t->avc_level = pl.level;
}

TEST(Avcc, ProfileAndLevelByVideoCode) {
  struct Case {
    const char* code;
    const char* start;  // the first six bytes of the record
  };
  // Every row of the table, then codes that take the default.
  const Case cases[] = {
      {"HAVC", "01 42 00 29 FF E1"},
      {"h264", "01 42 00 29 FF E1"},
      {"K264", "01 42 00 29 FF E1"},
      {"M264", "01 42 00 29 FF E1"},
      {"VAVC", "01 42 00 1F FF E1"},
      {"EPSP", "01 4D 00 1E FF E1"},
      {"IPSP", "01 4D 00 1E FF E1"},
      {"NPSP", "01 4D 00 1E FF E1"},
      {"FAVC", "01 4D 00 1E FF E1"},
      {"PS3H", "01 64 00 2A FF E1"},
      {"APS3", "01 64 00 2A FF E1"},
      {"EPS3", "01 64 00 2A FF E1"},
      {"IPS3", "01 64 00 2A FF E1"},
      {"NPS3", "01 64 00 2A FF E1"},
      {"H264", "01 42 00 1E FF E1"},
      {"IPON", "01 42 00 1E FF E1"},
      {"VT64", "01 42 00 1E FF E1"},
      {"3HSP", "01 42 00 1E FF E1"},  // characters in the other order are another code
  };
  for (const Case& c : cases) {
    BoxOutput out;
    MuxTrack* t = out.track();
    indicate(t, c.code);
    write_avcc(out.ctx(), t);
    Bytes b = out.bytes();
    ASSERT_EQ(b.size(), 19u) << c.code;
    EXPECT_EQ(Bytes(b.begin() + 8, b.begin() + 14), hex_bytes(c.start)) << c.code;
  }
}

TEST(Avcc, OneSequenceAndOnePictureParameterSet) {
  BoxOutput out;
  MuxTrack* t = out.track();
  indicate(t, "H264");
  const Bytes sps = hex_bytes("67 42 C0 1E D9 00 A0 47 FE C8");
  const Bytes pps = hex_bytes("68 CE 3C 80");
  t->extradata = const_cast<uint8_t*>(sps.data());
  t->extradata_size = static_cast<uint32_t>(sps.size());
  t->extradata2 = const_cast<uint8_t*>(pps.data());
  t->extradata2_size = static_cast<uint32_t>(pps.size());
  write_avcc(out.ctx(), t);
  EXPECT_EQ(out.bytes(), hex_bytes(R"(
    00 00 00 21 61 76 63 43        # size 33, "avcC"
    01 42 00 1E                    # version, profile, compatibility, level
    FF                             # 4-byte NAL lengths
    E1 00 0A 67 42 C0 1E D9 00 A0 47 FE C8   # one SPS
    01 00 04 68 CE 3C 80                     # one PPS
  )"));
}

TEST(Avcc, WithoutParameterSetsBothCountsStillSayOne) {
  BoxOutput out;
  MuxTrack* t = out.track();
  indicate(t, "H264");
  write_avcc(out.ctx(), t);
  EXPECT_EQ(out.bytes(), hex_bytes("00 00 00 13 61 76 63 43 01 42 00 1E FF E1 00 00 01 00 00"));
}

TEST(Avcc, StartCodesAreKeptAsGiven) {
  BoxOutput out;
  MuxTrack* t = out.track();
  const Bytes sps = hex_bytes("00 00 00 01 67 42");
  t->extradata = const_cast<uint8_t*>(sps.data());
  t->extradata_size = static_cast<uint32_t>(sps.size());
  write_avcc(out.ctx(), t);
  Bytes b = out.bytes();
  EXPECT_EQ(Bytes(b.begin() + 13, b.begin() + 22), hex_bytes("E1 00 06 00 00 00 01 67 42"));
}

// A set longer than the 16-bit length field is left out (count 0) instead of
// being written with a wrapped length; the other set is unaffected.
TEST(Avcc, OversizedParameterSetIsLeftOut) {
  BoxOutput out;
  MuxTrack* t = out.track();
  indicate(t, "H264");
  Bytes big(65536, 0x55);
  const Bytes pps = hex_bytes("68 CE 3C 80");
  t->extradata = big.data();
  t->extradata_size = static_cast<uint32_t>(big.size());
  t->extradata2 = const_cast<uint8_t*>(pps.data());
  t->extradata2_size = static_cast<uint32_t>(pps.size());
  write_avcc(out.ctx(), t);
  EXPECT_EQ(out.bytes(),
            hex_bytes("00 00 00 15 61 76 63 43 01 42 00 1E FF E0 01 00 04 68 CE 3C 80"));

  BoxOutput out2;
  MuxTrack* t2 = out2.track();
  big.resize(65535);
  t2->extradata = big.data();
  t2->extradata_size = 65535;  // the longest that fits
  t2->extradata2 = big.data();
  t2->extradata2_size = 70000;
  write_avcc(out2.ctx(), t2);
  Bytes b = out2.bytes();
  ASSERT_EQ(b.size(), 8u + 6 + 2 + 65535 + 1);
  EXPECT_EQ(Bytes(b.begin() + 13, b.begin() + 16), hex_bytes("E1 FF FF"));
  EXPECT_EQ(b.back(), 0x00);  // no picture parameter sets
}

}  // namespace
