#include "codecs/avcc.h"

#include <cstdint>

#include "xqlog/xq_log.h"

namespace {

// A four-character code as the host stores it: first character in the lowest byte.
constexpr uint32_t host_fourcc(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

constexpr uint32_t kBaseline = 66;
constexpr uint32_t kMain = 77;
constexpr uint32_t kHigh = 100;

struct AvcCodeRow {
  uint32_t video_fourcc;
  AvcProfileLevel indication;
};

constexpr AvcCodeRow kAvcCodes[] = {
    {host_fourcc("HAVC"), {kBaseline, 41}}, {host_fourcc("h264"), {kBaseline, 41}},
    {host_fourcc("K264"), {kBaseline, 41}}, {host_fourcc("M264"), {kBaseline, 41}},
    {host_fourcc("VAVC"), {kBaseline, 31}}, {host_fourcc("EPSP"), {kMain, 30}},
    {host_fourcc("IPSP"), {kMain, 30}},     {host_fourcc("NPSP"), {kMain, 30}},
    {host_fourcc("FAVC"), {kMain, 30}},     {host_fourcc("PS3H"), {kHigh, 42}},
    {host_fourcc("APS3"), {kHigh, 42}},     {host_fourcc("EPS3"), {kHigh, 42}},
    {host_fourcc("IPS3"), {kHigh, 42}},     {host_fourcc("NPS3"), {kHigh, 42}},
};
constexpr AvcProfileLevel kDefaultIndication = {kBaseline, 30};

// The record's length fields are 16 bits: a longer parameter set cannot be
// described, and is left out (the count then says zero sets) rather than
// written with a wrapped length that would misalign everything after it.
constexpr uint32_t kMaxParameterSetLength = 0xFFFF;

void put_parameter_sets(ByteWriter* w, uint32_t count_reserved_bits, const uint8_t* data,
                        uint32_t size, const char16_t* name) {
  if (data == nullptr) size = 0;
  if (size > kMaxParameterSetLength) {
    XQ_LogFormat(u"avcC: %ls parameter set of %u bytes is too long, left out\n", name, size);
    put_u8(w, count_reserved_bits);  // no sets
    return;
  }
  put_u8(w, count_reserved_bits | 1);
  put_be16(w, size);
  if (size > 0) put_bytes(w, data, static_cast<int32_t>(size));
}

}  // namespace

AvcProfileLevel choose_avc_profile_level(uint32_t video_fourcc) {
  for (const AvcCodeRow& row : kAvcCodes) {
    if (row.video_fourcc == video_fourcc) return row.indication;
  }
  return kDefaultIndication;
}

void write_avcc(MuxContext* c, MuxTrack* t) {
  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "avcC");
  put_u8(w, 1);  // configurationVersion
  put_u8(w, t->avc_profile & 0xFF);
  put_u8(w, t->avc_compat & 0xFF);
  put_u8(w, t->avc_level & 0xFF);
  put_u8(w, 0xFF);  // reserved bits, lengthSizeMinusOne 3: 4-byte NAL lengths
  put_parameter_sets(w, 0xE0, t->extradata, t->extradata_size, u"sequence");
  put_parameter_sets(w, 0x00, t->extradata2, t->extradata2_size, u"picture");
  patch_box_size(w, start);
}
