// Box writers of the movie tree. Each takes the context (and usually the
// track) and writes through the context's ByteWriter.
#pragma once

#include <cstdint>

#include "output/mux.h"

// File-level boxes, movie and track headers.
void write_ftyp(MuxContext* c);
int32_t finish_file(MuxContext* c);
void write_moov(MuxContext* c);
int32_t write_mvhd(MuxContext* c);
void write_trak(MuxContext* c, MuxTrack* t);
int32_t write_tkhd(MuxContext* c, MuxTrack* t);
void write_matrix(ByteWriter* w, int32_t a, int32_t b, int32_t cc, int32_t d, int32_t tx,
                  int32_t ty);
void write_tref(MuxContext* c, MuxTrack* t, uint32_t timecode_track_id);
void write_edts(MuxContext* c, MuxTrack* t);
void write_track_name(MuxContext* c, MuxTrack* t);
// Seconds since 1904-01-01, truncated to 32 bits.
uint32_t mp4_creation_time();

// Media boxes.
void write_mdia(MuxContext* c, MuxTrack* t);
int32_t write_mdhd(MuxContext* c, MuxTrack* t);
void write_hdlr(MuxContext* c, MuxTrack* t);  // null track: the data handler
void write_minf(MuxContext* c, MuxTrack* t);
void write_vmhd(MuxContext* c);
void write_smhd(MuxContext* c);
void write_gmhd(MuxContext* c, MuxTrack* t);
void write_gmin(MuxContext* c);
void write_dinf(MuxContext* c, MuxTrack* t);
int32_t write_dref(MuxContext* c, MuxTrack* t);
uint16_t pack_language(const char* language);

// Sample tables.
void write_stbl(MuxContext* c, MuxTrack* t);
void write_stsd(MuxContext* c, MuxTrack* t);
int32_t write_stts(MuxContext* c, MuxTrack* t);
int64_t sample_delta(MuxTrack* t, int64_t index);
// Where a video track's presentation starts, in track units: the smallest
// composition time (decode time as stts states it plus the offset ctts
// stores) among the leading samples, those before the second sync sample; 0
// without ctts and never below 0.
int64_t composition_start(MuxTrack* t);
void write_ctts(MuxContext* c, MuxTrack* t);
void write_stss(MuxContext* c, MuxTrack* t);
void write_stsc(MuxContext* c, MuxTrack* t);
void write_stsz(MuxContext* c, MuxTrack* t);
void write_stco(MuxContext* c, MuxTrack* t);

// Timecode track.
void write_tmcd_entry(MuxContext* c, MuxTrack* t);
void write_tmcd_info(MuxContext* c, MuxTrack* t);
void write_tcmi(MuxContext* c);

// Video sample entries.
void write_video_sample_entry(MuxContext* c, MuxTrack* t);
void put_vos_header(BitWriter* b);
void put_vol_header(MuxContext* c, BitWriter* b, uint32_t vo_id, uint32_t vol_id, MuxTrack* t);
int32_t write_avid_atoms(MuxContext* c, MuxTrack* t);
uint64_t is_dnxhd_header_prefix(const uint8_t* bytes);

// Audio sample entries.
void write_audio_sample_entry(MuxContext* c, MuxTrack* t);
void write_wave(MuxContext* c, MuxTrack* t);
void write_chan(MuxContext* c, MuxTrack* t);
void write_chnl(MuxContext* c, MuxTrack* t);
void write_damr(MuxContext* c, MuxTrack* t);
void write_enda(MuxContext* c, MuxTrack* t);
void write_pcmc(MuxContext* c, MuxTrack* t);
int64_t write_dac3(MuxContext* c, MuxTrack* t);
int64_t write_dfla(MuxContext* c, MuxTrack* t);

// Picture and spatial properties.
void write_dovi_box(MuxContext* c, MuxTrack* t, DoviConfig* config);
void dovi_fill_defaults(DoviConfig* config, const MuxTrack* t);
void put_dovi_record(BitWriter* b, uint8_t* buffer28, const DoviConfig* config);
int64_t write_st3d(MuxContext* c, MuxTrack* t);
int64_t write_sv3d(MuxContext* c, MuxTrack* t);
int64_t write_colr(MuxContext* c, MuxTrack* t);
int64_t write_gama(MuxContext* c, MuxTrack* t);
int64_t write_clli(MuxContext* c, MuxTrack* t);
int64_t write_mdcv(MuxContext* c, MuxTrack* t);
int64_t write_pasp(MuxContext* c, MuxTrack* t);

// Live Photo: QuickTime metadata keys and the still-image-time entry.
void write_mdta_meta(MuxContext* c);
void write_mebx_entry(MuxContext* c, MuxTrack* t);

// Movie user data and iTunes-style items.
void write_udta(MuxContext* c);

// Spherical video (version 1) XML.
void write_spherical_uuid(MuxContext* c, MuxTrack* t);
