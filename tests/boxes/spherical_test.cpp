// Spherical Video (version 1) XML box of a 360-degree track.
#include <gtest/gtest.h>

#include <string>

#include "boxes/boxes.h"
#include "support/box_capture.h"
#include "support/box_reader.h"
#include "support/test_files.h"

namespace {

std::string spherical_xml(const std::string& mode, uint32_t w, uint32_t h) {
  const std::string sep = "\t\t\t\t\t\t  ";
  const std::string dims[] = {std::to_string(w), std::to_string(h)};
  std::string parts[] = {
      "<rdf:SphericalVideo xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
      "xmlns:GSpherical=\"http://ns.google.com/videos/1.0/spherical/\">",
      "<GSpherical:Spherical>true</GSpherical:Spherical>",
      "<GSpherical:Stitched>true</GSpherical:Stitched>",
      "<GSpherical:StitchingSoftware>OpenCV for Windows v2.4.9</GSpherical:StitchingSoftware>",
      "<GSpherical:ProjectionType>equirectangular</GSpherical:ProjectionType>",
      "<GSpherical:StereoMode>" + mode + "</GSpherical:StereoMode>",
      "<GSpherical:SourceCount>6</GSpherical:SourceCount>",
      "<GSpherical:InitialViewHeadingDegrees>90</GSpherical:InitialViewHeadingDegrees>",
      "<GSpherical:InitialViewPitchDegrees>0</GSpherical:InitialViewPitchDegrees>",
      "<GSpherical:InitialViewRollDegrees>0</GSpherical:InitialViewRollDegrees>",
      "<GSpherical:Timestamp>0</GSpherical:Timestamp>",
      "<GSpherical:CroppedAreaImageWidthPixels>" + dims[0] +
          "</GSpherical:CroppedAreaImageWidthPixels>",
      "<GSpherical:CroppedAreaImageHeightPixels>" + dims[1] +
          "</GSpherical:CroppedAreaImageHeightPixels>",
      "<GSpherical:FullPanoWidthPixels>" + dims[0] + "</GSpherical:FullPanoWidthPixels>",
      "<GSpherical:FullPanoHeightPixels>" + dims[1] + "</GSpherical:FullPanoHeightPixels>",
      "<GSpherical:CroppedAreaLeftPixels>0</GSpherical:CroppedAreaLeftPixels>",
      "<GSpherical:CroppedAreaTopPixels>0</GSpherical:CroppedAreaTopPixels>",
      "</rdf:SphericalVideo>"};
  std::string xml;
  for (const std::string& p : parts) xml += (xml.empty() ? "" : sep) + p;
  return xml;
}

const std::string kUuidHeader = "ff cc 82 63 f8 55 4a 93 88 14 58 7a 02 52 1f dd";

TEST(SphericalUuid, LayoutsGiveTheirPixelSizes) {
  struct Case {
    uint32_t layout, width, height;
    std::string mode;
    uint32_t eye_width, eye_height;
  };
  const Case cases[] = {
      {0, 3840, 1920, "mono", 3840, 1920},
      {1, 3840, 1920, "left-right", 1920, 1920},
      {2, 3840, 3840, "top-bottom", 3840, 1920},
      {1, 3841, 1921, "left-right", 1920, 1921},  // halves truncate
      {2, 4294967295u, 4294967295u, "top-bottom", 4294967295u, 2147483647u},
  };
  for (const Case& k : cases) {
    BoxCapture capture;
    MuxTrack* t = &capture.context()->tracks[0];
    t->kind = kKindVideo;
    t->codec_id = kCodecH264;
    t->field_of_view = 360;
    t->stereo_layout = k.layout;
    t->width = k.width;
    t->height = k.height;
    write_spherical_uuid(capture.context(), t);
    iso::Tree tree = iso::parse(capture.bytes());
    const iso::Box& uuid = tree.at("uuid");
    const std::string xml = spherical_xml(k.mode, k.eye_width, k.eye_height);
    EXPECT_EQ(uuid.size, 24 + xml.size());
    EXPECT_EQ(iso::hex(std::vector<uint8_t>(uuid.payload_data(), uuid.payload_data() + 16)),
              kUuidHeader);
    EXPECT_EQ(uuid.str(16, uuid.payload_size() - 16), xml) << "layout " << k.layout;
  }
}

TEST(SphericalUuid, UnknownLayoutGivesTheBareBox) {
  for (uint32_t layout : {3u, 0xFFFFFFFFu}) {
    BoxCapture capture;
    MuxTrack* t = &capture.context()->tracks[0];
    t->field_of_view = 360;
    t->stereo_layout = layout;
    t->width = 3840;
    t->height = 1920;
    write_spherical_uuid(capture.context(), t);
    EXPECT_EQ(iso::hex(capture.bytes()), "00 00 00 18 75 75 69 64 " + kUuidHeader);
  }
}

}  // namespace
