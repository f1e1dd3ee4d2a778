// The test-side box reader: tree shape, containers by context, field reads,
// and malformed input.
#include "support/box_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <random>
#include <stdexcept>

#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A box with a 32-bit size.
Bytes box(const std::string& type, const Bytes& payload) {
  return cat({be32(static_cast<uint32_t>(payload.size() + 8)), text(type), payload});
}

Bytes zeros(size_t n) {
  return Bytes(n, 0);
}

Bytes hdlr(const std::string& handler) {
  return box("hdlr", cat({zeros(8), text(handler), zeros(12), {0}}));
}

// A visual sample entry: 78 bytes of fixed fields, then its children.
Bytes visual_entry(const std::string& type, const Bytes& children) {
  Bytes fixed = zeros(78);
  fixed[7] = 1;                        // data reference index
  fixed[24] = 0x01, fixed[25] = 0x40;  // width 320
  return box(type, cat({fixed, children}));
}

Bytes sound_entry(const std::string& type, int version, const Bytes& children) {
  Bytes fixed = zeros(version == 1 ? 44 : 28);
  fixed[7] = 1;
  fixed[9] = static_cast<uint8_t>(version);
  fixed[17] = 2;  // channels
  return box(type, cat({fixed, children}));
}

Bytes stsd(const Bytes& entry) {
  return box("stsd", cat({zeros(4), be32(1), entry}));
}

Bytes video_trak() {
  Bytes avcc = box("avcC", hex_bytes("01 64 00 1f ff e0 00"));
  Bytes stsz = box("stsz", cat({zeros(4), be32(0), be32(2), be32(100), be32(200)}));
  Bytes stbl =
      box("stbl", cat({stsd(visual_entry("avc1", cat({avcc, box("pasp", be32(1))}))), stsz}));
  Bytes minf =
      box("minf", cat({box("vmhd", hex_bytes("00 00 00 01 00 00 00 00 00 00 00 00")), stbl}));
  return box("trak", cat({box("tkhd", zeros(84)), box("mdia", cat({hdlr("vide"), minf}))}));
}

Bytes audio_trak(const Bytes& entry) {
  Bytes stbl = box("stbl", stsd(entry));
  return box("trak", box("mdia", cat({hdlr("soun"), box("minf", stbl)})));
}

Bytes sample_file() {
  Bytes ftyp = box("ftyp", cat({text("mp42"), be32(0x200), text("mp42isom")}));
  Bytes mvhd = box("mvhd", cat({zeros(12), be32(1000), be32(10500), zeros(80)}));
  Bytes moov =
      box("moov",
          cat({mvhd, video_trak(), audio_trak(sound_entry("mp4a", 0, box("esds", zeros(20))))}));
  return cat({ftyp, box("free", {}), box("mdat", text("abcdefgh")), moov});
}

TEST(BoxReader, ReadsNestedTreeWithOffsetsSizesAndPaths) {
  Bytes file = sample_file();
  iso::Tree tree = iso::parse(file);
  SCOPED_TRACE(tree.dump());
  EXPECT_EQ(tree.types(), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
  EXPECT_TRUE(tree.error.empty());
  EXPECT_EQ(tree.trailing, 0u);

  const iso::Box& ftyp = tree.at("ftyp");
  EXPECT_EQ(ftyp.offset, 0u);
  EXPECT_EQ(ftyp.size, 24u);
  EXPECT_EQ(ftyp.fourcc(0), "mp42");
  EXPECT_EQ(ftyp.u32(4), 0x200u);
  EXPECT_EQ(ftyp.str(8, 8), "mp42isom");

  const iso::Box& mdat = tree.at("mdat");
  EXPECT_EQ(mdat.offset, 32u);
  EXPECT_EQ(mdat.payload(), text("abcdefgh"));

  const iso::Box& moov = tree.at("moov");
  EXPECT_EQ(moov.offset, 48u);
  EXPECT_EQ(moov.size, file.size() - 48);
  EXPECT_EQ(moov.child_types(), (std::vector<std::string>{"mvhd", "trak", "trak"}));
  EXPECT_EQ(tree.at("moov/mvhd").u32(16), 10500u);

  // Indexed lookups among siblings of one type, with and without the brackets.
  EXPECT_EQ(tree.find("moov/trak"), tree.find("moov/trak[0]"));
  EXPECT_EQ(tree.at("moov/trak[0]/mdia/hdlr").fourcc(8), "vide");
  EXPECT_EQ(tree.at("moov/trak[1]/mdia/hdlr").fourcc(8), "soun");
  EXPECT_EQ(tree.find("moov/trak[2]"), nullptr);
  EXPECT_EQ(tree.find("moov/*[1]"), tree.find("moov/trak[0]"));
  EXPECT_EQ(moov.count("trak"), 2u);

  // The sample entry's children start behind its 78 fixed bytes.
  const iso::Box& avc1 = tree.at("moov/trak[0]/mdia/minf/stbl/stsd/avc1");
  EXPECT_EQ(avc1.child_offset, 78u);
  EXPECT_EQ(avc1.u16(24), 320u);
  EXPECT_EQ(avc1.child_types(), (std::vector<std::string>{"avcC", "pasp"}));
  EXPECT_EQ(avc1.at("avcC").u8(1), 0x64);
  EXPECT_EQ(avc1.at("avcC").u24(1), 0x64001Fu);

  const iso::Box& stsz = tree.at("/moov/trak[0]/mdia/minf/stbl/stsz/");
  EXPECT_EQ(stsz.u32(8), 2u);
  EXPECT_EQ(stsz.u32(12), 100u);
  EXPECT_EQ(stsz.u64(12), 100ull << 32 | 200u);
  EXPECT_EQ(stsz.bytes(),
            cat({be32(28), text("stsz"), zeros(4), be32(0), be32(2), be32(100), be32(200)}));

  const iso::Box& mp4a = tree.at("moov/trak[1]/mdia/minf/stbl/stsd/mp4a");
  EXPECT_EQ(mp4a.child_offset, 28u);
  EXPECT_EQ(mp4a.child_types(), (std::vector<std::string>{"esds"}));
  EXPECT_EQ(tree.all("stsd").size(), 2u);
}

TEST(BoxReader, MissingPathsAndFieldsOutsideThePayloadThrowWithDump) {
  iso::Tree tree = iso::parse(sample_file());
  EXPECT_EQ(tree.find("moov/trak[0]/edts"), nullptr);
  EXPECT_EQ(tree.find("moov/trak[x]"), nullptr);
  try {
    tree.at("moov/trak[0]/edts");
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& e) {
    std::string message = e.what();
    EXPECT_NE(message.find("moov/trak[0]/edts"), std::string::npos);
    EXPECT_NE(message.find("  trak @"), std::string::npos) << message;
  }
  const iso::Box& mvhd = tree.at("moov/mvhd");
  EXPECT_EQ(mvhd.payload_size(), 100u);
  EXPECT_NO_THROW(mvhd.u32(96));
  EXPECT_THROW(mvhd.u32(97), std::out_of_range);
  EXPECT_THROW(mvhd.u8(100), std::out_of_range);
  EXPECT_THROW(mvhd.u64(~0ull - 2), std::out_of_range);
  EXPECT_THROW(mvhd.str(50, ~0ull), std::out_of_range);
}

TEST(BoxReader, SixtyFourBitSizeAndSizeZeroReachingTheEnd) {
  Bytes large = cat({be32(1), text("mdat"), hex_bytes("00 00 00 00 00 00 00 14"), text("wxyz")});
  Bytes last = cat({be32(0), text("moov"), box("mvhd", zeros(4))});
  iso::Tree tree = iso::parse(cat({box("ftyp", text("qt  ")), large, last}));
  SCOPED_TRACE(tree.dump());
  const iso::Box& mdat = tree.at("mdat");
  EXPECT_TRUE(mdat.large_size);
  EXPECT_EQ(mdat.header_size, 16u);
  EXPECT_EQ(mdat.size, 20u);
  EXPECT_EQ(mdat.payload(), text("wxyz"));
  const iso::Box& moov = tree.at("moov");
  EXPECT_TRUE(moov.to_end);
  EXPECT_EQ(moov.size, 20u);
  EXPECT_EQ(tree.at("moov/mvhd").size, 12u);
}

TEST(BoxReader, SampleEntryHeadersFollowTheirKind) {
  // QuickTime sound entry, version 1, with wave holding a plain mp4a atom and a terminator.
  Bytes wave = box("wave", cat({box("frma", text("mp4a")), box("mp4a", zeros(4)),
                                box("esds", zeros(8)), cat({be32(8), zeros(4)})}));
  Bytes v1 = sound_entry("mp4a", 1, cat({wave, box("chan", zeros(12))}));
  // Timecode entry with a name child behind its 26 fixed bytes.
  Bytes tmcd = box("tmcd", cat({zeros(26), box("name", text("tc"))}));
  // Timed-metadata entry: 8 bytes, then a plain keys box of key-id boxes.
  Bytes key = box(std::string("\0\0\0\1", 4),
                  cat({box("keyd", text("mdtacom.apple")), box("dtyp", zeros(8))}));
  Bytes mebx = box("mebx", cat({zeros(8), box("keys", key)}));
  // An entry type the tables do not know: the handler decides.
  Bytes odd = visual_entry("zzzz", box("colr", text("nclx")));

  iso::Tree tree = iso::parse(
      cat({audio_trak(v1),
           box("trak", box("mdia", cat({hdlr("tmcd"), box("minf", box("stbl", stsd(tmcd)))}))),
           box("trak", box("mdia", cat({hdlr("meta"), box("minf", box("stbl", stsd(mebx)))}))),
           box("trak", box("mdia", cat({hdlr("vide"), box("minf", box("stbl", stsd(odd)))})))}));
  SCOPED_TRACE(tree.dump());
  const iso::Box& mp4a = tree.at("trak[0]/mdia/minf/stbl/stsd/mp4a");
  EXPECT_EQ(mp4a.child_offset, 44u);
  EXPECT_EQ(mp4a.child_types(), (std::vector<std::string>{"wave", "chan"}));
  EXPECT_EQ(mp4a.at("wave").child_types(),
            (std::vector<std::string>{"frma", "mp4a", "esds", "0x00000000"}));
  EXPECT_FALSE(mp4a.at("wave/mp4a").container);
  EXPECT_EQ(tree.at("trak[1]/mdia/minf/stbl/stsd/tmcd/name").payload(), text("tc"));
  const iso::Box& keyd = tree.at("trak[2]/mdia/minf/stbl/stsd/mebx/keys/0x00000001/keyd");
  EXPECT_EQ(keyd.fourcc(0), "mdta");
  EXPECT_EQ(tree.at("trak[3]/mdia/minf/stbl/stsd/zzzz").child_types(),
            (std::vector<std::string>{"colr"}));
}

TEST(BoxReader, TimecodeBoxMeaningDependsOnItsParent) {
  Bytes tcmi = box("tcmi", zeros(34));
  Bytes gmhd = box("gmhd", cat({box("gmin", zeros(16)), box("tmcd", tcmi)}));
  Bytes tref = box("tref", box("tmcd", be32(3)));
  iso::Tree tree = iso::parse(box("trak", cat({tref, box("mdia", box("minf", gmhd))})));
  SCOPED_TRACE(tree.dump());
  EXPECT_FALSE(tree.at("trak/tref/tmcd").container);
  EXPECT_EQ(tree.at("trak/tref/tmcd").u32(0), 3u);
  EXPECT_EQ(tree.at("trak/mdia/minf/gmhd/tmcd/tcmi").size, 42u);
}

TEST(BoxReader, MetaAsFullBoxOrPlainContainer) {
  Bytes data = box("data", cat({be32(1), zeros(4), text("Title")}));
  Bytes iso_meta = box("meta", cat({zeros(4), hdlr("mdir"), box("ilst", box("\xA9nam", data))}));
  Bytes keys = box("keys", cat({zeros(4), be32(1), box("mdta", text("com.apple.quicktime.make"))}));
  Bytes qt_meta =
      box("meta", cat({hdlr("mdta"), keys, box("ilst", box(std::string("\0\0\0\1", 4), data))}));
  Bytes file = box("moov", cat({qt_meta, box("udta", iso_meta)}));

  iso::Tree tree = iso::parse(file);
  SCOPED_TRACE(tree.dump());
  EXPECT_EQ(tree.at("moov/meta").child_offset, 0u);
  EXPECT_EQ(tree.at("moov/meta").child_types(), (std::vector<std::string>{"hdlr", "keys", "ilst"}));
  EXPECT_EQ(tree.at("moov/meta/keys/mdta").payload(), text("com.apple.quicktime.make"));
  EXPECT_EQ(tree.at("moov/meta/ilst/0x00000001/data").str(8, 5), "Title");
  EXPECT_EQ(tree.at("moov/udta/meta").child_offset, 4u);
  EXPECT_EQ(tree.at("moov/udta/meta/ilst/©nam/data").str(8, 5), "Title");
  EXPECT_NE(tree.dump().find("©nam"), std::string::npos);

  // Forcing a form: the plain meta read as a full box loses its first child.
  iso::ParseOptions full;
  full.meta = iso::MetaForm::kFull;
  iso::Tree forced = iso::parse(file, full);
  EXPECT_EQ(forced.at("moov/udta/meta").child_types(), (std::vector<std::string>{"hdlr", "ilst"}));
  EXPECT_EQ(forced.at("moov/meta").child_offset, 4u);
  iso::ParseOptions plain;
  plain.meta = iso::MetaForm::kPlain;
  EXPECT_EQ(iso::parse(file, plain).at("moov/meta").child_offset, 0u);
}

TEST(BoxReader, MalformedSizesAreReportedNotFollowed) {
  struct Case {
    const char* name;
    Bytes input;
    const char* path;      // box that carries the error
    const char* expected;  // part of the error text
  };
  Bytes past = box("moov", cat({box("mvhd", zeros(4)), be32(200), text("trak"), zeros(8)}));
  Bytes below = cat({box("free", {}), be32(4), text("junk"), box("moov", {})});
  Bytes cut64 = cat({be32(1), text("mdat"), zeros(4)});
  Bytes short_stsd = box("stsd", zeros(4));
  Bytes short_entry = box("stsd", cat({zeros(4), be32(1), box("avc1", zeros(30))}));
  Bytes small64 = cat({be32(1), text("mdat"), hex_bytes("00 00 00 00 00 00 00 08")});
  const Case cases[] = {
      {"child runs past parent", past, "moov/trak", "runs past"},
      {"size below header", below, "junk", "below its header"},
      {"64-bit size cut off", cut64, "mdat", "cut off"},
      {"64-bit size below header", small64, "mdat", "below its header"},
      {"counted container too short", short_stsd, "stsd", "too short"},
      {"sample entry too short", short_entry, "stsd/avc1", "too short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    iso::Tree tree = iso::parse(c.input);
    SCOPED_TRACE(tree.dump());
    const iso::Box* bad = tree.find(c.path);
    ASSERT_NE(bad, nullptr);
    EXPECT_NE(bad->error.find(c.expected), std::string::npos) << bad->error;
    EXPECT_LE(bad->offset + bad->size, c.input.size());
  }
  // A size below the header stops the walk: the moov behind it is not guessed at.
  EXPECT_EQ(iso::parse(below).types(), (std::vector<std::string>{"free", "junk"}));
}

TEST(BoxReader, TrailingBytesDeepNestingAndBoxLimit) {
  // QuickTime user data may end in a 32-bit zero.
  iso::Tree tree =
      iso::parse(cat({box("udta", cat({box("name", text("x")), zeros(4)})), zeros(3)}));
  EXPECT_EQ(tree.at("udta").trailing, 4u);
  EXPECT_EQ(tree.trailing, 3u);
  EXPECT_NE(tree.dump().find("(4 trailing bytes)"), std::string::npos);

  Bytes nested = box("free", {});
  for (int i = 0; i < 2000; ++i) nested = box("moov", nested);
  iso::Tree deep = iso::parse(nested);
  const iso::Box* b = &deep.boxes.at(0);
  int depth = 0;
  while (!b->children.empty()) b = &b->children[0], ++depth;
  EXPECT_EQ(depth, iso::ParseOptions{}.max_depth);
  EXPECT_EQ(b->error, "nested too deep");

  iso::ParseOptions few;
  few.max_boxes = 3;
  Bytes many;
  for (int i = 0; i < 10; ++i) many = cat({many, box("free", {})});
  iso::Tree limited = iso::parse(many, few);
  EXPECT_EQ(limited.boxes.size(), 3u);
  EXPECT_FALSE(limited.error.empty());
}

TEST(BoxReader, SurvivesRandomAndMutatedInput) {
  std::mt19937 rng(1234);
  Bytes valid = sample_file();
  for (int round = 0; round < 3000; ++round) {
    Bytes input;
    if (round % 2 == 0) {
      input = valid;
      int flips = 1 + static_cast<int>(rng() % 8);
      for (int k = 0; k < flips; ++k) input[rng() % input.size()] = static_cast<uint8_t>(rng());
      input.resize(rng() % (input.size() + 1));
    } else {
      input.resize(rng() % 200);
      for (uint8_t& byte : input) byte = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
    }
    iso::Tree tree = iso::parse(input);
    std::string listing = tree.dump();
    ASSERT_FALSE(tree.boxes.empty() && input.size() >= 8) << iso::hex(input);
    for (const iso::Box* stsd : tree.all("stsd")) {
      EXPECT_LE(stsd->offset + stsd->size, input.size());
    }
    (void)tree.find("moov/trak[1]/mdia/minf/stbl/stsd/*");
  }
}

TEST(BoxReader, ReadsFilesAndLeavesHugeBoxesOnDisk) {
  std::string path = test_temp_path("box_reader.mp4");
  Bytes file = sample_file();
  write_whole_file(path, file);
  iso::Tree from_file = iso::read_file(path);
  EXPECT_EQ(from_file.dump(), iso::parse(file).dump());
  EXPECT_EQ(from_file.input_size, file.size());

  iso::ParseOptions tight;
  tight.max_load = 12;  // mdat (16 bytes) stays on disk, the small boxes load
  iso::Tree partial = iso::read_file(path, tight);
  SCOPED_TRACE(partial.dump());
  const iso::Box& mdat = partial.at("mdat");
  EXPECT_FALSE(mdat.loaded);
  EXPECT_EQ(mdat.size, 16u);
  EXPECT_THROW(mdat.payload(), std::out_of_range);
  EXPECT_TRUE(partial.at("free").loaded);
  EXPECT_EQ(partial.types(), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));
  EXPECT_TRUE(partial.at("moov").children.empty());  // moov is larger than 12 as well
  std::remove(path.c_str());

  EXPECT_FALSE(iso::read_file(path).error.empty());  // gone
}

TEST(BoxReader, MemoryBoundsForListingAnyFile) {
  std::string path = test_temp_path("box_reader_bounds.mp4");
  Bytes file = sample_file();
  write_whole_file(path, file);

  // Named types stay on disk however small; the rest loads.
  iso::ParseOptions skip;
  skip.header_only = {"mdat"};
  iso::Tree tree = iso::read_file(path, skip);
  EXPECT_FALSE(tree.at("mdat").loaded);
  EXPECT_EQ(tree.at("mdat").size, 16u);
  EXPECT_TRUE(tree.at("moov").loaded);
  EXPECT_EQ(tree.types(), iso::parse(file).types());

  // Once the total is used up, later boxes keep their headers only.
  iso::ParseOptions total;
  total.max_total_load = tree.at("ftyp").size + tree.at("free").size;
  tree = iso::read_file(path, total);
  EXPECT_TRUE(tree.at("free").loaded);
  EXPECT_FALSE(tree.at("mdat").loaded);
  EXPECT_FALSE(tree.at("moov").loaded);
  EXPECT_EQ(tree.types(), iso::parse(file).types());

  // A size below its header in a box too large to load ends the walk with
  // the error (the next box cannot be found), as it does in memory.
  Bytes broken = cat({box("free", {}), be32(3), text("junk"), zeros(20)});
  write_whole_file(path, broken);
  iso::ParseOptions tight;
  tight.max_load = 12;
  tree = iso::read_file(path, tight);
  ASSERT_EQ(tree.boxes.size(), 2u) << tree.dump();
  EXPECT_NE(tree.boxes[1].error.find("below its header"), std::string::npos) << tree.dump();
  std::remove(path.c_str());

  // Not a file: an error, not a tree of zeros.
  tree = iso::read_file(MX_TEST_TMP_DIR);
  EXPECT_TRUE(tree.boxes.empty()) << tree.dump();
  EXPECT_NE(tree.error.find("not a regular file"), std::string::npos) << tree.error;
}

TEST(BoxReader, FileWithBrokenTopLevelSizes) {
  std::string path = test_temp_path("box_reader_broken.mp4");
  const Bytes inputs[] = {
      cat({box("free", {}), be32(3), text("junk"), zeros(20)}),
      cat({box("free", {}), be32(500), text("moov"), box("mvhd", zeros(4))}),
      cat({box("free", {}), be32(1), text("mdat"), zeros(2)}),
      cat({box("free", {}), zeros(5)}),
  };
  for (const Bytes& input : inputs) {
    write_whole_file(path, input);
    iso::Tree from_file = iso::read_file(path);
    iso::Tree in_memory = iso::parse(input);
    EXPECT_EQ(from_file.dump(), in_memory.dump());
  }
  std::remove(path.c_str());
}

}  // namespace
