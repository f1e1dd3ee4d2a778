#include "mxmux/run/info_commands.h"

#include <cstdio>
#include <string>

#include "mxmux/host/plugin_host.h"
#include "mxmux/run/messages.h"

namespace mxmux {

namespace {

constexpr const char* kVersion = "1.0.0";

}  // namespace

int show_help() {
  std::fputs(help_text().c_str(), stdout);
  return 0;
}

int show_usage() {
  std::fputs(help_text().c_str(), stderr);
  return kExitUsage;
}

int show_version(const Options& o) {
  std::printf("mxmux %s (plug-in: %s)\n", kVersion, plugin_path(o.plugin).c_str());
  return 0;
}

int list_formats(const Options& o) {
  Plugin plugin;
  std::string why;
  if (!open_plugin(plugin, plugin_path(o.plugin), o.log_file, o.verbose, why)) return fail(why);
  std::printf("%-6s  %-5s  %-16s  %-40s\n", "code", "ext", "name", "description");
  for (const FormatDescriptor* f = plugin.formats(); f->fourcc; ++f) {
    std::printf("\"%s\"  %-5s  %-16s  %s\n", fourcc_text(f->fourcc).c_str(),
                u16_to_utf8(f->extension, 10).c_str(), u16_to_utf8(f->short_name, 64).c_str(),
                u16_to_utf8(f->description, 128).c_str());
    std::printf("        audio: %s\n", codes_text(f->audio_codecs).c_str());
    std::printf("        video: %s\n",
                f->video_codecs ? codes_text(f->video_codecs).c_str() : "none (audio only)");
  }
  return 0;
}

}  // namespace mxmux
