// Real parameter sets and configuration OBUs, made with Debian's ffmpeg (libx265,
// libaom-av1, libsvtav1, librav1e) by tests/codecs/make_codec_vectors.sh, which also prints
// the hvcC / av1C records that ffmpeg's own MP4 writer makes from the same streams. Those
// records are kept here as the cross-check for the records we build.
#pragma once

// ---- HEVC (libx265, 320x240 unless noted) ----
// 8-bit 4:2:0 Main, level 2 (60), wavefront on, one temporal layer, HDR SEIs.
inline constexpr const char* kHevc420Vps =
    "40 01 0c 01 ff ff 01 60 00 00 03 00 90 00 00 03 00 00 03 00 3c 95 98 09";
inline constexpr const char* kHevc420Sps =
    "42 01 01 01 60 00 00 03 00 90 00 00 03 00 00 03 00 3c a0 0a 08 0f 16 59 59 a4 93 2b"
    "c0 5a 02 00 00 03 00 02 00 00 03 00 32 10";
inline constexpr const char* kHevc420Pps = "44 01 c1 72 b4 62 40";
inline constexpr const char* kHevc420SeiLight = "4e 01 90 04 03 e8 01 90 80";
inline constexpr const char* kHevc420SeiMastering =
    "4e 01 89 18 33 c2 86 c4 1d 4c 0b b8 84 d0 3e 80 3d 13 40 42 00 98 96 80 00 00 03 00 01 80";
// The same encoder without wavefront: entropy_coding_sync off.
inline constexpr const char* kHevc420NoWppPps = "44 01 c1 72 b4 22 40";
inline constexpr const char* kFfmpegHvcc420 =
    "01 01 60 00 00 00 90 00 00 00 00 00 3c f0 00 fc fd f8 f8 00 00 0f";

// 8-bit 4:4:4 (range extensions profile 4), 64x64, level 1 (30). The SPS holds 00 00 03 01.
inline constexpr const char* kHevc444Vps =
    "40 01 0c 01 ff ff 04 08 00 00 03 00 9e 08 00 00 03 00 00 1e 95 98 09";
inline constexpr const char* kHevc444Sps =
    "42 01 01 04 08 00 00 03 00 9e 08 00 00 03 00 00 1e 90 04 10 20 b2 ca cd 24 99 5e 02 d0"
    "10 00 00 03 00 10 00 00 03 01 90 80";
inline constexpr const char* kHevc444Pps = "44 01 c1 72 86 0c 42 24";
inline constexpr const char* kFfmpegHvcc444 =
    "01 04 08 00 00 00 9e 08 00 00 00 00 1e f0 00 fc ff f8 f8 00 00 0f";

// 10-bit 4:2:2 (profile 4), level 2 (60).
inline constexpr const char* kHevc422Vps =
    "40 01 0c 01 ff ff 04 08 00 00 03 00 9d 08 00 00 03 00 00 3c 95 98 09";
inline constexpr const char* kHevc422Sps =
    "42 01 01 04 08 00 00 03 00 9d 08 00 00 03 00 00 3c b0 0a 08 0f 13 65 95 9a 49 32 bc 05"
    "a0 20 00 00 03 00 20 00 00 03 03 21";
inline constexpr const char* kHevc422Pps = "44 01 c1 72 b4 62 40";
inline constexpr const char* kFfmpegHvcc422 =
    "01 04 08 00 00 00 9d 08 00 00 00 00 3c f0 00 fc fe fa fa 00 00 0f";

// 10-bit 4:2:0 Main 10, level 5.1 (153), two temporal layers, HRD parameters in the VUI.
inline constexpr const char* kHevcHrdVps =
    "40 01 0c 02 ff ff 02 20 00 00 03 00 90 00 00 03 00 00 03 00 99 00 00 95 98 ac c0 48";
inline constexpr const char* kHevcHrdSps =
    "42 01 02 02 20 00 00 03 00 90 00 00 03 00 00 03 00 99 00 00 a0 0a 08 0f 13 65 95 98 ac"
    "d2 49 95 e0 2d 01 00 00 03 00 01 00 00 03 00 19 60 1c d6 5e 00 0f 42 40 01 e8 4b 80 03"
    "d0 90 00 7a 12 20";
inline constexpr const char* kHevcHrdPps = "44 01 c1 72 b4 62 40";
inline constexpr const char* kHevcHrdSeiBuffering = "4e 01 00 07 80 00 4f 1a 00 8c a1 80";
// ffmpeg writes min_spatial_segmentation 2 and parallelism 3 (f0 02 ff) for this stream.
// The SPS has no bitstream_restriction: read field by field, its VUI ends with the HRD
// parameters, and the next bits are sps_extension_present_flag = 0 and the stop bit, so
// the record says "none" (f0 00) and forces the parallelism type to 0 (fc).
inline constexpr const char* kFfmpegHvccHrd =
    "01 02 20 00 00 00 90 00 00 00 00 00 99 f0 02 ff fd fa fa 00 00 13";

// 8-bit 4:2:0 Main, high tier (profile byte 0x21), level 4 (120).
inline constexpr const char* kHevcHighTierVps =
    "40 01 0c 01 ff ff 21 60 00 00 03 00 90 00 00 03 00 00 03 00 78 95 98 09";
inline constexpr const char* kHevcHighTierSps =
    "42 01 01 21 60 00 00 03 00 90 00 00 03 00 00 03 00 78 a0 0a 08 0f 16 59 59 a4 93 2b"
    "c0 5a 02 00 00 03 00 02 00 00 03 00 32 10";
inline constexpr const char* kFfmpegHvccHighTier =
    "01 21 60 00 00 00 90 00 00 00 00 00 78 f0 00 fc fd f8 f8 00 00 0f";

// The start of a coded slice (IDR_W_RADL, type 19); only its type matters here.
inline constexpr const char* kHevcIdrSlice = "26 01 af 1d 80 a3 c6 7f";

// ---- AV1 sequence header OBUs (with size field) and what ffmpeg's av1C starts with ----
struct Av1Vector {
  const char* name;
  const char* sequence_header_obu;
  const char* ffmpeg_fixed_part;
};
inline constexpr Av1Vector kAv1Vectors[] = {
    // libaom, 1920x1080, profile 0, level 8 (4.0), 8-bit 4:2:0
    {"aom_1080p_8bit", "0a 0b 00 00 00 42 ab bf c3 73 2b e4 01", "81 08 0c 00"},
    // the same at 10 bits: high_bitdepth
    {"aom_1080p_10bit", "0a 0b 00 00 00 42 ab bf c3 73 2b e5 01", "81 08 4c 00"},
    // libsvtav1 1080p 8-bit
    {"svt_1080p_8bit", "0a 0b 00 00 00 42 ab bf c3 73 ef e4 01", "81 08 0c 00"},
    // libsvtav1 640x360 10-bit with colour description (BT.2020, PQ)
    {"svt_360p_10bit_hdr", "0a 0e 00 00 00 0c c4 ff 67 3e fe 54 24 40 24 10", "81 01 4c 00"},
    // librav1e 1080p, level 31 (maximum)
    {"rav1e_1080p", "0a 0e 00 00 00 fa ab bf c3 71 08 54 40 80 80 85", "81 1f 0c 00"},
    // libaom 64x64: 4:4:4 (profile 1), 4:2:2 (profile 2), 12-bit 4:2:0 (profile 2), monochrome
    {"aom_444", "0a 0a 20 00 00 02 af ff 9b 5f 20 40", "81 20 00 00"},
    {"aom_422", "0a 0a 40 00 00 02 af ff 9b 5f 20 20", "81 40 08 00"},
    {"aom_420_12bit", "0a 0a 40 00 00 02 af ff 9b 5f 2c 61", "81 40 6c 00"},
    {"aom_gray", "0a 0a 00 00 00 02 af ff 9b 5f 25 40", "81 00 1c 00"},
    // reduced_still_picture_header
    {"aom_still", "0a 06 18 15 7f fd a0 08", "81 00 0c 00"},
    // timing info with equal_picture_interval (uvlc)
    {"aom_timing", "0a 13 04 00 00 00 04 00 00 00 7b 40 00 00 ba af ff 9b 5f 20 08", "81 00 0c 00"},
    // timing info with the decoder model
    {"aom_decoder_model",
     "0a 1d 04 00 00 00 04 00 00 00 79 78 00 00 00 0a 53 00 00 03 5f 91 5f 90 ba af ff 9b 5f"
     "20 08",
     "81 00 0c 00"},
};

inline constexpr const char* kAv1TemporalDelimiter = "12 00";
// libsvtav1's HDR metadata OBUs: content light level, then mastering display.
inline constexpr const char* kAv1MetadataLight = "2a 06 01 03 e8 01 90 80";
inline constexpr const char* kAv1MetadataMastering =
    "2a 1a 02 ae 14 51 ec 43 d7 b0 a4 26 66 0f 5c 50 0d 54 39 00 03 e8 00 00 00 00 02 80";
