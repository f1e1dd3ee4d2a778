// Movie user data: the `udta` box with its iTunes-style `meta`/`ilst` items.
#include "boxes/metadata.h"

#include <cstring>
#include <iterator>

#include "boxes/boxes.h"
#include "boxes/item_data.h"
#include "platform/platform.h"

namespace {

// Output modes whose players read iTunes-style items. M4A/M4B files are the
// main users of these items.
constexpr uint32_t kModesWithItems[] = {kModeMp4, kModeMov, kModeM4a};

bool mode_has_items(uint32_t mode) {
  for (uint32_t m : kModesWithItems) {
    if (m == mode) return true;
  }
  return false;
}

// Integer items are typed as signed integers. `hdvd` included: typed as text,
// its one binary byte would be a malformed string to readers.
constexpr const char* kSignedIntTags[] = {"stik", "tvsn", "tves", "hdvd"};

uint32_t int_item_type(const char* tag) {
  for (const char* t : kSignedIntTags) {
    if (std::memcmp(t, tag, 4) == 0) return kDataSignedInt;
  }
  return kDataUtf8;
}

struct CoverType {
  uint32_t picture_kind;
  uint32_t data_type;
};
constexpr CoverType kCoverTypes[] = {
    {0, kDataJpeg},
    {1, kDataBmp},
    {2, kDataPng},
};

struct Rating {
  uint32_t index;
  const char* text;
};
constexpr Rating kRatings[] = {
    {1, "mpaa|G|100|"},       {2, "mpaa|PG|200|"},      {3, "mpaa|PG-13|300|"},
    {4, "mpaa|R|400|"},       {5, "mpaa|NC-17|500|"},   {6, "mpaa|UNRATED|600|"},
    {7, "us-tv|TV-Y|200|"},   {8, "us-tv|TV-Y7|100|"},  {9, "us-tv|TV-G|300|"},
    {10, "us-tv|TV-PG|400|"}, {11, "us-tv|TV-14|500|"}, {12, "us-tv|TV-MA|600|"},
};

// The cast and crew lists of the property list, in the order they appear.
struct CrewList {
  const char* key;
  MxChar (MxMovieMetadata::*names)[260];
};
constexpr CrewList kCrewLists[] = {
    {"cast", &MxMovieMetadata::cast},
    {"directors", &MxMovieMetadata::directors},
    {"producers", &MxMovieMetadata::producers},
    {"screenwriters", &MxMovieMetadata::screenwriters},
};

constexpr const char kPlistHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\"  "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"
    "<plist version=\"1.0\">"
    "<dict>";
constexpr const char kPlistTail[] = "</dict></plist>";

// A name keeps at most this many UTF-16 units.
constexpr size_t kMaxNameUnits = 99;

// Units XML 1.0 does not allow in a document at all (escaping cannot carry them).
bool is_xml_char(char16_t u) {
  if (u < 0x20) return u == u'\t' || u == u'\n' || u == u'\r';
  return u != 0xFFFE && u != 0xFFFF;
}

void append_xml_escaped(std::string& out, const char* utf8) {
  for (const char* p = utf8; *p; ++p) {
    switch (*p) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += *p;
    }
  }
}

// One name of a list: the units [begin, end), cut to kMaxNameUnits without
// splitting a surrogate pair, converted to UTF-8 and escaped.
void append_name(std::string& out, const char16_t* begin, const char16_t* end) {
  size_t units = static_cast<size_t>(end - begin);
  if (units > kMaxNameUnits) {
    units = kMaxNameUnits;
    if (begin[units - 1] >= 0xD800 && begin[units - 1] <= 0xDBFF) --units;
  }
  char16_t name[kMaxNameUnits + 1];
  size_t kept = 0;
  for (size_t i = 0; i < units; ++i) {
    if (is_xml_char(begin[i])) name[kept++] = begin[i];
  }
  name[kept] = 0;
  char utf8[kMaxNameUnits * 3 + 1];
  if (wide_to_multibyte(name, utf8, sizeof utf8) == 0) utf8[0] = 0;
  out += "<dict><key>name</key><string>";
  append_xml_escaped(out, utf8);
  out += "</string></dict>";
}

void append_crew_list(std::string& out, const char* key, const char16_t* names, size_t capacity) {
  const char16_t* end = names + wide_length(names, capacity);
  if (end == names) return;
  out += "<key>";
  out += key;
  out += "</key><array>";
  const char16_t* name = names;
  for (const char16_t* p = names;; ++p) {
    if (p == end || *p == u'|') {
      append_name(out, name, p);
      if (p == end) break;
      name = p + 1;
    }
  }
  out += "</array>";
}

}  // namespace

std::string make_cast_and_crew_plist(const MovieMetadata& m) {
  std::string plist = kPlistHead;
  for (const CrewList& list : kCrewLists) {
    append_crew_list(plist, list.key, as_utf16(m.*list.names), std::size(m.*list.names));
  }
  plist += kPlistTail;
  return plist;
}

const char* rating_text(uint32_t rating) {
  for (const Rating& r : kRatings) {
    if (r.index == rating) return r.text;
  }
  return "";
}

void write_text_item(MuxContext* c, const char* tag, const char* text) {
  size_t length = std::strlen(text);
  if (length == 0) return;
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, tag);
  write_item_data(w, kDataUtf8, text, length);
  patch_box_size(w, start);
}

void write_int_item(MuxContext* c, const char* tag, uint32_t width_bits, int64_t value) {
  ByteWriter* w = c->writer;
  uint8_t bytes[4];
  uint32_t size = width_bits / 8;
  for (uint32_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * (size - 1 - i)));
  }
  int64_t start = open_box(w, tag);
  write_item_data(w, int_item_type(tag), bytes, size);
  patch_box_size(w, start);
}

void write_cover_item(MuxContext* c) {
  const MxPicture* picture = c->metadata.cover_art;
  if (picture == nullptr || picture->data == nullptr || picture->size == 0 ||
      picture->data[0] == 0) {
    return;
  }
  // The item box and its data box both carry 32-bit sizes.
  if (picture->size > UINT32_MAX - 24) return;
  const CoverType* type = nullptr;
  for (const CoverType& t : kCoverTypes) {
    if (t.picture_kind == picture->picture_kind) type = &t;
  }
  if (type == nullptr) return;  // no data type describes other pictures
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "covr");
  write_item_data(w, type->data_type, picture->data, picture->size);
  patch_box_size(w, start);
}

void write_freeform_item(MuxContext* c, const char* name, const char* text) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "----");
  put_be32(w, 28);
  put_tag(w, "mean");
  put_be32(w, 0);
  put_bytes(w, "com.apple.iTunes", 16);
  put_be32(w, 20);
  put_tag(w, "name");
  put_be32(w, 0);
  put_bytes(w, name, 8);
  write_item_data(w, kDataUtf8, text, std::strlen(text));
  patch_box_size(w, start);
}

namespace {

void write_meta_hdlr(ByteWriter* w) {
  put_be32(w, 33);
  put_tag(w, "hdlr");
  put_be32(w, 0);  // version and flags
  put_be32(w, 0);  // pre-defined
  put_tag(w, "mdir");
  put_tag(w, "appl");
  put_be32(w, 0);
  put_be32(w, 0);
  put_u8(w, 0);  // empty name
}

void write_ilst(MuxContext* c) {
  const MovieMetadata& m = c->metadata;
  ByteWriter* w = c->writer;
  char text[kItemTextCapacity];
  int64_t start = open_box(w, "ilst");

  // A TV show keeps the show's name in `title` and the episode's in `alt_title`.
  const bool tv_show = m.media_kind == 10;
  item_text_utf8(as_utf16(tv_show ? m.alt_title : m.title),
                 tv_show ? std::size(m.alt_title) : std::size(m.title), text);
  write_text_item(c, "\xA9nam", text);
  item_text_utf8(as_utf16(tv_show ? m.title : m.alt_title),
                 tv_show ? std::size(m.title) : std::size(m.alt_title), text);
  write_text_item(c, "tvsh", text);

  item_text_utf8(m.artist, text);
  write_text_item(c,
                  "\xA9"
                  "ART",
                  text);
  item_text_utf8(m.album, text);
  write_text_item(c,
                  "\xA9"
                  "alb",
                  text);

  // The only media-kind item, in every flavour: readers that meet two take
  // different ones.
  if (m.media_kind != 1) write_int_item(c, "stik", 8, m.media_kind);

  item_text_utf8(m.date, text);
  write_text_item(c,
                  "\xA9"
                  "day",
                  text);

  if (m.season > 0) write_int_item(c, "tvsn", 32, m.season);
  if (m.episode > 0) write_int_item(c, "tves", 32, m.episode);

  item_text_utf8(m.description, text);
  write_text_item(c, "desc", text);
  item_text_utf8(m.long_description, text);
  write_text_item(c, "ldes", text);
  item_text_utf8(m.comment, text);
  write_text_item(c,
                  "\xA9"
                  "cmt",
                  text);
  item_text_utf8(m.tv_network, text);
  write_text_item(c, "tvnn", text);

  write_int_item(c, "hdvd", 8, m.hd_video);

  item_text_utf8(m.genre, text);
  write_text_item(c, "\xA9gen", text);

  write_cover_item(c);
  write_freeform_item(c, "iTunMOVI", make_cast_and_crew_plist(m).c_str());
  write_freeform_item(c, "iTunEXTC", rating_text(m.rating));

  patch_box_size(w, start);
}

}  // namespace

void write_udta(MuxContext* c) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "udta");
  if (mode_has_items(c->mode)) {
    int64_t meta = open_full_box(w, "meta", 0, 0);
    write_meta_hdlr(w);
    write_ilst(c);
    patch_box_size(w, meta);
  }
  patch_box_size(w, start);
}
