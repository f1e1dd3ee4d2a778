// Whole files with metadata written through the plug-in's slots, read back by
// independent readers (exiftool, ffprobe, ffmpeg): a Live Photo movie with its
// still, and an M4A with title, artist and cover art.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/tools.h"

using host::fourcc;

namespace {

using Bytes = std::vector<uint8_t>;

// Standard output of a command, without the final line break.
std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

template <size_t N>
void set_text(char16_t (&field)[N], const std::string& utf8) {
  std::u16string text = u16(utf8);
  ASSERT_LT(text.size(), N);
  std::copy(text.begin(), text.end(), field);
  field[text.size()] = 0;
}

// NAL units of an Annex-B stream (3- or 4-byte start codes), without start codes.
std::vector<Bytes> nal_units(const Bytes& stream) {
  std::vector<size_t> payloads;  // first byte after each start code
  for (size_t i = 0; i + 3 <= stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      payloads.push_back(i + 3);
      i += 2;
    }
  }
  std::vector<Bytes> units;
  for (size_t k = 0; k < payloads.size(); ++k) {
    size_t end = k + 1 < payloads.size() ? payloads[k + 1] - 3 : stream.size();
    while (end > payloads[k] && stream[end - 1] == 0) --end;  // zero byte of a 4-byte code
    units.emplace_back(stream.begin() + payloads[k], stream.begin() + end);
  }
  return units;
}

// Access units (one starts at each delimiter, type 9) with 4-byte start codes,
// the form the plug-in splits.
std::vector<Bytes> access_units(const Bytes& stream) {
  std::vector<Bytes> aus;
  for (const Bytes& unit : nal_units(stream)) {
    if (unit.empty()) continue;
    if ((unit[0] & 0x1F) == 9 || aus.empty()) aus.emplace_back();
    aus.back().insert(aus.back().end(), {0, 0, 0, 1});
    aus.back().insert(aus.back().end(), unit.begin(), unit.end());
  }
  return aus;
}

// The first NAL unit of a type, without start code.
Bytes first_nal(const Bytes& stream, int type) {
  for (const Bytes& unit : nal_units(stream)) {
    if (!unit.empty() && (unit[0] & 0x1F) == type) return unit;
  }
  return {};
}

bool has_idr(const Bytes& au) {
  for (size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (au[i + 3] & 0x1F) == 5) return true;
  }
  return false;
}

// Raw AAC frames of an ADTS stream and its AudioSpecificConfig.
struct Aac {
  std::vector<Bytes> frames;
  Bytes config;
};

Aac split_adts(const Bytes& s) {
  Aac aac;
  for (size_t pos = 0; pos + 7 <= s.size();) {
    if (s[pos] != 0xFF || (s[pos + 1] & 0xF0) != 0xF0) break;
    const size_t header = (s[pos + 1] & 1) ? 7 : 9;
    const size_t length =
        (size_t(s[pos + 3] & 3) << 11) | (size_t(s[pos + 4]) << 3) | (s[pos + 5] >> 5);
    if (length < header || pos + length > s.size()) break;
    if (aac.config.empty()) {
      const uint32_t object = (s[pos + 2] >> 6) + 1;
      const uint32_t rate_index = (s[pos + 2] >> 2) & 15;
      const uint32_t channels = ((s[pos + 2] & 1) << 2) | (s[pos + 3] >> 6);
      const uint32_t asc = object << 11 | rate_index << 7 | channels << 3;
      aac.config = {static_cast<uint8_t>(asc >> 8), static_cast<uint8_t>(asc)};
    }
    aac.frames.emplace_back(s.begin() + pos + header, s.begin() + pos + length);
    pos += length;
  }
  return aac;
}

class MetadataReaders : public ::testing::Test {
 protected:
  void SetUp() override { MX_REQUIRE_TOOLS("ffmpeg", "ffprobe", "exiftool"); }
};

// Writes ten H.264 frames of the given size through the slots.
void write_h264_movie(const EncParam& p, const std::string& path, uint32_t width, uint32_t height) {
  const std::string source = path + ".h264";
  ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i testsrc=size=" + std::to_string(width) +
                         "x" + std::to_string(height) +
                         ":rate=25 -frames:v 10 -c:v libx264 -bf 0 -g 10 -x264-params aud=1 "
                         "-f h264 " +
                         source)
                            .c_str()),
            0);
  const Bytes stream = read_whole_file(source);
  std::vector<Bytes> units = access_units(stream);
  host::Session s(p, path);
  ASSERT_TRUE(s.open());
  s.video_config(first_nal(stream, 8), first_nal(stream, 7));
  for (size_t i = 0; i < units.size(); ++i) {
    const int64_t t = static_cast<int64_t>(i) * 400000;
    MxVideoFrame f = host::video_frame(units[i].data(), static_cast<uint32_t>(units[i].size()), t,
                                       t, has_idr(units[i]) ? 1 : 0);
    ASSERT_GT(s.video(f), 0u) << "frame " << i;
  }
  s.close();
  std::remove(source.c_str());
}

TEST_F(MetadataReaders, LivePhotoMovieAndStillShareTheIdentifier) {
  const Bytes cover = read_whole_file(std::string(MX_SOURCE_DIR) + "/samples/cover.jpg");
  const MxPicture still_picture = {cover.data(), static_cast<uint32_t>(cover.size()), 0};

  auto p = host::blank_params(fourcc("MP4 "));  // a Live Photo is a QuickTime movie anyway
  host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
  p->metadata.live_photo = 1;
  p->metadata.cover_art = &still_picture;
  p->metadata.media_kind = 1;
  set_text(p->metadata.title, "Live & well");
  set_text(p->metadata.make, "Apple");
  set_text(p->metadata.model, "iPhone 15");
  set_text(p->metadata.software, "17.4");
  set_text(p->metadata.creation_date, "2024-05-01T10:00:00+0200");

  const std::string movie = test_temp_path("live.mov");
  const std::string still = test_temp_path("live.jpg");
  std::remove(still.c_str());
  ASSERT_NO_FATAL_FAILURE(write_h264_movie(*p, movie, 320, 240));

  const std::string id = run("exiftool -s3 -Keys:ContentIdentifier " + movie);
  EXPECT_TRUE(std::regex_match(
      id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << id;
  // exiftool 12.57 names the maker-note tag MediaGroupUUID, later ones ContentIdentifier.
  EXPECT_EQ(run("exiftool -s3 -Apple:ContentIdentifier -Apple:MediaGroupUUID " + still), id);
  EXPECT_EQ(run("exiftool -s3 -Keys:Make -Keys:Model -Keys:Software " + movie),
            "Apple\niPhone 15\n17.4");
  EXPECT_EQ(run("exiftool -s3 -Keys:LivePhotoAuto -Keys:LivePhotoVitalityScore "
                "-Keys:LivePhotoVitalityScoringVersion " +
                movie),
            "1\n1\n4");
  const std::string tags = "ffprobe -v error -of default=nw=1:nk=1 -show_entries format_tags=";
  EXPECT_EQ(run(tags + "com.apple.quicktime.content.identifier " + movie), id);
  EXPECT_EQ(run(tags + "com.apple.quicktime.creationdate " + movie), "2024-05-01T10:00:00+0200");
  EXPECT_EQ(run(tags + "title " + movie), "Live & well");
  // The picture is the movie's cover art too: readers show it as an attached picture.
  EXPECT_EQ(run("ffprobe -v error -show_entries "
                "stream=codec_type,codec_tag_string:stream_disposition=attached_pic "
                "-of csv=p=0 " +
                movie),
            "video,avc1,0\ndata,mebx,0\nvideo,[0][0][0][0],1");
  EXPECT_EQ(run("ffmpeg -v error -i " + movie + " -map 0:v -f null - 2>&1"), "");
  EXPECT_EQ(run("ffprobe -v error -show_entries stream=width,height -of csv=p=0 " + still),
            run("ffprobe -v error -show_entries stream=width,height -of csv=p=0 " +
                std::string(MX_SOURCE_DIR) + "/samples/cover.jpg"));

  // The still-image-time track holds one 9-byte sample.
  iso::Tree tree = iso::read_file(movie);
  const iso::Box& stsz = tree.at("moov/trak[1]/mdia/minf/stbl/stsz");
  EXPECT_EQ(stsz.u32(4), 9u);
  EXPECT_EQ(stsz.u32(8), 1u);
  std::remove(movie.c_str());
  std::remove(still.c_str());
}

TEST_F(MetadataReaders, SphericalXmlOfA360DegreeTrack) {
  struct Case {
    uint32_t field_of_view, stereo_mode;
    std::string expected;  // exiftool's GSpherical tags, empty for none
  };
  const Case cases[] = {
      {360, 1, "true\nequirectangular\nleft-right\n320\n320\n320\n320"},
      {360, 2, "true\nequirectangular\ntop-bottom\n640\n160\n640\n160"},
      {180, 0, ""},
  };
  for (const Case& k : cases) {
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, fourcc("H264"), 640, 320, 25.0);
    p->video.field_of_view = k.field_of_view;
    p->video.stereo_mode = k.stereo_mode;
    const std::string movie = test_temp_path("spherical.mp4");
    ASSERT_NO_FATAL_FAILURE(write_h264_movie(*p, movie, 640, 320));
    EXPECT_EQ(run("exiftool -s3 -XMP-GSpherical:Spherical -XMP-GSpherical:ProjectionType "
                  "-XMP-GSpherical:StereoMode -XMP-GSpherical:CroppedAreaImageWidthPixels "
                  "-XMP-GSpherical:CroppedAreaImageHeightPixels "
                  "-XMP-GSpherical:FullPanoWidthPixels -XMP-GSpherical:FullPanoHeightPixels " +
                  movie),
              k.expected)
        << "field of view " << k.field_of_view << ", stereo mode " << k.stereo_mode;
    EXPECT_EQ(iso::read_file(movie).all("uuid").size(), k.expected.empty() ? 0u : 1u);
    EXPECT_EQ(run("ffmpeg -v error -i " + movie + " -f null - 2>&1"), "");
    std::remove(movie.c_str());
  }
}

TEST_F(MetadataReaders, M4aItemsAndCoverArt) {
  const std::string source = test_temp_path("tone.aac");
  ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 "
                         "-t 1 -ac 2 -c:a aac -f adts " +
                         source)
                            .c_str()),
            0);
  const Aac aac = split_adts(read_whole_file(source));
  ASSERT_GT(aac.frames.size(), 40u);
  const std::string cover_path = std::string(MX_SOURCE_DIR) + "/samples/cover.jpg";
  const Bytes cover = read_whole_file(cover_path);
  const MxPicture picture = {cover.data(), static_cast<uint32_t>(cover.size()), 0};

  auto p = host::blank_params(fourcc("M4A "));
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  p->metadata.media_kind = 1;
  p->metadata.cover_art = &picture;
  set_text(p->metadata.title, "Tone \xC3\xA0 440");
  set_text(p->metadata.artist, "Oscillator");
  set_text(p->metadata.album, "Test <Signals>");
  set_text(p->metadata.genre, "Electronic");
  set_text(p->metadata.cast, "Alice & Bob|Carol");
  p->metadata.rating = 3;

  const std::string file = test_temp_path("tone.m4a");
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    s.audio_config(aac.config);
    for (size_t i = 0; i < aac.frames.size(); ++i) {
      const Bytes& frame = aac.frames[i];
      int32_t info[2] = {1, static_cast<int32_t>(frame.size())};
      MxAudioFrame f = host::audio_frame(frame.data(), static_cast<int32_t>(frame.size()),
                                         static_cast<int64_t>(i) * 1024 * 10000000 / 48000);
      ASSERT_EQ(s.audio(f, info), frame.size()) << "frame " << i;
    }
    s.close();
  }

  EXPECT_EQ(run("ffprobe -v error -show_entries format_tags=title,artist,album,genre "
                "-of default=nw=1 " +
                file),
            "TAG:title=Tone \xC3\xA0 440\nTAG:artist=Oscillator\nTAG:album=Test <Signals>\n"
            "TAG:genre=Electronic");
  EXPECT_EQ(run("ffprobe -v error -show_entries stream=codec_name:stream_disposition=attached_pic "
                "-of csv=p=0 " +
                file),
            "aac,0\nmjpeg,1");
  EXPECT_EQ(run("exiftool -s3 -Title -Artist -Album " + file),
            "Tone \xC3\xA0 440\nOscillator\nTest <Signals>");
  // Media kind 1 (music) writes no media-kind item: no reader calls the file a ringtone.
  EXPECT_EQ(run("exiftool -s3 -MediaType " + file), "");
  const std::string cover_out = test_temp_path("cover-out.jpg");
  run("exiftool -b -CoverArt " + file + " > " + cover_out);
  EXPECT_EQ(read_whole_file(cover_out), cover);
  EXPECT_EQ(run("exiftool -s3 -ContentRating " + file), "mpaa|PG-13|300|");
  EXPECT_EQ(run("exiftool -s3 -HDVideo " + file), "No");
  EXPECT_EQ(run("exiftool -s3 -sep '|' -XML:Cast " + file), "Alice & Bob|Carol");
  EXPECT_EQ(run("ffmpeg -v error -i " + file + " -map 0:a -f null - 2>&1"), "");
  std::remove(source.c_str());
  std::remove(file.c_str());
  std::remove(cover_out.c_str());
}

}  // namespace
