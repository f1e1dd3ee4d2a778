// Movie user data: the udta/meta/ilst tree, item layouts, the cast and crew
// property list, ratings, cover art and long texts.
#include "boxes/metadata.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "boxes/boxes.h"
#include "support/box_capture.h"
#include "support/box_reader.h"
#include "support/test_files.h"
#include "support/tools.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kPlistHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\"  "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"
    "<plist version=\"1.0\"><dict>";
const std::string kPlistTail = "</dict></plist>";

Bytes text_bytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

iso::Tree udta_tree(BoxCapture& capture) {
  write_udta(capture.context());
  return iso::parse(capture.bytes());
}

// The `data` box of an item: {type, value}.
struct ItemData {
  uint32_t type;
  std::string value;
};

ItemData item_data(const iso::Box& item) {
  const iso::Box& data = item.at("data");
  EXPECT_EQ(data.u32(4), 0u) << "locale";
  return {data.u32(0), data.str(8, data.payload_size() - 8)};
}

std::string freeform_text(const iso::Tree& tree, const std::string& name) {
  for (const iso::Box* item : tree.all("----")) {
    if (item->at("name").str(4, 8) == name) return item_data(*item).value;
  }
  ADD_FAILURE() << "no free-form item " << name << "\n" << tree.dump();
  return {};
}

TEST(Udta, TitleOnlyMp4IsByteExact) {
  BoxCapture capture(kModeMp4);
  set_text(capture.metadata().title, "Title");
  capture.metadata().media_kind = 1;
  write_udta(capture.context());

  const std::string plist = kPlistHead + kPlistTail;  // 183 bytes
  const Bytes expected = cat({
      hex_bytes("000001ba 75647461"           // udta
                "000001b2 6d657461 00000000"  // meta, version and flags
                "00000021 68646c72 00000000 00000000 6d646972 6170706c 00000000 00000000 00"
                "00000185 696c7374"  // ilst
                "0000001d a96e616d"  // ©nam
                "00000015 64617461 00000001 00000000"),
      text_bytes("Title"),
      hex_bytes("00000019 68647664"  // hdvd: one byte, typed as a signed integer
                "00000011 64617461 00000015 00000000 00"
                "000000ff 2d2d2d2d"  // ---- iTunMOVI
                "0000001c 6d65616e 00000000"),
      text_bytes("com.apple.iTunes"),
      hex_bytes("00000014 6e616d65 00000000"),
      text_bytes("iTunMOVI"),
      hex_bytes("000000c7 64617461 00000001 00000000"),
      text_bytes(plist),
      hex_bytes("00000048 2d2d2d2d"  // ---- iTunEXTC with an empty text
                "0000001c 6d65616e 00000000"),
      text_bytes("com.apple.iTunes"),
      hex_bytes("00000014 6e616d65 00000000"),
      text_bytes("iTunEXTC"),
      hex_bytes("00000010 64617461 00000001 00000000"),
  });
  EXPECT_EQ(iso::hex(capture.bytes()), iso::hex(expected));
}

TEST(Udta, ModesWithoutItemsGetAnEmptyBox) {
  for (uint32_t mode : {kMode3gp, kModeKddi, kModeF4v}) {
    BoxCapture capture(mode);
    set_text(capture.metadata().title, "Title");
    write_udta(capture.context());
    EXPECT_EQ(iso::hex(capture.bytes()), "00 00 00 08 75 64 74 61") << "mode " << mode;
  }
}

TEST(Udta, ModesWithItems) {
  for (uint32_t mode : {kModeMp4, kModeMov, kModeM4a}) {
    BoxCapture capture(mode);
    set_text(capture.metadata().title, "Title");
    iso::Tree tree = udta_tree(capture);
    EXPECT_EQ(item_data(tree.at("udta/meta/ilst/©nam")).value, "Title") << "mode " << mode;
    EXPECT_EQ(tree.at("udta/meta/hdlr").fourcc(8), "mdir");
  }
}

std::vector<std::string> ilst_types(BoxCapture& capture) {
  iso::Tree tree = udta_tree(capture);
  const iso::Box* ilst = tree.find("udta/meta/ilst");
  if (ilst == nullptr) {
    ADD_FAILURE() << tree.dump();
    return {};
  }
  return ilst->child_types();
}

TEST(Udta, MediaKindDecidesStik) {
  struct Case {
    uint32_t fourcc;
    int32_t media_kind;
    std::vector<std::string> types;
  };
  const uint32_t mp4 = MX_FOURCC('M', 'P', '4', ' ');
  const uint32_t m4a = MX_FOURCC('M', '4', 'A', ' ');
  const Case cases[] = {
      {mp4, 1, {"©nam", "hdvd", "----", "----"}},
      {mp4, 0, {"©nam", "stik", "hdvd", "----", "----"}},
      // One media-kind item in every flavour, M4A included.
      {m4a, 9, {"©nam", "stik", "hdvd", "----", "----"}},
      {m4a, 1, {"©nam", "hdvd", "----", "----"}},
  };
  for (const Case& k : cases) {
    BoxCapture capture(k.fourcc == m4a ? kModeM4a : kModeMp4);
    capture.context()->format_fourcc = k.fourcc;
    capture.metadata().media_kind = k.media_kind;
    set_text(capture.metadata().title, "Title");
    EXPECT_EQ(ilst_types(capture), k.types) << "media kind " << k.media_kind;
  }

  BoxCapture capture(kModeM4a);
  capture.context()->format_fourcc = m4a;
  capture.metadata().media_kind = 9;
  iso::Tree tree = udta_tree(capture);
  ASSERT_EQ(tree.at("udta/meta/ilst").count("stik"), 1u);
  const iso::Box& stik = tree.at("udta/meta/ilst/stik");
  EXPECT_EQ(stik.size, 25u);
  EXPECT_EQ(stik.at("data").size, 17u);
  EXPECT_EQ(stik.at("data").u32(0), 21u);
  EXPECT_EQ(stik.at("data").u8(8), 9);
}

TEST(Udta, TvShowSwapsTitles) {
  BoxCapture capture;
  MovieMetadata& m = capture.metadata();
  m.media_kind = 10;
  set_text(m.title, "The Show");
  set_text(m.alt_title, "Pilot");
  m.season = 2;
  m.episode = 7;
  iso::Tree tree = udta_tree(capture);
  EXPECT_EQ(item_data(tree.at("udta/meta/ilst/©nam")).value, "Pilot");
  EXPECT_EQ(item_data(tree.at("udta/meta/ilst/tvsh")).value, "The Show");
  EXPECT_EQ(tree.at("udta/meta/ilst/stik/data").u8(8), 10);
  const iso::Box& season = tree.at("udta/meta/ilst/tvsn/data");
  EXPECT_EQ(season.size, 20u);
  EXPECT_EQ(season.u32(0), 21u);
  EXPECT_EQ(season.u32(8), 2u);
  EXPECT_EQ(tree.at("udta/meta/ilst/tves/data").u32(8), 7u);
}

TEST(Udta, EveryItemInOrder) {
  static const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};
  const MxPicture cover = {jpeg, sizeof jpeg, 0};
  BoxCapture capture;
  MovieMetadata& m = capture.metadata();
  set_text(m.title, "Title");
  set_text(m.alt_title, "Show");
  set_text(m.artist, "Artist");
  set_text(m.album, "Album");
  m.media_kind = 6;
  set_text(m.date, "2024-05-01");
  m.season = 1;
  m.episode = 3;
  set_text(m.description, "Short");
  set_text(m.long_description, "Long");
  set_text(m.comment, "Comment");
  set_text(m.tv_network, "Network");
  m.hd_video = 1;
  set_text(m.genre, "Genre");
  m.cover_art = &cover;
  m.rating = 4;
  set_text(m.cast, "A");
  iso::Tree tree = udta_tree(capture);
  // clang-format off
  const std::vector<std::string> expected = {
      "©nam", "tvsh", "©ART", "©alb", "stik", "©day", "tvsn", "tves", "desc", "ldes",
      "©cmt", "tvnn", "hdvd", "©gen", "covr", "----", "----"};
  // clang-format on
  EXPECT_EQ(tree.at("udta/meta/ilst").child_types(), expected) << tree.dump();
  // clang-format off
  const char* texts[][2] = {
      {"©nam", "Title"}, {"tvsh", "Show"}, {"©ART", "Artist"}, {"©alb", "Album"},
      {"©day", "2024-05-01"}, {"desc", "Short"}, {"ldes", "Long"}, {"©cmt", "Comment"},
      {"tvnn", "Network"}, {"©gen", "Genre"}};
  // clang-format on
  for (auto& t : texts) {
    ItemData d = item_data(tree.at(std::string("udta/meta/ilst/") + t[0]));
    EXPECT_EQ(d.type, 1u) << t[0];
    EXPECT_EQ(d.value, t[1]) << t[0];
  }
  ItemData hd = item_data(tree.at("udta/meta/ilst/hdvd"));
  EXPECT_EQ(hd.type, 21u);
  EXPECT_EQ(hd.value, std::string(1, '\x01'));
  EXPECT_EQ(freeform_text(tree, "iTunEXTC"), "mpaa|R|400|");
}

TEST(Udta, EmptyTextsWriteNoItems) {
  BoxCapture capture;
  capture.metadata().media_kind = 1;
  EXPECT_EQ(ilst_types(capture), (std::vector<std::string>{"hdvd", "----", "----"}));
}

TEST(Udta, CoverArtByPictureKind) {
  std::vector<uint8_t> picture(1000, 0x89);
  struct Case {
    const char* what;
    const uint8_t* data;
    uint32_t size;
    uint32_t kind;
    int64_t data_type;  // -1: no covr
  };
  static const uint8_t zero_first[] = {0, 1, 2};
  const Case cases[] = {
      {"JPEG", picture.data(), 1000, 0, 13},  {"BMP", picture.data(), 1000, 1, 27},
      {"PNG", picture.data(), 1000, 2, 14},   {"unknown kind", picture.data(), 1000, 3, -1},
      {"null bytes", nullptr, 1000, 0, -1},   {"empty", picture.data(), 0, 0, -1},
      {"first byte 0", zero_first, 3, 0, -1},
  };
  for (const Case& k : cases) {
    const MxPicture cover = {k.data, k.size, k.kind};
    BoxCapture capture;
    capture.metadata().cover_art = &cover;
    iso::Tree tree = udta_tree(capture);
    const iso::Box* covr = tree.find("udta/meta/ilst/covr");
    if (k.data_type < 0) {
      EXPECT_EQ(covr, nullptr) << k.what;
      continue;
    }
    ASSERT_NE(covr, nullptr) << k.what;
    EXPECT_EQ(covr->size, 1024u) << k.what;
    const iso::Box& data = covr->at("data");
    EXPECT_EQ(data.size, 1016u);
    EXPECT_EQ(data.u32(0), static_cast<uint32_t>(k.data_type)) << k.what;
    EXPECT_EQ(data.str(8, 1000), std::string(picture.begin(), picture.end()));
  }
  BoxCapture capture;
  capture.metadata().cover_art = nullptr;
  EXPECT_EQ(udta_tree(capture).find("udta/meta/ilst/covr"), nullptr);
}

TEST(Udta, RatingTable) {
  const char* expected[] = {"",
                            "mpaa|G|100|",
                            "mpaa|PG|200|",
                            "mpaa|PG-13|300|",
                            "mpaa|R|400|",
                            "mpaa|NC-17|500|",
                            "mpaa|UNRATED|600|",
                            "us-tv|TV-Y|200|",
                            "us-tv|TV-Y7|100|",
                            "us-tv|TV-G|300|",
                            "us-tv|TV-PG|400|",
                            "us-tv|TV-14|500|",
                            "us-tv|TV-MA|600|",
                            ""};
  for (uint32_t r = 0; r < std::size(expected); ++r) {
    EXPECT_STREQ(rating_text(r), expected[r]) << r;
  }
  EXPECT_STREQ(rating_text(0xFFFFFFFFu), "");

  BoxCapture capture;
  capture.metadata().rating = 8;
  EXPECT_EQ(freeform_text(udta_tree(capture), "iTunEXTC"), "us-tv|TV-Y7|100|");
}

std::string names_xml(const std::string& key, std::initializer_list<std::string> names) {
  std::string s = "<key>" + key + "</key><array>";
  for (const std::string& n : names) s += "<dict><key>name</key><string>" + n + "</string></dict>";
  return s + "</array>";
}

TEST(CastAndCrew, NamesSplitAtBars) {
  struct Case {
    std::string text;
    std::string xml;
  };
  const Case cases[] = {
      {"", ""},
      {"Alice|Bob", names_xml("cast", {"Alice", "Bob"})},
      {"Alice", names_xml("cast", {"Alice"})},
      {"Alice|", names_xml("cast", {"Alice", ""})},
      {"Alice||Bob", names_xml("cast", {"Alice", "", "Bob"})},
      {"|", names_xml("cast", {"", ""})},
  };
  for (const Case& k : cases) {
    BoxCapture capture;
    set_text(capture.metadata().cast, k.text);
    EXPECT_EQ(make_cast_and_crew_plist(capture.metadata()), kPlistHead + k.xml + kPlistTail)
        << "'" << k.text << "'";
  }
}

TEST(CastAndCrew, ListsInOrderAndInTheItem) {
  BoxCapture capture;
  MovieMetadata& m = capture.metadata();
  set_text(m.screenwriters, "W");
  set_text(m.producers, "P1|P2");
  set_text(m.directors, "D");
  set_text(m.cast, "Alice|Bob");
  const std::string expected =
      kPlistHead + names_xml("cast", {"Alice", "Bob"}) + names_xml("directors", {"D"}) +
      names_xml("producers", {"P1", "P2"}) + names_xml("screenwriters", {"W"}) + kPlistTail;
  EXPECT_EQ(freeform_text(udta_tree(capture), "iTunMOVI"), expected);
}

TEST(CastAndCrew, NamesAreEscapedAndBounded) {
  struct Case {
    std::u16string text;
    std::string name;
  };
  const std::u16string long_name(150, u'x');
  const std::u16string pair_at_cut = std::u16string(98, u'y') + u"\U0001F600";
  const Case cases[] = {
      {u"Tom & Jerry", "Tom &amp; Jerry"},
      {u"<b>\"Q\" 'A'</b>", "&lt;b&gt;&quot;Q&quot; &apos;A&apos;&lt;/b&gt;"},
      {u"Bell\u0007Tab\tEnd\uFFFF", "BellTab\tEnd"},
      {u"Zo\u00EB \u5F20", "Zo\xC3\xAB \xE5\xBC\xA0"},
      {long_name, std::string(99, 'x')},
      {std::u16string(97, u'y') + u"\U0001F600", std::string(97, 'y') + "\xF0\x9F\x98\x80"},
      {pair_at_cut, std::string(98, 'y')},
  };
  for (const Case& k : cases) {
    BoxCapture capture;
    set_text(capture.metadata().directors, k.text);
    EXPECT_EQ(make_cast_and_crew_plist(capture.metadata()),
              kPlistHead + names_xml("directors", {k.name}) + kPlistTail);
  }
}

TEST(CastAndCrew, ListsFillingTheirFieldsStayWellFormed) {
  BoxCapture capture;
  MovieMetadata& m = capture.metadata();
  // No terminator in any list, and characters that need escaping everywhere.
  std::u16string hostile;
  for (size_t i = 0; i < 260; ++i) hostile += (i % 7 == 6) ? u'|' : (i % 2 ? u'&' : u'<');
  set_text(m.cast, hostile);
  set_text(m.directors, hostile);
  set_text(m.producers, hostile);
  set_text(m.screenwriters, hostile);
  m.description[0] = u'#';  // the field after the last list must not leak in
  const std::string plist = make_cast_and_crew_plist(m);
  EXPECT_EQ(plist.find('#'), std::string::npos);
  EXPECT_EQ(plist.find("<string>&lt;&amp;&lt;&amp;&lt;&amp;</string>"), plist.find("<string>"));

#ifndef _WIN32
  // xmllint is a Linux program; the text is the same on both builds.
  MX_REQUIRE_TOOLS("xmllint");
  const std::string path = test_temp_path("plist.xml");
  write_whole_file(path, Bytes(plist.begin(), plist.end()));
  EXPECT_EQ(std::system(("xmllint --nonet --noout " + path).c_str()), 0) << plist;
  std::remove(path.c_str());
#endif
}

TEST(ItemText, LongTextIsCutAtACharacterBoundary) {
  // 'a' and 519 three-byte characters: 1558 UTF-8 bytes for a 1024-byte buffer.
  BoxCapture capture;
  MovieMetadata& m = capture.metadata();
  set_text(m.title, u"a" + std::u16string(519, u'\u4E2D'));
  set_text(m.alt_title, "Short");
  iso::Tree tree = udta_tree(capture);
  std::string expected = "a";
  for (int i = 0; i < 340; ++i) expected += "\xE4\xB8\xAD";
  EXPECT_EQ(expected.size(), 1021u);
  EXPECT_EQ(item_data(tree.at("udta/meta/ilst/©nam")).value, expected);
  EXPECT_EQ(item_data(tree.at("udta/meta/ilst/tvsh")).value, "Short");
}

TEST(ItemText, OverlongTextDoesNotRepeatThePreviousItem) {
  BoxCapture capture;
  MovieMetadata& m = capture.metadata();
  set_text(m.artist, "Artist");
  set_text(m.album, std::u16string(519, u'\u00E9'));  // 1038 bytes
  iso::Tree tree = udta_tree(capture);
  const std::string album = item_data(tree.at("udta/meta/ilst/©alb")).value;
  EXPECT_EQ(album.size(), 1022u);
  EXPECT_EQ(album.substr(0, 2), "\xC3\xA9");
}

TEST(ItemText, FieldWithoutTerminatorEndsAtItsCapacity) {
  BoxCapture capture;
  MovieMetadata& m = capture.metadata();
  set_text(m.title, std::u16string(520, u't'));  // fills the field, no terminator
  set_text(m.album, "Album");
  iso::Tree tree = udta_tree(capture);
  EXPECT_EQ(item_data(tree.at("udta/meta/ilst/©nam")).value, std::string(520, 't'));
}

TEST(Items, IntegerWidths) {
  BoxCapture capture;
  write_int_item(capture.context(), "tvsn", 32, 0x01020304);
  write_int_item(capture.context(), "stik", 8, 0x1FF);
  write_int_item(capture.context(), "hdvd", 16, 2);
  EXPECT_EQ(capture.bytes(), hex_bytes("0000001c 7476736e 00000014 64617461 00000015 00000000"
                                       "01020304"
                                       "00000019 7374696b 00000011 64617461 00000015 00000000 ff"
                                       "0000001a 68647664 00000012 64617461 00000015 00000000"
                                       "0002"));
}

}  // namespace
