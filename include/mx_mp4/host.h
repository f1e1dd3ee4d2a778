/* The host's view of the mx_mp4 file-writer plug-in.
 *
 * A host loads the plug-in, calls GetFileFormats() or GetFileMultiStreamFormats()
 * and drives a writer session through the slot functions of the descriptor it
 * picked. Every record here is exchanged by address; their byte layouts are a
 * binary interface and are pinned below by static assertions. Bytes the
 * plug-in never reads are opaque padding that belongs to the host.
 *
 * All records are little-endian. Text is UTF-16, zero-terminated, in units of
 * MxChar: wchar_t on Windows (where it is UTF-16, the type a Windows host
 * passes), char16_t elsewhere. MX_TEXT("...") makes a literal of that type.
 * Time stamps are signed 64-bit counts of 100-nanosecond units.
 */
#ifndef MX_MP4_HOST_H
#define MX_MP4_HOST_H

#include <stddef.h>
#include <stdint.h>
#if !defined(_WIN32) && !defined(__cplusplus)
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One UTF-16 unit of host text. */
#ifdef _WIN32
typedef wchar_t MxChar;
#define MX_TEXT(literal) L##literal
#else
typedef char16_t MxChar;
#define MX_TEXT(literal) u##literal
#endif

/* The records keep their offset comments in one column, as laid out by hand. */
/* clang-format off */

/* Four-character codes: the first character is in the lowest byte. */
#define MX_FOURCC(a, b, c, d)                                                    \
  ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) | \
   ((uint32_t)(uint8_t)(d) << 24))

/* ---------------------------------------------------------------- EncParam */

/* Picture record (16 bytes): cover art or the Live Photo still. */
typedef struct MxPicture {
  const uint8_t* data;   /* 0 */
  uint32_t size;         /* 8 */
  uint32_t picture_kind; /* 12: 0 JPEG, 1 BMP, 2 PNG */
} MxPicture;

/* Video block of EncParam (6248 bytes). */
typedef struct MxVideoParams {
  uint32_t fourcc;            /* 0: video codec code */
  uint32_t width;             /* 4 */
  uint32_t height;            /* 8 */
  uint8_t reserved_12[4];
  double frame_rate;          /* 16 */
  uint32_t bit_rate;          /* 24: logged only */
  uint8_t reserved_28[48];
  uint32_t ext_flags;         /* 76: bit 0 validates timestamp_durations and dolby_vision */
  uint8_t reserved_80[24];
  uint32_t spherical_aux;     /* 104 */
  uint8_t reserved_108[4];
  uint32_t field_of_view;     /* 112: 360 marks a spherical video */
  uint32_t stereo_mode;       /* 116: 0 mono, 1 left-right, 2 top-bottom */
  uint8_t projection[40];     /* 120: u32 projection type, then 36 bytes of parameters */
  uint32_t reserved_160;
  uint32_t dolby_vision;      /* 164 */
  uint8_t reserved_168[4000];
  uint32_t display_width;     /* 4168: read by the multi-stream layer only */
  uint32_t display_height;    /* 4172 */
  uint8_t reserved_4176[4];
  uint32_t timestamp_durations; /* 4180 */
  uint8_t reserved_4184[2064];
} MxVideoParams;

/* Audio block of EncParam (6224 bytes). */
typedef struct MxAudioParams {
  uint32_t fourcc;          /* 0 */
  uint32_t sample_rate;     /* 4 */
  uint32_t channels;        /* 8 */
  uint32_t bit_rate;        /* 12: logged only */
  uint8_t reserved_16[8];
  uint32_t bits_per_sample; /* 24 */
  MxChar language[3098];  /* 28: ISO 639-2 code, zero-terminated; empty means "und" */
} MxAudioParams;

/* Subpicture block of EncParam (2084 bytes); carried, not written. */
typedef struct MxSubpictureParams {
  uint32_t fourcc; /* 0 */
  uint8_t reserved_4[12];
  MxChar language[1034]; /* 16 */
} MxSubpictureParams;

/* Metadata block of EncParam (17896 bytes): the movie's user data. */
typedef struct MxMovieMetadata {
  MxChar artist[260];          /* 0 */
  MxChar title[520];           /* 520 */
  MxChar album[520];           /* 1560 */
  MxChar genre[520];           /* 2600 */
  MxChar alt_title[260];       /* 3640 */
  int32_t media_kind;            /* 4160 */
  MxChar date[260];            /* 4164 */
  int32_t season;                /* 4684 */
  int32_t episode;               /* 4688 */
  MxChar cast[260];            /* 4692: names separated by '|' */
  MxChar directors[260];       /* 5212 */
  MxChar producers[260];       /* 5732 */
  MxChar screenwriters[260];   /* 6252 */
  MxChar description[260];     /* 6772 */
  MxChar long_description[500]; /* 7292 */
  MxChar comment[500];         /* 8292 */
  MxChar tv_network[500];      /* 9292 */
  MxChar location_accuracy[500]; /* 10292: QuickTime key texts */
  MxChar location_iso6709[500];  /* 11292 */
  MxChar creation_date[500];     /* 12292 */
  MxChar make[500];              /* 13292 */
  MxChar model[500];             /* 14292 */
  MxChar software[500];          /* 15292 */
  uint8_t reserved_16292[4];
  const MxPicture* cover_art;    /* 16296: cover picture, or the Live Photo still */
  uint32_t rating;               /* 16304 */
  uint32_t hd_video;             /* 16308 */
  uint8_t reserved_16312[1568];
  uint32_t live_photo;           /* 17880 */
  uint8_t reserved_17884[12];
} MxMovieMetadata;

/* EncParam (33936 bytes): describes one whole output file. */
typedef struct EncParam {
  MxVideoParams video;             /* 0 */
  MxAudioParams audio;             /* 6248 */
  MxSubpictureParams subpicture;   /* 12472 */
  uint8_t reserved_14556[4];
  uint8_t timecode[1456];          /* 14560: first u32 must be 0 for a timecode track */
  uint32_t no_video;               /* 16016 */
  uint32_t no_audio;               /* 16020 */
  uint32_t no_subpicture;          /* 16024 */
  uint32_t no_timecode;            /* 16028 */
  uint32_t file_fourcc;            /* 16032 */
  uint32_t reserved_16036;
  MxMovieMetadata metadata;        /* 16040 */
} EncParam;

/* Module-wide writer options (24 bytes). */
typedef struct WriterOptions {
  uint32_t reserved_0;
  uint32_t flags;          /* 4: bit 0 = use the stored display size,
                              bit 1 = resilient writing (MX_WRITE_RESILIENT) */
  uint32_t reserved_8;
  int32_t display_width;   /* 12 */
  int32_t display_height;  /* 16 */
  uint32_t reserved_20;
} WriterOptions;

/* WriterOptions.flags: sessions created while it is set write their file as
   movie fragments of about a second each, every one complete on disk when
   the next begins, so that a crash, a kill or a power cut loses at most the
   fragment being written; at close the file becomes a plain file (one movie
   box behind the media data), as without the flag. */
#define MX_WRITE_RESILIENT 2u

/* ------------------------------------------------------------ frame records */

#define MX_FRAME_TYPE_TIMECODE 7u

/* Video frame record (144 bytes). */
typedef struct MxVideoFrame {
  uint32_t frame_type;        /* 0: 7 = timecode sample */
  uint8_t reserved_4[4];
  const uint8_t* tc_data;     /* 8: timecode sample bytes */
  union {
    uint8_t* data;            /* 16: picture bytes (Annex-B streams are rewritten in place) */
    uint32_t tc_size;         /* 16: timecode frames: the sample's byte count */
  };
  uint32_t size;              /* 24 */
  uint8_t reserved_28[52];
  uint32_t picture_flag;      /* 80: non-zero = key frame; HEVC 2 = keep parameter sets */
  uint8_t reserved_84[36];
  int64_t pts;                /* 120 */
  int64_t dts;                /* 128 */
  int64_t frame_duration;     /* 136: timecode frames only */
} MxVideoFrame;

/* Audio frame record (136 bytes). */
typedef struct MxAudioFrame {
  uint8_t reserved_0[12];
  uint32_t channels;          /* 12 */
  uint8_t reserved_16[8];
  const uint8_t* data;        /* 24 */
  int32_t size;               /* 32 */
  uint8_t reserved_36[84];
  int64_t pts;                /* 120 */
  int64_t dts;                /* 128 */
} MxAudioFrame;

/* ---------------------------------------------------------------- slots */

typedef void* MxSession;

/* Single-stream slots. */
typedef MxSession (*CreateMediaFileFn)(const MxChar* file_name, const EncParam* params);
/* frame_info: i32 frame count, then one size per frame (see README). May be null for PCM. */
typedef uint32_t (*WriteAudioFrameFn)(MxSession session, const MxAudioFrame* frame,
                                      const int32_t* frame_info);
typedef uint32_t (*WriteVideoFrameFn)(MxSession session, const MxVideoFrame* frame);
typedef void (*CloseMediaFileFn)(MxSession session);
typedef void (*WriteAudioExtraDataFn)(MxSession session, const uint8_t* data, uint32_t size);
typedef void (*WriteVideoExtraDataFn)(MxSession session, const uint8_t* data1, uint32_t size1,
                                      const uint8_t* data2, uint32_t size2);
typedef uint32_t (*SetWriterOptionsFn)(const WriterOptions* options);

/* Multi-stream slots. */
typedef MxSession (*CreateMediaFileMultiStreamFn)(void);
typedef uint32_t (*AddStreamInfoMultiStreamFn)(MxSession session, int32_t stream_type,
                                               uint32_t program_id, uint32_t in_stream_index,
                                               uint32_t out_stream_index, const EncParam* record);
typedef uint32_t (*InitMediaFileMultiStreamFn)(MxSession session, uint32_t file_fourcc,
                                               const MxChar* file_name);
/* frame: an MxAudioFrame or MxVideoFrame, by the stream's type. */
typedef uint32_t (*WriteFrameMultiStreamFn)(MxSession session, uint32_t out_stream_index,
                                            const void* frame, const int32_t* frame_info);
typedef void (*CloseMediaFileMultiStreamFn)(MxSession session);
typedef void (*WriteExtraDataMultiStreamFn)(MxSession session, uint32_t out_stream_index,
                                            const uint8_t* blob, int32_t size);

/* Stream types of the multi-stream registry. */
#define MX_STREAM_VIDEO 2
#define MX_STREAM_AUDIO 3
#define MX_STREAM_SUBPIC_INTERNAL 4
#define MX_STREAM_SUBPIC_EXTERNAL 5
#define MX_STREAM_TIMECODE 7

/* One registered stream of the multi-stream path (33952 bytes). */
typedef struct StreamInfo {
  EncParam params;            /* 0 */
  uint32_t stream_type;       /* 33936 */
  uint32_t program_id;        /* 33940 */
  uint32_t in_stream_index;   /* 33944 */
  uint32_t out_stream_index;  /* 33948 */
} StreamInfo;

/* ------------------------------------------------------- format descriptors */

/* Codec list entry: the list ends at an all-zero entry. */
typedef struct CodecListEntry {
  uint32_t fourcc;
  uint32_t aux; /* 1 for "PCM ", 0 otherwise */
} CodecListEntry;

typedef struct SingleStreamSlots {
  CreateMediaFileFn CreateMediaFile;          /* 424 */
  WriteAudioFrameFn WriteAudioFrame;          /* 432 */
  WriteVideoFrameFn WriteVideoFrame;          /* 440: null for audio-only formats */
  CloseMediaFileFn CloseMediaFile;            /* 448 */
  WriteAudioExtraDataFn WriteAudioExtraData;  /* 456 */
  WriteVideoExtraDataFn WriteVideoExtraData;  /* 464: null for audio-only formats */
  uint64_t flags;                             /* 472 */
  SetWriterOptionsFn SetWriterOptions;        /* 480: may be null */
} SingleStreamSlots;

typedef struct MultiStreamSlots {
  void* unused;                                             /* 424: always null */
  CreateMediaFileMultiStreamFn CreateMediaFileMultiStream;  /* 432 */
  AddStreamInfoMultiStreamFn AddStreamInfoMultiStream;      /* 440 */
  InitMediaFileMultiStreamFn InitMediaFileMultiStream;      /* 448 */
  WriteFrameMultiStreamFn WriteFrameMultiStream;            /* 456 */
  CloseMediaFileMultiStreamFn CloseMediaFileMultiStream;    /* 464 */
  WriteExtraDataMultiStreamFn WriteExtraDataMultiStream;    /* 472 */
  uint64_t flags;                                           /* 480 */
} MultiStreamSlots;

/* One entry of a format table (488 bytes). A table ends at an entry whose fourcc is 0. */
typedef struct FormatDescriptor {
  uint32_t fourcc;                     /* 0 */
  MxChar extension[10];              /* 4 */
  MxChar short_name[64];             /* 24 */
  MxChar description[128];           /* 152 */
  const CodecListEntry* audio_codecs;  /* 408 */
  const CodecListEntry* video_codecs;  /* 416: null for audio-only formats */
  union {
    SingleStreamSlots single;          /* table of GetFileFormats */
    MultiStreamSlots multi;            /* table of GetFileMultiStreamFormats */
  } slots;                             /* 424 */
} FormatDescriptor;

/* clang-format on */

typedef FormatDescriptor* (*GetFileFormatsFn)(void);
typedef FormatDescriptor* (*GetFileMultiStreamFormatsFn)(void);

/* The plug-in's two exports. */
FormatDescriptor* GetFileFormats(void);
FormatDescriptor* GetFileMultiStreamFormats(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ------------------------------------------------------------ layout checks */

#ifdef __cplusplus
#define MX_STATIC_ASSERT static_assert
#else
#define MX_STATIC_ASSERT _Static_assert
#endif

MX_STATIC_ASSERT(sizeof(MxChar) == 2, "text units are UTF-16");

MX_STATIC_ASSERT(sizeof(MxPicture) == 16, "picture record");
MX_STATIC_ASSERT(offsetof(MxPicture, size) == 8, "picture size");
MX_STATIC_ASSERT(offsetof(MxPicture, picture_kind) == 12, "picture kind");

MX_STATIC_ASSERT(sizeof(MxVideoParams) == 6248, "video block");
MX_STATIC_ASSERT(offsetof(MxVideoParams, width) == 4, "video.width");
MX_STATIC_ASSERT(offsetof(MxVideoParams, height) == 8, "video.height");
MX_STATIC_ASSERT(offsetof(MxVideoParams, frame_rate) == 16, "video.frame_rate");
MX_STATIC_ASSERT(offsetof(MxVideoParams, bit_rate) == 24, "video.bit_rate");
MX_STATIC_ASSERT(offsetof(MxVideoParams, ext_flags) == 76, "video.ext_flags");
MX_STATIC_ASSERT(offsetof(MxVideoParams, spherical_aux) == 104, "video.spherical_aux");
MX_STATIC_ASSERT(offsetof(MxVideoParams, field_of_view) == 112, "video.field_of_view");
MX_STATIC_ASSERT(offsetof(MxVideoParams, stereo_mode) == 116, "video.stereo_mode");
MX_STATIC_ASSERT(offsetof(MxVideoParams, projection) == 120, "video.projection");
MX_STATIC_ASSERT(offsetof(MxVideoParams, dolby_vision) == 164, "video.dolby_vision");
MX_STATIC_ASSERT(offsetof(MxVideoParams, display_width) == 4168, "video.display_width");
MX_STATIC_ASSERT(offsetof(MxVideoParams, display_height) == 4172, "video.display_height");
MX_STATIC_ASSERT(offsetof(MxVideoParams, timestamp_durations) == 4180, "video.timestamp_durations");

MX_STATIC_ASSERT(sizeof(MxAudioParams) == 6224, "audio block");
MX_STATIC_ASSERT(offsetof(MxAudioParams, sample_rate) == 4, "audio.sample_rate");
MX_STATIC_ASSERT(offsetof(MxAudioParams, channels) == 8, "audio.channels");
MX_STATIC_ASSERT(offsetof(MxAudioParams, bit_rate) == 12, "audio.bit_rate");
MX_STATIC_ASSERT(offsetof(MxAudioParams, bits_per_sample) == 24, "audio.bits_per_sample");
MX_STATIC_ASSERT(offsetof(MxAudioParams, language) == 28, "audio.language");

MX_STATIC_ASSERT(sizeof(MxSubpictureParams) == 2084, "subpicture block");
MX_STATIC_ASSERT(offsetof(MxSubpictureParams, language) == 16, "subpicture.language");

MX_STATIC_ASSERT(sizeof(MxMovieMetadata) == 17896, "metadata block");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, title) == 520, "title");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, album) == 1560, "album");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, genre) == 2600, "genre");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, alt_title) == 3640, "alt_title");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, media_kind) == 4160, "media_kind");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, date) == 4164, "date");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, season) == 4684, "season");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, episode) == 4688, "episode");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, cast) == 4692, "cast");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, directors) == 5212, "directors");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, producers) == 5732, "producers");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, screenwriters) == 6252, "screenwriters");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, description) == 6772, "description");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, long_description) == 7292, "long_description");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, comment) == 8292, "comment");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, tv_network) == 9292, "tv_network");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, location_accuracy) == 10292, "location_accuracy");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, location_iso6709) == 11292, "location_iso6709");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, creation_date) == 12292, "creation_date");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, make) == 13292, "make");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, model) == 14292, "model");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, software) == 15292, "software");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, cover_art) == 16296, "cover_art");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, rating) == 16304, "rating");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, hd_video) == 16308, "hd_video");
MX_STATIC_ASSERT(offsetof(MxMovieMetadata, live_photo) == 17880, "live_photo");

MX_STATIC_ASSERT(sizeof(EncParam) == 33936, "EncParam");
MX_STATIC_ASSERT(offsetof(EncParam, video) == 0, "video block");
MX_STATIC_ASSERT(offsetof(EncParam, audio) == 6248, "audio block");
MX_STATIC_ASSERT(offsetof(EncParam, audio.language) == 6276, "audio.language");
MX_STATIC_ASSERT(offsetof(EncParam, subpicture) == 12472, "subpicture block");
MX_STATIC_ASSERT(offsetof(EncParam, subpicture.language) == 12488, "subpicture.language");
MX_STATIC_ASSERT(offsetof(EncParam, timecode) == 14560, "timecode block");
MX_STATIC_ASSERT(offsetof(EncParam, no_video) == 16016, "no_video");
MX_STATIC_ASSERT(offsetof(EncParam, no_audio) == 16020, "no_audio");
MX_STATIC_ASSERT(offsetof(EncParam, no_subpicture) == 16024, "no_subpicture");
MX_STATIC_ASSERT(offsetof(EncParam, no_timecode) == 16028, "no_timecode");
MX_STATIC_ASSERT(offsetof(EncParam, file_fourcc) == 16032, "file_fourcc");
MX_STATIC_ASSERT(offsetof(EncParam, metadata) == 16040, "metadata block");
MX_STATIC_ASSERT(offsetof(EncParam, metadata.location_accuracy) == 26332, "key texts");
MX_STATIC_ASSERT(offsetof(EncParam, metadata.cover_art) == 32336, "picture");
MX_STATIC_ASSERT(offsetof(EncParam, metadata.live_photo) == 33920, "live_photo");

MX_STATIC_ASSERT(sizeof(WriterOptions) == 24, "WriterOptions");
MX_STATIC_ASSERT(offsetof(WriterOptions, flags) == 4, "flags");
MX_STATIC_ASSERT(offsetof(WriterOptions, display_width) == 12, "display_width");
MX_STATIC_ASSERT(offsetof(WriterOptions, display_height) == 16, "display_height");

MX_STATIC_ASSERT(sizeof(MxVideoFrame) == 144, "video frame record");
MX_STATIC_ASSERT(offsetof(MxVideoFrame, tc_data) == 8, "tc_data");
MX_STATIC_ASSERT(offsetof(MxVideoFrame, data) == 16, "data");
MX_STATIC_ASSERT(offsetof(MxVideoFrame, tc_size) == 16, "tc_size");
MX_STATIC_ASSERT(offsetof(MxVideoFrame, size) == 24, "size");
MX_STATIC_ASSERT(offsetof(MxVideoFrame, picture_flag) == 80, "picture_flag");
MX_STATIC_ASSERT(offsetof(MxVideoFrame, pts) == 120, "pts");
MX_STATIC_ASSERT(offsetof(MxVideoFrame, dts) == 128, "dts");
MX_STATIC_ASSERT(offsetof(MxVideoFrame, frame_duration) == 136, "frame_duration");

MX_STATIC_ASSERT(sizeof(MxAudioFrame) == 136, "audio frame record");
MX_STATIC_ASSERT(offsetof(MxAudioFrame, channels) == 12, "channels");
MX_STATIC_ASSERT(offsetof(MxAudioFrame, data) == 24, "data");
MX_STATIC_ASSERT(offsetof(MxAudioFrame, size) == 32, "size");
MX_STATIC_ASSERT(offsetof(MxAudioFrame, pts) == 120, "pts");
MX_STATIC_ASSERT(offsetof(MxAudioFrame, dts) == 128, "dts");

MX_STATIC_ASSERT(sizeof(StreamInfo) == 33952, "StreamInfo");
MX_STATIC_ASSERT(offsetof(StreamInfo, stream_type) == 33936, "stream_type");
MX_STATIC_ASSERT(offsetof(StreamInfo, program_id) == 33940, "program_id");
MX_STATIC_ASSERT(offsetof(StreamInfo, in_stream_index) == 33944, "in_stream_index");
MX_STATIC_ASSERT(offsetof(StreamInfo, out_stream_index) == 33948, "out_stream_index");

MX_STATIC_ASSERT(sizeof(CodecListEntry) == 8, "codec list entry");
MX_STATIC_ASSERT(sizeof(FormatDescriptor) == 488, "FormatDescriptor");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, extension) == 4, "extension");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, short_name) == 24, "short_name");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, description) == 152, "description");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, audio_codecs) == 408, "audio_codecs");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, video_codecs) == 416, "video_codecs");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.single.CreateMediaFile) == 424, "create");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.single.WriteAudioFrame) == 432, "audio");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.single.WriteVideoFrame) == 440, "video");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.single.CloseMediaFile) == 448, "close");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.single.WriteAudioExtraData) == 456, "aextra");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.single.WriteVideoExtraData) == 464, "vextra");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.single.flags) == 472, "flags");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.single.SetWriterOptions) == 480, "options");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.multi.unused) == 424, "multi unused");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.multi.CreateMediaFileMultiStream) == 432,
                 "multi create");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.multi.AddStreamInfoMultiStream) == 440,
                 "multi add");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.multi.InitMediaFileMultiStream) == 448,
                 "multi init");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.multi.WriteFrameMultiStream) == 456,
                 "multi frame");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.multi.CloseMediaFileMultiStream) == 464,
                 "multi close");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.multi.WriteExtraDataMultiStream) == 472,
                 "multi extra");
MX_STATIC_ASSERT(offsetof(FormatDescriptor, slots.multi.flags) == 480, "multi flags");

#endif /* MX_MP4_HOST_H */
