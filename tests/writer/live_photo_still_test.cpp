// The sibling image plug-in: the Live Photo still with its Exif maker note.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "imageenc/mx_image_enc.h"
#include "support/box_reader.h"
#include "support/library.h"
#include "support/test_files.h"
#include "support/tools.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kId[] = "0A1B2C3D-4E5F-4A6B-8C7D-8E9FA0B1C2D3";

AddPicLivephotoMetaInfoFn load_plugin() {
  static void* library =
      open_library(std::string(MX_BIN_DIR) + "/PlugIns/" + library_file("mx_ImageEnc"));
  if (library == nullptr) return nullptr;
  return reinterpret_cast<AddPicLivephotoMetaInfoFn>(
      library_symbol(library, "AddPicLivephotoMetaInfo"));
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text_bytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A marker segment with its length field.
Bytes segment(uint8_t marker, const Bytes& payload) {
  const size_t n = payload.size() + 2;
  return cat({{0xFF, marker, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}, payload});
}

// A structurally valid JPEG (not decodable): JFIF, a table, scan data, EOI.
const Bytes kJfif = segment(0xE0, hex_bytes("4a464946 00 0101 00 0001 0001 00 00"));
const Bytes kBody = cat({segment(0xDB, {0x00, 0x01, 0x02}), segment(0xDA, {0xAA, 0xBB}),
                         hex_bytes("11 22 ff 00 33 ff d9")});

// Bounded big-endian reads of a byte vector; out of range throws.
struct Reader {
  const Bytes& b;
  uint32_t u8(size_t at) const { return b.at(at); }
  uint32_t u16(size_t at) const { return u8(at) << 8 | u8(at + 1); }
  uint32_t u32(size_t at) const { return u16(at) << 16 | u16(at + 2); }
  std::string str(size_t at, size_t n) const {
    if (at + n > b.size()) throw std::out_of_range("string past the end");
    return std::string(b.begin() + at, b.begin() + at + n);
  }
};

struct Segment {
  uint8_t marker;
  Bytes payload;  // after the length field
};

// The marker segments before the scan.
std::vector<Segment> header_segments(const Bytes& jpeg) {
  Reader r{jpeg};
  EXPECT_EQ(r.u16(0), 0xFFD8u);
  std::vector<Segment> out;
  for (size_t pos = 2;;) {
    EXPECT_EQ(r.u8(pos), 0xFFu);
    const uint8_t marker = static_cast<uint8_t>(r.u8(pos + 1));
    const size_t length = r.u16(pos + 2);
    if (pos + 2 + length > jpeg.size()) throw std::out_of_range("segment past the end");
    Bytes payload(jpeg.begin() + pos + 4, jpeg.begin() + pos + 2 + length);
    out.push_back({marker, payload});
    if (marker == 0xDA) return out;
    pos += 2 + length;
  }
}

// A TIFF structure read back in either byte order, bounded (out of range throws).
struct Tiff {
  struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t value_offset;  // where the value lies in the structure
    Bytes value;
  };

  Bytes data;
  bool little = false;

  explicit Tiff(const Bytes& app1_payload) {
    EXPECT_EQ(Reader{app1_payload}.str(0, 6), std::string("Exif\0\0", 6));
    data.assign(app1_payload.begin() + 6, app1_payload.end());
    const std::string order = Reader{data}.str(0, 2);
    EXPECT_TRUE(order == "II" || order == "MM") << order;
    little = order == "II";
    EXPECT_EQ(u16(2), 42u);
  }
  uint32_t u16(size_t at) const {
    return little ? data.at(at) | data.at(at + 1) << 8 : data.at(at) << 8 | data.at(at + 1);
  }
  uint32_t u32(size_t at) const {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  }
  static uint32_t type_size(uint16_t type) {
    static const uint32_t sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < 14 ? sizes[type] : 0;
  }
  // The directory at `at`, entries in their order; `next` gets the next offset.
  std::vector<Entry> directory(size_t at, uint32_t* next = nullptr) const {
    std::vector<Entry> entries;
    for (uint32_t i = 0, n = u16(at); i < n; ++i) {
      const size_t e = at + 2 + 12 * i;
      Entry entry{
          static_cast<uint16_t>(u16(e)), static_cast<uint16_t>(u16(e + 2)), u32(e + 4), 0, {}};
      const size_t bytes = size_t{entry.count} * type_size(entry.type);
      entry.value_offset = bytes <= 4 ? static_cast<uint32_t>(e + 8) : u32(e + 8);
      if (entry.value_offset + bytes > data.size()) throw std::out_of_range("value past the end");
      entry.value.assign(data.begin() + entry.value_offset,
                         data.begin() + entry.value_offset + bytes);
      entries.push_back(entry);
    }
    if (next) *next = u32(at + 2 + 12 * u16(at));
    return entries;
  }
  static const Entry& entry(const std::vector<Entry>& ifd, uint16_t tag) {
    for (const Entry& e : ifd)
      if (e.tag == tag) return e;
    throw std::runtime_error("tag " + std::to_string(tag) + " not found");
  }
  static std::vector<uint16_t> tags(const std::vector<Entry>& ifd) {
    std::vector<uint16_t> out;
    for (const Entry& e : ifd) out.push_back(e.tag);
    return out;
  }
  uint32_t number(const Entry& e) const {
    return e.type == 3 ? u16(e.value_offset) : u32(e.value_offset);
  }
  std::vector<Entry> ifd0(uint32_t* next = nullptr) const { return directory(u32(4), next); }
  std::vector<Entry> pointed(const std::vector<Entry>& ifd, uint16_t tag) const {
    return directory(number(entry(ifd, tag)));
  }
};

// Follows IFD0 -> Exif sub-IFD -> MakerNote -> tag 0x0011 of an Exif segment's
// payload, checking each step, and returns the content identifier.
std::string content_identifier(const Bytes& app1) {
  const Tiff tiff(app1);
  const std::vector<Tiff::Entry> ifd0 = tiff.ifd0();
  EXPECT_EQ(Tiff::entry(ifd0, 0x8769).type, 4u) << "LONG";
  const Tiff::Entry maker_note = Tiff::entry(tiff.pointed(ifd0, 0x8769), 0x927C);
  EXPECT_EQ(maker_note.type, 7u) << "UNDEFINED";
  const Bytes& note = maker_note.value;
  Reader m{note};
  EXPECT_EQ(m.str(0, 10), std::string("Apple iOS\0", 10));
  EXPECT_EQ(m.u16(10), 1u);
  EXPECT_EQ(m.str(12, 2), "MM");
  const size_t id_entry = [&] {
    for (uint32_t i = 0, n = m.u16(14); i < n; ++i) {
      if (m.u16(16 + 12 * i) == 0x0011) return size_t{16 + 12 * i};
    }
    throw std::runtime_error("no ContentIdentifier");
  }();
  EXPECT_EQ(m.u16(id_entry + 2), 2u) << "ASCII";
  const uint32_t count = m.u32(id_entry + 4);
  const std::string value =
      count <= 4 ? m.str(id_entry + 8, count) : m.str(m.u32(id_entry + 8), count);
  EXPECT_EQ(value.back(), '\0');
  return value.substr(0, value.size() - 1);
}

// Runs the plug-in on bytes and returns the file it wrote.
Bytes write_still(const Bytes& input, const char* id = kId) {
  AddPicLivephotoMetaInfoFn add = load_plugin();
  if (add == nullptr) throw std::runtime_error("image plug-in not built");
  const std::string path = test_temp_path("still.jpg");
  std::remove(path.c_str());
  EXPECT_EQ(add(path.c_str(), input.data(), static_cast<uint32_t>(input.size()), id),
            MX_STILL_WRITTEN);
  Bytes out = read_whole_file(path);
  std::remove(path.c_str());
  return out;
}

// A picture without Exif gets a big-endian one: the tags a reader requires of
// a JPEG's Exif and the maker note, each directory in tag order, every value
// longer than four bytes at an even offset.
TEST(LivePhotoStill, ExifSegmentIsByteExactAfterSoi) {
  const Bytes input = cat({{0xFF, 0xD8}, kJfif, kBody});
  const Bytes exif = cat({
      hex_bytes("ffe1 00ea 457869660000"                       // APP1, length 234, "Exif\0\0"
                "4d4d 002a 00000008"                           // TIFF header, big-endian, IFD0 at 8
                "0005"                                         // IFD0: 5 entries
                "011a 0005 00000001 0000004a"                  //   XResolution at 74
                "011b 0005 00000001 00000052"                  //   YResolution at 82
                "0128 0003 00000001 00020000"                  //   ResolutionUnit 2 (inch)
                "0213 0003 00000001 00010000"                  //   YCbCrPositioning 1 (centred)
                "8769 0004 00000001 0000005a"                  //   Exif IFD at 90
                "00000000"                                     //   no IFD1
                "00000048 00000001 00000048 00000001"          //   72/1, 72/1
                "0005"                                         // Exif IFD: 5 entries
                "9000 0007 00000004 30323332"                  //   ExifVersion "0232"
                "9101 0007 00000004 01020300"                  //   ComponentsConfiguration YCbCr
                "927c 0007 00000045 0000009c"                  //   MakerNote: 69 bytes at 156
                "a000 0007 00000004 30313030"                  //   FlashpixVersion "0100"
                "a001 0003 00000001 00010000"                  //   ColorSpace 1 (sRGB)
                "00000000"                                     //
                "4170706c6520694f5300 0001 4d4d"               // "Apple iOS\0", 1, "MM"
                "0001 0011 0002 00000025 00000020 00000000"),  // ContentIdentifier at 32
      text_bytes(kId),
      {0x00, 0x00},  // terminator, and the pad to an even size
  });
  const Bytes expected = cat({{0xFF, 0xD8}, exif, kJfif, kBody});
  EXPECT_EQ(iso::hex(write_still(input)), iso::hex(expected));
}

// A little-endian camera Exif, as cameras write it (hand-made: offsets from
// the TIFF header). IFD0: Make, Orientation 6, XResolution 300/1, then the GPS
// and Exif pointers (out of tag order); Exif IFD: DateTimeOriginal, another
// vendor's maker note, an Interop pointer; Interop IFD: "R98"; GPS IFD: N 48
// 6 0; IFD1: a 4-byte JPEG thumbnail.
const Bytes kCameraTiff = hex_bytes(R"(
  49 49 2a 00 08 00 00 00
  05 00 0f 01 02 00 06 00 00 00 4a 00 00 00  12 01 03 00 01 00 00 00 06 00 00 00
        1a 01 05 00 01 00 00 00 50 00 00 00  25 88 04 00 01 00 00 00 b0 00 00 00
        69 87 04 00 01 00 00 00 58 00 00 00  e6 00 00 00
  43 61 6e 6f 6e 00  2c 01 00 00 01 00 00 00
  03 00 03 90 02 00 14 00 00 00 82 00 00 00  7c 92 07 00 08 00 00 00 96 00 00 00
        05 a0 04 00 01 00 00 00 9e 00 00 00  00 00 00 00
  32 30 32 34 3a 30 35 3a 30 31 20 31 30 3a 30 30 3a 30 30 00  4f 4c 44 4e 4f 54 45 21
  01 00 01 00 02 00 04 00 00 00 52 39 38 00  00 00 00 00
  02 00 01 00 02 00 02 00 00 00 4e 00 00 00  02 00 05 00 03 00 00 00 ce 00 00 00
        00 00 00 00
  30 00 00 00 01 00 00 00 06 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00
  03 00 03 01 03 00 01 00 00 00 06 00 00 00  01 02 04 00 01 00 00 00 10 01 00 00
        02 02 04 00 01 00 00 00 04 00 00 00  00 00 00 00
  ff d8 ff d9
)");

const std::string kExifTag("Exif\0\0", 6);

// The picture's own Exif stays: every tag it had keeps its value, in its byte
// order; its maker note gives way to ours; the thumbnail moves along; the
// required tags it lacked are added, the frame size from the SOF segment.
TEST(LivePhotoStill, ThePicturesExifIsMergedInItsByteOrder) {
  const Bytes sof = segment(0xC0, hex_bytes("08 0030 0040 03 011100 021101 031101"));  // 64x48
  const Bytes input = cat(
      {{0xFF, 0xD8}, segment(0xE1, cat({text_bytes(kExifTag), kCameraTiff})), kJfif, sof, kBody});
  const Bytes out = write_still(input);
  std::vector<Segment> segments = header_segments(out);
  ASSERT_EQ(segments.size(), 5u);
  EXPECT_EQ(segments[0].marker, 0xE1);
  EXPECT_EQ(segments[1].marker, 0xE0);
  EXPECT_EQ(segments[2].marker, 0xC0);
  EXPECT_EQ(content_identifier(segments[0].payload), kId);

  const Tiff tiff(segments[0].payload);
  EXPECT_TRUE(tiff.little);
  uint32_t ifd1_at = 0;
  const auto ifd0 = tiff.ifd0(&ifd1_at);
  const auto exif = tiff.pointed(ifd0, 0x8769);
  const auto interop = tiff.pointed(exif, 0xA005);
  const auto gps = tiff.pointed(ifd0, 0x8825);
  const auto ifd1 = tiff.directory(ifd1_at);
  using Tags = std::vector<uint16_t>;
  EXPECT_EQ(Tiff::tags(ifd0),
            (Tags{0x010F, 0x0112, 0x011A, 0x011B, 0x0128, 0x0213, 0x8769, 0x8825}));
  EXPECT_EQ(Tiff::tags(exif),
            (Tags{0x9000, 0x9003, 0x9101, 0x927C, 0xA000, 0xA001, 0xA002, 0xA003, 0xA005}));
  EXPECT_EQ(Tiff::tags(interop), Tags{0x0001});
  EXPECT_EQ(Tiff::tags(gps), (Tags{0x0001, 0x0002}));
  EXPECT_EQ(Tiff::tags(ifd1), (Tags{0x0103, 0x0201, 0x0202}));

  // Kept as the camera wrote them.
  EXPECT_EQ(Tiff::entry(ifd0, 0x010F).value, text_bytes(std::string("Canon\0", 6)));
  EXPECT_EQ(tiff.number(Tiff::entry(ifd0, 0x0112)), 6u);
  EXPECT_EQ(Tiff::entry(ifd0, 0x011A).value, hex_bytes("2c010000 01000000"));  // 300/1
  EXPECT_EQ(Tiff::entry(exif, 0x9003).value, text_bytes(std::string("2024:05:01 10:00:00\0", 20)));
  EXPECT_EQ(Tiff::entry(interop, 0x0001).value, text_bytes(std::string("R98\0", 4)));
  EXPECT_EQ(Tiff::entry(gps, 0x0001).value, text_bytes(std::string("N\0", 2)));
  EXPECT_EQ(Tiff::entry(gps, 0x0002).value,
            hex_bytes("30000000 01000000 06000000 01000000 00000000 01000000"));
  EXPECT_EQ(tiff.number(Tiff::entry(ifd1, 0x0103)), 6u);
  const uint32_t thumbnail_at = tiff.number(Tiff::entry(ifd1, 0x0201));
  EXPECT_EQ(tiff.number(Tiff::entry(ifd1, 0x0202)), 4u);
  ASSERT_LE(thumbnail_at + 4, tiff.data.size());
  EXPECT_EQ(Bytes(tiff.data.begin() + thumbnail_at, tiff.data.begin() + thumbnail_at + 4),
            hex_bytes("ff d8 ff d9"));
  // Added, in the picture's byte order.
  EXPECT_EQ(Tiff::entry(ifd0, 0x011B).value, hex_bytes("48000000 01000000"));  // 72/1
  EXPECT_EQ(tiff.number(Tiff::entry(ifd0, 0x0128)), 2u);
  EXPECT_EQ(tiff.number(Tiff::entry(ifd0, 0x0213)), 1u);
  EXPECT_EQ(Tiff::entry(exif, 0x9000).value, text_bytes("0232"));
  EXPECT_EQ(Tiff::entry(exif, 0x9101).value, hex_bytes("01 02 03 00"));
  EXPECT_EQ(Tiff::entry(exif, 0xA000).value, text_bytes("0100"));
  EXPECT_EQ(tiff.number(Tiff::entry(exif, 0xA001)), 1u);
  EXPECT_EQ(tiff.number(Tiff::entry(exif, 0xA002)), 64u);
  EXPECT_EQ(tiff.number(Tiff::entry(exif, 0xA003)), 48u);
  // Out-of-line values start at even offsets.
  for (const auto* ifd : {&ifd0, &exif, &interop, &gps, &ifd1}) {
    for (const Tiff::Entry& e : *ifd) {
      if (e.value.size() > 4) {
        EXPECT_EQ(e.value_offset % 2, 0u) << std::hex << e.tag;
      }
    }
  }
}

// Exif segments that hold nothing usable, or pointers that lead nowhere,
// circles and counts past the end: whatever can be read is kept, the rest is
// left out, and the still always gets a complete Exif with the identifier.
TEST(LivePhotoStill, DamagedExifIsReadWithBounds) {
  const Bytes tiffs[] = {
      {},                                    // nothing after "Exif\0\0"
      hex_bytes("4d4d 002a"),                // header cut short
      hex_bytes("4a4a 002a 00000008"),       // unknown byte order
      hex_bytes("4d4d 002b 00000008"),       // not 42
      hex_bytes("4d4d 002a 0000ffff"),       // IFD0 past the end
      hex_bytes("4d4d 002a 00000008 ffff"),  // 65535 entries
      // IFD1 is IFD0
      hex_bytes("4d4d 002a 00000008 0001 0112 0003 00000001 00060000 00000008"),
      // the Exif IFD is IFD0
      hex_bytes("4d4d 002a 00000008 0001 8769 0004 00000001 00000008 00000000"),
      // a value longer than the structure
      hex_bytes("4d4d 002a 00000008 0001 010f 0002 00001000 00000008 00000000"),
      // a type no reader knows
      hex_bytes("4d4d 002a 00000008 0001 010f 0063 00000001 00000000 00000000"),
      // an offset into the old structure
      hex_bytes("4d4d 002a 00000008 0001 0201 0004 00000001 7fffffff 00000000"),
  };
  for (const Bytes& tiff : tiffs) {
    SCOPED_TRACE(iso::hex(tiff));
    const Bytes input =
        cat({{0xFF, 0xD8}, segment(0xE1, cat({text_bytes(kExifTag), tiff})), kBody});
    const Bytes out = write_still(input);
    std::vector<Segment> segments = header_segments(out);
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(content_identifier(segments[0].payload), kId);
    const Tiff merged(segments[0].payload);
    const auto ifd0 = merged.ifd0();
    EXPECT_NO_THROW(Tiff::entry(ifd0, 0x0213));
    for (const Tiff::Entry& e : ifd0) EXPECT_NE(e.tag, 0x0201) << "an offset into the old Exif";
  }

  // The camera structure with random bytes changed: counts, types, offsets
  // and pointers go wrong in every way; the sanitizer build sees any read
  // outside the segment.
  std::mt19937 random(20240502);
  for (int round = 0; round < 400; ++round) {
    Bytes tiff = kCameraTiff;
    for (int k = 0, n = 1 + static_cast<int>(random() % 6); k < n; ++k)
      tiff[8 + random() % (tiff.size() - 8)] = static_cast<uint8_t>(random());
    const Bytes input =
        cat({{0xFF, 0xD8}, segment(0xE1, cat({text_bytes(kExifTag), tiff})), kBody});
    const Bytes out = write_still(input);
    std::vector<Segment> segments = header_segments(out);
    ASSERT_EQ(segments.size(), 3u) << "round " << round;
    EXPECT_EQ(content_identifier(segments[0].payload), kId) << "round " << round;
  }
}

TEST(LivePhotoStill, ExistingExifIsMergedOtherSegmentsKept) {
  const Bytes old_exif = segment(0xE1, cat({text_bytes(std::string("Exif\0\0", 6)),
                                            hex_bytes("4d4d002a 00000008 0000 00000000")}));
  const Bytes xmp =
      segment(0xE1, text_bytes(std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 33)));
  const Bytes input = cat({{0xFF, 0xD8}, kJfif, old_exif, xmp, kBody});
  const Bytes out = write_still(input);
  std::vector<Segment> segments = header_segments(out);
  ASSERT_EQ(segments.size(), 5u);
  EXPECT_EQ(segments[0].marker, 0xE1);
  EXPECT_EQ(content_identifier(segments[0].payload), kId);
  EXPECT_EQ(segments[1].marker, 0xE0);
  EXPECT_EQ(segments[2].marker, 0xE1);
  EXPECT_EQ(Reader{segments[2].payload}.str(0, 28), "http://ns.adobe.com/xap/1.0/");
  EXPECT_EQ(segments[3].marker, 0xDB);
  EXPECT_EQ(segments[4].marker, 0xDA);
  // The scan and what follows it are untouched.
  EXPECT_EQ(Bytes(out.end() - 7, out.end()), hex_bytes("11 22 ff 00 33 ff d9"));
}

TEST(LivePhotoStill, IdentifiersOfAnyLength) {
  for (const std::string& id : {std::string("A"), std::string("ABC"), std::string("ABCD"),
                                std::string(kId), std::string(1000, 'x')}) {
    const Bytes out = write_still(cat({{0xFF, 0xD8}, kBody}), id.c_str());
    EXPECT_EQ(content_identifier(header_segments(out)[0].payload), id);
  }
}

TEST(LivePhotoStill, MalformedSegmentsAreCopiedAsTheyStand) {
  const Bytes tails[] = {
      hex_bytes("ffe0 ffff 0102"),  // length past the end
      hex_bytes("ffe0 0001"),       // length below its own field
      hex_bytes("ff"),              // cut inside a marker
      hex_bytes("12 34 56"),        // no marker at all
      {},                           // nothing after SOI
  };
  for (const Bytes& tail : tails) {
    const Bytes out = write_still(cat({{0xFF, 0xD8}, tail}));
    ASSERT_GT(out.size(), 6u);
    const size_t exif_size = 2 + (size_t{out[4]} << 8 | out[5]);
    ASSERT_LE(2 + exif_size, out.size());
    EXPECT_EQ(Bytes(out.begin() + 2 + exif_size, out.end()), tail);
  }
}

TEST(LivePhotoStill, RandomHeadersNeverLoseTheIdentifier) {
  // Marker-heavy noise: every input is walked with bounds, and the output
  // always starts with our Exif segment followed by bytes of the input.
  std::mt19937 random(20240501);
  for (int round = 0; round < 300; ++round) {
    Bytes input = {0xFF, 0xD8};
    const int pieces = static_cast<int>(random() % 8);
    for (int i = 0; i < pieces; ++i) {
      switch (random() % 4) {
        case 0:
          input.insert(input.end(), {0xFF, static_cast<uint8_t>(0xC0 + random() % 64)});
          break;
        case 1:
          input.push_back(0xFF);
          break;
        case 2: {
          const size_t n = random() % 40;
          Bytes payload(n);
          for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
          if (random() % 2 && n >= 6) std::memcpy(payload.data(), "Exif\0\0", 6);
          Bytes seg = segment(random() % 2 ? 0xE1 : 0xE0, payload);
          if (random() % 4 == 0) seg[2] = static_cast<uint8_t>(random());  // a wrong length
          input.insert(input.end(), seg.begin(), seg.end());
          break;
        }
        default:
          input.push_back(static_cast<uint8_t>(random()));
      }
    }
    const Bytes out = write_still(input);
    ASSERT_GE(out.size(), 6u);
    const size_t exif_size = 2 + (size_t{out[4]} << 8 | out[5]);
    ASSERT_LE(2 + exif_size, out.size());
    EXPECT_EQ(content_identifier(Bytes(out.begin() + 6, out.begin() + 2 + exif_size)), kId);
    EXPECT_LE(out.size() - exif_size, input.size()) << "round " << round;
  }
}

TEST(LivePhotoStill, RefusesWhatItCannotWrite) {
  AddPicLivephotoMetaInfoFn add = load_plugin();
  ASSERT_NE(add, nullptr);
  const Bytes jpeg = cat({{0xFF, 0xD8}, kBody});
  const Bytes png = hex_bytes("89504e47 0d0a1a0a");
  const std::string path = test_temp_path("refused.jpg");
  const std::string missing_dir = test_temp_path("no-such-dir") + "/still.jpg";
  const std::string long_id(60001, 'x');
  const uint32_t size = static_cast<uint32_t>(jpeg.size());
  struct Case {
    const char* what;
    const char* path;
    const uint8_t* bytes;
    uint32_t size;
    const char* id;
    uint32_t result;
  };
  const Case cases[] = {
      {"null path", nullptr, jpeg.data(), size, kId, MX_STILL_BAD_ARGUMENTS},
      {"empty path", "", jpeg.data(), size, kId, MX_STILL_BAD_ARGUMENTS},
      {"null bytes", path.c_str(), nullptr, 10, kId, MX_STILL_BAD_ARGUMENTS},
      {"null id", path.c_str(), jpeg.data(), size, nullptr, MX_STILL_BAD_ARGUMENTS},
      {"empty id", path.c_str(), jpeg.data(), size, "", MX_STILL_BAD_ARGUMENTS},
      {"overlong id", path.c_str(), jpeg.data(), size, long_id.c_str(), MX_STILL_BAD_ARGUMENTS},
      {"PNG", path.c_str(), png.data(), static_cast<uint32_t>(png.size()), kId, MX_STILL_NOT_JPEG},
      {"one byte", path.c_str(), jpeg.data(), 1, kId, MX_STILL_NOT_JPEG},
      {"no folder", missing_dir.c_str(), jpeg.data(), size, kId, MX_STILL_WRITE_FAILED},
  };
  for (const Case& k : cases) {
    std::remove(path.c_str());
    EXPECT_EQ(add(k.path, k.bytes, k.size, k.id), k.result) << k.what;
    FILE* left = std::fopen(path.c_str(), "rb");
    EXPECT_EQ(left, nullptr) << k.what << " left a file";
    if (left) std::fclose(left);
  }
}

// The readers are Linux programs: the Windows build is checked against them
// through the files it writes (scripts/test-windows).
#ifndef _WIN32
std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// A picture as a camera leaves it (orientation, capture date, GPS, camera,
// artist) and one with no Exif at all: the still keeps the picture's tags,
// carries the identifier, passes exiftool's validation without a warning, and
// still decodes.
TEST(LivePhotoStill, ReadersSeeTheIdentifierThePicturesTagsAndNoWarning) {
  MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "exiftool");
  const std::string source = test_temp_path("source.jpg");
  ASSERT_EQ(
      std::system(
          ("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48 -frames:v 1 " + source).c_str()),
      0);
  const Bytes plain = read_whole_file(source);
  ASSERT_EQ(run("exiftool -q -overwrite_original -Orientation#=6 "
                "'-DateTimeOriginal=2024:05:01 10:00:00' -GPSLatitude=48.1 -GPSLatitudeRef=N "
                "-GPSLongitude=11.5 -GPSLongitudeRef=E -Make=Canon -Model=EOS -Artist=Someone " +
                source + " && echo done"),
            "done");
  const Bytes camera = read_whole_file(source);
  AddPicLivephotoMetaInfoFn add = load_plugin();
  ASSERT_NE(add, nullptr);
  const std::string still = test_temp_path("reader-still.jpg");
  for (const Bytes* picture : {&camera, &plain}) {
    ASSERT_EQ(add(still.c_str(), picture->data(), uint32_t(picture->size()), kId),
              MX_STILL_WRITTEN);
    // Apple maker-note tag 0x0011: ContentIdentifier, named MediaGroupUUID by older exiftool.
    EXPECT_EQ(run("exiftool -s3 -Apple:ContentIdentifier -Apple:MediaGroupUUID " + still), kId);
    EXPECT_EQ(run("exiftool -s3 -validate -warning -error -a " + still), "OK");
    EXPECT_EQ(run("ffprobe -v error -show_entries stream=width,height -of csv=p=0 " + still),
              "64,48");
    EXPECT_EQ(run("ffmpeg -v error -i " + still + " -f null - 2>&1"), "");
  }
  ASSERT_EQ(add(still.c_str(), camera.data(), uint32_t(camera.size()), kId), MX_STILL_WRITTEN);
  EXPECT_EQ(run("exiftool -s3 -n -Orientation -DateTimeOriginal -GPSLatitudeRef -GPSLatitude "
                "-Make -Model -Artist " +
                still),
            "6\n2024:05:01 10:00:00\nN\n48.1\nCanon\nEOS\nSomeone");
  std::remove(source.c_str());
  std::remove(still.c_str());
}
#endif

}  // namespace
