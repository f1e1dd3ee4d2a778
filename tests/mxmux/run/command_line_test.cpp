// The command line: the options the help text lists are the ones the parser
// takes, with a value exactly where the help shows one; the command a line
// asks for; and values given inline (--name=value) or as the next argument.
#include "mxmux/run/command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace mxmux;

namespace {

struct Parsed {
  bool ok = false;
  CommandLine line;
  std::string error;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "mxmux");
  Parsed p;
  p.ok = parse_command_line(args, p.line, p.error);
  return p;
}

struct HelpEntry {
  std::string name;
  bool shows_value = false;
};

// The options of the help's option sections: each indented line that starts
// with an option names one or more of them ("-o, --output FILE", or several
// on one line with the value after the last). The first word after the names
// is the value: a description comes after two spaces, or after the value when
// the head fills the column.
std::vector<HelpEntry> help_entries() {
  std::vector<HelpEntry> entries;
  std::istringstream in(help_text());
  std::string line;
  bool in_options = false;
  while (std::getline(in, line)) {
    if (line == "Output:" || line == "Metadata:" || line == "Program:") in_options = true;
    if (line == "Examples:") in_options = false;
    if (!in_options || line.rfind("  -", 0) != 0) continue;
    // The head ends where the description starts: at two spaces in a row.
    std::string head = line.substr(2, line.find("  ", 2) - 2);
    std::istringstream words(head);
    std::vector<std::string> names;
    bool value = false;
    for (std::string word; words >> word;) {
      if (word[0] != '-') {
        value = true;
        break;
      }
      if (word.back() == ',') word.pop_back();
      names.push_back(word);
    }
    for (const std::string& name : names) entries.push_back({name, value});
  }
  return entries;
}

TEST(CommandLine, HelpAndParserAgreeOnEveryOption) {
  std::vector<HelpEntry> entries = help_entries();
  // Output, metadata and program options, short names included.
  ASSERT_GE(entries.size(), 30u);
  for (const HelpEntry& e : entries) {
    SCOPED_TRACE(e.name);
    if (e.shows_value) {
      Parsed missing = parse({e.name});
      EXPECT_FALSE(missing.ok);
      EXPECT_EQ(missing.error, "option " + e.name + " needs a value");
    } else {
      Parsed alone = parse({e.name});
      EXPECT_TRUE(alone.ok) << alone.error;
      if (e.name.rfind("--", 0) == 0) {
        Parsed inline_value = parse({e.name + "=1"});
        EXPECT_FALSE(inline_value.ok);
        EXPECT_EQ(inline_value.error, "option " + e.name + " takes no value");
      }
    }
  }
  Parsed unknown = parse({"--no-such-option"});
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.error, "unknown option --no-such-option (see mxmux --help)");
}

TEST(CommandLine, TheCommandIsChosenOnce) {
  struct Case {
    std::vector<std::string> args;
    Command command;
  };
  const Case cases[] = {
      {{}, Command::kUsage},
      {{"-o", "a.mp4", "--video", "a.h264"}, Command::kMux},
      {{"--list-formats", "-o", "a.mp4"}, Command::kListFormats},
      {{"--dump", "a.mp4", "--list-formats"}, Command::kDump},
      {{"--recover", "a.mp4", "--list-formats"}, Command::kRecover},
      {{"--dump", "a.mp4", "--recover", "b.mp4"}, Command::kDump},
      {{"-o", "a.mp4", "--video", "a.h264", "--resilient"}, Command::kMux},
      {{"--version", "--dump", "a.mp4"}, Command::kVersion},
      {{"--dump", "a.mp4", "-h", "--version"}, Command::kHelp},
  };
  for (const Case& c : cases) {
    Parsed p = parse(c.args);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.line.command, c.command) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLine, ResilientAndRecoverSetTheirOptions) {
  Parsed mux = parse({"-o", "a.mp4", "--video", "a.h264", "--resilient"});
  ASSERT_TRUE(mux.ok) << mux.error;
  EXPECT_TRUE(mux.line.options.resilient);
  EXPECT_FALSE(parse({"-o", "a.mp4", "--video", "a.h264"}).line.options.resilient);
  Parsed recover = parse({"--recover=left.mov"});
  ASSERT_TRUE(recover.ok) << recover.error;
  EXPECT_EQ(recover.line.options.recover, "left.mov");
  Parsed missing = parse({"--recover"});
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.error, "option --recover needs a value");
}

TEST(CommandLine, ValuesInlineOrAfterTheOption) {
  Parsed apart = parse({"-o", "a.mp4", "--fps", "29.97", "--timecode", "1:02:03:04", "--audio",
                        "x.aac", "--audio", "y.ac3", "--rating", "7", "--creation-time", "0"});
  Parsed inline_values =
      parse({"--output=a.mp4", "--fps=29.97", "--timecode=1:02:03:04", "--audio=x.aac",
             "--audio=y.ac3", "--rating=7", "--creation-time=0"});
  for (const Parsed* p : {&apart, &inline_values}) {
    ASSERT_TRUE(p->ok) << p->error;
    const Options& o = p->line.options;
    EXPECT_EQ(o.output, "a.mp4");
    EXPECT_EQ(o.fps_num, 30000u);
    EXPECT_EQ(o.fps_den, 1001u);
    EXPECT_EQ(o.timecode, "1:02:03:04");
    EXPECT_EQ(o.start_timecode.hours, 1);
    EXPECT_EQ(o.start_timecode.minutes, 2);
    EXPECT_EQ(o.start_timecode.seconds, 3);
    EXPECT_EQ(o.start_timecode.frames, 4);
    EXPECT_EQ(o.audio, (std::vector<std::string>{"x.aac", "y.ac3"}));
    EXPECT_EQ(o.rating, 7);
    EXPECT_EQ(o.creation_time, 0);
  }
}

}  // namespace
