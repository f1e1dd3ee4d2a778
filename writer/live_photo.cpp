// Live Photo support: the content identifier, the hand-off of the still
// picture to the sibling image plug-in, and the still-image-time sample.
#include "writer/live_photo.h"

#include <string>

#include "platform/platform.h"
#include "xqlog/xq_log.h"

namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr size_t kContentIdLength = 36;
constexpr size_t kDashes[] = {8, 13, 18, 23};
constexpr size_t kVersionPosition = 14;  // always '4'
constexpr size_t kVariantPosition = 19;  // one of 8, 9, A, B

// The sibling plug-in lives in the host's PlugIns folder.
constexpr char16_t kPlugInsFolder[] = u"/PlugIns/";
#ifdef _WIN32
constexpr char16_t kImageEncLibrary[] = u"mx_ImageEnc.dll";
#else
constexpr char16_t kImageEncLibrary[] = u"mx_ImageEnc.so";
#endif
constexpr char kImageEncEntry[] = "AddPicLivephotoMetaInfo";
constexpr uint32_t kBaseDirectoryLimit = 511;
constexpr uint32_t kStillMissing = 0xFFFFFFFFu;

using AddPicLivephotoMetaInfoFn = uint32_t (*)(const char* jpeg_path, const uint8_t* bytes,
                                               uint32_t size, const char* content_id);

// The still-image-time item: size 9, local key 1, 8-bit value 0.
constexpr uint8_t kStillImageTimeSample[9] = {0, 0, 0, 9, 0, 0, 0, 1, 0};

bool is_fixed_position(size_t i) {
  if (i == kVersionPosition) return true;
  for (size_t d : kDashes) {
    if (d == i) return true;
  }
  return false;
}

}  // namespace

// The identifier is all that pairs a movie with its still, so identifiers made
// by separate host runs must not repeat: every digit takes fresh bits from the
// system's random source rather than from the C library's unseeded generator.
std::string make_content_id() {
  std::string id(kContentIdLength, ' ');
  for (size_t d : kDashes) id[d] = '-';
  id[kVersionPosition] = '4';
  uint32_t bits = 0;
  int bits_left = 0;
  for (size_t i = 0; i < kContentIdLength; ++i) {
    if (is_fixed_position(i)) continue;
    if (bits_left < 4) {
      bits = platform_random32();
      bits_left = 32;
    }
    const uint32_t nibble = bits & 15;
    bits >>= 4;
    bits_left -= 4;
    const uint32_t index = i == kVariantPosition ? ((nibble & 3) | 8) : nibble;
    id[i] = kDigits[index];
  }
  return id;
}

uint32_t add_still_picture(const char* jpeg_path, const uint8_t* bytes, uint32_t size,
                           const char* content_id) {
  char16_t base[1024] = {};
  XQ_GetBaseDirectory(base, kBaseDirectoryLimit);
  base[kBaseDirectoryLimit] = 0;
  std::u16string path = base;
  path += kPlugInsFolder;
  XQ_LogFormat(u"XQ_EncMgr:: FindFileFormat LoadLibrary:%ls", path.c_str());
  path += kImageEncLibrary;

  void* library = platform_load_library(path.c_str());
  if (library == nullptr) return kStillMissing;
  auto add_picture =
      reinterpret_cast<AddPicLivephotoMetaInfoFn>(platform_find_symbol(library, kImageEncEntry));
  if (add_picture == nullptr) {
    // Not the image plug-in: unloaded again, so that nothing of it runs or
    // keeps its file in use (Windows cannot replace or delete a loaded DLL).
    platform_free_library(library);
    return kStillMissing;
  }
  // The image plug-in stays loaded for the life of the process.
  return add_picture(jpeg_path, bytes, size, content_id);
}

void write_still_image_time(MuxContext* c, const TrackSpec* specs, int32_t spec_count,
                            const MxVideoFrame* frame, uint32_t* still_time_written) {
  if (*still_time_written || c == nullptr || frame == nullptr) return;
  for (int32_t i = 0; i < spec_count; ++i) {
    if (specs[i].kind != kKindTimedMetadata) continue;
    mux_add_sample(specs[i].index, c, kStillImageTimeSample, sizeof kStillImageTimeSample, 1,
                   kKindTimedMetadata, nullptr, frame->dts, frame->pts, 0);
    *still_time_written = 1;
    return;
  }
}
