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

// Follows IFD0 -> Exif sub-IFD -> MakerNote -> tag 0x0011 of an Exif segment's
// payload, checking each step, and returns the content identifier.
std::string content_identifier(const Bytes& app1) {
  Reader r{app1};
  EXPECT_EQ(r.str(0, 6), std::string("Exif\0\0", 6));
  const Bytes tiff(app1.begin() + 6, app1.end());
  Reader t{tiff};
  EXPECT_EQ(t.str(0, 2), "MM");
  EXPECT_EQ(t.u16(2), 42u);
  auto find_entry = [&](size_t ifd, uint32_t tag) -> size_t {
    for (uint32_t i = 0, n = t.u16(ifd); i < n; ++i) {
      if (t.u16(ifd + 2 + 12 * i) == tag) return ifd + 2 + 12 * i;
    }
    throw std::runtime_error("tag not found");
  };
  const size_t exif_pointer = find_entry(t.u32(4), 0x8769);
  EXPECT_EQ(t.u16(exif_pointer + 2), 4u) << "LONG";
  const size_t maker_note = find_entry(t.u32(exif_pointer + 8), 0x927C);
  EXPECT_EQ(t.u16(maker_note + 2), 7u) << "UNDEFINED";
  const size_t note_at = t.u32(maker_note + 8);
  const size_t note_size = t.u32(maker_note + 4);
  if (note_at + note_size > tiff.size()) throw std::out_of_range("maker note past the end");
  const Bytes note(tiff.begin() + note_at, tiff.begin() + note_at + note_size);
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

TEST(LivePhotoStill, ExifSegmentIsByteExactAfterSoi) {
  const Bytes input = cat({{0xFF, 0xD8}, kJfif, kBody});
  const Bytes exif = cat({
      hex_bytes("ffe1 0085 457869660000"                       // APP1, length 133, "Exif\0\0"
                "4d4d 002a 00000008"                           // TIFF header, big-endian, IFD0 at 8
                "0001 8769 0004 00000001 0000001a 00000000"    // IFD0: Exif IFD at 26
                "0002 9000 0007 00000004 30323332"             // Exif IFD: version "0232"
                "927c 0007 00000045 00000038 00000000"         // MakerNote: 69 bytes at 56
                "4170706c6520694f5300 0001 4d4d"               // "Apple iOS\0", 1, "MM"
                "0001 0011 0002 00000025 00000020 00000000"),  // ContentIdentifier at 32
      text_bytes(kId),
      {0x00},
  });
  const Bytes expected = cat({{0xFF, 0xD8}, exif, kJfif, kBody});
  EXPECT_EQ(iso::hex(write_still(input)), iso::hex(expected));
}

TEST(LivePhotoStill, ExistingExifIsReplacedOtherSegmentsKept) {
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
bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

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

TEST(LivePhotoStill, ReadersSeeTheIdentifierAndThePicture) {
  if (!have("ffmpeg") || !have("exiftool")) GTEST_SKIP() << "ffmpeg or exiftool not installed";
  const std::string source = test_temp_path("source.jpg");
  ASSERT_EQ(
      std::system(
          ("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48 -frames:v 1 " + source).c_str()),
      0);
  // Give the source an Exif block of its own, which the still replaces.
  run("exiftool -q -overwrite_original -Artist=Someone " + source);
  const Bytes picture = read_whole_file(source);
  const std::string still = test_temp_path("reader-still.jpg");
  AddPicLivephotoMetaInfoFn add = load_plugin();
  ASSERT_NE(add, nullptr);
  ASSERT_EQ(add(still.c_str(), picture.data(), uint32_t(picture.size()), kId), MX_STILL_WRITTEN);
  // Apple maker-note tag 0x0011: ContentIdentifier, named MediaGroupUUID by older exiftool.
  EXPECT_EQ(run("exiftool -s3 -Apple:ContentIdentifier -Apple:MediaGroupUUID " + still), kId);
  EXPECT_EQ(run("exiftool -s3 -Artist " + still), "");
  // Warnings name Exif tags a camera would add; errors would mean a broken structure.
  EXPECT_EQ(run("exiftool -s3 -validate -error " + still + " | grep -ci error"), "0");
  EXPECT_EQ(run("ffprobe -v error -show_entries stream=width,height -of csv=p=0 " + still),
            "64,48");
  EXPECT_EQ(run("ffmpeg -v error -i " + still + " -f null - 2>&1"), "");
  std::remove(source.c_str());
  std::remove(still.c_str());
}
#endif

}  // namespace
