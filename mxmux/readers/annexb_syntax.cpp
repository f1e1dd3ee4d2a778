#include "mxmux/readers/annexb_syntax.h"

namespace mxmux {

BitReader slice_header_bits(const uint8_t* p, const uint8_t* end,
                            std::array<uint8_t, kSliceHeaderBytes>& scratch) {
  const size_t n = unescape_rbsp(p, end, scratch.data(), scratch.size());
  return BitReader(scratch.data(), scratch.data() + n);
}

void skip_vui_front(BitReader& br) {
  if (br.flag()) {  // aspect_ratio_info_present_flag
    if (br.bits(8) == 255) br.bits(32);
  }
  if (br.flag()) br.bits(1);  // overscan
  if (br.flag()) {            // video_signal_type
    br.bits(4);
    if (br.flag()) br.bits(24);
  }
  if (br.flag()) {  // chroma_loc_info
    br.ue();
    br.ue();
  }
}

int64_t poc_msb(int64_t lsb, int64_t prev_lsb, int64_t prev_msb, int64_t max_lsb) {
  if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2) return prev_msb + max_lsb;
  if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2) return prev_msb - max_lsb;
  return prev_msb;
}

}  // namespace mxmux
