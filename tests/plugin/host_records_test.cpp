// The host records compile as C++ with the layouts the header pins; this test
// also checks that fields a host writes land where the plug-in reads them.
#include <gtest/gtest.h>

#include <cstring>

#include "mx_mp4/host.h"

TEST(HostRecords, FieldsLandAtTheirByteOffsets) {
  static EncParam p;
  std::memset(&p, 0, sizeof p);
  p.video.frame_rate = 29.97;
  p.audio.language[0] = u'e';
  p.file_fourcc = MX_FOURCC('M', 'P', '4', ' ');
  p.metadata.live_photo = 1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&p);
  double rate;
  std::memcpy(&rate, bytes + 16, 8);
  EXPECT_EQ(rate, 29.97);
  EXPECT_EQ(bytes[6276], 'e');
  EXPECT_EQ(std::memcmp(bytes + 16032, "MP4 ", 4), 0);
  EXPECT_EQ(bytes[33920], 1);
}
