// Media boxes: mdia, mdhd, hdlr, minf and the media headers, dinf/dref.
#include <cstring>

#include "boxes/boxes.h"
#include "boxes/movie_time.h"

namespace {

// Handler rows. The timecode handler says "mhlr" in every mode; the others
// only in QuickTime movies (four zero bytes otherwise).
struct HandlerRow {
  int32_t kind;  // -1: the data handler
  const char* component_type_mov;
  const char* component_type_other;  // null: four zero bytes
  const char* handler;
  uint32_t component_flags;
  const char* name;
};

constexpr int32_t kDataHandler = -1;
constexpr HandlerRow kHandlers[] = {
    {kKindAudio, "mhlr", nullptr, "soun", 0, "SoundHandler"},
    {kKindVideo, "mhlr", nullptr, "vide", 0, "VideoHandler"},
    {kKindTimedMetadata, "mhlr", nullptr, "meta", 1, "Core Media Metadata"},
    {kKindTimecode, "mhlr", "mhlr", "tmcd", 0, "Core Media Timecode"},
    {kDataHandler, "dhlr", "dhlr", "url ", 0, "DataHandler"},
};

const HandlerRow* handler_for(int32_t kind) {
  for (const HandlerRow& row : kHandlers) {
    if (row.kind == kind) return &row;
  }
  return nullptr;
}

// Data reference entry: an alias for the Core Media tracks, a URL otherwise;
// flags 1 = the media data is in this file.
const char* data_reference_type(uint32_t kind) {
  return kind == kKindTimedMetadata || kind == kKindTimecode ? "alis" : "url ";
}

}  // namespace

uint16_t pack_language(const char* language) {
  const char* code = language && language[0] ? language : "und";
  uint32_t packed = 0;
  // A terminator maps to 0xA0 and rejects the code, so a short text is never
  // read past its end.
  for (int i = 0; i < 3; ++i) {
    uint8_t letter = static_cast<uint8_t>(static_cast<uint8_t>(code[i]) - 0x60);
    if (letter > 31) return pack_language("und");
    packed = packed << 5 | letter;
  }
  return static_cast<uint16_t>(packed);
}

void write_mdia(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "mdia");
  write_mdhd(c, t);
  write_hdlr(c, t);
  write_minf(c, t);
  patch_box_size(w, start);
}

int32_t write_mdhd(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  uint64_t duration = c->movie_head ? 0 : track_duration(t);
  bool wide = needs_64_bits(duration);
  uint32_t now = mp4_creation_time();
  int32_t size = wide ? 44 : 32;
  put_be32(w, static_cast<uint32_t>(size));
  put_tag(w, "mdhd");
  put_u8(w, wide ? 1 : 0);                  // version
  put_be24(w, 0);                           // flags
  put_time(w, wide, now);                   // creation time
  put_time(w, wide, now);                   // modification time
  put_be32(w, t->timescale);                // time scale
  put_time(w, wide, duration);              // duration
  put_be16(w, pack_language(t->language));  // language
  put_be16(w, 0);                           // quality
  return size;
}

void write_hdlr(MuxContext* c, MuxTrack* t) {
  const HandlerRow* row = handler_for(t ? static_cast<int32_t>(t->kind) : kDataHandler);
  if (!row) return;  // a kind without a handler never gets a trak
  ByteWriter* w = c->writer;
  const char* component_type =
      c->mode == kModeMov ? row->component_type_mov : row->component_type_other;
  int64_t start = open_full_box(w, "hdlr", 0, 0);
  if (component_type) {
    put_tag(w, component_type);  // component type
  } else {
    put_be32(w, 0);
  }
  put_tag(w, row->handler);           // component subtype
  put_be32(w, 0);                     // component manufacturer
  put_be32(w, row->component_flags);  // component flags
  put_be32(w, 0);                     // component flags mask
  // QuickTime movies count the name; the ISO flavours end it with a zero
  // byte, or readers show the count as a first character.
  const auto length = static_cast<uint32_t>(std::strlen(row->name));
  if (c->mode == kModeMov) put_u8(w, length);             // name length
  put_bytes(w, row->name, static_cast<int32_t>(length));  // name
  if (c->mode != kModeMov) put_u8(w, 0);                  // terminator
  patch_box_size(w, start);
}

void write_minf(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "minf");
  if (t->kind == kKindVideo) write_vmhd(c);
  if (t->kind == kKindAudio) write_smhd(c);
  if (t->kind == kKindTimecode) write_gmhd(c, t);
  if (c->mode == kModeMov) write_hdlr(c, nullptr);
  write_dinf(c, t);
  write_stbl(c, t);
  patch_box_size(w, start);
}

void write_vmhd(MuxContext* c) {
  ByteWriter* w = c->writer;
  put_be32(w, 20);
  put_tag(w, "vmhd");
  put_be32(w, 1);  // version 0, flags 1
  put_be32(w, 0);  // graphics mode, opcolor red
  put_be32(w, 0);  // opcolor green, blue
}

void write_smhd(MuxContext* c) {
  ByteWriter* w = c->writer;
  put_be32(w, 16);
  put_tag(w, "smhd");
  put_be32(w, 0);  // version and flags
  put_be16(w, 0);  // balance
  put_be16(w, 0);  // reserved
}

void write_gmhd(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "gmhd");
  write_gmin(c);
  write_tmcd_info(c, t);
  patch_box_size(w, start);
}

void write_gmin(MuxContext* c) {
  ByteWriter* w = c->writer;
  int64_t start = open_full_box(w, "gmin", 0, 0);
  put_be16(w, 0x0040);  // graphics mode
  put_be16(w, 0x8000);  // opcolor red
  put_be16(w, 0x8000);  // opcolor green
  put_be16(w, 0x8000);  // opcolor blue
  put_be16(w, 0);       // balance
  put_be16(w, 0);       // reserved
  patch_box_size(w, start);
}

void write_dinf(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "dinf");
  write_dref(c, t);
  patch_box_size(w, start);
}

int32_t write_dref(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  put_be32(w, 28);
  put_tag(w, "dref");
  put_be32(w, 0);                            // version and flags
  put_be32(w, 1);                            // entry count
  put_be32(w, 12);                           // entry size
  put_tag(w, data_reference_type(t->kind));  // entry type
  put_be32(w, 1);                            // entry flags: data in this file
  return 28;
}
