// The format catalogue as a host sees it: the built plug-in is loaded as a
// host of the platform loads it (LoadLibraryW and GetProcAddress on Windows,
// dlopen and dlsym elsewhere), both tables are walked through the exports and
// every field of every record is compared with the catalogue below.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mx_mp4/host.h"
#include "platform/platform.h"
#include "plugin/slots.h"
#include "support/library.h"
#include "support/test_files.h"
#include "xqlog/xq_log.h"

namespace {

using Codes = std::vector<std::string>;

// Codec lists, written as the codes read.
const Codes AL1 = {"AAC ", "KAAC", "WAAC", "AC3 ", "PCM ", "flac"};
const Codes AL2 = {"AMRN", "AAC ", "WAAC"};
const Codes AL3 = {"AAC ", "WAAC"};
const Codes AL4 = {"AAC ", "EAAC", "WAAC", "AC3 ", "ALAC", "PCM ", "flac"};
const Codes AL5 = {"AAC ", "AC3 ", "WAAC", "ALAC", "PCM "};
const Codes AL6 = {"MAAC"};
const Codes AL7 = {"MAAC", "PCM "};
const Codes AL8 = {"MAAC", "EAAC", "AC3 ", "flac", "PCM "};
const Codes AL9 = {"MAAC", "EAAC", "PCM "};
const Codes AL10 = {"AAC ", "WAAC", "EAAC", "AC3 ", "ALAC", "PCM ", "flac"};
const Codes AL11 = {"AAC ", "WAAC", "AC3 ", "PCM "};
const Codes AL12 = {"MAAC", "EAAC", "AC3 ", "PCM ", "flac"};
const Codes VL1 = {"K264", "VT64", "V265", "N264", "E264", "I264", "A264",
                   "AAVC", "K265", "HEVC", "A265", "I265", "E265", "V265"};
const Codes VL2 = {"H263", "Xvid"};
const Codes VL3 = {"Xvid", "H264", "N264", "E264", "A264", "AAVC", "I264", "VT64", "V265"};
const Codes VL4 = {"Xvid"};
const Codes VL5 = {"H263"};
const Codes VL6 = {"A264", "AAVC", "Xvid", "H264", "N264", "NB24", "AB24", "IB24", "I264",
                   "EB24", "E264", "B264", "HEVC", "AV1 ", "IAV1", "AAV1", "EAV1", "CFHD"};
const Codes VL7 = {"A264", "AAVC", "N264", "E264", "I264", "VT64", "V265"};
const Codes VL8 = {"NATV", "NPOD", "NPSP", "NPS3", "EATV", "EPOD", "EPSP", "EPS3", "AATV",
                   "APOD", "APS3", "IATV", "IAPD", "IPSP", "IPS3", "VT64", "V265"};
const Codes VL9 = {"Xvid", "H264", "N264", "E264", "A264", "AAVC",
                   "I264", "NB24", "AB24", "IB24", "EB24", "B264"};
const Codes VL10 = {"Xvid", "H264", "HAVC", "N264", "E264", "I264", "A264", "AAVC",
                    "NB24", "AB24", "IB24", "EB24", "IXBX", "HEVC", "A265", "I265",
                    "E265", "B264", "K264", "AV1 ", "IAV1", "AAV1", "EAV1", "AVHD"};
const Codes VL11 = {"H264", "N264", "E264", "A264", "AAVC", "I264", "VT64", "V265"};
const Codes VL12 = {"h264", "N264", "E264", "A264", "AAVC", "I264", "VT64", "V265"};
const Codes VL13 = {"PAVC", "PM4V"};
const Codes VL14 = {"IAVC", "IM4V"};
const Codes VL15 = {"PS3H"};
const Codes VL16 = {"VAVC", "VM4V", "EAAC"};
const Codes VL17 = {"MP4V", "M264", "HAVC", "B264", "AV1 ", "IAV1", "AAV1", "EAV1", "CFHD"};
const Codes VL18 = {"FAVC"};
const Codes VL19 = {"IPON", "MPON"};
const Codes VL20 = {"IPAN", "MPAN"};
const Codes VL21 = {"K264", "K265", "HEVC", "VT64", "A265", "I265", "E265", "V265"};
const Codes VL22 = {"Xvid", "H264", "N264", "E264", "A264", "AAVC", "I264",
                    "NB24", "AB24", "IB24", "EB24", "B264", "VT64", "V265"};
const Codes VL23 = {"MP4V", "M264", "HAVC", "B264", "VT64", "V265",
                    "AV1 ", "IAV1", "AAV1", "EAV1", "CFHD"};

enum Slots { kAll, kNoVideo };

struct Row {
  const char* code;
  const char* extension;
  const char* short_name;
  const char* description;
  const Codes* audio;
  const Codes* video;  // null: audio-only
  Slots slots;
  uint64_t flags;
  bool options;
  const Codes* multi_audio;
  const Codes* multi_video;
};

const Row kCatalogue[] = {
    {"KMP4", ".mp4", "MP4", "MPEG-4 Movie", &AL1, &VL1, kAll, 1, true, &AL1, &VL21},
    {"3GP ", ".3gp", "3GP", "3rd Generation Partnership Project", &AL2, &VL2, kAll, 0, false, &AL2,
     &VL2},
    {"3GP2", ".3g2", "3GP2", "3rd Generation Partnership Project 2", &AL2, &VL3, kAll, 0, false,
     &AL2, &VL3},
    {"KDDI", ".3g2", "DDIK", "3rd Generation Partnership Project 2", &AL3, &VL4, kAll, 0, false,
     &AL3, &VL4},
    {"3GPH", ".3gp", "H263 3GP", "H263 3GP video", &AL2, &VL5, kAll, 0, false, &AL2, &VL5},
    {"MP4 ", ".mp4", "MP4", "MPEG-4 Movie", &AL4, &VL6, kAll, 0, true, &AL10, &VL6},
    {"NF4V", ".f4v", "F4V", "MPEG-4 Movie", &AL4, &VL7, kAll, 0, false, &AL10, &VL7},
    {"NMP4", ".mp4", "MP4", "MPEG-4 Movie", &AL4, &VL8, kAll, 0, false, &AL10, &VL8},
    {"M4A ", ".m4a", "M4A", "MPEG-4 Audio", &AL4, nullptr, kNoVideo, 0, false, &AL10, nullptr},
    {"M4B ", ".m4b", "M4B", "MPEG-4 Audio", &AL4, nullptr, kNoVideo, 0, false, &AL10, nullptr},
    {"M4V ", ".m4v", "M4V", "MPEG-4 Video(Video only)", &AL4, &VL9, kAll, 0, true, &AL10, &VL22},
    {"MOV ", ".mov", "MOV", "Apple QuickTime", &AL5, &VL10, kAll, 0, true, &AL11, &VL10},
    {"AVC ", ".mp4", "MP4 AVC", "MP4 AVC", &AL4, &VL11, kAll, 0, true, &AL10, &VL11},
    {"xVid", ".mp4", "XVID", "xVid Movie", &AL4, &VL4, kAll, 0, false, &AL10, &VL4},
    {"PS3 ", ".mp4", "MP4 AVC", "PS3 MP4 H.264/AVC Video", &AL4, &VL12, kAll, 0, true, &AL10,
     &VL12},
    {"PSP ", ".mp4", "MP4 For PSP", "MP4 For PSP", &AL6, &VL13, kAll, 0, true, &AL7, &VL13},
    {"IPOD", ".mp4", "MP4 For IPOD", "MP4 For IPOD", &AL7, &VL14, kAll, 0, true, &AL7, &VL14},
    {"MPS3", ".mp4", "MP4 For PS3", "MP4 For PS3", &AL7, &VL15, kAll, 0, true, &AL7, &VL15},
    {"APTV", ".mp4", "MP4 For Apple TV", "MP4 For Apple TV", &AL7, &VL16, kAll, 0, true, &AL7,
     &VL16},
    {"MMP4", ".mp4", "MP4", "MPEG-4 Movie", &AL8, &VL17, kAll, 0, true, &AL12, &VL23},
    {"F4V ", ".f4v", "MP4", "MPEG-4 Movie", &AL8, &VL18, kAll, 0, true, &AL12, &VL18},
    {"IPON", ".mp4", "iPhone", "iPhone", &AL9, &VL19, kAll, 0, true, &AL9, &VL19},
    {"IPAN", ".mp4", "iPhone", "iPhone", &AL9, &VL20, kAll, 0, true, &AL9, &VL20},
};
constexpr size_t kFormatCount = 23;
static_assert(sizeof kCatalogue / sizeof kCatalogue[0] == kFormatCount);

uint32_t code_of(const std::string& text) {
  return MX_FOURCC(text[0], text[1], text[2], text[3]);
}

// A zero-terminated UTF-16 field must hold exactly text, then zeros to its end.
template <size_t N>
void expect_text_field(const MxChar (&field)[N], const char* text, const std::string& where) {
  std::u16string expected = u16(text);
  ASSERT_LT(expected.size(), N) << where;
  const auto* units = reinterpret_cast<const char16_t*>(field);
  EXPECT_EQ(std::u16string(units, wide_length(units, N)), expected) << where;
  for (size_t i = expected.size(); i < N; ++i) {
    ASSERT_EQ(field[i], 0) << where << ": unit " << i << " after the text";
  }
}

void expect_codec_list(const CodecListEntry* list, const Codes* expected,
                       const std::string& where) {
  if (expected == nullptr) {
    EXPECT_EQ(list, nullptr) << where;
    return;
  }
  ASSERT_NE(list, nullptr) << where;
  for (size_t i = 0; i < expected->size(); ++i) {
    const std::string& code = (*expected)[i];
    EXPECT_EQ(list[i].fourcc, code_of(code)) << where << " entry " << i << " (" << code << ")";
    EXPECT_EQ(list[i].aux, code == "PCM " ? 1u : 0u) << where << " entry " << i;
  }
  const CodecListEntry& end = list[expected->size()];
  EXPECT_EQ(end.fourcc, 0u) << where << ": list must end after " << expected->size();
  EXPECT_EQ(end.aux, 0u) << where << ": terminator";
}

void expect_all_zero(const FormatDescriptor& record, const std::string& where) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) ASSERT_EQ(bytes[i], 0) << where << " byte " << i;
}

class PluginTables : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin_ = open_library(MX_PLUGIN_PATH);
    ASSERT_NE(plugin_, nullptr) << library_error();
    get_formats_ = reinterpret_cast<GetFileFormatsFn>(library_symbol(plugin_, "GetFileFormats"));
    get_multi_ = reinterpret_cast<GetFileMultiStreamFormatsFn>(
        library_symbol(plugin_, "GetFileMultiStreamFormats"));
    ASSERT_NE(get_formats_, nullptr);
    ASSERT_NE(get_multi_, nullptr);
  }
  void TearDown() override {
    if (plugin_) close_library(plugin_);
  }
  // True when address lies inside the loaded plug-in.
  bool in_plugin(const void* address) const {
    const void* base = module_base_of(reinterpret_cast<const void*>(get_formats_));
    return base != nullptr && module_base_of(address) == base;
  }

  void* plugin_ = nullptr;
  GetFileFormatsFn get_formats_ = nullptr;
  GetFileMultiStreamFormatsFn get_multi_ = nullptr;
};

TEST_F(PluginTables, SingleStreamTableMatchesTheCatalogue) {
  const FormatDescriptor* table = get_formats_();
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(get_formats_(), table) << "one static table";
  const SingleStreamSlots& first = table[0].slots.single;
  for (size_t i = 0; i < kFormatCount; ++i) {
    const Row& row = kCatalogue[i];
    const FormatDescriptor& f = table[i];
    std::string where = "single #" + std::to_string(i) + " " + row.code;
    ASSERT_NE(f.fourcc, 0u) << where << ": table ends early";
    EXPECT_EQ(f.fourcc, code_of(row.code)) << where;
    expect_text_field(f.extension, row.extension, where + " extension");
    expect_text_field(f.short_name, row.short_name, where + " short name");
    expect_text_field(f.description, row.description, where + " description");
    expect_codec_list(f.audio_codecs, row.audio, where + " audio");
    expect_codec_list(f.video_codecs, row.video, where + " video");

    const SingleStreamSlots& s = f.slots.single;
    EXPECT_NE(s.CreateMediaFile, nullptr) << where;
    EXPECT_NE(s.WriteAudioFrame, nullptr) << where;
    EXPECT_NE(s.CloseMediaFile, nullptr) << where;
    EXPECT_NE(s.WriteAudioExtraData, nullptr) << where;
    if (row.slots == kAll) {
      EXPECT_NE(s.WriteVideoFrame, nullptr) << where;
      EXPECT_NE(s.WriteVideoExtraData, nullptr) << where;
    } else {
      EXPECT_EQ(s.WriteVideoFrame, nullptr) << where;
      EXPECT_EQ(s.WriteVideoExtraData, nullptr) << where;
    }
    EXPECT_EQ(s.flags, row.flags) << where;
    EXPECT_EQ(s.SetWriterOptions != nullptr, row.options) << where;
    // Every entry points to the same functions, all inside the plug-in.
    EXPECT_EQ(s.CreateMediaFile, first.CreateMediaFile) << where;
    EXPECT_EQ(s.WriteAudioFrame, first.WriteAudioFrame) << where;
    EXPECT_EQ(s.CloseMediaFile, first.CloseMediaFile) << where;
    EXPECT_EQ(s.WriteAudioExtraData, first.WriteAudioExtraData) << where;
    if (s.WriteVideoFrame) {
      EXPECT_EQ(s.WriteVideoFrame, first.WriteVideoFrame) << where;
    }
    if (s.WriteVideoExtraData) {
      EXPECT_EQ(s.WriteVideoExtraData, first.WriteVideoExtraData) << where;
    }
    if (s.SetWriterOptions) {
      EXPECT_EQ(s.SetWriterOptions, first.SetWriterOptions) << where;
    }
  }
  expect_all_zero(table[kFormatCount], "single-stream terminator");
  const void* slots[] = {reinterpret_cast<const void*>(first.CreateMediaFile),
                         reinterpret_cast<const void*>(first.WriteAudioFrame),
                         reinterpret_cast<const void*>(first.WriteVideoFrame),
                         reinterpret_cast<const void*>(first.CloseMediaFile),
                         reinterpret_cast<const void*>(first.WriteAudioExtraData),
                         reinterpret_cast<const void*>(first.WriteVideoExtraData),
                         reinterpret_cast<const void*>(first.SetWriterOptions)};
  for (const void* slot : slots) EXPECT_TRUE(in_plugin(slot));
}

TEST_F(PluginTables, MultiStreamTableMatchesTheCatalogue) {
  const FormatDescriptor* table = get_multi_();
  ASSERT_NE(table, nullptr);
  const FormatDescriptor* single = get_formats_();
  EXPECT_NE(table, single);
  const MultiStreamSlots& first = table[0].slots.multi;
  for (size_t i = 0; i < kFormatCount; ++i) {
    const Row& row = kCatalogue[i];
    const FormatDescriptor& f = table[i];
    std::string where = "multi #" + std::to_string(i) + " " + row.code;
    ASSERT_NE(f.fourcc, 0u) << where << ": table ends early";
    EXPECT_EQ(f.fourcc, code_of(row.code)) << where;
    expect_text_field(f.extension, row.extension, where + " extension");
    expect_text_field(f.short_name, row.short_name, where + " short name");
    expect_text_field(f.description, row.description, where + " description");
    expect_codec_list(f.audio_codecs, row.multi_audio, where + " audio");
    expect_codec_list(f.video_codecs, row.multi_video, where + " video");

    const MultiStreamSlots& m = f.slots.multi;
    EXPECT_EQ(m.unused, nullptr) << where << ": word 424";
    // A host that reads offset 424 as a create slot finds null, not a function.
    uint64_t word424;
    std::memcpy(&word424, reinterpret_cast<const uint8_t*>(&f) + 424, 8);
    EXPECT_EQ(word424, 0u) << where;
    EXPECT_NE(m.CreateMediaFileMultiStream, nullptr) << where;
    EXPECT_NE(m.AddStreamInfoMultiStream, nullptr) << where;
    EXPECT_NE(m.InitMediaFileMultiStream, nullptr) << where;
    EXPECT_NE(m.WriteFrameMultiStream, nullptr) << where;
    EXPECT_NE(m.CloseMediaFileMultiStream, nullptr) << where;
    EXPECT_NE(m.WriteExtraDataMultiStream, nullptr) << where;
    EXPECT_EQ(m.flags, 1u) << where;
    EXPECT_EQ(std::memcmp(&m, &first, sizeof m), 0) << where << ": same slots everywhere";
  }
  expect_all_zero(table[kFormatCount], "multi-stream terminator");
  const void* slots[] = {reinterpret_cast<const void*>(first.CreateMediaFileMultiStream),
                         reinterpret_cast<const void*>(first.AddStreamInfoMultiStream),
                         reinterpret_cast<const void*>(first.InitMediaFileMultiStream),
                         reinterpret_cast<const void*>(first.WriteFrameMultiStream),
                         reinterpret_cast<const void*>(first.CloseMediaFileMultiStream),
                         reinterpret_cast<const void*>(first.WriteExtraDataMultiStream)};
  for (const void* slot : slots) EXPECT_TRUE(in_plugin(slot));
}

TEST_F(PluginTables, ExportsLogTheirCalls) {
  std::string path = test_temp_path("catalogue.log");
  std::remove(path.c_str());
  ASSERT_EQ(XQ_SetLogSink(XQ_LOG_FILE, path.c_str()), 0);
  get_formats_();
  get_multi_();
  XQ_SetLogSink(XQ_LOG_NONE, nullptr);
  std::vector<uint8_t> bytes = read_whole_file(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
            "mx_mp4.dll: Return file formats...\n"
            "mx_mp4: GetFileMultiStreamFormats... \n");
  std::remove(path.c_str());
}

TEST(FormatLookup, FindsEveryCodeOfTheSingleStreamTableAndNothingElse) {
  FormatDescriptor* table = GetFileFormats();
  for (size_t i = 0; i < kFormatCount; ++i) {
    EXPECT_EQ(find_single_stream_format(code_of(kCatalogue[i].code)), &table[i])
        << kCatalogue[i].code;
  }
  for (const char* unknown : {"ABCD", "mp4 ", "MP4\0", "PCM ", "H264"}) {
    EXPECT_EQ(find_single_stream_format(code_of(unknown)), nullptr) << unknown;
  }
  EXPECT_EQ(find_single_stream_format(0), nullptr) << "the terminator is not a format";
}

}  // namespace
