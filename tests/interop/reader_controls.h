// ffmpeg's own files of the streams of the interoperability group. What a
// reader does to one of these it does whoever wrote the file: a reader's
// limit is shown on them, never by leaving one of our files out.
#pragma once

#include <string>

#include "interop_files.h"
#include "interop_media.h"

namespace interop {

// ffmpeg's file of one stream alone: the source itself where ffmpeg made it
// in a container, else the stream put into a QuickTime movie (PCM) or a 3GPP
// file (AMR). Made once per build.
std::string stream_control(const SourceTrack& s);

struct Control {
  std::string path;     // empty when ffmpeg cannot write these streams in this container
  std::string refusal;  // then ffmpeg's words
};

// ffmpeg's file of the case's streams in the same container (its mp4, mov,
// ipod, 3gp, 3g2 or f4v muxer, the packets copied as they are), with the case's
// extension. Made once per build.
Control file_control(const FileCase& c);

}  // namespace interop
