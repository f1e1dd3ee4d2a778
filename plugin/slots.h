// The slot functions that the format tables point to.
#pragma once

#include <mutex>

#include "mx_mp4/host.h"

// Single-stream slots.
MxSession CreateMediaFile(const MxChar* file_name, const EncParam* params);
uint32_t WriteAudioFrame(MxSession session, const MxAudioFrame* frame, const int32_t* frame_info);
uint32_t WriteVideoFrame(MxSession session, const MxVideoFrame* frame);
void CloseMediaFile(MxSession session);
void WriteAudioExtraData(MxSession session, const uint8_t* data, uint32_t size);
void WriteVideoExtraData(MxSession session, const uint8_t* data1, uint32_t size1,
                         const uint8_t* data2, uint32_t size2);
uint32_t SetWriterOptions(const WriterOptions* options);

// Multi-stream slots.
MxSession CreateMediaFileMultiStream();
uint32_t AddStreamInfoMultiStream(MxSession session, int32_t stream_type, uint32_t program_id,
                                  uint32_t in_stream_index, uint32_t out_stream_index,
                                  const EncParam* record);
uint32_t InitMediaFileMultiStream(MxSession session, uint32_t file_fourcc, const MxChar* file_name);
uint32_t WriteFrameMultiStream(MxSession session, uint32_t out_stream_index, const void* frame,
                               const int32_t* frame_info);
void CloseMediaFileMultiStream(MxSession session);
void WriteExtraDataMultiStream(MxSession session, uint32_t out_stream_index, const uint8_t* blob,
                               int32_t size);

// The module-wide writer options (one record for all sessions of the module),
// as they stand now. Every access to the record takes its lock.
WriterOptions module_writer_options();

// Holds the options record's lock (it may be taken again on the same thread):
// a caller that sets the options and then creates a session keeps other
// threads from changing the options between the two.
std::unique_lock<std::recursive_mutex> hold_writer_options();

// Looks a file code up in the single-stream table; null when absent.
FormatDescriptor* find_single_stream_format(uint32_t file_fourcc);
