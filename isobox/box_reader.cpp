#include "isobox/box_reader.h"

#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace iso {
namespace {

// Containers whose children start right at the payload.
constexpr std::string_view kPlainContainers[] = {
    "moov", "trak", "mdia", "minf", "stbl", "dinf", "edts", "udta", "tref", "gmhd",
    "wave", "sv3d", "proj", "ilst", "mvex", "moof", "traf", "sinf", "schi", "tapt",
};

// Containers with version, flags and an entry count ahead of their entries.
constexpr std::string_view kCountedContainers[] = {"stsd", "dref", "keys"};

constexpr std::string_view kVisualEntries[] = {
    "avc1", "avc2", "avc3", "avc4", "hvc1", "hev1", "dvh1", "dvhe", "dvav", "dva1",
    "av01", "mp4v", "s263", "h263", "AVdn", "AVd1", "CFHD", "FFV1", "jpeg", "mjpa",
    "apch", "apcn", "apcs", "apco", "ap4h", "encv", "vp08", "vp09",
};

constexpr std::string_view kSoundEntries[] = {
    "mp4a", "ac-3", "ec-3", "alac", "fLaC", "Opus", "samr", "sawb", "sowt", "twos", "lpcm",
    "fl32", "fl64", "in24", "in32", "raw ", "ulaw", "alaw", "ipcm", "fpcm", "enca", ".mp3",
};

template <size_t N>
bool listed(const std::string_view (&list)[N], const std::string& type) {
  for (std::string_view entry : list) {
    if (entry == type) return true;
  }
  return false;
}

uint64_t be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

bool printable(uint8_t ch) {
  return ch >= 0x20 && ch < 0x7F;
}

// What a box's parent says about how to read it.
struct Context {
  std::string parent;
  std::string grandparent;
  std::string handler;  // of the enclosing mdia, once its hdlr was seen
};

struct Parser {
  ParseOptions options;
  size_t boxes = 0;
  bool exhausted = false;

  // Decides whether a box holds children and where they start.
  void classify(Box& box, const Context& ctx, const uint8_t* payload, uint64_t payload_size) {
    const std::string& type = box.type;
    if (ctx.parent == "stsd") {
      bool visual = listed(kVisualEntries, type);
      bool sound = listed(kSoundEntries, type);
      if (!visual && !sound && type != "tmcd" && type != "mebx") {
        visual = ctx.handler == "vide";
        sound = ctx.handler == "soun";
      }
      if (visual) {
        set_container(box, 78);
      } else if (sound) {
        uint64_t version = payload_size >= 10 ? be(payload + 8, 2) : 0;
        set_container(box, version == 1 ? 44 : version == 2 ? 64 : 28);
      } else if (type == "tmcd") {
        set_container(box, 26);
      } else if (type == "mebx") {
        set_container(box, 8);
      }
      return;
    }
    // The metadata entry's key table: plain "keys", one box per key id, each
    // holding keyd/dtyp.
    if (ctx.parent == "mebx" && type == "keys") {
      set_container(box, 0);
      return;
    }
    if (ctx.parent == "keys" && ctx.grandparent == "mebx") {
      set_container(box, 0);
      return;
    }
    if (ctx.parent == "ilst") {
      set_container(box, 0);  // every item holds data (and mean/name) boxes
      return;
    }
    if (type == "tmcd") {
      if (ctx.parent == "gmhd") set_container(box, 0);
      return;
    }
    if (type == "meta") {
      set_container(box, meta_is_plain(payload, payload_size) ? 0 : 4);
      return;
    }
    if (listed(kPlainContainers, type)) {
      set_container(box, 0);
    } else if (listed(kCountedContainers, type)) {
      set_container(box, 8);
    }
  }

  static void set_container(Box& box, uint32_t child_offset) {
    box.container = true;
    box.child_offset = child_offset;
  }

  bool meta_is_plain(const uint8_t* payload, uint64_t payload_size) const {
    if (options.meta == MetaForm::kFull) return false;
    if (options.meta == MetaForm::kPlain) return true;
    if (payload_size < 8) return false;
    uint64_t first = be(payload, 4);
    if (first < 8 || first > payload_size) return false;
    for (int i = 4; i < 8; ++i) {
      if (!printable(payload[i])) return false;
    }
    return true;
  }

  // Parses the boxes in store[begin, end); base is the input offset of store[0].
  void parse_children(const std::shared_ptr<const std::vector<uint8_t>>& store, uint64_t begin,
                      uint64_t end, uint64_t base, Context ctx, int depth, std::vector<Box>& out,
                      uint32_t& trailing) {
    uint64_t pos = begin;
    while (pos < end) {
      if (end - pos < 8) {
        trailing = static_cast<uint32_t>(end - pos);
        return;
      }
      if (++boxes > options.max_boxes) {
        exhausted = true;
        return;
      }
      Box box;
      bool stop = parse_box(store, pos, end, base, ctx, depth, box);
      pos += box.size;
      if (ctx.parent == "mdia" && box.type == "hdlr" && box.payload_size() >= 12) {
        ctx.handler = box.fourcc(8);
      }
      out.push_back(std::move(box));
      if (stop || exhausted) return;
    }
  }

  // Reads one box at pos (bounded by end). Returns true when the walk over
  // the siblings cannot go on (the size is unusable).
  bool parse_box(const std::shared_ptr<const std::vector<uint8_t>>& store, uint64_t pos,
                 uint64_t end, uint64_t base, const Context& ctx, int depth, Box& box) {
    const uint8_t* p = store->data() + pos;
    uint64_t available = end - pos;
    box.store = store;
    box.store_offset = pos;
    box.offset = base + pos;
    box.loaded = true;
    box.type.assign(reinterpret_cast<const char*>(p + 4), 4);
    uint64_t size = be(p, 4);
    bool stop = false;
    if (size == 1) {
      if (available < 16) {
        box.error = "64-bit size cut off";
        box.size = available;
        box.header_size = static_cast<uint32_t>(available);
        return true;
      }
      box.large_size = true;
      box.header_size = 16;
      size = be(p + 8, 8);
    } else if (size == 0) {
      box.to_end = true;
      size = available;
    }
    if (size < box.header_size) {
      box.error = "size " + std::to_string(size) + " below its header";
      box.size = available;
      return true;
    }
    if (size > available) {
      box.error = "declared size " + std::to_string(size) + " runs past its parent (" +
                  std::to_string(available) + " bytes left)";
      size = available;
      stop = true;
    }
    box.size = size;
    const uint8_t* payload = p + box.header_size;
    uint64_t payload_size = size - box.header_size;
    classify(box, ctx, payload, payload_size);
    if (!box.container) return stop;
    if (payload_size < box.child_offset) {
      box.error = "too short for its fixed fields (" + std::to_string(box.child_offset) + ")";
      return stop;
    }
    if (depth >= options.max_depth) {
      box.error = "nested too deep";
      return stop;
    }
    Context inner{box.type, ctx.parent, ctx.handler};
    uint64_t first = pos + box.header_size + box.child_offset;
    parse_children(store, first, pos + size, base, inner, depth + 1, box.children, box.trailing);
    return stop;
  }
};

std::string decode_path_type(const std::string& name) {
  if (name.size() == 10 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X')) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
      out.push_back(static_cast<char>(std::stoul(name.substr(2 + i * 2, 2), nullptr, 16)));
    }
    return out;
  }
  // "©" in UTF-8 stands for the single byte 0xA9 of iTunes item names.
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (static_cast<uint8_t>(name[i]) == 0xC2 && i + 1 < name.size() &&
        static_cast<uint8_t>(name[i + 1]) == 0xA9) {
      out.push_back(static_cast<char>(0xA9));
      ++i;
    } else {
      out.push_back(name[i]);
    }
  }
  return out;
}

// Splits "trak[1]" into the type and the index.
bool split_component(const std::string& component, std::string& type, size_t& index) {
  index = 0;
  size_t bracket = component.find('[');
  if (bracket == std::string::npos) {
    type = decode_path_type(component);
    return true;
  }
  if (component.back() != ']' || bracket + 2 > component.size() - 1) return false;
  type = decode_path_type(component.substr(0, bracket));
  try {
    index = std::stoul(component.substr(bracket + 1, component.size() - bracket - 2));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

const Box* pick(const std::vector<Box>& boxes, const std::string& type, size_t index) {
  for (const Box& box : boxes) {
    if (type == "*" || box.type == type) {
      if (index == 0) return &box;
      --index;
    }
  }
  return nullptr;
}

const Box* walk(const std::vector<Box>& top, const std::string& path) {
  const std::vector<Box>* level = &top;
  const Box* found = nullptr;
  for (const std::string& component : split_path(path)) {
    std::string type;
    size_t index;
    if (!split_component(component, type, index)) return nullptr;
    found = pick(*level, type, index);
    if (!found) return nullptr;
    level = &found->children;
  }
  return found;
}

void collect(const std::vector<Box>& boxes, const std::string& type, std::vector<const Box*>& out) {
  for (const Box& box : boxes) {
    if (box.type == type) out.push_back(&box);
    collect(box.children, type, out);
  }
}

}  // namespace

const uint8_t* Box::payload_data() const {
  if (!loaded || !store) throw std::out_of_range(type_name(type) + " payload not loaded");
  return store->data() + store_offset + header_size;
}

std::vector<uint8_t> Box::payload() const {
  const uint8_t* p = payload_data();
  return std::vector<uint8_t>(p, p + payload_size());
}

std::vector<uint8_t> Box::bytes() const {
  if (!loaded || !store) throw std::out_of_range(type_name(type) + " bytes not loaded");
  const uint8_t* p = store->data() + store_offset;
  return std::vector<uint8_t>(p, p + size);
}

std::string Box::str(uint64_t off, uint64_t n) const {
  if (off > payload_size() || n > payload_size() - off) {
    throw std::out_of_range(type_name(type) + " @" + std::to_string(offset) + ": field at " +
                            std::to_string(off) + "+" + std::to_string(n) +
                            " lies outside its payload of " + std::to_string(payload_size()));
  }
  return std::string(reinterpret_cast<const char*>(payload_data() + off), n);
}

uint8_t Box::u8(uint64_t off) const {
  return static_cast<uint8_t>(str(off, 1)[0]);
}
uint16_t Box::u16(uint64_t off) const {
  str(off, 2);
  return static_cast<uint16_t>(be(payload_data() + off, 2));
}
uint32_t Box::u24(uint64_t off) const {
  str(off, 3);
  return static_cast<uint32_t>(be(payload_data() + off, 3));
}
uint32_t Box::u32(uint64_t off) const {
  str(off, 4);
  return static_cast<uint32_t>(be(payload_data() + off, 4));
}
uint64_t Box::u64(uint64_t off) const {
  str(off, 8);
  return be(payload_data() + off, 8);
}

const Box* Box::child(const std::string& type_wanted, size_t index) const {
  return pick(children, decode_path_type(type_wanted), index);
}

size_t Box::count(const std::string& type_wanted) const {
  std::string t = decode_path_type(type_wanted);
  size_t n = 0;
  for (const Box& box : children) n += box.type == t;
  return n;
}

std::vector<std::string> Box::child_types() const {
  std::vector<std::string> out;
  for (const Box& box : children) out.push_back(type_name(box.type));
  return out;
}

const Box* Box::find(const std::string& path) const {
  return walk(children, path);
}

const Box& Box::at(const std::string& path) const {
  const Box* box = find(path);
  if (!box) {
    throw std::runtime_error("no box at \"" + path + "\" below " + type_name(type) + ":\n" +
                             iso::dump(*this));
  }
  return *box;
}

const Box* Tree::find(const std::string& path) const {
  return walk(boxes, path);
}

const Box& Tree::at(const std::string& path) const {
  const Box* box = find(path);
  if (!box) throw std::runtime_error("no box at \"" + path + "\" in:\n" + dump());
  return *box;
}

std::vector<std::string> Tree::types() const {
  std::vector<std::string> out;
  for (const Box& box : boxes) out.push_back(type_name(box.type));
  return out;
}

std::vector<const Box*> Tree::all(const std::string& type) const {
  std::vector<const Box*> out;
  collect(boxes, decode_path_type(type), out);
  return out;
}

std::string Tree::dump() const {
  std::string out;
  if (!error.empty()) out += "ERROR: " + error + "\n";
  for (const Box& box : boxes) out += iso::dump(box, 0);
  if (trailing) {
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about
    // "literal" + std::string temporaries.
    out += '(';
    out += std::to_string(trailing);
    out += " trailing bytes)\n";
  }
  return out;
}

std::string type_name(const std::string& type) {
  bool plain = type.size() == 4;
  for (char ch : type) plain = plain && printable(static_cast<uint8_t>(ch));
  if (plain) return type;
  if (type.size() == 4 && static_cast<uint8_t>(type[0]) == 0xA9) {
    bool rest = true;
    for (int i = 1; i < 4; ++i) rest = rest && printable(static_cast<uint8_t>(type[i]));
    if (rest) return "\xC2\xA9" + type.substr(1);
  }
  char text[16];
  uint64_t v = 0;
  for (char ch : type) v = v << 8 | static_cast<uint8_t>(ch);
  std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(v));
  return text;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char text[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(text, sizeof text, "%02x", bytes[i]);
    if (i) out += ' ';
    out += text;
  }
  return out;
}

std::string dump(const Box& box, int indent) {
  std::string out(static_cast<size_t>(indent) * 2, ' ');
  out +=
      type_name(box.type) + " @" + std::to_string(box.offset) + " size " + std::to_string(box.size);
  if (box.large_size) out += " (64-bit size)";
  if (box.to_end) out += " (to end)";
  if (!box.loaded) out += " [not loaded]";
  if (!box.error.empty()) out += " ERROR: " + box.error;
  if (!box.container && box.loaded && box.payload_size() > 0) {
    uint64_t shown = box.payload_size() < 24 ? box.payload_size() : 16;
    const uint8_t* p = box.payload_data();
    out += " | " + hex(std::vector<uint8_t>(p, p + shown));
    if (shown < box.payload_size()) out += " ...";
  }
  out += "\n";
  for (const Box& child : box.children) out += dump(child, indent + 1);
  if (box.trailing) {
    out += std::string(static_cast<size_t>(indent + 1) * 2, ' ') + "(" +
           std::to_string(box.trailing) + " trailing bytes)\n";
  }
  return out;
}

Tree parse(const std::vector<uint8_t>& bytes, const ParseOptions& options) {
  Tree tree;
  tree.input_size = bytes.size();
  auto store = std::make_shared<const std::vector<uint8_t>>(bytes);
  Parser parser{options};
  parser.parse_children(store, 0, store->size(), 0, Context{}, 0, tree.boxes, tree.trailing);
  if (parser.exhausted) tree.error = "more than " + std::to_string(options.max_boxes) + " boxes";
  return tree;
}

Tree read_file(const std::string& path, const ParseOptions& options) {
  Tree tree;
  // A directory would read as endless zeros, a pipe would block: files only.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    tree.error = path + " is not a regular file";
    return tree;
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    tree.error = "cannot open " + path;
    return tree;
  }
  off_t end = std::fseek(file, 0, SEEK_END) == 0 ? ftello(file) : -1;
  if (end < 0) {
    tree.error = "cannot find the end of " + path;
    std::fclose(file);
    return tree;
  }
  uint64_t file_size = static_cast<uint64_t>(end);
  tree.input_size = file_size;
  Parser parser{options};
  uint64_t pos = 0, loaded = 0;
  while (pos < file_size && !parser.exhausted) {
    uint8_t header[16] = {};
    uint64_t left = file_size - pos;
    if (left < 8) {
      tree.trailing = static_cast<uint32_t>(left);
      break;
    }
    fseeko(file, static_cast<off_t>(pos), SEEK_SET);
    size_t got = std::fread(header, 1, left < 16 ? left : 16, file);
    uint32_t size32 = static_cast<uint32_t>(be(header, 4));
    uint64_t size = size32;
    if (size32 == 1 && got >= 16) size = be(header + 8, 8);
    if (size32 == 0) size = left;
    bool sane = size >= (size32 == 1 ? 16u : 8u);
    uint64_t span = size < left ? size : left;
    if (!sane) span = left <= options.max_load ? left : 16;  // the parser reports it
    std::string type(reinterpret_cast<const char*>(header + 4), 4);
    bool header_only = false;
    for (const std::string& t : options.header_only) header_only = header_only || t == type;
    if (span > options.max_load || span > options.max_total_load - loaded ||
        (header_only && sane)) {
      // Too big to hold in memory: keep the header facts, skip the bytes.
      Box box;
      box.type = type;
      box.offset = pos;
      box.size = span;
      box.large_size = size32 == 1;
      box.header_size = box.large_size ? 16 : 8;
      box.to_end = size32 == 0;
      if (size > left) box.error = "declared size " + std::to_string(size) + " runs past the end";
      if (!sane) box.error = "size " + std::to_string(size) + " below its header";
      tree.boxes.push_back(std::move(box));
      if (!sane) break;  // the walk cannot find the next box
      pos += span;
      continue;
    }
    loaded += span;
    auto chunk = std::make_shared<std::vector<uint8_t>>(span);
    fseeko(file, static_cast<off_t>(pos), SEEK_SET);
    chunk->resize(std::fread(chunk->data(), 1, span, file));
    std::shared_ptr<const std::vector<uint8_t>> store = chunk;
    std::vector<Box> one;
    uint32_t trailing = 0;
    parser.parse_children(store, 0, store->size(), pos, Context{}, 0, one, trailing);
    if (one.empty()) {
      tree.trailing = static_cast<uint32_t>(store->size());
      break;
    }
    uint64_t parsed = one.front().size;
    bool broken = !one.front().error.empty();
    tree.boxes.push_back(std::move(one.front()));
    pos += parsed;
    if (broken && !sane) break;  // the walk cannot find the next box
  }
  std::fclose(file);
  if (parser.exhausted) tree.error = "more than " + std::to_string(options.max_boxes) + " boxes";
  return tree;
}

}  // namespace iso
