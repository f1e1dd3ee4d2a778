// The host side of the plug-in interface: loading the library, reading its
// format catalogue, and the host's knowledge of which codec codes stand for
// which stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mx_mp4/host.h"
#include "mxmux/readers/reader.h"

namespace mxmux {

std::string fourcc_text(uint32_t code);
uint32_t fourcc_from_text(const std::string& text);  // padded with spaces to four characters
std::string u16_to_utf8(const MxChar* text, size_t limit);
// Copies UTF-8 text into a zero-terminated UTF-16 field of `capacity` units.
void utf8_to_u16(const std::string& text, MxChar* field, size_t capacity);

// Codec a host code makes the plug-in write, or kNone.
Codec codec_of_code(uint32_t code, bool video);
// The code mxmux hands over for a codec within what a format accepts: the
// plain code when the format lists it, otherwise the first listed code that
// means the same codec. 0 when the format takes no such stream.
uint32_t choose_code(const CodecListEntry* list, Codec codec);
std::string codes_text(const CodecListEntry* list);
// The codecs of a format's list that mxmux can hand over, each named once
// ("none" when there is none).
std::string accepted_codecs_text(const CodecListEntry* list, bool video);

// The code of AAC + AC-3 dual audio: one stream of each, in one packet.
constexpr uint32_t kDualAudioCode = MX_FOURCC('E', 'A', 'A', 'C');

class Plugin {
 public:
  Plugin() = default;
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  bool load(const std::string& path, std::string& error);
  const FormatDescriptor* formats() const { return formats_; }
  const FormatDescriptor* find(uint32_t fourcc) const;
  // The module's writer options are set through any entry that has the
  // slot (some have none); null when no entry has it.
  SetWriterOptionsFn writer_options() const;
  const std::string& path() const { return path_; }
  // Sends the plug-in's log lines to standard error (path empty) or a file.
  bool set_log(const std::string& path, bool to_stderr, std::string& error);

 private:
  std::string path_;
  void* handle_ = nullptr;
  void* log_handle_ = nullptr;
  const FormatDescriptor* formats_ = nullptr;
};

// The plug-in built beside the running program.
std::string default_plugin_path();
// The plug-in `given` names, or the one beside the program when it names none.
std::string plugin_path(const std::string& given);

// Loads the plug-in at `path` and sends its log lines to `log_file`, or to
// standard error when no file is named and `verbose`. False with the message.
bool open_plugin(Plugin& plugin, const std::string& path, const std::string& log_file, bool verbose,
                 std::string& error);

}  // namespace mxmux
