// The format catalogue: the two tables the host receives from the exports.
//
// Both tables are writable module data because the host receives them as
// non-const pointers; nothing in the plug-in changes them. Several formats
// share one codec list. "PCM " is the one codec entry with auxiliary value 1.
#include "mx_mp4/host.h"
#include "plugin/slots.h"
#include "xqlog/xq_log.h"

namespace {

constexpr uint32_t fcc(const char (&c)[5]) {
  return MX_FOURCC(c[0], c[1], c[2], c[3]);
}
constexpr CodecListEntry code(const char (&c)[5]) {
  return {fcc(c), 0};
}
constexpr CodecListEntry kPcm = {fcc("PCM "), 1};
constexpr CodecListEntry kEnd = {0, 0};

// clang-format off

// Accepted audio codecs (AL) and video codecs (VL).
constexpr CodecListEntry AL1[] = {code("AAC "), code("KAAC"), code("WAAC"), code("AC3 "), kPcm, code("flac"), kEnd};
constexpr CodecListEntry AL2[] = {code("AMRN"), code("AAC "), code("WAAC"), kEnd};
constexpr CodecListEntry AL3[] = {code("AAC "), code("WAAC"), kEnd};
constexpr CodecListEntry AL4[] = {code("AAC "), code("EAAC"), code("WAAC"), code("AC3 "), code("ALAC"), kPcm, code("flac"), kEnd};
constexpr CodecListEntry AL5[] = {code("AAC "), code("AC3 "), code("WAAC"), code("ALAC"), kPcm, kEnd};
constexpr CodecListEntry AL6[] = {code("MAAC"), kEnd};
constexpr CodecListEntry AL7[] = {code("MAAC"), kPcm, kEnd};
constexpr CodecListEntry AL8[] = {code("MAAC"), code("EAAC"), code("AC3 "), code("flac"), kPcm, kEnd};
constexpr CodecListEntry AL9[] = {code("MAAC"), code("EAAC"), kPcm, kEnd};
constexpr CodecListEntry AL10[] = {code("AAC "), code("WAAC"), code("EAAC"), code("AC3 "), code("ALAC"), kPcm, code("flac"), kEnd};
constexpr CodecListEntry AL11[] = {code("AAC "), code("WAAC"), code("AC3 "), kPcm, kEnd};
constexpr CodecListEntry AL12[] = {code("MAAC"), code("EAAC"), code("AC3 "), kPcm, code("flac"), kEnd};

constexpr CodecListEntry VL1[] = {code("K264"), code("VT64"), code("V265"), code("N264"), code("E264"), code("I264"), code("A264"),
                                  code("AAVC"), code("K265"), code("HEVC"), code("A265"), code("I265"), code("E265"), code("V265"), kEnd};
constexpr CodecListEntry VL2[] = {code("H263"), code("Xvid"), kEnd};
constexpr CodecListEntry VL3[] = {code("Xvid"), code("H264"), code("N264"), code("E264"), code("A264"), code("AAVC"), code("I264"),
                                  code("VT64"), code("V265"), kEnd};
constexpr CodecListEntry VL4[] = {code("Xvid"), kEnd};
constexpr CodecListEntry VL5[] = {code("H263"), kEnd};
constexpr CodecListEntry VL6[] = {code("A264"), code("AAVC"), code("Xvid"), code("H264"), code("N264"), code("NB24"), code("AB24"),
                                  code("IB24"), code("I264"), code("EB24"), code("E264"), code("B264"), code("HEVC"), code("AV1 "),
                                  code("IAV1"), code("AAV1"), code("EAV1"), code("CFHD"), kEnd};
constexpr CodecListEntry VL7[] = {code("A264"), code("AAVC"), code("N264"), code("E264"), code("I264"), code("VT64"), code("V265"), kEnd};
constexpr CodecListEntry VL8[] = {code("NATV"), code("NPOD"), code("NPSP"), code("NPS3"), code("EATV"), code("EPOD"), code("EPSP"),
                                  code("EPS3"), code("AATV"), code("APOD"), code("APS3"), code("IATV"), code("IAPD"), code("IPSP"),
                                  code("IPS3"), code("VT64"), code("V265"), kEnd};
constexpr CodecListEntry VL9[] = {code("Xvid"), code("H264"), code("N264"), code("E264"), code("A264"), code("AAVC"), code("I264"),
                                  code("NB24"), code("AB24"), code("IB24"), code("EB24"), code("B264"), kEnd};
constexpr CodecListEntry VL10[] = {code("Xvid"), code("H264"), code("HAVC"), code("N264"), code("E264"), code("I264"), code("A264"),
                                   code("AAVC"), code("NB24"), code("AB24"), code("IB24"), code("EB24"), code("IXBX"), code("HEVC"),
                                   code("A265"), code("I265"), code("E265"), code("B264"), code("K264"), code("AV1 "), code("IAV1"),
                                   code("AAV1"), code("EAV1"), code("AVHD"), kEnd};
constexpr CodecListEntry VL11[] = {code("H264"), code("N264"), code("E264"), code("A264"), code("AAVC"), code("I264"), code("VT64"),
                                   code("V265"), kEnd};
constexpr CodecListEntry VL12[] = {code("h264"), code("N264"), code("E264"), code("A264"), code("AAVC"), code("I264"), code("VT64"),
                                   code("V265"), kEnd};
constexpr CodecListEntry VL13[] = {code("PAVC"), code("PM4V"), kEnd};
constexpr CodecListEntry VL14[] = {code("IAVC"), code("IM4V"), kEnd};
constexpr CodecListEntry VL15[] = {code("PS3H"), kEnd};
constexpr CodecListEntry VL16[] = {code("VAVC"), code("VM4V"), code("EAAC"), kEnd};  // an audio code, kept as the hosts know it
constexpr CodecListEntry VL17[] = {code("MP4V"), code("M264"), code("HAVC"), code("B264"), code("AV1 "), code("IAV1"), code("AAV1"),
                                   code("EAV1"), code("CFHD"), kEnd};
constexpr CodecListEntry VL18[] = {code("FAVC"), kEnd};
constexpr CodecListEntry VL19[] = {code("IPON"), code("MPON"), kEnd};
constexpr CodecListEntry VL20[] = {code("IPAN"), code("MPAN"), kEnd};
constexpr CodecListEntry VL21[] = {code("K264"), code("K265"), code("HEVC"), code("VT64"), code("A265"), code("I265"), code("E265"),
                                   code("V265"), kEnd};
constexpr CodecListEntry VL22[] = {code("Xvid"), code("H264"), code("N264"), code("E264"), code("A264"), code("AAVC"), code("I264"),
                                   code("NB24"), code("AB24"), code("IB24"), code("EB24"), code("B264"), code("VT64"), code("V265"), kEnd};
constexpr CodecListEntry VL23[] = {code("MP4V"), code("M264"), code("HAVC"), code("B264"), code("VT64"), code("V265"), code("AV1 "),
                                   code("IAV1"), code("AAV1"), code("EAV1"), code("CFHD"), kEnd};

// Slot words of a single-stream entry. Every entry points to the same
// functions; audio-only entries leave the video slots out, and only some
// entries offer the options slot. The flags word is 1 in the first entry.
constexpr SingleStreamSlots kFirstSlots   = {CreateMediaFile, WriteAudioFrame, WriteVideoFrame, CloseMediaFile, WriteAudioExtraData, WriteVideoExtraData, 1, SetWriterOptions};
constexpr SingleStreamSlots kSlots        = {CreateMediaFile, WriteAudioFrame, WriteVideoFrame, CloseMediaFile, WriteAudioExtraData, WriteVideoExtraData, 0, nullptr};
constexpr SingleStreamSlots kOptionsSlots = {CreateMediaFile, WriteAudioFrame, WriteVideoFrame, CloseMediaFile, WriteAudioExtraData, WriteVideoExtraData, 0, SetWriterOptions};
constexpr SingleStreamSlots kAudioSlots   = {CreateMediaFile, WriteAudioFrame, nullptr,         CloseMediaFile, WriteAudioExtraData, nullptr,             0, nullptr};

// Slot words of every multi-stream entry: the first word stays null, flags 1.
constexpr MultiStreamSlots kMulti = {nullptr, CreateMediaFileMultiStream, AddStreamInfoMultiStream, InitMediaFileMultiStream,
                                     WriteFrameMultiStream, CloseMediaFileMultiStream, WriteExtraDataMultiStream, 1};

FormatDescriptor g_single_stream_formats[] = {
    {fcc("KMP4"), MX_TEXT(".mp4"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL1, VL1,     {kFirstSlots}},
    {fcc("3GP "), MX_TEXT(".3gp"), MX_TEXT("3GP"),              MX_TEXT("3rd Generation Partnership Project"),   AL2, VL2,     {kSlots}},
    {fcc("3GP2"), MX_TEXT(".3g2"), MX_TEXT("3GP2"),             MX_TEXT("3rd Generation Partnership Project 2"), AL2, VL3,     {kSlots}},
    {fcc("KDDI"), MX_TEXT(".3g2"), MX_TEXT("DDIK"),             MX_TEXT("3rd Generation Partnership Project 2"), AL3, VL4,     {kSlots}},
    {fcc("3GPH"), MX_TEXT(".3gp"), MX_TEXT("H263 3GP"),         MX_TEXT("H263 3GP video"),                       AL2, VL5,     {kSlots}},
    {fcc("MP4 "), MX_TEXT(".mp4"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL4, VL6,     {kOptionsSlots}},
    {fcc("NF4V"), MX_TEXT(".f4v"), MX_TEXT("F4V"),              MX_TEXT("MPEG-4 Movie"),                         AL4, VL7,     {kSlots}},
    {fcc("NMP4"), MX_TEXT(".mp4"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL4, VL8,     {kSlots}},
    {fcc("M4A "), MX_TEXT(".m4a"), MX_TEXT("M4A"),              MX_TEXT("MPEG-4 Audio"),                         AL4, nullptr, {kAudioSlots}},
    {fcc("M4B "), MX_TEXT(".m4b"), MX_TEXT("M4B"),              MX_TEXT("MPEG-4 Audio"),                         AL4, nullptr, {kAudioSlots}},
    {fcc("M4V "), MX_TEXT(".m4v"), MX_TEXT("M4V"),              MX_TEXT("MPEG-4 Video(Video only)"),             AL4, VL9,     {kOptionsSlots}},
    {fcc("MOV "), MX_TEXT(".mov"), MX_TEXT("MOV"),              MX_TEXT("Apple QuickTime"),                      AL5, VL10,    {kOptionsSlots}},
    {fcc("AVC "), MX_TEXT(".mp4"), MX_TEXT("MP4 AVC"),          MX_TEXT("MP4 AVC"),                              AL4, VL11,    {kOptionsSlots}},
    {fcc("xVid"), MX_TEXT(".mp4"), MX_TEXT("XVID"),             MX_TEXT("xVid Movie"),                           AL4, VL4,     {kSlots}},
    {fcc("PS3 "), MX_TEXT(".mp4"), MX_TEXT("MP4 AVC"),          MX_TEXT("PS3 MP4 H.264/AVC Video"),              AL4, VL12,    {kOptionsSlots}},
    {fcc("PSP "), MX_TEXT(".mp4"), MX_TEXT("MP4 For PSP"),      MX_TEXT("MP4 For PSP"),                          AL6, VL13,    {kOptionsSlots}},
    {fcc("IPOD"), MX_TEXT(".mp4"), MX_TEXT("MP4 For IPOD"),     MX_TEXT("MP4 For IPOD"),                         AL7, VL14,    {kOptionsSlots}},
    {fcc("MPS3"), MX_TEXT(".mp4"), MX_TEXT("MP4 For PS3"),      MX_TEXT("MP4 For PS3"),                          AL7, VL15,    {kOptionsSlots}},
    {fcc("APTV"), MX_TEXT(".mp4"), MX_TEXT("MP4 For Apple TV"), MX_TEXT("MP4 For Apple TV"),                     AL7, VL16,    {kOptionsSlots}},
    {fcc("MMP4"), MX_TEXT(".mp4"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL8, VL17,    {kOptionsSlots}},
    {fcc("F4V "), MX_TEXT(".f4v"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL8, VL18,    {kOptionsSlots}},
    {fcc("IPON"), MX_TEXT(".mp4"), MX_TEXT("iPhone"),           MX_TEXT("iPhone"),                               AL9, VL19,    {kOptionsSlots}},
    {fcc("IPAN"), MX_TEXT(".mp4"), MX_TEXT("iPhone"),           MX_TEXT("iPhone"),                               AL9, VL20,    {kOptionsSlots}},
    {},  // terminator
};

FormatDescriptor g_multi_stream_formats[] = {
    {fcc("KMP4"), MX_TEXT(".mp4"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL1,  VL21,    {.multi = kMulti}},
    {fcc("3GP "), MX_TEXT(".3gp"), MX_TEXT("3GP"),              MX_TEXT("3rd Generation Partnership Project"),   AL2,  VL2,     {.multi = kMulti}},
    {fcc("3GP2"), MX_TEXT(".3g2"), MX_TEXT("3GP2"),             MX_TEXT("3rd Generation Partnership Project 2"), AL2,  VL3,     {.multi = kMulti}},
    {fcc("KDDI"), MX_TEXT(".3g2"), MX_TEXT("DDIK"),             MX_TEXT("3rd Generation Partnership Project 2"), AL3,  VL4,     {.multi = kMulti}},
    {fcc("3GPH"), MX_TEXT(".3gp"), MX_TEXT("H263 3GP"),         MX_TEXT("H263 3GP video"),                       AL2,  VL5,     {.multi = kMulti}},
    {fcc("MP4 "), MX_TEXT(".mp4"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL10, VL6,     {.multi = kMulti}},
    {fcc("NF4V"), MX_TEXT(".f4v"), MX_TEXT("F4V"),              MX_TEXT("MPEG-4 Movie"),                         AL10, VL7,     {.multi = kMulti}},
    {fcc("NMP4"), MX_TEXT(".mp4"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL10, VL8,     {.multi = kMulti}},
    {fcc("M4A "), MX_TEXT(".m4a"), MX_TEXT("M4A"),              MX_TEXT("MPEG-4 Audio"),                         AL10, nullptr, {.multi = kMulti}},
    {fcc("M4B "), MX_TEXT(".m4b"), MX_TEXT("M4B"),              MX_TEXT("MPEG-4 Audio"),                         AL10, nullptr, {.multi = kMulti}},
    {fcc("M4V "), MX_TEXT(".m4v"), MX_TEXT("M4V"),              MX_TEXT("MPEG-4 Video(Video only)"),             AL10, VL22,    {.multi = kMulti}},
    {fcc("MOV "), MX_TEXT(".mov"), MX_TEXT("MOV"),              MX_TEXT("Apple QuickTime"),                      AL11, VL10,    {.multi = kMulti}},
    {fcc("AVC "), MX_TEXT(".mp4"), MX_TEXT("MP4 AVC"),          MX_TEXT("MP4 AVC"),                              AL10, VL11,    {.multi = kMulti}},
    {fcc("xVid"), MX_TEXT(".mp4"), MX_TEXT("XVID"),             MX_TEXT("xVid Movie"),                           AL10, VL4,     {.multi = kMulti}},
    {fcc("PS3 "), MX_TEXT(".mp4"), MX_TEXT("MP4 AVC"),          MX_TEXT("PS3 MP4 H.264/AVC Video"),              AL10, VL12,    {.multi = kMulti}},
    {fcc("PSP "), MX_TEXT(".mp4"), MX_TEXT("MP4 For PSP"),      MX_TEXT("MP4 For PSP"),                          AL7,  VL13,    {.multi = kMulti}},
    {fcc("IPOD"), MX_TEXT(".mp4"), MX_TEXT("MP4 For IPOD"),     MX_TEXT("MP4 For IPOD"),                         AL7,  VL14,    {.multi = kMulti}},
    {fcc("MPS3"), MX_TEXT(".mp4"), MX_TEXT("MP4 For PS3"),      MX_TEXT("MP4 For PS3"),                          AL7,  VL15,    {.multi = kMulti}},
    {fcc("APTV"), MX_TEXT(".mp4"), MX_TEXT("MP4 For Apple TV"), MX_TEXT("MP4 For Apple TV"),                     AL7,  VL16,    {.multi = kMulti}},
    {fcc("MMP4"), MX_TEXT(".mp4"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL12, VL23,    {.multi = kMulti}},
    {fcc("F4V "), MX_TEXT(".f4v"), MX_TEXT("MP4"),              MX_TEXT("MPEG-4 Movie"),                         AL12, VL18,    {.multi = kMulti}},
    {fcc("IPON"), MX_TEXT(".mp4"), MX_TEXT("iPhone"),           MX_TEXT("iPhone"),                               AL9,  VL19,    {.multi = kMulti}},
    {fcc("IPAN"), MX_TEXT(".mp4"), MX_TEXT("iPhone"),           MX_TEXT("iPhone"),                               AL9,  VL20,    {.multi = kMulti}},
    {},  // terminator
};

// clang-format on

}  // namespace

FormatDescriptor* find_single_stream_format(uint32_t file_fourcc) {
  for (FormatDescriptor* format = g_single_stream_formats; format->fourcc != 0; ++format) {
    if (format->fourcc == file_fourcc) return format;
  }
  return nullptr;
}

extern "C" __attribute__((visibility("default"))) FormatDescriptor* GetFileFormats() {
  XQ_LogFormat(u"mx_mp4.dll: Return file formats...");
  return g_single_stream_formats;
}

extern "C" __attribute__((visibility("default"))) FormatDescriptor* GetFileMultiStreamFormats() {
  XQ_LogFormat(u"mx_%ls: GetFileMultiStreamFormats... \n", u"mp4");
  return g_multi_stream_formats;
}
