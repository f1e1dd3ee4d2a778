#include "mxmux/files/dump.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string_view>

#include "mxmux/system.h"

namespace mxmux {
namespace {

// Table boxes show this many of their first entries.
constexpr uint32_t kFirstEntries = 3;
// Texts from the file are cut to this many bytes.
constexpr size_t kTextLimit = 64;

// Seconds from 1904-01-01 (the file's epoch) to 1970-01-01.
constexpr uint64_t kEpochGap = 2082844800;

// The fields part of one listing line.
class Fields {
 public:
  void num(std::string_view name, uint64_t value) { text(name, std::to_string(value)); }
  void text(std::string_view name, const std::string& value) {
    line_ += ' ';
    line_ += name;
    line_ += '=';
    line_ += value;
  }
  // A field that contradicts the box's size.
  void problem(const std::string& what) {
    line_ += " ERROR: " + what;
    problems_ = true;
  }
  const std::string& line() const { return line_; }
  bool problems() const { return problems_; }

 private:
  std::string line_;
  bool problems_ = false;
};

// Text from the file, quoted, with bytes outside printable ASCII escaped.
std::string quoted(std::string_view bytes) {
  std::string out = "\"";
  size_t shown = bytes.size() < kTextLimit ? bytes.size() : kTextLimit;
  for (size_t i = 0; i < shown; ++i) {
    unsigned char ch = static_cast<unsigned char>(bytes[i]);
    if (ch >= 0x20 && ch < 0x7F && ch != '"' && ch != '\\') {
      out += static_cast<char>(ch);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", ch);
      out += esc;
    }
  }
  out += '"';
  if (shown < bytes.size()) out += "...";
  return out;
}

std::string fourcc(const iso::Box& box, uint64_t off) {
  return iso::type_name(box.fourcc(off));
}

std::string fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

// A time in seconds since 1904 as a UTC date, or the number when it is out of range.
std::string file_time(uint64_t seconds) {
  constexpr uint64_t kYear10000 = kEpochGap + 253402300800ull;
  if (seconds < kEpochGap || seconds >= kYear10000) return std::to_string(seconds);
  std::time_t t = static_cast<std::time_t>(seconds - kEpochGap);
  std::tm tm{};
  if (!sys::utc_calendar_time(static_cast<int64_t>(t), tm)) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string duration(uint64_t value, uint32_t timescale) {
  if (timescale == 0) return std::to_string(value);
  char text[64];
  std::snprintf(text, sizeof text, "%llu (%.3f s)", static_cast<unsigned long long>(value),
                static_cast<double>(value) / timescale);
  return text;
}

// ISO 639-2/T packed in three 5-bit letters; QuickTime's Macintosh codes are below 0x400.
std::string language(uint16_t code) {
  if (code < 0x400) return "mac:" + std::to_string(code);
  std::string out;
  for (int shift : {10, 5, 0}) {
    int letter = (code >> shift) & 0x1F;
    if (letter < 1 || letter > 26) return hex32(code);
    out += static_cast<char>(0x60 + letter);
  }
  return out;
}

// The entry count at `count_at`, checked against what the payload holds.
uint64_t entry_count(const iso::Box& box, uint64_t count_at, uint64_t entry_size, Fields& f) {
  uint64_t count = box.u32(count_at);
  f.num("entries", count);
  uint64_t room = box.payload_size() - count_at - 4;
  if (count > room / entry_size) {
    f.problem("only " + std::to_string(room / entry_size) + " entries fit the box");
    count = room / entry_size;
  }
  return count;
}

// "first=[a, b, c]" from a table of `count` entries, each printed by `entry`.
template <typename Entry>
void first_entries(uint64_t count, Fields& f, Entry entry) {
  if (count == 0) return;
  std::string list = "[";
  uint64_t shown = count < kFirstEntries ? count : kFirstEntries;
  for (uint64_t i = 0; i < shown; ++i) list += (i ? ", " : "") + entry(i);
  list += count > shown ? ", ...]" : "]";
  f.text("first", list);
}

// ------------------------------------------------------------ box fields

void ftyp_fields(const iso::Box& b, Fields& f) {
  f.text("major", fourcc(b, 0));
  f.num("minor", b.u32(4));
  std::string brands;
  uint64_t count = (b.payload_size() - 8) / 4;
  for (uint64_t i = 0; i < count && i < 16; ++i) {
    if (i) brands += ',';
    brands += fourcc(b, 8 + 4 * i);
  }
  if (count > 16) brands += ",...";
  f.text("compatible", brands);
}

// How movie and media headers begin: version, creation and modification
// times, time scale and duration (64-bit times and duration in version 1).
void header_times(const iso::Box& b, Fields& f) {
  bool v1 = b.version() == 1;
  f.num("version", b.version());
  f.text("created", file_time(v1 ? b.u64(4) : b.u32(4)));
  f.text("modified", file_time(v1 ? b.u64(12) : b.u32(8)));
  uint32_t timescale = b.u32(v1 ? 20 : 12);
  f.num("timescale", timescale);
  f.text("duration", duration(v1 ? b.u64(24) : b.u32(16), timescale));
}

void mvhd_fields(const iso::Box& b, Fields& f) {
  bool v1 = b.version() == 1;
  header_times(b, f);
  f.text("rate", fixed(b.i32(v1 ? 32 : 20) / 65536.0));
  f.text("volume", fixed(static_cast<int16_t>(b.u16(v1 ? 36 : 24)) / 256.0));
  f.num("next_track", b.u32(v1 ? 108 : 96));
}

void tkhd_fields(const iso::Box& b, Fields& f) {
  bool v1 = b.version() == 1;
  f.num("version", b.version());
  f.text("flags", hex32(b.flags()));
  f.text("created", file_time(v1 ? b.u64(4) : b.u32(4)));
  f.text("modified", file_time(v1 ? b.u64(12) : b.u32(8)));
  f.num("track", b.u32(v1 ? 20 : 12));
  f.num("duration", v1 ? b.u64(28) : b.u32(20));
  uint64_t rest = v1 ? 44 : 32;  // layer, alternate group, volume, matrix, width, height
  f.num("layer", static_cast<int16_t>(b.u16(rest)));
  f.num("group", b.u16(rest + 2));
  f.text("volume", fixed(static_cast<int16_t>(b.u16(rest + 4)) / 256.0));
  f.text("width", fixed(b.u32(rest + 44) / 65536.0));
  f.text("height", fixed(b.u32(rest + 48) / 65536.0));
}

void mdhd_fields(const iso::Box& b, Fields& f) {
  bool v1 = b.version() == 1;
  header_times(b, f);
  f.text("language", language(b.u16(v1 ? 32 : 20)));
}

void hdlr_fields(const iso::Box& b, Fields& f) {
  uint32_t component = b.u32(4);  // QuickTime's component type, 0 in ISO files
  if (component) f.text("component", fourcc(b, 4));
  f.text("type", fourcc(b, 8));
  b.u32(20);  // the reserved fields must be there before the name
  uint64_t left = b.payload_size() - 24;
  if (left == 0) return;
  // ISO: a NUL-terminated string; QuickTime: a counted (Pascal) string.
  std::string name = b.str(24, left);
  if (static_cast<unsigned char>(name[0]) == left - 1 && left > 1) name = name.substr(1);
  if (!name.empty() && name.back() == '\0') name.pop_back();
  f.text("name", quoted(name));
}

void counted_fields(const iso::Box& b, Fields& f) {
  f.num("entries", b.u32(4));
}

void stts_fields(const iso::Box& b, Fields& f) {
  uint64_t count = entry_count(b, 4, 8, f);
  uint64_t samples = 0;
  for (uint64_t i = 0; i < count; ++i) samples += b.u32(8 + 8 * i);
  f.num("samples", samples);
  first_entries(count, f, [&](uint64_t i) {
    return std::to_string(b.u32(8 + 8 * i)) + "x" + std::to_string(b.u32(12 + 8 * i));
  });
}

void ctts_fields(const iso::Box& b, Fields& f) {
  f.num("version", b.version());
  uint64_t count = entry_count(b, 4, 8, f);
  bool is_signed = b.version() == 1;
  first_entries(count, f, [&](uint64_t i) {
    uint32_t offset = b.u32(12 + 8 * i);
    return std::to_string(b.u32(8 + 8 * i)) + "x" +
           (is_signed ? std::to_string(static_cast<int32_t>(offset)) : std::to_string(offset));
  });
}

void stss_fields(const iso::Box& b, Fields& f) {
  uint64_t count = entry_count(b, 4, 4, f);
  first_entries(count, f, [&](uint64_t i) { return std::to_string(b.u32(8 + 4 * i)); });
}

void stsz_fields(const iso::Box& b, Fields& f) {
  uint32_t uniform = b.u32(4);
  f.num("sample_size", uniform);
  if (uniform) {
    f.num("samples", b.u32(8));
    return;
  }
  uint64_t count = entry_count(b, 8, 4, f);
  first_entries(count, f, [&](uint64_t i) { return std::to_string(b.u32(12 + 4 * i)); });
}

void stsc_fields(const iso::Box& b, Fields& f) {
  uint64_t count = entry_count(b, 4, 12, f);
  // chunk:samples per chunk:description
  first_entries(count, f, [&](uint64_t i) {
    return std::to_string(b.u32(8 + 12 * i)) + ":" + std::to_string(b.u32(12 + 12 * i)) + ":" +
           std::to_string(b.u32(16 + 12 * i));
  });
}

template <int Width>
void chunk_offset_fields(const iso::Box& b, Fields& f) {
  uint64_t count = entry_count(b, 4, Width, f);
  auto at = [&](uint64_t i) { return Width == 8 ? b.u64(8 + 8 * i) : b.u32(8 + 4 * i); };
  first_entries(count, f, [&](uint64_t i) { return std::to_string(at(i)); });
  if (count > kFirstEntries) f.num("last", at(count - 1));
}

void elst_fields(const iso::Box& b, Fields& f) {
  bool v1 = b.version() == 1;
  uint64_t count = entry_count(b, 4, v1 ? 20 : 12, f);
  // segment duration:media time:rate
  first_entries(count, f, [&](uint64_t i) {
    uint64_t at = 8 + (v1 ? 20 : 12) * i;
    int64_t media_time = v1 ? static_cast<int64_t>(b.u64(at + 8)) : b.i32(at + 4);
    return std::to_string(v1 ? b.u64(at) : b.u32(at)) + ":" + std::to_string(media_time) + ":" +
           fixed(b.i32(at + (v1 ? 16 : 8)) / 65536.0);
  });
}

void url_fields(const iso::Box& b, Fields& f) {
  f.text("flags", hex32(b.flags()));
  if (b.flags() & 1) f.text("location", "this file");
}

// An iTunes-style value: the type, then the text or the byte count.
void data_fields(const iso::Box& b, Fields& f) {
  uint32_t type = b.u32(0) & 0xFFFFFF;
  f.num("type", type);
  b.u32(4);  // the locale
  uint64_t size = b.payload_size() - 8;
  if (type == 1)
    f.text("text", quoted(b.str(8, size)));
  else if (type == 21 && size >= 1 && size <= 8)
    f.num("value", size == 1 ? b.u8(8) : size == 2 ? b.u16(8) : size == 4 ? b.u32(8) : b.u64(8));
  else
    f.num("bytes", size);
}

// A key of the QuickTime movie-level key table.
void key_fields(const iso::Box& b, Fields& f) {
  f.text("key", quoted(b.str(0, b.payload_size())));
}

void keyd_fields(const iso::Box& b, Fields& f) {
  f.text("namespace", fourcc(b, 0));
  f.text("key", quoted(b.str(4, b.payload_size() - 4)));
}

// The mean and name of a free-form ("----") item: version and flags, then the text.
void item_text_fields(const iso::Box& b, Fields& f) {
  f.text("text", quoted(b.str(4, b.payload_size() - 4)));
}

void track_reference_fields(const iso::Box& b, Fields& f) {
  std::string ids;
  for (uint64_t i = 0; i < b.payload_size() / 4 && i < 8; ++i) {
    if (i) ids += ',';
    ids += std::to_string(b.u32(4 * i));
  }
  f.text("tracks", ids);
}

void avcc_fields(const iso::Box& b, Fields& f) {
  f.num("profile", b.u8(1));
  f.text("compatibility", hex32(b.u8(2)));
  f.num("level", b.u8(3));
  f.num("length_size", (b.u8(4) & 3) + 1);
  f.num("sps", b.u8(5) & 0x1F);
}

void hvcc_fields(const iso::Box& b, Fields& f) {
  f.num("profile", b.u8(1) & 0x1F);
  f.num("tier", b.u8(1) >> 5 & 1);
  f.num("level", b.u8(12));
  f.num("chroma", b.u8(16) & 3);
  f.num("length_size", (b.u8(21) & 3) + 1);
  f.num("arrays", b.u8(22));
}

void av1c_fields(const iso::Box& b, Fields& f) {
  f.num("profile", b.u8(1) >> 5);
  f.num("level", b.u8(1) & 0x1F);
  f.num("tier", b.u8(2) >> 7);
}

void colr_fields(const iso::Box& b, Fields& f) {
  std::string kind = b.fourcc(0);
  f.text("kind", iso::type_name(kind));
  if (kind == "nclx" || kind == "nclc") {
    f.num("primaries", b.u16(4));
    f.num("transfer", b.u16(6));
    f.num("matrix", b.u16(8));
  }
}

void pasp_fields(const iso::Box& b, Fields& f) {
  f.num("h_spacing", b.u32(0));
  f.num("v_spacing", b.u32(4));
}

void uuid_fields(const iso::Box& b, Fields& f) {
  std::string id;
  for (int i = 0; i < 16; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02x", b.u8(static_cast<uint64_t>(i)));
    id += hex;
    if (i == 3 || i == 5 || i == 7 || i == 9) id += '-';
  }
  f.text("id", id);
}

// Sample entries: the fields common to their kind (video, sound, timecode),
// told apart by where the reader found their children.
void visual_entry_fields(const iso::Box& b, Fields& f) {
  f.num("reference", b.u16(6));
  f.num("width", b.u16(24));
  f.num("height", b.u16(26));
  uint8_t length = b.u8(42);
  if (length > 0 && length < 32) f.text("compressor", quoted(b.str(43, length)));
  f.num("depth", b.u16(74));
}

void sound_entry_fields(const iso::Box& b, Fields& f) {
  f.num("reference", b.u16(6));
  f.num("version", b.u16(8));
  f.num("channels", b.u16(16));
  f.num("sample_size", b.u16(18));
  f.text("sample_rate", fixed(b.u32(24) / 65536.0));
}

void timecode_entry_fields(const iso::Box& b, Fields& f) {
  f.num("reference", b.u16(6));
  f.text("flags", hex32(b.u32(12)));
  f.num("timescale", b.u32(16));
  f.num("frame_duration", b.u32(20));
  f.num("frames", b.u8(24));
}

void plain_entry_fields(const iso::Box& b, Fields& f) {
  f.num("reference", b.u16(6));
}

using FieldPrinter = void (*)(const iso::Box&, Fields&);

struct BoxFields {
  std::string_view type;
  std::string_view parent;  // empty: any parent
  FieldPrinter print;
};

constexpr BoxFields kBoxFields[] = {
    {"ftyp", "", ftyp_fields},
    {"mvhd", "", mvhd_fields},
    {"tkhd", "", tkhd_fields},
    {"mdhd", "", mdhd_fields},
    {"hdlr", "", hdlr_fields},
    {"stsd", "", counted_fields},
    {"dref", "", counted_fields},
    {"stts", "", stts_fields},
    {"ctts", "", ctts_fields},
    {"stss", "", stss_fields},
    {"stsz", "", stsz_fields},
    {"stsc", "", stsc_fields},
    {"stco", "", chunk_offset_fields<4>},
    {"co64", "", chunk_offset_fields<8>},
    {"elst", "", elst_fields},
    {"url ", "", url_fields},
    {"alis", "", url_fields},
    {"data", "", data_fields},
    {"keyd", "", keyd_fields},
    {"mean", "----", item_text_fields},
    {"name", "----", item_text_fields},
    {"avcC", "", avcc_fields},
    {"hvcC", "", hvcc_fields},
    {"av1C", "", av1c_fields},
    {"colr", "", colr_fields},
    {"pasp", "", pasp_fields},
    {"uuid", "", uuid_fields},
};

// The children's offset inside a sample entry tells its kind.
struct EntryFields {
  uint32_t child_offset;
  FieldPrinter print;
};

constexpr EntryFields kEntryFields[] = {
    {78, visual_entry_fields}, {28, sound_entry_fields},    {44, sound_entry_fields},
    {64, sound_entry_fields},  {26, timecode_entry_fields},
};

// Which printer a box gets, if any.
FieldPrinter printer_for(const iso::Box& box, const iso::Box* parent) {
  std::string_view parent_type = parent ? std::string_view(parent->type) : std::string_view();
  if (parent_type == "stsd") {
    if (box.container) {
      for (const EntryFields& e : kEntryFields) {
        if (e.child_offset == box.child_offset) return e.print;
      }
    }
    return plain_entry_fields;
  }
  if (parent_type == "tref") return track_reference_fields;
  // The movie-level key table holds one leaf per key; the metadata track's holds containers.
  if (parent_type == "keys" && !box.container) return key_fields;
  for (const BoxFields& entry : kBoxFields) {
    if (entry.type == box.type && (entry.parent.empty() || entry.parent == parent_type))
      return entry.print;
  }
  return nullptr;
}

// Top-level boxes whose bytes a listing never needs.
const std::vector<std::string> kHeaderOnly = {"mdat", "free", "skip", "wide"};

bool is_header_only(const iso::Box& box) {
  for (const std::string& type : kHeaderOnly) {
    if (box.type == type) return true;
  }
  return false;
}

struct Lister {
  std::string out;
  size_t problems = 0;

  void box(const iso::Box& box, const iso::Box* parent, int depth) {
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += iso::type_name(box.type) + " @" + std::to_string(box.offset) + " size " +
           std::to_string(box.size);
    if (box.large_size) out += " (64-bit size)";
    if (box.to_end) out += " (to end)";
    if (!box.loaded && !is_header_only(box)) out += " [not read: over the memory bound]";
    if (!box.error.empty()) {
      out += " ERROR: " + box.error;
      ++problems;
    }
    if (box.loaded) {
      if (FieldPrinter print = printer_for(box, parent)) {
        Fields f;
        try {
          print(box, f);
        } catch (const std::out_of_range&) {
          f.problem("fields cut off by the box's end");
        }
        out += f.line();
        problems += f.problems();
      }
    }
    out += '\n';
    for (const iso::Box& child : box.children) this->box(child, &box, depth + 1);
    if (box.trailing) {
      out.append(static_cast<size_t>(depth + 1) * 2, ' ');
      out += "(" + std::to_string(box.trailing) + " bytes too short for a box)\n";
    }
  }
};

// The listing of a whole tree and, when the file is malformed, what is wrong.
struct Listing {
  std::string text;
  std::string problem;
};

Listing list_tree(const iso::Tree& tree) {
  Lister lister;
  for (const iso::Box& box : tree.boxes) lister.box(box, nullptr, 0);
  Listing listing;
  listing.text = std::move(lister.out);
  if (tree.boxes.empty()) listing.problem = "no box in it";
  if (tree.trailing) {
    listing.problem = std::to_string(tree.trailing) + " bytes at the end too short for a box";
    listing.text += "(" + listing.problem + ")\n";
  }
  if (!tree.error.empty()) {
    listing.problem = tree.error;
    listing.text += "ERROR: " + tree.error + "\n";
  }
  if (lister.problems)
    listing.problem = std::to_string(lister.problems) + " malformed box(es), marked ERROR";
  return listing;
}

}  // namespace

std::string dump_text(const iso::Tree& tree) {
  return list_tree(tree).text;
}

int dump_file(const std::string& path, std::FILE* out) {
  sys::FileInfo info = sys::file_info(path);
  if (info.kind == sys::FileKind::kMissing || info.error != 0) {
    std::fprintf(stderr, "mxmux: %s: %s\n", path.c_str(), std::strerror(info.error));
    return 1;
  }
  if (info.kind != sys::FileKind::kRegular) {
    std::fprintf(stderr, "mxmux: %s: %s\n", path.c_str(),
                 info.kind == sys::FileKind::kDirectory ? "is a directory" : "not a regular file");
    return 1;
  }
  iso::ParseOptions options;
  options.max_load = uint64_t{64} << 20;
  options.max_total_load = uint64_t{256} << 20;
  options.max_boxes = 200000;
  options.header_only = kHeaderOnly;
  iso::Tree tree = iso::read_file(path, options);
  if (tree.boxes.empty() && !tree.error.empty()) {
    std::fprintf(stderr, "mxmux: %s: %s\n", path.c_str(), tree.error.c_str());
    return 1;
  }
  Listing listing = list_tree(tree);
  std::fputs(listing.text.c_str(), out);
  if (listing.problem.empty()) return 0;
  std::fprintf(stderr, "mxmux: %s: %s\n", path.c_str(), listing.problem.c_str());
  return 1;
}

}  // namespace mxmux
