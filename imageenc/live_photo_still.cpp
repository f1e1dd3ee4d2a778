// Writes the JPEG still of a Live Photo with the content identifier that pairs
// it with its movie.
//
// The identifier goes where phones keep it: an Exif segment (APP1) whose Exif
// sub-IFD holds an Apple maker note with tag 0x0011 (ContentIdentifier). The
// picture's own Exif (orientation, capture dates, GPS, camera, thumbnail) is
// kept: its directories are read and written out again around the new maker
// note, in the picture's byte order, with the tags a reader requires of a JPEG
// Exif added where the picture lacks them. The segment is placed right after
// the start-of-image marker; the Exif segments the picture had are left out,
// since readers honour only one. Everything else is copied byte for byte.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "mx_image_enc.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum TiffType : uint16_t {
  kByte = 1,
  kAscii = 2,
  kShort = 3,
  kLong = 4,
  kRational = 5,
  kUndefined = 7,
  kIfd = 13,
};

// Bytes per value of each TIFF type (0: not a type this writer knows).
constexpr uint32_t kTypeSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};

uint32_t type_size(uint16_t type) {
  return type < std::size(kTypeSizes) ? kTypeSizes[type] : 0;
}

// Tags that point to other directories; the writer sets them itself.
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;
constexpr uint16_t kTagInteropIfd = 0xA005;
constexpr uint16_t kTagMakerNote = 0x927C;
constexpr uint16_t kTagThumbnailOffset = 0x0201;
constexpr uint16_t kTagThumbnailLength = 0x0202;
constexpr uint16_t kTagContentIdentifier = 0x0011;
// Tags whose values are offsets into the old structure: they mean nothing once
// the directories move, so they are not carried over (strips, tiles, sub-IFDs).
constexpr uint16_t kOffsetTags[] = {0x0111, 0x0144, 0x014A, kTagThumbnailOffset};

constexpr size_t kIfdEntrySize = 12;
// A directory count larger than this is damage, not a picture's Exif.
constexpr uint32_t kMaxEntries = 1000;
// The segment's 16-bit length counts itself and "Exif\0\0".
constexpr size_t kMaxTiffSize = 0xFFFF - 2 - 6;
// Largest identifier that keeps the Exif segment within its 16-bit length.
constexpr size_t kMaxContentIdLength = 60000;

// ------------------------------------------------------------ byte order

struct ByteOrder {
  bool little = false;
  uint32_t u16(const uint8_t* p) const { return little ? (p[0] | p[1] << 8) : (p[0] << 8 | p[1]); }
  uint32_t u32(const uint8_t* p) const {
    return little ? (u16(p) | u16(p + 2) << 16) : (u16(p) << 16 | u16(p + 2));
  }
  void put16(Bytes& out, uint32_t v) const {
    const uint8_t hi = static_cast<uint8_t>(v >> 8), lo = static_cast<uint8_t>(v);
    if (little) {
      out.push_back(lo), out.push_back(hi);
    } else {
      out.push_back(hi), out.push_back(lo);
    }
  }
  void put32(Bytes& out, uint32_t v) const {
    if (little) {
      put16(out, v & 0xFFFF), put16(out, v >> 16);
    } else {
      put16(out, v >> 16), put16(out, v & 0xFFFF);
    }
  }
  Bytes u16_value(uint32_t v) const {
    Bytes b;
    put16(b, v);
    return b;
  }
  Bytes u32_value(uint32_t v) const {
    Bytes b;
    put32(b, v);
    return b;
  }
};

// ------------------------------------------------------------ directories

// One directory entry with its value bytes, as they stand in the structure's
// byte order (count × type size bytes).
struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  Bytes value;
};

using Ifd = std::vector<Entry>;

Entry* find(Ifd& ifd, uint16_t tag) {
  for (Entry& e : ifd)
    if (e.tag == tag) return &e;
  return nullptr;
}

// Takes an entry out of a directory; false when it is not there.
bool take(Ifd& ifd, uint16_t tag, Entry* out) {
  for (auto it = ifd.begin(); it != ifd.end(); ++it) {
    if (it->tag != tag) continue;
    *out = std::move(*it);
    ifd.erase(it);
    return true;
  }
  return false;
}

void drop_all(Ifd& ifd, uint16_t tag) {
  ifd.erase(std::remove_if(ifd.begin(), ifd.end(), [tag](const Entry& e) { return e.tag == tag; }),
            ifd.end());
}

// The picture's Exif as directories.
struct Exif {
  ByteOrder order;
  Ifd ifd0, exif, interop, gps, ifd1;
  Bytes thumbnail;  // the JPEG thumbnail IFD1 describes
};

// Reads a TIFF structure with bounds: nothing outside [data, data + size) is
// read, and a directory or value that does not fit is left out.
class TiffReader {
 public:
  TiffReader(const uint8_t* data, size_t size, ByteOrder order)
      : data_(data), size_(size), order_(order) {}

  bool fits(uint64_t at, uint64_t n) const { return at <= size_ && n <= size_ - at; }
  uint32_t u16(size_t at) const { return order_.u16(data_ + at); }
  uint32_t u32(size_t at) const { return order_.u32(data_ + at); }

  // The directory at `at` (empty when it does not fit); `next` receives the
  // offset of the following directory.
  Ifd directory(uint32_t at, uint32_t* next = nullptr) const {
    Ifd ifd;
    if (next) *next = 0;
    if (at == 0 || !fits(at, 2)) return ifd;
    const uint32_t n = u16(at);
    if (n > kMaxEntries || !fits(at + 2, uint64_t{n} * kIfdEntrySize + 4)) return ifd;
    for (uint32_t i = 0; i < n; ++i) {
      const size_t e = at + 2 + i * kIfdEntrySize;
      Entry entry{static_cast<uint16_t>(u16(e)), static_cast<uint16_t>(u16(e + 2)), u32(e + 4), {}};
      const uint64_t bytes = uint64_t{entry.count} * type_size(entry.type);
      if (type_size(entry.type) == 0 || bytes > size_) continue;
      const uint64_t value_at = bytes <= 4 ? e + 8 : u32(e + 8);
      if (!fits(value_at, bytes)) continue;
      entry.value.assign(data_ + value_at, data_ + value_at + bytes);
      ifd.push_back(std::move(entry));
    }
    if (next) *next = u32(at + 2 + n * kIfdEntrySize);
    return ifd;
  }

  // The directory a pointer entry names (empty when there is none).
  Ifd pointed_to(const Entry& pointer) const {
    if ((pointer.type != kLong && pointer.type != kIfd) || pointer.count != 1) return {};
    return directory(order_.u32(pointer.value.data()));
  }

  Bytes bytes(uint64_t at, uint64_t n) const {
    if (!fits(at, n)) return {};
    return Bytes(data_ + at, data_ + at + n);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  ByteOrder order_;
};

uint32_t single_long(const ByteOrder& order, const Entry& e) {
  if (e.count != 1) return 0;
  if (e.type == kLong || e.type == kIfd) return order.u32(e.value.data());
  if (e.type == kShort) return order.u16(e.value.data());
  return 0;
}

// Reads the Exif of an APP1 payload ("Exif\0\0" and a TIFF structure); false
// when it holds no TIFF header this reader knows.
bool read_exif(const uint8_t* payload, size_t size, Exif* exif) {
  if (size < 6 + 8) return false;
  const uint8_t* tiff = payload + 6;
  const size_t tiff_size = size - 6;
  if (std::memcmp(tiff, "II", 2) == 0) {
    exif->order.little = true;
  } else if (std::memcmp(tiff, "MM", 2) != 0) {
    return false;
  }
  const TiffReader r(tiff, tiff_size, exif->order);
  if (r.u16(2) != 42) return false;

  // Each directory is read once, from the first pointer to it; nothing is
  // followed further, so a structure that points in circles ends here.
  uint32_t ifd1_at = 0;
  exif->ifd0 = r.directory(r.u32(4), &ifd1_at);
  Entry pointer;
  if (take(exif->ifd0, kTagExifIfd, &pointer)) exif->exif = r.pointed_to(pointer);
  if (take(exif->ifd0, kTagGpsIfd, &pointer)) exif->gps = r.pointed_to(pointer);
  if (take(exif->exif, kTagInteropIfd, &pointer)) exif->interop = r.pointed_to(pointer);

  // IFD1 is kept only with a JPEG thumbnail, whose bytes move with it.
  Ifd ifd1 = r.directory(ifd1_at == r.u32(4) ? 0 : ifd1_at);
  Entry offset, length;
  if (take(ifd1, kTagThumbnailOffset, &offset) && take(ifd1, kTagThumbnailLength, &length) &&
      find(ifd1, 0x0111) == nullptr) {
    exif->thumbnail = r.bytes(single_long(exif->order, offset), single_long(exif->order, length));
    if (!exif->thumbnail.empty()) exif->ifd1 = std::move(ifd1);
  }

  // Pointers are set anew when the structure is written, and offsets into the
  // old structure would point nowhere. The maker note is the one this plug-in
  // writes; another vendor's note would also hold such offsets.
  for (Ifd* ifd : {&exif->ifd0, &exif->exif, &exif->interop, &exif->gps, &exif->ifd1}) {
    for (uint16_t tag :
         {kTagExifIfd, kTagGpsIfd, kTagInteropIfd, kTagMakerNote, kTagThumbnailLength})
      drop_all(*ifd, tag);
    for (uint16_t tag : kOffsetTags) drop_all(*ifd, tag);
  }
  return true;
}

// ------------------------------------------------------------ additions

Entry entry_of(uint16_t tag, uint16_t type, uint32_t count, Bytes value) {
  return Entry{tag, type, count, std::move(value)};
}

void add_if_missing(Ifd& ifd, Entry e) {
  if (find(ifd, e.tag) == nullptr) ifd.push_back(std::move(e));
}

Bytes rational(const ByteOrder& order, uint32_t numerator, uint32_t denominator) {
  Bytes b;
  order.put32(b, numerator);
  order.put32(b, denominator);
  return b;
}

// The frame size from the start-of-frame segment (0 x 0 when none).
struct FrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// The Apple maker note: "Apple iOS\0", version 00 01, "MM", then an IFD whose
// out-of-line values are addressed from the start of the note. The note is
// big-endian whatever the order of the structure around it.
Bytes apple_maker_note(const char* content_id, size_t id_length) {
  const ByteOrder big;
  Bytes note;
  note.insert(note.end(), {'A', 'p', 'p', 'l', 'e', ' ', 'i', 'O', 'S', 0});
  big.put16(note, 1);
  note.insert(note.end(), {'M', 'M'});
  const uint32_t entries = 1;
  const uint32_t values_at = 16 + entries * kIfdEntrySize + 4;
  const uint32_t count = static_cast<uint32_t>(id_length + 1);
  big.put16(note, entries);
  big.put16(note, kTagContentIdentifier);
  big.put16(note, kAscii);
  big.put32(note, count);
  if (count <= 4) {
    uint8_t inline_value[4] = {};
    std::memcpy(inline_value, content_id, count);
    note.insert(note.end(), inline_value, inline_value + 4);
  } else {
    big.put32(note, values_at);
  }
  big.put32(note, 0);  // no next IFD
  if (count > 4) note.insert(note.end(), content_id, content_id + count);
  return note;
}

// The tags a reader requires of a JPEG's Exif, where the picture lacks them,
// and the maker note.
void complete(Exif& x, const FrameSize& frame, const Bytes& maker_note) {
  const ByteOrder& o = x.order;
  add_if_missing(x.ifd0, entry_of(0x011A, kRational, 1, rational(o, 72, 1)));  // XResolution
  add_if_missing(x.ifd0, entry_of(0x011B, kRational, 1, rational(o, 72, 1)));  // YResolution
  add_if_missing(x.ifd0, entry_of(0x0128, kShort, 1, o.u16_value(2)));  // ResolutionUnit: inch
  add_if_missing(x.ifd0, entry_of(0x0213, kShort, 1, o.u16_value(1)));  // YCbCrPositioning: centred
  add_if_missing(x.exif, entry_of(0x9000, kUndefined, 4, {'0', '2', '3', '2'}));  // ExifVersion
  add_if_missing(x.exif, entry_of(0x9101, kUndefined, 4, {1, 2, 3, 0}));  // ComponentsConfig: YCbCr
  add_if_missing(x.exif, entry_of(0xA000, kUndefined, 4, {'0', '1', '0', '0'}));  // FlashpixVersion
  add_if_missing(x.exif, entry_of(0xA001, kShort, 1, o.u16_value(1)));  // ColorSpace: sRGB
  if (frame.width > 0 && frame.height > 0) {
    add_if_missing(x.exif, entry_of(0xA002, kLong, 1, o.u32_value(frame.width)));
    add_if_missing(x.exif, entry_of(0xA003, kLong, 1, o.u32_value(frame.height)));
  }
  x.exif.push_back(
      entry_of(kTagMakerNote, kUndefined, static_cast<uint32_t>(maker_note.size()), maker_note));
}

// ------------------------------------------------------------ writing

size_t padded(size_t n) {
  return n + (n & 1);
}

// Bytes a directory takes: the table, then its values longer than four bytes,
// each starting at an even offset.
size_t directory_size(const Ifd& ifd) {
  size_t size = 2 + ifd.size() * kIfdEntrySize + 4;
  for (const Entry& e : ifd)
    if (e.value.size() > 4) size += padded(e.value.size());
  return size;
}

void write_directory(Bytes& out, const ByteOrder& o, const Ifd& ifd, uint32_t next) {
  const size_t at = out.size();
  size_t value_at = at + 2 + ifd.size() * kIfdEntrySize + 4;
  o.put16(out, static_cast<uint32_t>(ifd.size()));
  for (const Entry& e : ifd) {
    o.put16(out, e.tag);
    o.put16(out, e.type);
    o.put32(out, e.count);
    if (e.value.size() <= 4) {
      Bytes inline_value = e.value;
      inline_value.resize(4, 0);
      out.insert(out.end(), inline_value.begin(), inline_value.end());
    } else {
      o.put32(out, static_cast<uint32_t>(value_at));
      value_at += padded(e.value.size());
    }
  }
  o.put32(out, next);
  for (const Entry& e : ifd) {
    if (e.value.size() <= 4) continue;
    out.insert(out.end(), e.value.begin(), e.value.end());
    if (e.value.size() & 1) out.push_back(0);
  }
}

void sort_by_tag(Ifd& ifd) {
  std::stable_sort(ifd.begin(), ifd.end(),
                   [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
}

// The TIFF structure: header, IFD0, Exif IFD, Interop IFD, GPS IFD, IFD1 and
// the thumbnail, in that order. Empty when it would not fit the segment.
Bytes tiff_of(Exif x) {
  const ByteOrder& o = x.order;
  const bool has_gps = !x.gps.empty();
  const bool has_interop = !x.interop.empty();
  const bool has_ifd1 = !x.ifd1.empty() && !x.thumbnail.empty();
  // Pointer entries first hold 0; their values are set once the layout is known.
  x.ifd0.push_back(entry_of(kTagExifIfd, kLong, 1, o.u32_value(0)));
  if (has_gps) x.ifd0.push_back(entry_of(kTagGpsIfd, kLong, 1, o.u32_value(0)));
  if (has_interop) x.exif.push_back(entry_of(kTagInteropIfd, kLong, 1, o.u32_value(0)));
  if (has_ifd1) {
    x.ifd1.push_back(entry_of(kTagThumbnailOffset, kLong, 1, o.u32_value(0)));
    x.ifd1.push_back(entry_of(kTagThumbnailLength, kLong, 1,
                              o.u32_value(static_cast<uint32_t>(x.thumbnail.size()))));
  }
  for (Ifd* ifd : {&x.ifd0, &x.exif, &x.interop, &x.gps, &x.ifd1}) sort_by_tag(*ifd);

  const size_t ifd0_at = 8;
  const size_t exif_at = ifd0_at + directory_size(x.ifd0);
  const size_t interop_at = exif_at + directory_size(x.exif);
  const size_t gps_at = interop_at + (has_interop ? directory_size(x.interop) : 0);
  const size_t ifd1_at = gps_at + (has_gps ? directory_size(x.gps) : 0);
  const size_t thumbnail_at = ifd1_at + (has_ifd1 ? directory_size(x.ifd1) : 0);
  const size_t end = thumbnail_at + (has_ifd1 ? x.thumbnail.size() : 0);
  if (end > kMaxTiffSize) return {};

  auto point = [&o](Ifd& ifd, uint16_t tag, size_t at) {
    if (Entry* e = find(ifd, tag)) e->value = o.u32_value(static_cast<uint32_t>(at));
  };
  point(x.ifd0, kTagExifIfd, exif_at);
  point(x.ifd0, kTagGpsIfd, gps_at);
  point(x.exif, kTagInteropIfd, interop_at);
  point(x.ifd1, kTagThumbnailOffset, thumbnail_at);

  Bytes out;
  out.reserve(end);
  out.insert(out.end(), {static_cast<uint8_t>(o.little ? 'I' : 'M'),
                         static_cast<uint8_t>(o.little ? 'I' : 'M')});
  o.put16(out, 42);
  o.put32(out, static_cast<uint32_t>(ifd0_at));
  write_directory(out, o, x.ifd0, has_ifd1 ? static_cast<uint32_t>(ifd1_at) : 0);
  write_directory(out, o, x.exif, 0);
  if (has_interop) write_directory(out, o, x.interop, 0);
  if (has_gps) write_directory(out, o, x.gps, 0);
  if (has_ifd1) {
    write_directory(out, o, x.ifd1, 0);
    out.insert(out.end(), x.thumbnail.begin(), x.thumbnail.end());
  }
  return out;
}

// The APP1 segment: marker, length, "Exif\0\0", the TIFF structure. The
// picture's Exif is merged when it fits the segment; else without its
// thumbnail; else only the new tags are written.
Bytes exif_segment(const Exif& picture_exif, const FrameSize& frame, const Bytes& maker_note) {
  Exif without_thumbnail = picture_exif;
  without_thumbnail.ifd1.clear();
  without_thumbnail.thumbnail.clear();
  Exif fresh;
  fresh.order = picture_exif.order;
  Bytes tiff;
  for (const Exif* base : {&picture_exif, static_cast<const Exif*>(&without_thumbnail),
                           static_cast<const Exif*>(&fresh)}) {
    Exif x = *base;
    complete(x, frame, maker_note);
    tiff = tiff_of(std::move(x));
    if (!tiff.empty()) break;
  }
  Bytes segment = {0xFF, 0xE1};
  ByteOrder().put16(segment, static_cast<uint32_t>(2 + 6 + tiff.size()));
  segment.insert(segment.end(), {'E', 'x', 'i', 'f', 0, 0});
  segment.insert(segment.end(), tiff.begin(), tiff.end());
  return segment;
}

// ------------------------------------------------------------ the JPEG

bool is_exif_app1(const uint8_t* segment, size_t length) {
  return segment[1] == 0xE1 && length >= 2 + 6 && std::memcmp(segment + 4, "Exif\0\0", 6) == 0;
}

// Start-of-frame markers: C0 to CF except DHT (C4), JPG (C8) and DAC (CC).
bool is_start_of_frame(uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// One marker segment before the scan: its marker and its bytes from the marker on.
struct Segment {
  size_t at;
  size_t size;  // 2 + the length field's value
  uint8_t marker;
};

// The marker segments up to the start of the scan, walked with bounds; the
// walk stops at anything it does not understand. `rest` receives where the
// bytes after the last segment begin.
std::vector<Segment> header_segments(const uint8_t* bytes, size_t size, size_t* rest) {
  std::vector<Segment> segments;
  size_t pos = 2;
  while (pos + 4 <= size && bytes[pos] == 0xFF) {
    const uint8_t marker = bytes[pos + 1];
    const bool has_length = marker >= 0xC0 && marker != 0xFF && marker != 0xD8 && marker != 0xD9 &&
                            marker != 0xDA && (marker < 0xD0 || marker > 0xD7);
    if (!has_length) break;
    const size_t length = static_cast<size_t>(bytes[pos + 2]) << 8 | bytes[pos + 3];
    if (length < 2 || length > size - pos - 2) break;
    segments.push_back({pos, 2 + length, marker});
    pos += 2 + length;
  }
  *rest = pos;
  return segments;
}

// The picture with the merged Exif segment after SOI and its own Exif
// segments left out.
Bytes still_with_identifier(const uint8_t* bytes, size_t size, const Bytes& maker_note) {
  size_t rest = 0;
  const std::vector<Segment> segments = header_segments(bytes, size, &rest);
  Exif picture_exif;
  bool exif_read = false;
  FrameSize frame;
  for (const Segment& s : segments) {
    const uint8_t* p = bytes + s.at;
    if (!exif_read && is_exif_app1(p, s.size - 2)) {
      exif_read = true;  // readers honour the first one only
      if (!read_exif(p + 4, s.size - 4, &picture_exif)) picture_exif = Exif{};
    }
    if (is_start_of_frame(s.marker) && s.size >= 2 + 2 + 5 && frame.width == 0) {
      frame.height = static_cast<uint32_t>(p[5]) << 8 | p[6];
      frame.width = static_cast<uint32_t>(p[7]) << 8 | p[8];
    }
  }
  const Bytes exif = exif_segment(picture_exif, frame, maker_note);

  Bytes out;
  out.reserve(size + exif.size());
  out.insert(out.end(), bytes, bytes + 2);
  out.insert(out.end(), exif.begin(), exif.end());
  for (const Segment& s : segments) {
    if (!is_exif_app1(bytes + s.at, s.size - 2))
      out.insert(out.end(), bytes + s.at, bytes + s.at + s.size);
  }
  out.insert(out.end(), bytes + rest, bytes + size);
  return out;
}

bool write_file(const char* path, const Bytes& data) {
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

  const Bytes still = still_with_identifier(bytes, size, apple_maker_note(content_id, id_length));
  return write_file(jpeg_path, still) ? MX_STILL_WRITTEN : MX_STILL_WRITE_FAILED;
}
