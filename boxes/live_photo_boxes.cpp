// QuickTime metadata of a movie: the `mdta` keys and items of the movie-level
// `meta` box, and the sample entry of the still-image-time metadata track.
#include <cstring>
#include <iterator>
#include <memory>

#include "boxes/boxes.h"
#include "boxes/item_data.h"

namespace {

// Written when a movie is marked as a Live Photo and has no identifier of its own.
constexpr char kFallbackContentId[] = "52C25717-621D-4A42-8490-8A5EE2FFF31D";

// The fixed-value keys of a Live Photo movie (the content identifier is the
// second key and comes from the context).
struct FixedKey {
  const char* key;
  uint32_t type;
  uint8_t value[4];
};
constexpr FixedKey kLivePhotoAuto = {
    "com.apple.quicktime.live-photo.auto", kDataUnsignedInt, {0, 0, 0, 1}};
constexpr const char kContentIdKey[] = "com.apple.quicktime.content.identifier";
constexpr FixedKey kVitalityScore = {"com.apple.quicktime.live-photo.vitality-score",
                                     kDataFloat32,
                                     {0x3F, 0x80, 0x00, 0x00}};  // 1.0
constexpr FixedKey kVitalityVersion = {
    "com.apple.quicktime.live-photo.vitality-scoring-version", kDataSignedInt, {0, 0, 0, 4}};

// Descriptive keys, each present when its host text is set.
struct TextKey {
  const char* key;
  MxChar (MxMovieMetadata::*text)[500];
};
constexpr TextKey kTextKeys[] = {
    {"com.apple.quicktime.location.accuracy.horizontal", &MxMovieMetadata::location_accuracy},
    {"com.apple.quicktime.location.ISO6709", &MxMovieMetadata::location_iso6709},
    {"com.apple.quicktime.creationdate", &MxMovieMetadata::creation_date},
    {"com.apple.quicktime.make", &MxMovieMetadata::make},
    {"com.apple.quicktime.model", &MxMovieMetadata::model},
    {"com.apple.quicktime.software", &MxMovieMetadata::software},
};

constexpr size_t kMaxItems = 4 + std::size(kTextKeys);
constexpr int32_t kKeysBufferSize = 1 << 20;

struct MdtaItem {
  const char* key;
  uint32_t type;
  const void* value;
  uint32_t size;
};

// The movie's items in the order of their local key numbers (1, 2, ...); the
// `keys` and `ilst` boxes are both written from this one list.
struct MdtaItems {
  MdtaItem items[kMaxItems];
  size_t count = 0;
  char texts[std::size(kTextKeys)][kItemTextCapacity];

  void add(const char* key, uint32_t type, const void* value, size_t size) {
    items[count++] = {key, type, value, static_cast<uint32_t>(size)};
  }
  void add(const FixedKey& k) { add(k.key, k.type, k.value, sizeof k.value); }
};

void collect_items(const MuxContext* c, MdtaItems* out) {
  if (c->live_photo) {
    size_t id_length = strnlen(c->content_id, sizeof c->content_id);
    if (id_length == sizeof c->content_id) id_length = 0;  // unterminated: not an identifier
    const char* id = id_length ? c->content_id : kFallbackContentId;
    out->add(kLivePhotoAuto);
    out->add(kContentIdKey, kDataUtf8, id, id_length ? id_length : std::strlen(id));
    out->add(kVitalityScore);
    out->add(kVitalityVersion);
  }
  for (size_t i = 0; i < std::size(kTextKeys); ++i) {
    const MxChar* text = c->metadata.*kTextKeys[i].text;
    if (text[0] == 0) continue;
    size_t length = item_text_utf8(c->metadata.*kTextKeys[i].text, out->texts[i]);
    out->add(kTextKeys[i].key, kDataUtf8, out->texts[i], length);
  }
}

void write_mdta_hdlr(ByteWriter* w) {
  put_be32(w, 34);
  put_tag(w, "hdlr");
  put_be32(w, 0);  // version and flags
  put_be32(w, 0);  // pre-defined
  put_tag(w, "mdta");
  put_be32(w, 0);
  put_be32(w, 0);
  put_be32(w, 0);
  put_be16(w, 0);
}

void write_keys(MuxContext* c, const MdtaItems& items) {
  ByteWriter* w = c->writer;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kKeysBufferSize]);
  BitWriter* b = &c->bits;
  bits_init(b, buffer.get(), kKeysBufferSize);
  for (size_t i = 0; i < items.count; ++i) {
    put_bits(b, 32, static_cast<uint32_t>(8 + std::strlen(items.items[i].key)));
    put_bits_string(b, "mdta", 0);
    put_bits_string(b, items.items[i].key, 0);
  }
  int64_t start = open_full_box(w, "keys", 0, 0);
  put_be32(w, static_cast<uint32_t>(items.count));
  put_bytes(w, buffer.get(), bits_count(b) / 8);
  patch_box_size(w, start);
}

void write_mdta_ilst(MuxContext* c, const MdtaItems& items) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "ilst");
  for (size_t i = 0; i < items.count; ++i) {
    const MdtaItem& item = items.items[i];
    put_be32(w, 8 + 16 + item.size);
    put_be32(w, static_cast<uint32_t>(i + 1));  // local key number
    write_item_data(w, item.type, item.value, item.size);
  }
  patch_box_size(w, start);
}

}  // namespace

void write_mdta_meta(MuxContext* c) {
  MdtaItems items;
  collect_items(c, &items);
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "meta");
  write_mdta_hdlr(w);
  write_keys(c, items);
  write_mdta_ilst(c, items);
  patch_box_size(w, start);
}

void write_mebx_entry(MuxContext* c, MuxTrack*) {
  static constexpr char kStillImageTimeKey[] = "com.apple.quicktime.still-image-time";
  static_assert(sizeof kStillImageTimeKey - 1 == 36);
  ByteWriter* w = c->writer;
  put_be32(w, 96);
  put_tag(w, "mebx");
  for (int i = 0; i < 6; ++i) put_u8(w, 0);  // reserved
  put_be16(w, 1);                            // data reference index
  put_be32(w, 80);
  put_tag(w, "keys");
  put_be32(w, 72);
  put_be32(w, 1);  // local key 1
  put_be32(w, 48);
  put_tag(w, "keyd");
  put_tag(w, "mdta");
  put_bytes(w, kStillImageTimeKey, 36);
  put_be32(w, 16);
  put_tag(w, "dtyp");
  put_be32(w, 0);   // well-known types
  put_be32(w, 65);  // signed 8-bit integer
}
