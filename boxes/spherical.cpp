// Spherical Video (version 1): the RDF/XML description in a `uuid` box of the track.
#include <cstdio>
#include <cstring>
#include <memory>

#include "boxes/boxes.h"

namespace {

constexpr uint8_t kSphericalUuid[16] = {0xFF, 0xCC, 0x82, 0x63, 0xF8, 0x55, 0x4A, 0x93,
                                        0x88, 0x14, 0x58, 0x7A, 0x02, 0x52, 0x1F, 0xDD};

constexpr size_t kXmlCapacity = 2381;

// One line of XML: the parts below joined by six tabs and two spaces. The
// placeholders are the spherical flag, the stereo mode and four pixel counts.
// clang-format off
#define SEP "\t\t\t\t\t\t  "
constexpr const char kSphericalXml[] =
    "<rdf:SphericalVideo xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:GSpherical=\"http://ns.google.com/videos/1.0/spherical/\">" SEP
    "<GSpherical:Spherical>%s</GSpherical:Spherical>" SEP
    "<GSpherical:Stitched>true</GSpherical:Stitched>" SEP
    "<GSpherical:StitchingSoftware>OpenCV for Windows v2.4.9</GSpherical:StitchingSoftware>" SEP
    "<GSpherical:ProjectionType>equirectangular</GSpherical:ProjectionType>" SEP
    "<GSpherical:StereoMode>%s</GSpherical:StereoMode>" SEP
    "<GSpherical:SourceCount>6</GSpherical:SourceCount>" SEP
    "<GSpherical:InitialViewHeadingDegrees>90</GSpherical:InitialViewHeadingDegrees>" SEP
    "<GSpherical:InitialViewPitchDegrees>0</GSpherical:InitialViewPitchDegrees>" SEP
    "<GSpherical:InitialViewRollDegrees>0</GSpherical:InitialViewRollDegrees>" SEP
    "<GSpherical:Timestamp>0</GSpherical:Timestamp>" SEP
    "<GSpherical:CroppedAreaImageWidthPixels>%u</GSpherical:CroppedAreaImageWidthPixels>" SEP
    "<GSpherical:CroppedAreaImageHeightPixels>%u</GSpherical:CroppedAreaImageHeightPixels>" SEP
    "<GSpherical:FullPanoWidthPixels>%u</GSpherical:FullPanoWidthPixels>" SEP
    "<GSpherical:FullPanoHeightPixels>%u</GSpherical:FullPanoHeightPixels>" SEP
    "<GSpherical:CroppedAreaLeftPixels>0</GSpherical:CroppedAreaLeftPixels>" SEP
    "<GSpherical:CroppedAreaTopPixels>0</GSpherical:CroppedAreaTopPixels>" SEP
    "</rdf:SphericalVideo>";
#undef SEP
// clang-format on

// Stereo layouts: the stereo mode and which dimension one eye's picture halves.
struct StereoLayout {
  uint32_t layout;
  const char* mode;
  uint32_t width_divisor;
  uint32_t height_divisor;
};
constexpr StereoLayout kStereoLayouts[] = {
    {0, "mono", 1, 1},
    {1, "left-right", 2, 1},
    {2, "top-bottom", 1, 2},
};

}  // namespace

void write_spherical_uuid(MuxContext* c, MuxTrack* t) {
  auto xml = std::make_unique<char[]>(kXmlCapacity);  // zeroed
  const char* spherical = t->field_of_view == 360 ? "true" : "false";
  for (const StereoLayout& s : kStereoLayouts) {
    if (s.layout != t->stereo_layout) continue;
    uint32_t width = t->width / s.width_divisor;
    uint32_t height = t->height / s.height_divisor;
    std::snprintf(xml.get(), kXmlCapacity, kSphericalXml, spherical, s.mode, width, height, width,
                  height);
  }

  ByteWriter* w = c->writer;
  int64_t start = open_box(w, "uuid");
  for (uint8_t b : kSphericalUuid) put_u8(w, b);
  put_bytes(w, xml.get(), static_cast<int32_t>(std::strlen(xml.get())));
  patch_box_size(w, start);
}
