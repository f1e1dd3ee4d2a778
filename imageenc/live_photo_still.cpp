// Writes the JPEG still of a Live Photo with the content identifier that pairs
// it with its movie.
//
// The identifier goes where phones keep it: an Exif segment (APP1) whose Exif
// sub-IFD holds an Apple maker note with tag 0x0011 (ContentIdentifier). The
// segment is placed right after the start-of-image marker; an Exif segment the
// picture already had is left out, since readers honour only one. Everything
// else in the picture is copied byte for byte.
#include <cstdio>
#include <cstring>
#include <vector>

#include "mx_image_enc.h"

namespace {

// Big-endian (TIFF "MM") byte appender.
struct Bytes {
  std::vector<uint8_t> v;
  void u8(uint32_t x) { v.push_back(static_cast<uint8_t>(x)); }
  void u16(uint32_t x) { u8(x >> 8), u8(x); }
  void u32(uint32_t x) { u16(x >> 16), u16(x); }
  void raw(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    v.insert(v.end(), b, b + n);
  }
  size_t size() const { return v.size(); }
};

enum TiffType : uint16_t { kAscii = 2, kLong = 4, kUndefined = 7 };

constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagExifVersion = 0x9000;
constexpr uint16_t kTagMakerNote = 0x927C;
constexpr uint16_t kTagContentIdentifier = 0x0011;

constexpr size_t kIfdEntrySize = 12;
// Largest identifier that keeps the Exif segment within its 16-bit length.
constexpr size_t kMaxContentIdLength = 60000;

// One IFD entry whose value (count bytes of data) lies at value_offset, or
// inline when it fits into the four value bytes.
void ifd_entry(Bytes& out, uint16_t tag, uint16_t type, uint32_t count, const void* value,
               size_t value_size, uint32_t value_offset) {
  out.u16(tag);
  out.u16(type);
  out.u32(count);
  if (value_size <= 4) {
    uint8_t inline_value[4] = {};
    std::memcpy(inline_value, value, value_size);
    out.raw(inline_value, 4);
  } else {
    out.u32(value_offset);
  }
}

// The Apple maker note: "Apple iOS\0", version 00 01, "MM", then an IFD whose
// out-of-line values are addressed from the start of the note.
std::vector<uint8_t> apple_maker_note(const char* content_id, size_t id_length) {
  Bytes note;
  note.raw("Apple iOS\0", 10);
  note.u16(1);
  note.raw("MM", 2);
  const uint32_t entries = 1;
  const uint32_t values_at = 16 + entries * kIfdEntrySize + 4;
  note.u16(entries);
  ifd_entry(note, kTagContentIdentifier, kAscii, static_cast<uint32_t>(id_length + 1), content_id,
            id_length + 1, values_at);
  note.u32(0);  // no next IFD
  if (id_length + 1 > 4) note.raw(content_id, id_length + 1);
  return note.v;
}

// The APP1 segment: marker, length, "Exif\0\0", then a big-endian TIFF
// structure IFD0 -> Exif sub-IFD -> MakerNote. Offsets count from the TIFF header.
std::vector<uint8_t> exif_segment(const char* content_id, size_t id_length) {
  const std::vector<uint8_t> note = apple_maker_note(content_id, id_length);

  const uint32_t ifd0_at = 8;
  const uint32_t exif_ifd_at = ifd0_at + 2 + 1 * kIfdEntrySize + 4;
  const uint32_t note_at = exif_ifd_at + 2 + 2 * kIfdEntrySize + 4;

  Bytes tiff;
  tiff.raw("MM", 2);
  tiff.u16(42);
  tiff.u32(ifd0_at);
  // IFD0: only the pointer to the Exif sub-IFD.
  tiff.u16(1);
  const uint8_t exif_ifd_pointer[4] = {
      static_cast<uint8_t>(exif_ifd_at >> 24), static_cast<uint8_t>(exif_ifd_at >> 16),
      static_cast<uint8_t>(exif_ifd_at >> 8), static_cast<uint8_t>(exif_ifd_at)};
  ifd_entry(tiff, kTagExifIfd, kLong, 1, exif_ifd_pointer, 4, 0);
  tiff.u32(0);
  // Exif sub-IFD: the version (which readers expect) and the maker note.
  tiff.u16(2);
  ifd_entry(tiff, kTagExifVersion, kUndefined, 4, "0232", 4, 0);
  ifd_entry(tiff, kTagMakerNote, kUndefined, static_cast<uint32_t>(note.size()), note.data(),
            note.size(), note_at);
  tiff.u32(0);
  tiff.raw(note.data(), note.size());

  Bytes segment;
  segment.u16(0xFFE1);
  segment.u16(static_cast<uint32_t>(2 + 6 + tiff.size()));
  segment.raw("Exif\0\0", 6);
  segment.raw(tiff.v.data(), tiff.size());
  return segment.v;
}

bool is_exif_app1(const uint8_t* segment, size_t length) {
  return segment[1] == 0xE1 && length >= 2 + 6 && std::memcmp(segment + 4, "Exif\0\0", 6) == 0;
}

// The picture with our Exif segment after SOI. Marker segments up to the start
// of the scan are walked with bounds; anything the walk does not understand
// (and the scan data) is copied as it stands.
std::vector<uint8_t> still_with_identifier(const uint8_t* bytes, size_t size,
                                           const std::vector<uint8_t>& exif) {
  std::vector<uint8_t> out;
  out.reserve(size + exif.size());
  out.insert(out.end(), bytes, bytes + 2);
  out.insert(out.end(), exif.begin(), exif.end());
  size_t pos = 2;
  while (pos + 4 <= size && bytes[pos] == 0xFF) {
    const uint8_t marker = bytes[pos + 1];
    const bool has_length = marker >= 0xC0 && marker != 0xFF && marker != 0xD8 && marker != 0xD9 &&
                            marker != 0xDA && (marker < 0xD0 || marker > 0xD7);
    if (!has_length) break;
    const size_t length = static_cast<size_t>(bytes[pos + 2]) << 8 | bytes[pos + 3];
    if (length < 2 || length > size - pos - 2) break;
    if (!is_exif_app1(bytes + pos, length)) {
      out.insert(out.end(), bytes + pos, bytes + pos + 2 + length);
    }
    pos += 2 + length;
  }
  out.insert(out.end(), bytes + pos, bytes + size);
  return out;
}

bool write_file(const char* path, const std::vector<uint8_t>& data) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  ok = std::fclose(file) == 0 && ok;
  if (!ok) std::remove(path);
  return ok;
}

}  // namespace

extern "C" uint32_t AddPicLivephotoMetaInfo(const char* jpeg_path, const uint8_t* bytes,
                                            uint32_t size, const char* content_id) {
  if (jpeg_path == nullptr || jpeg_path[0] == 0 || bytes == nullptr || content_id == nullptr) {
    return MX_STILL_BAD_ARGUMENTS;
  }
  const size_t id_length = strnlen(content_id, kMaxContentIdLength + 1);
  if (id_length == 0 || id_length > kMaxContentIdLength) return MX_STILL_BAD_ARGUMENTS;
  if (size < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return MX_STILL_NOT_JPEG;

  const std::vector<uint8_t> still =
      still_with_identifier(bytes, size, exif_segment(content_id, id_length));
  return write_file(jpeg_path, still) ? MX_STILL_WRITTEN : MX_STILL_WRITE_FAILED;
}
