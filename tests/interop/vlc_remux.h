// VLC as a reader: its own MP4 demuxer (forced, so that it never hands the
// file to libavformat), remuxing a file to Matroska through its stream
// output. VLC refuses to run as root; as root the run is made as the
// unprivileged user "nobody". scripts/install-deps --with-readers installs
// vlc-bin and vlc-plugin-base.
#pragma once

#include <string>
#include <vector>

namespace interop {

struct VlcRemux {
  // VLC's warnings and errors about the file: the "mp4 demux" and "mp4 stream"
  // lines and those of its input, without the object address in front, the
  // folder it worked in written as $WORK (the file is $WORK/input.EXT).
  std::vector<std::string> complaints;
  int video_frames = -1;   // video frames in the remux (ffprobe's count); -1 without one
  int audio_packets = -1;  // audio packets in the remux; -1 without one
  std::string failure;     // set when VLC could not be run; the whole log then
};

// What is missing to run VLC (empty when nothing is).
std::string vlc_missing();

// Opens the file with VLC's MP4 demuxer and remuxes its video and its sound
// into one Matroska file each. A run that takes longer than the time limit is
// stopped (vlc_timed_out).
VlcRemux vlc_remux(const std::string& path, int time_limit_seconds = 120);
bool vlc_timed_out(const VlcRemux& r);

// A file that a killed host left. One that ends in a media-data box left open
// (size 0: to the end of the file) can stop VLC for good, as ffmpeg's own
// fragmented file of the same codecs with such a box behind its last fragment
// does too. Such a file is remuxed with a short time limit, and when VLC does
// not finish it, the control is made and tried: ffmpeg writes `control` (its
// inputs and codec arguments) into a fragmented file of the given extension
// and the open box is put behind it.
struct LeftFileRemux {
  VlcRemux remux;                // valid unless stopped
  bool stopped = false;          // VLC never finished the left file
  bool control_stopped = false;  // ... nor ffmpeg's file with the same tail
  std::string control_failure;   // set when ffmpeg could not make that file
};
LeftFileRemux vlc_remux_left_file(const std::string& path, const std::string& control,
                                  const std::string& extension);

// Why VLC's stop on a left file is not the one it makes on ffmpeg's file with
// the same tail: empty when it is, or when VLC did not stop.
std::string vlc_stop_unexplained(const LeftFileRemux& r);

}  // namespace interop
