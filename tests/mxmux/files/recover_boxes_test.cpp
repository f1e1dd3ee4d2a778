// The boxes a recovery writes, byte for byte, from a few samples: runs of
// equal durations, one composition offset per sample, sync samples, chunks
// whose sample counts change, offsets below and above 32 bits, and the
// header and edit widths that follow their values.
#include "mxmux/files/recover_boxes.h"

#include <gtest/gtest.h>

#include "support/box_reader.h"

namespace {

using namespace mxmux::recover;

std::string hex_of(BoxBytes& out) {
  return iso::hex(out.bytes());
}

std::vector<Sample> samples() {
  // durations 512, 512, 512, 300; sizes 10, 20, 10, 10; sync 1 and 3.
  return {
      {1000, 10, 512, 1024, true},
      {1010, 20, 512, -512, false},
      {1030, 10, 512, 0, true},
      {1040, 10, 300, 512, false},
  };
}

TEST(RecoverBoxes, SampleTablesFromSamples) {
  struct Row {
    const char* what;
    void (*write)(BoxBytes&);
    const char* hex;
  };
  const Row rows[] = {
      {"stts: a run of three, then one", [](BoxBytes& o) { write_stts(o, samples()); },
       "00 00 00 20 73 74 74 73 00 00 00 00 00 00 00 02 "
       "00 00 00 03 00 00 02 00 00 00 00 01 00 00 01 2c"},
      {"ctts: one entry per sample, never merged, version 1 signed",
       [](BoxBytes& o) { write_ctts(o, samples(), 1); },
       "00 00 00 30 63 74 74 73 01 00 00 00 00 00 00 04 "
       "00 00 00 01 00 00 04 00 00 00 00 01 ff ff fe 00 "
       "00 00 00 01 00 00 00 00 00 00 00 01 00 00 02 00"},
      {"stss: samples 1 and 3", [](BoxBytes& o) { write_stss(o, samples()); },
       "00 00 00 18 73 74 73 73 00 00 00 00 00 00 00 02 00 00 00 01 00 00 00 03"},
      {"stss without a sync sample still states its count", [](BoxBytes& o) { write_stss(o, {}); },
       "00 00 00 10 73 74 73 73 00 00 00 00 00 00 00 00"},
      {"stsz: every size", [](BoxBytes& o) { write_stsz(o, samples(), false); },
       "00 00 00 24 73 74 73 7a 00 00 00 00 00 00 00 00 00 00 00 04 "
       "00 00 00 0a 00 00 00 14 00 00 00 0a 00 00 00 0a"},
      {"stsz: one size for all",
       [](BoxBytes& o) {
         write_stsz(o, {{0, 7, 1, 0, true}, {7, 7, 1, 0, true}}, true);
       },
       "00 00 00 14 73 74 73 7a 00 00 00 00 00 00 00 07 00 00 00 02"},
      {"stsc: an entry where the count changes",
       [](BoxBytes& o) {
         write_stsc(o, {{100, 3}, {200, 3}, {300, 1}, {400, 3}});
       },
       "00 00 00 34 73 74 73 63 00 00 00 00 00 00 00 03 "
       "00 00 00 01 00 00 00 03 00 00 00 01 00 00 00 03 00 00 00 01 00 00 00 01 "
       "00 00 00 04 00 00 00 03 00 00 00 01"},
      {"stco below 4 GiB",
       [](BoxBytes& o) {
         write_stco(o, {{0x100, 1}, {0xFFFFFFFF, 1}});
       },
       "00 00 00 18 73 74 63 6f 00 00 00 00 00 00 00 02 00 00 01 00 ff ff ff ff"},
      {"co64 once the last chunk begins above 32 bits",
       [](BoxBytes& o) {
         write_stco(o, {{0x100, 1}, {0x100000000, 1}});
       },
       "00 00 00 20 63 6f 36 34 00 00 00 00 00 00 00 02 "
       "00 00 00 00 00 00 01 00 00 00 00 01 00 00 00 00"},
  };
  for (const Row& row : rows) {
    BoxBytes out;
    row.write(out);
    EXPECT_EQ(hex_of(out), row.hex) << row.what;
    const iso::Tree tree = iso::parse(out.bytes());
    ASSERT_EQ(tree.boxes.size(), 1u) << row.what;
    EXPECT_EQ(tree.boxes[0].size, out.bytes().size()) << row.what;
  }
}

TEST(RecoverBoxes, HeadersAndEditsWidenWithTheirValues) {
  HeaderFields h;
  h.flags = 0xF;
  h.creation = 0x11223344;
  h.modification = 0x55667788;
  h.before_duration = {0, 0, 0, 1, 0, 0, 0, 0};  // track ID 1, reserved
  h.rest = {0xAA, 0xBB};
  BoxBytes narrow, wide;
  write_tkhd(narrow, h, 0x1000);
  write_tkhd(wide, h, 0x100000000);
  EXPECT_EQ(hex_of(narrow),
            "00 00 00 22 74 6b 68 64 00 00 00 0f 11 22 33 44 55 66 77 88 "
            "00 00 00 01 00 00 00 00 00 00 10 00 aa bb");
  EXPECT_EQ(hex_of(wide),
            "00 00 00 2e 74 6b 68 64 01 00 00 0f 00 00 00 00 11 22 33 44 "
            "00 00 00 00 55 66 77 88 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 aa bb");

  BoxBytes edit, wide_edit;
  write_edts(edit, Edit{2000, 1024, 0x00010000});
  write_edts(wide_edit, Edit{2000, int64_t{1} << 31, 0x00010000});
  EXPECT_EQ(hex_of(edit),
            "00 00 00 24 65 64 74 73 00 00 00 1c 65 6c 73 74 00 00 00 00 00 00 00 01 "
            "00 00 07 d0 00 00 04 00 00 01 00 00");
  EXPECT_EQ(hex_of(wide_edit),
            "00 00 00 2c 65 64 74 73 00 00 00 24 65 6c 73 74 01 00 00 00 00 00 00 01 "
            "00 00 00 00 00 00 07 d0 00 00 00 00 80 00 00 00 00 01 00 00");
}

}  // namespace
