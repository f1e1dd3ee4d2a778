// What an Annex-B reader needs from the codec it reads: the meaning of each
// unit (parameter sets, slices and the picture boundaries they mark), the
// picture order count of each picture, and the stream's parameters. H.264 and
// HEVC each implement it (h264_syntax.cpp, hevc_syntax.cpp); the unit finder
// and the picture assembly around it are shared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "mxmux/readers/bits.h"
#include "mxmux/readers/presentation_queue.h"
#include "mxmux/readers/reader.h"

namespace mxmux {

// Enough of a slice header to reach its picture order count fields, whatever
// their values: H.264 reads at most 397 bits (five Exp-Golomb fields of at most
// 63 bits, two signed ones, frame_num and the POC bits of at most 16 each, 3
// flag bits), HEVC at most 154; the rest of a slice is never looked at.
constexpr size_t kSliceHeaderBytes = 64;

// What one unit is to the picture being assembled.
struct UnitRole {
  bool slice = false;           // a coded slice of a picture
  bool starts_picture = false;  // the open picture ended before this unit
};

class AnnexBSyntax {
 public:
  virtual ~AnnexBSyntax() = default;

  virtual Codec codec() const = 0;
  // The stream's kind with its article, as messages name it ("an H.264").
  virtual const char* kind() const = 0;

  // Reads the unit whose payload is [p, end). `picture_has_slices` says
  // whether the open picture holds a slice already. Parameter sets seen before
  // the first slice make the configuration the container stores. Returns null,
  // or what is wrong with the unit.
  virtual const char* read_unit(const uint8_t* p, const uint8_t* end, bool picture_has_slices,
                                UnitRole& role) = 0;
  // The slice last read opens a picture: its header decides that picture's order.
  virtual void begin_picture() = 0;
  // The open picture is complete: its place in presentation order.
  virtual PictureOrder order_picture() = 0;
  // After the first picture: the picture size, profile, configuration and the
  // rate the stream states (0/0 for none) into `params`, and what the stream
  // says about its reordering. Returns null, or why the stream cannot be read.
  virtual const char* describe(StreamParams& params, ReorderHint& hint) = 0;
};

// What both codecs keep alike: the first slice of the picture just begun and
// of the open one (its header decides the picture's order), whether the
// configuration is still open, and scratch for unescaped headers.
template <typename SliceInfo>
class FirstSliceSyntax : public AnnexBSyntax {
 public:
  void begin_picture() final {
    picture_slice_ = read_slice_;
    configuration_closed_ = true;
  }

 protected:
  SliceInfo read_slice_;     // the last first slice of a picture read
  SliceInfo picture_slice_;  // the open picture's
  bool configuration_closed_ = false;
  std::vector<uint8_t> rbsp_;
  std::array<uint8_t, kSliceHeaderBytes> header_;
};

std::unique_ptr<AnnexBSyntax> make_h264_syntax();
std::unique_ptr<AnnexBSyntax> make_hevc_syntax();

// ------------------------------------------------ helpers of both codecs

// A bit reader over the first kSliceHeaderBytes of a slice, from behind its
// NAL header, with emulation-prevention bytes removed into `scratch`: the
// fields read from a slice lie at its front, so the rest of it is never copied.
BitReader slice_header_bits(const uint8_t* p, const uint8_t* end,
                            std::array<uint8_t, kSliceHeaderBytes>& scratch);

// The fields both H.264 and HEVC video usability information begin with:
// aspect ratio, overscan, video signal type and chroma sample location.
void skip_vui_front(BitReader& br);

// The most significant part of a picture order count, from its least
// significant bits and the previous reference picture's.
int64_t poc_msb(int64_t lsb, int64_t prev_lsb, int64_t prev_msb, int64_t max_lsb);

}  // namespace mxmux
