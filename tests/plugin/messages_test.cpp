// The plug-in's log messages, each provoked through the slots as a host would
// and compared with its whole text. The same table runs in the Linux and in
// the Windows build, so a message that renders differently on one of them (a
// text argument taken as 8-bit text, a 64-bit number, a fraction, a negative
// number) fails there. File names carry non-ASCII characters, one of them
// outside the Basic Multilingual Plane.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/plugin_host.h"
#include "support/test_files.h"

using host::fourcc;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xFF, 0x12, 0x34};

struct MessageCase {
  const char* name;
  const char* file;  // made in the test scratch folder; "{file}" in a line is its path
  std::function<void(const std::string& file)> provoke;
  std::vector<std::string> lines;  // each must be logged, whole
};

std::unique_ptr<EncParam> video_params(const char* file_code, double frame_rate) {
  auto p = host::blank_params(fourcc("MP4 "));
  p->file_fourcc = MX_FOURCC(file_code[0], file_code[1], file_code[2], file_code[3]);
  host::set_video(*p, fourcc("H264"), 320, 240, frame_rate);
  return p;
}

std::unique_ptr<EncParam> audio_params(const char (&codec)[5]) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc(codec), 48000, 2);
  return p;
}

// One session of these parameters; `body` runs while it is open.
void session(const EncParam& p, const std::string& file,
             const std::function<void(host::Session&)>& body = {}) {
  host::Session s(p, file);
  if (s.open() && body) body(s);
}

void audio_packet(host::Session& s, const Bytes& packet, std::vector<int32_t> info,
                  bool with_info = true) {
  MxAudioFrame a =
      host::audio_frame(packet.data(), static_cast<int32_t>(packet.size()), 0, /*channels=*/2);
  s.audio(a, with_info ? info.data() : nullptr);
}

void picture_session(const char* file_code, bool live_photo, MxPicture picture,
                     const std::string& file) {
  auto p = video_params(file_code, 25.0);
  p->metadata.live_photo = live_photo ? 1 : 0;
  p->metadata.cover_art = &picture;
  session(*p, file);
}

const Bytes kJpegStart = {0xFF, 0xD8, 0xFF, 0xD9};

const MessageCase kCases[] = {
    {"file name as text",
     "message é 日本 \U0001F600.mp4",
     [](const std::string& file) { session(*video_params("MP4 ", 25.0), file); },
     {"mx_mp4.dll: Creating media file[{file}]...", "mx_mp4.dll: writed trail successful.",
      "mx_mp4.dll: mp4 file released successful.", "mx_mp4.dll: media file closed."}},
    {"file that cannot be made",
     "no folder é/日本.mp4",
     [](const std::string& file) { session(*video_params("MP4 ", 25.0), file); },
     {"CMp4Writer::Init fopen Failed [2]", "mx_mp4.dll: Create file[{file}] failed."}},
    {"missing pointers",
     "",
     [](const std::string&) { host::slots_for(fourcc("MP4 ")).CreateMediaFile(nullptr, nullptr); },
     {"mx_mp4.dll: wrong poiter - pFileName[0] or pEncParam[0])."}},
    {"negative fraction",
     "rate.mp4",
     [](const std::string& file) { session(*video_params("MP4 ", -29.97), file); },
     {"CMp4Writer::CreateMediaFile unusable frame rate [-29.970000], writing 90000/3000"}},
    {"fraction that is no number",
     "nan.mp4",
     [](const std::string& file) { session(*video_params("MP4 ", std::nan("")), file); },
     {"CMp4Writer::CreateMediaFile unusable frame rate [nan], writing 90000/3000"}},
    {"endless fraction",
     "inf.mp4",
     [](const std::string& file) { session(*video_params("MP4 ", HUGE_VAL), file); },
     {"CMp4Writer::CreateMediaFile unusable frame rate [inf], writing 90000/3000"}},
    {"cover without bytes",
     "cover.mp4",
     [](const std::string& file) {
       picture_session("MP4 ", false, MxPicture{kJpegStart.data(), 0, 0}, file);
     },
     {"CMp4Writer::CreateMediaFile cover picture without data [0]"}},
    {"Live Photo picture of another kind",
     "kind.mov",
     [](const std::string& file) {
       picture_session("MOV ", true, MxPicture{kJpegStart.data(), 4, 2}, file);
     },
     {"CMp4Writer::CreateMediaFile Live Photo picture kind [2] is not JPEG, no still written"}},
    {"Live Photo picture without bytes",
     "empty.mov",
     [](const std::string& file) {
       picture_session("MOV ", true, MxPicture{nullptr, 0, 0}, file);
     },
     {"CMp4Writer::CreateMediaFile Live Photo picture without data, no still written"}},
    {"Live Photo movie named like its still",
     "photo é 日本.JPG",
     [](const std::string& file) {
       picture_session("MOV ", true, MxPicture{kJpegStart.data(), 4, 0}, file);
     },
     {"CMp4Writer::CreateMediaFile Live Photo still would replace the movie [{file}], no still "
      "written"}},
    {"64-bit decode times",
     "order.mp4",
     [](const std::string& file) {
       session(*video_params("MP4 ", 25.0), file, [](host::Session& s) {
         Bytes frame = host::annex_b({kIdr});
         const auto size = static_cast<uint32_t>(frame.size());
         s.video(host::video_frame(frame.data(), size, 6000000000000, 6000000000000, 1));
         s.video(host::video_frame(frame.data(), size, 5000000000000, 5000000000000, 1));
       });
     },
     {"CMp4Writer::WriteVideoFrame decode time [5000000000000] does not follow "
      "[6000000000000]; the file's decode times are kept increasing"}},
    {"video frame without bytes",
     "video-null.mp4",
     [](const std::string& file) {
       session(*video_params("MP4 ", 25.0), file,
               [](host::Session& s) { s.video(host::video_frame(nullptr, 100, 0, 0, 1)); });
     },
     {"CMp4Writer::WriteVideoFrame refused: no data for [100] bytes"}},
    {"empty video frame",
     "video-empty.mp4",
     [](const std::string& file) {
       session(*video_params("MP4 ", 25.0), file, [](host::Session& s) {
         Bytes frame = kIdr;
         s.video(host::video_frame(frame.data(), 0, 0, 0, 1));
       });
     },
     {"CMp4Writer::WriteVideoFrame refused: empty frames are not stored"}},
    {"timecode without bytes",
     "timecode.mp4",
     [](const std::string& file) {
       auto p = video_params("MP4 ", 25.0);
       p->no_timecode = 0;
       session(*p, file, [](host::Session& s) {
         MxVideoFrame tc = host::video_frame(nullptr, 0, 0, 0);
         tc.frame_type = MX_FRAME_TYPE_TIMECODE;
         tc.tc_size = 4;
         s.video(tc);
       });
     },
     {"CMp4Writer::WriteVideoFrame refused: timecode frame without data"}},
    {"parameter set too long for its record",
     "avcc.mp4",
     [](const std::string& file) {
       session(*video_params("MP4 ", 25.0), file, [](host::Session& s) {
         Bytes sps(70000, 0x42);
         sps[0] = 0x67;
         s.video_config({0x68, 0xCE, 0x3C, 0x80}, sps);  // picture set first
         Bytes frame = host::annex_b({kIdr});
         s.video(host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()), 0, 0, 1));
       });
     },
     {"avcC: sequence parameter set of 70000 bytes is too long, left out"}},
    {"negative audio size",
     "audio-negative.mp4",
     [](const std::string& file) {
       session(*audio_params("AAC "), file, [](host::Session& s) {
         Bytes packet(8, 1);
         int32_t info[2] = {1, 8};
         s.audio(host::audio_frame(packet.data(), -8, 0), info);
       });
     },
     {"CMp4Writer::WriteAudioFrame refused: negative size [-8]"}},
    {"audio frame without bytes",
     "audio-null.mp4",
     [](const std::string& file) {
       session(*audio_params("AAC "), file, [](host::Session& s) {
         int32_t info[2] = {1, 100};
         s.audio(host::audio_frame(nullptr, 100, 0), info);
       });
     },
     {"CMp4Writer::WriteAudioFrame refused: no data for [100] bytes"}},
    {"audio without frame info",
     "audio-info.mp4",
     [](const std::string& file) {
       session(*audio_params("AAC "), file,
               [](host::Session& s) { audio_packet(s, Bytes(12, 0x21), {}, false); });
     },
     {"CMp4Writer::WriteAudioFrame refused: no frame info"}},
    {"frame info that does not add up",
     "audio-sizes.mp4",
     [](const std::string& file) {
       session(*audio_params("AAC "), file, [](host::Session& s) {
         audio_packet(s, Bytes(12, 0x21), {2, 4, 4});
       });
     },
     {"CMp4Writer::WriteAudioFrame refused: frame info does not match the packet [12]"}},
    {"PCM without channels",
     "pcm.mov",
     [](const std::string& file) {
       auto p = host::blank_params(fourcc("MOV "));
       host::set_audio(*p, fourcc("PCM "), 48000, 2, 16);
       session(*p, file, [](host::Session& s) {
         Bytes packet(4096, 1), tiny(3, 1);
         s.audio(host::audio_frame(packet.data(), 4096, 0, 0), nullptr);
         s.audio(host::audio_frame(tiny.data(), 3, 0, 2), nullptr);
       });
     },
     {"CMp4Writer::WriteAudioFrame refused: PCM packet without channels",
      "CMp4Writer::WriteAudioFrame refused: PCM packet [3] shorter than one frame"}},
    {"dual audio",
     "dual.mp4",
     [](const std::string& file) {
       session(*audio_params("EAAC"), file, [](host::Session& s) {
         s.audio_config({0x01, 0x00, 0x00});
         const Bytes packet = hex_bytes("01 00 00 00 AA 01 00 00 00 CC");
         audio_packet(s, packet, {}, false);
         audio_packet(s, hex_bytes("FF FF FF FF AA BB CC DD"), {1, 1, 4, 0});
         audio_packet(s, packet, {-1, 1, 1, 1, 1});
         audio_packet(s, packet, {1, 1, 1, 9, 1});
       });
     },
     {"CMp4Writer::WriteAudioExtraData dual audio configuration [3] is cut short",
      "CMp4Writer::WriteAudioFrame refused: dual audio without frame info",
      "CMp4Writer::WriteAudioFrame refused: dual audio lengths [-1][-1] exceed the packet [8]",
      "CMp4Writer::WriteAudioFrame refused: frame info does not match the dual audio packet [10]",
      "CMp4Writer::WriteAudioFrame refused: frame info does not match the AC-3 part [1] of the "
      "dual audio packet"}},
    {"audio configuration without bytes",
     "config.mp4",
     [](const std::string& file) {
       session(*audio_params("AAC "), file,
               [](host::Session& s) { s.slots().WriteAudioExtraData(s.handle(), nullptr, 10); });
     },
     {"CMp4Writer::WriteAudioExtraData no data for [10] bytes"}},
};

std::string with_file(std::string line, const std::string& file) {
  const std::string mark = "{file}";
  size_t at = line.find(mark);
  if (at != std::string::npos) line.replace(at, mark.size(), file);
  return line;
}

class PluginMessages : public ::testing::Test {
 protected:
  void SetUp() override { host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr); }
};

}  // namespace

TEST_F(PluginMessages, EachRendersItsWholeText) {
  for (const MessageCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string file = *c.file ? test_temp_path(c.file) : "";
    host::LogCapture log;
    c.provoke(file);
    for (const std::string& line : c.lines) {
      const std::string expected = with_file(line, file);
      EXPECT_TRUE(log.contains(expected)) << "expected: " << expected << "\nlogged:\n"
                                          << [&] {
                                               std::string all;
                                               for (const std::string& l : log.lines())
                                                 all += "  " + l + "\n";
                                               return all;
                                             }();
    }
  }
}
