// QuickTime movie metadata: the mdta handler, keys and items of the movie-level
// meta box, and the still-image-time sample entry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "boxes/boxes.h"
#include "support/box_capture.h"
#include "support/box_reader.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kContentId[] = "01234567-89AB-4CDE-8F01-23456789ABCD";

Bytes text_bytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

iso::Tree meta_tree(BoxCapture& capture) {
  write_mdta_meta(capture.context());
  iso::ParseOptions options;
  options.meta = iso::MetaForm::kPlain;
  return iso::parse(capture.bytes(), options);
}

// The key names of the keys box, checking each entry's namespace.
std::vector<std::string> key_names(const iso::Tree& tree) {
  const iso::Box& keys = tree.at("meta/keys");
  EXPECT_EQ(keys.u32(0), 0u) << "version and flags";
  EXPECT_EQ(keys.u32(4), keys.children.size()) << "entry count";
  std::vector<std::string> names;
  for (const iso::Box& entry : keys.children) {
    EXPECT_EQ(entry.type, "mdta");
    names.push_back(entry.str(0, entry.payload_size()));
  }
  return names;
}

struct Item {
  uint32_t key;
  uint32_t type;
  std::string value;
};

std::vector<Item> items(const iso::Tree& tree) {
  std::vector<Item> out;
  for (const iso::Box& item : tree.at("meta/ilst").children) {
    const uint8_t* t = reinterpret_cast<const uint8_t*>(item.type.data());
    const iso::Box& data = item.at("data");
    EXPECT_EQ(data.u32(4), 0u) << "locale";
    out.push_back({uint32_t(t[0]) << 24 | t[1] << 16 | t[2] << 8 | t[3], data.u32(0),
                   data.str(8, data.payload_size() - 8)});
  }
  return out;
}

TEST(MdtaMeta, LivePhotoOnlyIsByteExact) {
  BoxCapture capture(kModeMov);
  capture.context()->live_photo = 1;
  std::strcpy(capture.context()->content_id, kContentId);
  write_mdta_meta(capture.context());
  const Bytes expected = cat({
      hex_bytes("0000019f 6d657461"  // meta, no version or flags
                "00000022 68646c72 00000000 00000000 6d647461 00000000 00000000 00000000 0000"
                "000000dd 6b657973 00000000 00000004"
                "0000002b 6d647461"),
      text_bytes("com.apple.quicktime.live-photo.auto"),
      hex_bytes("0000002e 6d647461"),
      text_bytes("com.apple.quicktime.content.identifier"),
      hex_bytes("00000035 6d647461"),
      text_bytes("com.apple.quicktime.live-photo.vitality-score"),
      hex_bytes("0000003f 6d647461"),
      text_bytes("com.apple.quicktime.live-photo.vitality-scoring-version"),
      hex_bytes("00000098 696c7374"
                "0000001c 00000001 00000014 64617461 00000016 00000000 00000001"
                "0000003c 00000002 00000034 64617461 00000001 00000000"),
      text_bytes(kContentId),
      hex_bytes("0000001c 00000003 00000014 64617461 00000017 00000000 3f800000"
                "0000001c 00000004 00000014 64617461 00000015 00000000 00000004"),
  });
  EXPECT_EQ(iso::hex(capture.bytes()), iso::hex(expected));
}

TEST(MdtaMeta, EmptyIdentifierGetsTheFixedOne) {
  BoxCapture capture(kModeMov);
  capture.context()->live_photo = 1;
  iso::Tree tree = meta_tree(capture);
  std::vector<Item> list = items(tree);
  ASSERT_EQ(list.size(), 4u) << tree.dump();
  EXPECT_EQ(list[1].value, "52C25717-621D-4A42-8490-8A5EE2FFF31D");
}

TEST(MdtaMeta, DescriptiveKeysWithoutLivePhoto) {
  BoxCapture capture(kModeMp4);
  set_text(capture.metadata().make, "Maker");
  set_text(capture.metadata().software, u"Soft \u00E9");
  iso::Tree tree = meta_tree(capture);
  EXPECT_EQ(key_names(tree),
            (std::vector<std::string>{"com.apple.quicktime.make", "com.apple.quicktime.software"}));
  EXPECT_EQ(tree.at("meta/keys").children[0].size, 32u);
  EXPECT_EQ(tree.at("meta/keys").children[1].size, 36u);
  std::vector<Item> list = items(tree);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].key, 1u);
  EXPECT_EQ(list[0].type, 1u);
  EXPECT_EQ(list[0].value, "Maker");
  EXPECT_EQ(list[1].key, 2u);
  EXPECT_EQ(list[1].value, "Soft \xC3\xA9");
}

TEST(MdtaMeta, EveryKeyNumberedInOrder) {
  BoxCapture capture(kModeMov);
  MovieMetadata& m = capture.metadata();
  capture.context()->live_photo = 1;
  std::strcpy(capture.context()->content_id, kContentId);
  set_text(m.location_accuracy, "5.0");
  set_text(m.location_iso6709, "+48.8577+002.2950+035.000/");
  set_text(m.creation_date, "2024-05-01T10:00:00+0200");
  set_text(m.make, "Make");
  set_text(m.model, "Model");
  set_text(m.software, "17.4");
  iso::Tree tree = meta_tree(capture);
  const std::vector<std::string> expected_keys = {
      "com.apple.quicktime.live-photo.auto",
      "com.apple.quicktime.content.identifier",
      "com.apple.quicktime.live-photo.vitality-score",
      "com.apple.quicktime.live-photo.vitality-scoring-version",
      "com.apple.quicktime.location.accuracy.horizontal",
      "com.apple.quicktime.location.ISO6709",
      "com.apple.quicktime.creationdate",
      "com.apple.quicktime.make",
      "com.apple.quicktime.model",
      "com.apple.quicktime.software"};
  EXPECT_EQ(key_names(tree), expected_keys);
  const uint32_t sizes[] = {43, 46, 53, 63, 56, 44, 40, 32, 33, 36};
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(tree.at("meta/keys").children[i].size, sizes[i]);
  const char* values[] = {
      "5.0", "+48.8577+002.2950+035.000/", "2024-05-01T10:00:00+0200", "Make", "Model", "17.4"};
  std::vector<Item> list = items(tree);
  ASSERT_EQ(list.size(), 10u);
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(list[i].key, i + 1);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(list[4 + i].value, values[i]);
}

TEST(MdtaMeta, LongTextIsCutAndTheNextTextIsItsOwn) {
  BoxCapture capture(kModeMov);
  MovieMetadata& m = capture.metadata();
  set_text(m.make, std::u16string(500, u'\u20AC'));  // 1500 bytes of UTF-8, no terminator
  set_text(m.model, "M");
  iso::Tree tree = meta_tree(capture);
  std::vector<Item> list = items(tree);
  ASSERT_EQ(list.size(), 2u);
  std::string cut;
  for (int i = 0; i < 341; ++i) cut += "\xE2\x82\xAC";
  EXPECT_EQ(list[0].value, cut);
  EXPECT_EQ(list[1].value, "M");
}

TEST(MebxEntry, IsByteExact) {
  BoxCapture capture(kModeMov);
  write_mebx_entry(capture.context(), &capture.context()->tracks[0]);
  const Bytes expected = cat({
      hex_bytes("00000060 6d656278 000000000000 0001"  // mebx, reserved, data reference 1
                "00000050 6b657973"                    // keys
                "00000048 00000001"                    // local key 1
                "00000030 6b657964 6d647461"),         // keyd, namespace mdta
      text_bytes("com.apple.quicktime.still-image-time"),
      hex_bytes("00000010 64747970 00000000 00000041"),  // dtyp: well-known, signed 8-bit
  });
  EXPECT_EQ(expected.size(), 96u);
  EXPECT_EQ(iso::hex(capture.bytes()), iso::hex(expected));
}

}  // namespace
