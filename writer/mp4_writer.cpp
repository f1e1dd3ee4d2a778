// The writer session: opening the file, mapping the host's codes to tracks,
// configuring the MuxContext, and closing.
#include "writer/mp4_writer.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

#include "boxes/boxes.h"
#include "codecs/avcc.h"
#include "platform/host_text.h"
#include "platform/platform.h"
#include "writer/live_photo.h"
#include "xqlog/xq_log.h"

namespace {

constexpr uint32_t fourcc(const char (&s)[5]) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

// ------------------------------------------------------------ code tables

struct ModeEntry {
  uint32_t file_fourcc;
  uint32_t mode;
};

// Every file code not listed writes MP4.
constexpr ModeEntry kModes[] = {
    {fourcc("MOV "), kModeMov}, {fourcc("3GP "), kMode3gp}, {fourcc("KDDI"), kModeKddi},
    {fourcc("NF4V"), kModeF4v}, {fourcc("M4A "), kModeM4a}, {fourcc("M4B "), kModeM4a},
};

struct VideoCodeEntry {
  uint32_t fourcc;
  uint32_t codec_id;
};

constexpr VideoCodeEntry kVideoCodes[] = {
    // H.264 / AVC
    {fourcc("A264"), kCodecH264},
    {fourcc("B264"), kCodecH264},
    {fourcc("C264"), kCodecH264},
    {fourcc("E264"), kCodecH264},
    {fourcc("H264"), kCodecH264},
    {fourcc("I264"), kCodecH264},
    {fourcc("K264"), kCodecH264},
    {fourcc("M264"), kCodecH264},
    {fourcc("N264"), kCodecH264},
    {fourcc("S264"), kCodecH264},
    {fourcc("h264"), kCodecH264},
    {fourcc("VT64"), kCodecH264},
    {fourcc("AB24"), kCodecH264},
    {fourcc("EB24"), kCodecH264},
    {fourcc("IB24"), kCodecH264},
    {fourcc("NB24"), kCodecH264},
    {fourcc("AAVC"), kCodecH264},
    {fourcc("FAVC"), kCodecH264},
    {fourcc("HAVC"), kCodecH264},
    {fourcc("IAVC"), kCodecH264},
    {fourcc("PAVC"), kCodecH264},
    {fourcc("VAVC"), kCodecH264},
    {fourcc("APS3"), kCodecH264},
    {fourcc("EPS3"), kCodecH264},
    {fourcc("IPS3"), kCodecH264},
    {fourcc("NPS3"), kCodecH264},
    {fourcc("PS3H"), kCodecH264},
    {fourcc("APOD"), kCodecH264},
    {fourcc("EPOD"), kCodecH264},
    {fourcc("NPOD"), kCodecH264},
    {fourcc("IAPD"), kCodecH264},
    {fourcc("AATV"), kCodecH264},
    {fourcc("EATV"), kCodecH264},
    {fourcc("IATV"), kCodecH264},
    {fourcc("NATV"), kCodecH264},
    {fourcc("EPSP"), kCodecH264},
    {fourcc("IPSP"), kCodecH264},
    {fourcc("NPSP"), kCodecH264},
    {fourcc("IPAN"), kCodecH264},
    {fourcc("IPON"), kCodecH264},
    {fourcc("IXBX"), kCodecH264},
    // HEVC
    {fourcc("HEVC"), kCodecHevc},
    {fourcc("A265"), kCodecHevc},
    {fourcc("E265"), kCodecHevc},
    {fourcc("I265"), kCodecHevc},
    {fourcc("K265"), kCodecHevc},
    {fourcc("V265"), kCodecHevc},
    // AV1
    {fourcc("AV1 "), kCodecAv1},
    {fourcc("AAV1"), kCodecAv1},
    {fourcc("EAV1"), kCodecAv1},
    {fourcc("IAV1"), kCodecAv1},
    // Intermediate codecs
    {fourcc("AVHD"), kCodecDnxhd},
    {fourcc("CFHD"), kCodecCineform},
    {fourcc("FFV1"), kCodecFfv1},
    // H.263 and MPEG-4 Visual
    {fourcc("H263"), kCodecH263},
    {fourcc("MP4V"), kCodecMpeg4Visual},
    {fourcc("Xvid"), kCodecMpeg4Visual},
    {fourcc("QMP4"), kCodecMpeg4Visual},
    {fourcc("M4GP"), kCodecMpeg4Visual},
    {fourcc("MPON"), kCodecMpeg4Visual},
    {fourcc("MPAN"), kCodecMpeg4Visual},
    {fourcc("HM4V"), kCodecMpeg4Visual},
    {fourcc("IM4V"), kCodecMpeg4Visual},
    {fourcc("PM4V"), kCodecMpeg4Visual},
    {fourcc("VM4V"), kCodecMpeg4Visual},
};

// One host audio code and the slots it fills. bits 0 matches any sample depth.
struct AudioCodeEntry {
  uint32_t fourcc;
  uint32_t bits;
  int32_t slot_count;
  uint32_t slot_codecs[2];
  uint32_t enable_hint;
  uint32_t audio_codec;
};

constexpr AudioCodeEntry kAudioCodes[] = {
    {fourcc("AAC "), 0, 1, {kCodecAac, 0}, 0, kCodecAac},
    {fourcc("MAAC"), 0, 1, {kCodecAac, 0}, 0, kCodecAac},
    {fourcc("WAAC"), 0, 1, {kCodecAac, 0}, 0, kCodecAac},
    {fourcc("KAAC"), 0, 1, {kCodecAac, 0}, 0, kCodecAac},
    {fourcc("EAAC"), 0, 2, {kCodecAac, kCodecAc3}, 1, kCodecAc3},
    {fourcc("AC3 "), 0, 1, {kCodecAc3, 0}, 0, kCodecAc3},
    {fourcc("ALAC"), 0, 1, {kCodecAlac, 0}, 0, kCodecAlac},
    {fourcc("AMRN"), 0, 1, {kCodecAmrNb, 0}, 0, kCodecAmrNb},
    {fourcc("flac"), 0, 1, {kCodecFlac, 0}, 1, kCodecFlac},
    {fourcc("PCM "), 16, 1, {kCodecPcm16, 0}, 1, kCodecPcm16},
    {fourcc("PCM "), 32, 1, {kCodecPcm32Float, 0}, 1, kCodecPcm32Float},
    {fourcc("PCM "), 0, 1, {kCodecNone, 0}, 1, kCodecNone},
};

// Frame rates of the 1000/1001 family get their exact time scale.
struct NtscRate {
  double rate;
  uint32_t timescale;
  bool trace;  // 23.976 is reported through the trace hook
};

constexpr NtscRate kNtscRates[] = {
    {30000.0 / 1001.0, 30000, false}, {24000.0 / 1001.0, 24000, true},
    {8000.0 / 1001.0, 8000, false},   {15000.0 / 1001.0, 15000, false},
    {60000.0 / 1001.0, 60000, false},
};

struct FlacFrameEntry {
  uint32_t sample_rate;
  int32_t samples;
};

constexpr FlacFrameEntry kFlacFrames[] = {
    {8000, 576},   {11025, 1152}, {16000, 1152}, {22050, 2304},
    {24000, 2304}, {32000, 2304}, {96000, 8192}, {192000, 16384},
};
constexpr int32_t kFlacDefaultFrame = 4608;

struct FrameSizeEntry {
  uint32_t codec_id;
  int32_t samples;
};

constexpr FrameSizeEntry kAudioFrames[] = {
    {kCodecAmrNb, 160}, {kCodecAc3, 1536},     {kCodecAlac, 4096},
    {kCodecPcm16, 1},   {kCodecPcm32Float, 1},
};
constexpr int32_t kAacFrame = 1024;

// Stereo code of a spherical H.264 track, by the host's stereo mode.
constexpr uint32_t kSphericalStereoCodes[] = {1, 3, 2};

constexpr size_t kLanguageUnits = std::size(MxAudioParams{}.language);

VideoTiming fallback_timing() {
  return {kFallbackTimescale, kFallbackSampleDuration,
          static_cast<float>(kFallbackTimescale) / kFallbackSampleDuration, true, false};
}

bool usable_rate(double f) {
  return std::isfinite(f) && f > 0.0;
}

// 90000 and the rounded number of 90 kHz ticks per frame.
VideoTiming ninety_khz_timing(double f) {
  if (!usable_rate(f)) return fallback_timing();
  double ticks = std::floor(90000.0 / f + 0.5);
  if (!(ticks >= 1.0) || ticks > std::numeric_limits<int32_t>::max()) return fallback_timing();
  return {90000, static_cast<int32_t>(ticks), static_cast<float>(f), false, false};
}

// The system's 8-bit copy of a bounded UTF-16 text.
std::string bounded_wide_to_ansi(const char16_t* text, size_t max_units) {
  std::u16string copy(text, wide_length(text, max_units));
  return wide_to_ansi_string(copy.c_str());
}

}  // namespace

// ------------------------------------------------------------ pure helpers

uint32_t output_mode_for(uint32_t file_fourcc) {
  for (const ModeEntry& e : kModes)
    if (e.file_fourcc == file_fourcc) return e.mode;
  return kModeMp4;
}

uint32_t video_codec_for(uint32_t video_fourcc) {
  for (const VideoCodeEntry& e : kVideoCodes)
    if (e.fourcc == video_fourcc) return e.codec_id;
  return kCodecNone;
}

int32_t audio_samples_per_frame(uint32_t codec_id, uint32_t sample_rate) {
  if (codec_id == kCodecFlac) {
    for (const FlacFrameEntry& e : kFlacFrames)
      if (e.sample_rate == sample_rate) return e.samples;
    return kFlacDefaultFrame;
  }
  for (const FrameSizeEntry& e : kAudioFrames)
    if (e.codec_id == codec_id) return e.samples;
  return kAacFrame;
}

VideoTiming choose_video_timing(double f) {
  if (!usable_rate(f)) return fallback_timing();
  for (const NtscRate& r : kNtscRates)
    if (std::fabs(f - r.rate) < 0.001)
      return {r.timescale, 1001, static_cast<float>(f), false, r.trace};
  double whole = std::trunc(f);
  float fraction = static_cast<float>(f - whole);
  if (!(fraction > 0.0f)) {
    double timescale = whole * 1000.0;
    if (timescale < 1.0 || timescale > std::numeric_limits<uint32_t>::max())
      return fallback_timing();
    return {static_cast<uint32_t>(timescale), 1000, static_cast<float>(f), false, false};
  }
  return ninety_khz_timing(f);
}

std::string live_photo_still_path(const std::string& movie_path) {
  size_t name_start = movie_path.find_last_of("/\\");
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  size_t dot = movie_path.rfind('.');
  std::string path = movie_path;
  if (dot != std::string::npos && dot > name_start) path.resize(dot);
  return path + ".jpg";
}

bool same_path_ignoring_case(const std::string& a, const std::string& b) {
  auto lower = [](unsigned char ch) { return ch >= 'A' && ch <= 'Z' ? ch + ('a' - 'A') : ch; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// ------------------------------------------------------------ session

CMp4Writer::CMp4Writer() : CMp4Writer(SessionSettings{}) {}

CMp4Writer::CMp4Writer(const SessionSettings& session_settings)
    : settings(session_settings), params(std::make_unique<EncParam>()) {
  std::memset(params.get(), 0, sizeof(EncParam));
  params->metadata.cover_art = nullptr;
  for (int32_t i = 0; i < kMaxTracks; ++i)
    track_specs[i] = TrackSpec{i, kKindUnused, 0, nullptr, 0, 0};
}

CMp4Writer::~CMp4Writer() {
  // A session destroyed before its trail was written still owns its context;
  // release it before the stream it writes to is closed.
  if (mux) {
    mux_destroy(track_specs.data(), track_spec_count, mux);
    mux = nullptr;
  }
  CloseFile();
}

void CMp4Writer::CloseFile() {
  if (file) {
    std::fclose(file);
    file = nullptr;
  }
  audio_config = {};
  audio_config_size = 0;
  video_config1 = {};
  video_config1_size = 0;
  video_config2 = {};
  video_config2_size = 0;
  // The track slots pointed into the audio configuration just released.
  for (TrackSpec& s : track_specs) {
    s.extradata = nullptr;
    s.extradata_size = 0;
  }
}

bool CMp4Writer::Init(const char16_t* file_name, const EncParam* p) {
  CloseFile();
  if (!p) return false;
  std::memcpy(params.get(), p, sizeof(EncParam));
  for (int32_t i = 0; i < kMaxTracks; ++i)
    track_specs[i] = TrackSpec{i, kKindUnused, 0, nullptr, 0, 0};
  track_spec_count = 0;

  file = platform_open_write(file_name);
  if (!file) {
    XQ_LogFormat(u"CMp4Writer::Init fopen Failed [%d]\n", errno);
    return false;
  }

  mode = output_mode_for(p->file_fourcc);

  auto fill_slot = [this](int32_t kind, uint32_t codec_id, uint32_t enable_hint) {
    TrackSpec& s = track_specs[track_spec_count++];
    s.kind = kind;
    s.codec_id = codec_id;
    s.enable_hint = enable_hint;
  };

  if (p->no_video != 0) {
    video_codec = 0;
    std::memset(&video_params, 0, sizeof video_params);
  } else {
    video_codec = video_codec_for(p->video.fourcc);
    if (video_codec != kCodecNone) fill_slot(kKindVideo, video_codec, 0);
    std::memcpy(&video_params, &p->video, sizeof video_params);
  }

  if (p->no_audio != 0) {
    audio_codec = 0;
    std::memset(&audio_params, 0, sizeof audio_params);
  } else {
    audio_codec = 0;
    for (const AudioCodeEntry& e : kAudioCodes) {
      if (e.fourcc != p->audio.fourcc) continue;
      if (e.bits != 0 && e.bits != p->audio.bits_per_sample) continue;
      for (int32_t i = 0; i < e.slot_count; ++i)
        fill_slot(kKindAudio, e.slot_codecs[i], e.enable_hint);
      audio_codec = e.audio_codec;
      break;
    }
    std::memcpy(&audio_params, &p->audio, sizeof audio_params);
  }

  uint32_t timecode_word;
  std::memcpy(&timecode_word, p->timecode, sizeof timecode_word);
  if (p->no_timecode == 0 && timecode_word == 0) fill_slot(kKindTimecode, kCodecTimecode, 0);

  if (p->metadata.live_photo != 0) {
    fill_slot(kKindTimedMetadata, kCodecTimedMetadata, 0);
    mode = kModeMov;
  }
  return true;
}

void CMp4Writer::configure_audio_tracks() {
  const bool dual_audio = audio_params.fourcc == fourcc("EAAC");
  for (int32_t i = 0; i < track_spec_count; ++i) {
    const TrackSpec& s = track_specs[i];
    if (s.kind == kKindTimecode) {
      mux_set_codec(s.index, mux, s.codec_id);
      continue;
    }
    if (s.kind != kKindAudio) continue;
    if (s.codec_id != kCodecNone) {
      int32_t samples = audio_samples_per_frame(s.codec_id, audio_params.sample_rate);
      if (dual_audio && s.codec_id == kCodecAc3) {
        mux_set_channels(s.index, mux, 6);
        mux_set_timescale(s.index, mux, 48000);
      } else {
        mux_set_channels(s.index, mux, audio_params.channels);
        mux_set_timescale(s.index, mux, audio_params.sample_rate);
      }
      if (s.codec_id == kCodecFlac) {
        if (audio_params.bits_per_sample == 32) audio_params.bits_per_sample = 24;
        mux_set_bits_per_sample(s.index, mux, audio_params.bits_per_sample);
      }
      mux_set_sample_duration(s.index, mux, samples);
      mux_set_codec(s.index, mux, s.codec_id);
    }
    std::string language = bounded_wide_to_ansi(as_utf16(audio_params.language), kLanguageUnits);
    mux_set_language(s.index, mux, language.c_str());
  }
}

void CMp4Writer::configure_video_tracks() {
  const EncParam& p = *params;
  const double rate = video_params.frame_rate;
  VideoTiming timing = ninety_khz_timing(rate);

  for (int32_t i = 0; i < track_spec_count; ++i) {
    const TrackSpec& s = track_specs[i];
    if (s.kind != kKindVideo || s.codec_id == kCodecNone) continue;
    timing = choose_video_timing(rate);
    if (timing.trace && settings.trace) settings.trace(u"\r\nFrameRate[%fHz].\r\n", rate);
    if (timing.fallback)
      XQ_LogFormat(u"CMp4Writer::CreateMediaFile unusable frame rate [%f], writing %d/%d\n", rate,
                   kFallbackTimescale, kFallbackSampleDuration);

    video_timescale = timing.timescale;
    mux_set_picture_size(s.index, mux, video_params.width, video_params.height);

    WriterOptions& options = settings.options;
    uint32_t display_width = video_params.width;
    uint32_t display_height = video_params.height;
    if (options.flags & 1) {
      if (options.display_width > 0 && options.display_height > 0) {
        display_width = static_cast<uint32_t>(options.display_width);
        display_height = static_cast<uint32_t>(options.display_height);
      } else {
        options.display_width = static_cast<int32_t>(video_params.width);
        options.display_height = static_cast<int32_t>(video_params.height);
      }
    }
    mux_set_display_size(s.index, mux, display_width, display_height);

    const bool ext_valid = (video_params.ext_flags & 1) != 0;
    mux_set_frame_rate(s.index, mux, timing.frame_rate,
                       ext_valid ? video_params.timestamp_durations : 0);
    mux_set_sample_duration(s.index, mux, timing.sample_duration);
    mux_set_timescale(s.index, mux, timing.timescale);
    mux_set_codec(s.index, mux, video_codec);

    if (video_codec == kCodecH264) {
      mux_set_spherical(s.index, mux, p.video.stereo_mode, p.video.field_of_view,
                        p.video.spherical_aux);
      if (p.video.field_of_view == 360) {
        uint32_t code = p.video.stereo_mode < 3 ? kSphericalStereoCodes[p.video.stereo_mode] : 0;
        mux_set_stereo_mode(s.index, mux, code);
      }
      uint32_t projection;
      std::memcpy(&projection, p.video.projection, sizeof projection);
      if (projection >= 1 && projection <= 3)
        mux_set_spherical_record(s.index, mux, p.video.projection);
    } else {
      mux_set_spherical(s.index, mux, 0, 0, 0);
    }
    mux_set_display_params(mux, 1, 0, 0, 1, 0, 0);
    if (video_codec == kCodecHevc && ext_valid && video_params.dolby_vision != 0)
      mux_set_dovi_enabled(s.index, mux, 1);
  }

  for (int32_t i = 0; i < track_spec_count; ++i) {
    const TrackSpec& s = track_specs[i];
    if (s.kind != kKindTimecode) continue;
    mux_set_sample_duration(s.index, mux, timing.sample_duration);
    mux_set_timescale(s.index, mux, timing.timescale);
  }
}

void CMp4Writer::hand_over_picture(const char16_t* file_name) {
  const MxPicture* picture = params->metadata.cover_art;
  if (!picture) return;

  // The movie carries the picture as its cover art, a Live Photo as well.
  const bool has_bytes = picture->data && picture->size > 0;
  if (has_bytes) mux_set_cover_art(mux, picture);
  if (params->metadata.live_photo == 0) {
    if (!has_bytes)
      XQ_LogFormat(u"CMp4Writer::CreateMediaFile cover picture without data [%d]\n",
                   static_cast<int>(picture->size));
    return;
  }

  mux->live_photo = 1;
  content_id = make_content_id();
  if (!content_id.empty()) {
    size_t n = std::min(content_id.size(), sizeof(mux->content_id) - 1);
    std::memcpy(mux->content_id, content_id.data(), n);
    mux->content_id[n] = 0;
  }
  if (picture->picture_kind != 0) {
    // The still is written as a JPEG named after the movie; other picture
    // kinds would need another name and format, so no still is written.
    XQ_LogFormat(
        u"CMp4Writer::CreateMediaFile Live Photo picture kind [%d] is not JPEG, "
        u"no still written\n",
        static_cast<int>(picture->picture_kind));
    return;
  }
  if (!has_bytes) {
    XQ_LogFormat(
        u"CMp4Writer::CreateMediaFile Live Photo picture without data, "
        u"no still written\n");
    return;
  }
  const std::string movie = wide_to_ansi_string(file_name);
  const std::string still = live_photo_still_path(movie);
  if (same_path_ignoring_case(still, movie)) {
    // A movie already named .jpg: the still would be written over the movie.
    XQ_LogFormat(
        u"CMp4Writer::CreateMediaFile Live Photo still would replace the movie [%ls], "
        u"no still written\n",
        file_name);
    return;
  }
  add_still_picture(still.c_str(), picture->data, picture->size, content_id.c_str());
}

bool CMp4Writer::CreateMediaFile(const char16_t* file_name, const EncParam* p) {
  if (!Init(file_name, p)) return false;

  mux = mux_create(track_specs.data(), track_spec_count, mode, file);
  if (!mux) {
    XQ_LogFormat(u"CMp4Writer::CreateMediaFile MP4_Init Failed \n");
    return false;
  }

  configure_audio_tracks();
  configure_video_tracks();
  write_ftyp(mux);
  if ((settings.options.flags & MX_WRITE_RESILIENT) != 0 &&
      !fragments_begin(mux, hand_over_configuration_to, this, settings.fragment_limits)) {
    XQ_LogFormat(u"CMp4Writer::CreateMediaFile no memory for writing fragments, written plainly\n");
  }

  // The block's picture pointer stays the host's: the context only holds a
  // picture it copied itself.
  mux_set_metadata(mux, &params->metadata);
  hand_over_picture(file_name);
  return true;
}

void CMp4Writer::hand_over_configuration(bool at_close) {
  // Configuration handed to the tracks; a buffer never given is handed over
  // as empty (a null source with length 0).
  auto bytes_of = [](const std::vector<uint8_t>& v) { return v.empty() ? nullptr : v.data(); };

  for (int32_t i = 0; i < track_spec_count; ++i) {
    const TrackSpec& s = track_specs[i];
    if (s.kind != kKindVideo) continue;
    switch (s.codec_id) {
      case kCodecH264: {
        AvcProfileLevel pl = choose_avc_profile_level(params->video.fourcc);
        mux_set_avc_config(s.index, mux, 1, pl.profile, 0, pl.level);
        mux_set_extradata(s.index, mux, bytes_of(video_config2), video_config2_size);
        mux_set_extradata2(s.index, mux, bytes_of(video_config1), video_config1_size);
        break;
      }
      case kCodecHevc:
        mux_set_hevc_config(s.index, mux, bytes_of(video_config2), video_config2_size);
        break;
      case kCodecAv1:
      case kCodecDnxhd:
        mux_set_extradata(s.index, mux, bytes_of(video_config2), video_config2_size);
        if (at_close)
          XQ_LogFormat(u"CMp4Writer::WriteTrail AV1 extralen = %d \n",
                       static_cast<int>(video_config2_size));
        break;
      case kCodecFfv1:
        if (!video_config2.empty() && video_config2_size > 0) {
          mux_set_extradata(s.index, mux, video_config2.data(), video_config2_size);
          if (at_close)
            XQ_LogFormat(u"CMp4Writer::WriteTrail FFV1 extralen = %d \n",
                         static_cast<int>(video_config2_size));
        }
        break;
      default:
        break;
    }
  }

  for (int32_t i = 0; i < track_spec_count; ++i) {
    const TrackSpec& s = track_specs[i];
    if (s.kind != kKindAudio) continue;
    if (s.codec_id == kCodecAac || s.codec_id == kCodecAc3 || s.codec_id == kCodecAlac ||
        s.codec_id == kCodecFlac)
      mux_set_audio_config(s.index, mux, s.extradata, s.extradata_size);
  }
  mux_set_format_fourcc(mux, params->file_fourcc);
}

void CMp4Writer::hand_over_configuration_to(void* session, MuxContext* /*c*/) {
  static_cast<CMp4Writer*>(session)->hand_over_configuration(false);
}

void CMp4Writer::finish_fragments() {
  const FragmentSummary summary = fragments_finish(mux, settings.finalising_steps);
  if (summary.head_too_large)
    XQ_LogFormat(
        u"CMp4Writer::WriteTrail the movie header outgrew its room; no fragment could be shown "
        u"while the file was written\n");
  else if (summary.hidden > 0)
    XQ_LogFormat(u"CMp4Writer::WriteTrail [%d] fragments outgrew their room and were not shown\n",
                 static_cast<int>(summary.hidden));
}

int32_t CMp4Writer::WriteTrail() {
  if (!mux) return -1;

  hand_over_configuration(true);
  if (mux->fragments.state != nullptr) {
    finish_fragments();
  } else {
    finish_file(mux);
  }

  // Everything reaches the stream here, so a failed write is known before the
  // trail is reported. A file that another process unlinked, replaced or cut
  // short meanwhile took every write without an error: it is incomplete too.
  int error = writer_flush(mux->writer);
  if (error == 0) error = platform_check_written(file, writer_tell(mux->writer));
  if (error == 0)
    XQ_LogMessage(u"mx_mp4.dll: writed trail successful.");
  else
    XQ_LogFormat(u"mx_mp4.dll: writing failed [%d], the file is incomplete.", error);

  mux_destroy(track_specs.data(), track_spec_count, mux);
  mux = nullptr;
  XQ_LogMessage(u"mx_mp4.dll: mp4 file released successful.");
  return 0;
}
