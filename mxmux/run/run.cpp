#include "mxmux/run/run.h"

#include <cstdio>
#include <string>

#include "mxmux/files/dump.h"
#include "mxmux/run/finish.h"
#include "mxmux/run/info_commands.h"
#include "mxmux/run/messages.h"
#include "mxmux/run/mux.h"
#include "mxmux/run/plan.h"
#include "mxmux/run/recover_command.h"
#include "mxmux/system.h"

namespace mxmux {

namespace {

// Muxing: command line → plan → muxed file → finished file.
int mux_files(const Options& options) {
  Plan plan;
  if (int status = make_plan(options, plan)) return status;
  MuxedFile muxed(plan);
  if (int status = mux(plan, muxed)) return status;
  return finish(muxed);
}

}  // namespace

// Each command is chosen here, once; a new command is a new case.
int run(const CommandLine& line) {
  const Options& o = line.options;
  switch (line.command) {
    case Command::kUsage:
      return show_usage();
    case Command::kHelp:
      return show_help();
    case Command::kVersion:
      return show_version(o);
    case Command::kDump:
      return dump_file(o.dump, stdout);
    case Command::kRecover:
      return recover_file(o.recover);
    case Command::kListFormats:
      return list_formats(o);
    case Command::kMux:
      return mux_files(o);
  }
  return kExitFailed;
}

int main_entry(int argc, char** argv) {
  CommandLine line;
  std::string error;
  if (!parse_command_line(sys::utf8_arguments(argc, argv), line, error))
    return refuse_command(error);
  return run(line);
}

}  // namespace mxmux
