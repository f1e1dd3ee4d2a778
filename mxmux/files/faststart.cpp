#include "mxmux/files/faststart.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "mxmux/system.h"

namespace mxmux::faststart {
namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFFull;
// A file of more top-level boxes than this is not one this program wrote.
constexpr size_t kMaxTopBoxes = 100000;
// The media data is copied in blocks of this size.
constexpr size_t kCopyBlock = size_t{4} << 20;

// Top-level boxes that locate data by file offset in ways this rewrite does not follow.
struct RefusedBox {
  std::string_view type;
  std::string_view why;
};

constexpr RefusedBox kRefusedTopLevel[] = {
    {"moof", "a fragmented file (movie fragments)"},
    {"mfra", "a fragmented file (fragment random access)"},
    {"sidx", "a segment index that locates data by file offset"},
    {"ssix", "a subsegment index that locates data by file offset"},
    {"meta", "file-level metadata that may locate items by file offset"},
};

// Boxes of the movie tree this rewrite walks into; every other box is copied as it is.
constexpr std::string_view kWalkedContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "dinf"};

uint64_t be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

void put_be(std::vector<uint8_t>& out, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The type as text for messages: the four characters, or hex when any is not printable.
std::string type_text(std::string_view type) {
  bool plain = true;
  for (char ch : type) plain = plain && ch >= 0x20 && ch < 0x7F;
  if (plain) {
    std::string quoted(1, '\'');
    quoted.append(type);
    quoted += '\'';
    return quoted;
  }
  char text[16];
  std::snprintf(
      text, sizeof text, "0x%08llx",
      static_cast<unsigned long long>(be(reinterpret_cast<const uint8_t*>(type.data()), 4)));
  return text;
}

std::string at_byte(uint64_t offset) {
  return " at byte " + std::to_string(offset);
}

// ------------------------------------------------------------ movie tree

// A box of the movie tree: a walked container, a chunk offset table, or
// bytes copied as they are.
struct Node {
  std::string type;
  std::vector<Node> children;  // walked containers
  std::vector<uint8_t> bytes;  // other boxes, header included
  bool container = false;
  bool chunk_table = false;
  bool wide = false;              // co64, or an stco to be written as co64
  uint32_t version_flags = 0;     // of a chunk table
  std::vector<uint64_t> offsets;  // of a chunk table
  uint32_t track = 0;             // 1-based trak number, for messages

  uint64_t size() const {
    if (chunk_table) return 16 + offsets.size() * (wide ? 8 : 4);
    if (!container) return bytes.size();
    uint64_t total = 8;
    for (const Node& child : children) total += child.size();
    return total;
  }
};

struct TreeReader {
  const uint8_t* base;   // first byte of the movie box
  uint64_t moov_offset;  // of the movie box in the file
  uint32_t tracks = 0;
  std::string error;

  bool fail(const std::string& text) {
    error = text;
    return false;
  }

  // Reads the boxes of [begin, end) (offsets into the movie box) into `out`.
  bool children(uint64_t begin, uint64_t end, const std::string& parent, uint32_t track,
                std::vector<Node>& out) {
    uint64_t pos = begin;
    while (pos < end) {
      if (end - pos < 8)
        return fail("a box header inside " + type_text(parent) + " is cut off" +
                    at_byte(moov_offset + pos));
      uint64_t size = be(base + pos, 4);
      std::string type(reinterpret_cast<const char*>(base + pos + 4), 4);
      if (size == 0 || size == 1) {
        return fail("the " + type_text(type) + " box" + at_byte(moov_offset + pos) + " has " +
                    (size == 1 ? "a 64-bit size" : "no size (to the end)") +
                    ", which is not expected inside the movie box");
      }
      if (size < 8 || size > end - pos) {
        return fail("the " + type_text(type) + " box" + at_byte(moov_offset + pos) + " declares " +
                    std::to_string(size) + " bytes; its parent " + type_text(parent) + " has " +
                    std::to_string(end - pos) + " left");
      }
      Node node;
      node.type = type;
      node.track = track;
      if (type == "trak" && parent == "moov") node.track = track = ++tracks;
      if (!read_node(node, pos, size, parent)) return false;
      out.push_back(std::move(node));
      pos += size;
    }
    return true;
  }

  bool read_node(Node& node, uint64_t pos, uint64_t size, const std::string& parent) {
    const uint8_t* p = base + pos;
    bool walked = std::find(std::begin(kWalkedContainers), std::end(kWalkedContainers),
                            node.type) != std::end(kWalkedContainers);
    if (walked) {
      node.container = true;
      return children(pos + 8, pos + size, node.type, node.track, node.children);
    }
    if (parent == "stbl" && (node.type == "stco" || node.type == "co64")) {
      node.wide = node.type == "co64";
      uint64_t width = node.wide ? 8 : 4;
      if (size < 16)
        return fail(type_text(node.type) + " box too short" + at_byte(moov_offset + pos));
      node.chunk_table = true;
      node.version_flags = static_cast<uint32_t>(be(p + 8, 4));
      uint64_t count = be(p + 12, 4);
      if (count != (size - 16) / width || (size - 16) % width != 0) {
        return fail("the " + type_text(node.type) + " box of track " + std::to_string(node.track) +
                    " counts " + std::to_string(count) + " entries in " + std::to_string(size) +
                    " bytes");
      }
      node.offsets.reserve(count);
      for (uint64_t i = 0; i < count; ++i)
        node.offsets.push_back(be(p + 16 + i * width, static_cast<int>(width)));
      return true;
    }
    if (parent == "dinf" && node.type == "dref" && !data_in_this_file(p, size, node.track))
      return false;
    node.bytes.assign(p, p + size);
    return true;
  }

  // Chunk offsets point into this file only when every data reference says so.
  bool data_in_this_file(const uint8_t* p, uint64_t size, uint32_t track) {
    if (size < 16)
      return fail("the data reference box of track " + std::to_string(track) + " is too short");
    uint64_t count = be(p + 12, 4);
    uint64_t pos = 16;
    for (uint64_t i = 0; i < count; ++i) {
      if (size - pos < 12)
        return fail("the data reference box of track " + std::to_string(track) + " is cut off");
      uint64_t entry = be(p + pos, 4);
      if (entry < 12 || entry > size - pos)
        return fail("the data reference box of track " + std::to_string(track) + " is malformed");
      if ((be(p + pos + 9, 3) & 1) == 0)
        return fail("track " + std::to_string(track) + " refers to media data in another file");
      pos += entry;
    }
    return true;
  }
};

void collect_tables(std::vector<Node>& nodes, std::vector<Node*>& out) {
  for (Node& node : nodes) {
    if (node.chunk_table) out.push_back(&node);
    collect_tables(node.children, out);
  }
}

void write_node(const Node& node, std::vector<uint8_t>& out) {
  if (!node.container && !node.chunk_table) {
    out.insert(out.end(), node.bytes.begin(), node.bytes.end());
    return;
  }
  put_be(out, node.size(), 4);
  if (node.chunk_table) {
    const char* tag = node.wide ? "co64" : "stco";
    out.insert(out.end(), tag, tag + 4);
    put_be(out, node.version_flags, 4);
    put_be(out, node.offsets.size(), 4);
    for (uint64_t offset : node.offsets) put_be(out, offset, node.wide ? 8 : 4);
    return;
  }
  out.insert(out.end(), node.type.begin(), node.type.end());
  for (const Node& child : node.children) write_node(child, out);
}

// ------------------------------------------------------------ file I/O

bool read_at(int fd, uint8_t* data, size_t size, uint64_t offset) {
  while (size > 0) {
    int64_t got = sys::read_at(fd, data, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    int64_t put = sys::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

std::string system_reason() {
  return errno == ENOSPC ? std::string("no space left on device") : std::strerror(errno);
}

}  // namespace

bool scan(int fd, uint64_t file_size, std::vector<TopBox>& boxes, std::string& error) {
  boxes.clear();
  uint64_t pos = 0;
  while (pos < file_size) {
    if (boxes.size() == kMaxTopBoxes) {
      error = "more than " + std::to_string(kMaxTopBoxes) + " top-level boxes";
      return false;
    }
    uint8_t h[16];
    uint64_t left = file_size - pos;
    if (left < 8) {
      error = std::to_string(left) + " bytes at the end are too short for a box";
      return false;
    }
    if (!read_at(fd, h, left < 16 ? 8 : 16, pos)) {
      error = "cannot read" + at_byte(pos) + ": " + system_reason();
      return false;
    }
    TopBox box;
    box.type.assign(reinterpret_cast<const char*>(h + 4), 4);
    box.offset = pos;
    box.size = be(h, 4);
    std::string what = "the " + type_text(box.type) + " box" + at_byte(pos);
    if (box.size == 0) {
      error = what + " has no size (it runs to the end of the file)";
      return false;
    }
    if (box.size == 1) {
      if (box.type != "mdat") {
        error = what + " has a 64-bit size; only media data is expected to be that large";
        return false;
      }
      if (left < 16) {
        error = what + " has its 64-bit size cut off";
        return false;
      }
      box.header_size = 16;
      box.size = be(h + 8, 8);
    }
    if (box.size < box.header_size) {
      error = what + " declares " + std::to_string(box.size) + " bytes, less than its header";
      return false;
    }
    if (box.size > left) {
      error = what + " declares " + std::to_string(box.size) + " bytes; the file has " +
              std::to_string(left) + " left";
      return false;
    }
    for (const RefusedBox& refused : kRefusedTopLevel) {
      if (box.type == refused.type) {
        error = what + " makes this " + std::string(refused.why) + ", which is not rewritten";
        return false;
      }
    }
    boxes.push_back(box);
    pos += box.size;
  }
  return true;
}

namespace {

// The one movie box, behind the first media data. Its index in `boxes`, or
// boxes.size() with the error.
size_t find_movie_box(const std::vector<TopBox>& boxes, const std::vector<uint8_t>& moov,
                      std::string& error) {
  const size_t none = boxes.size();
  size_t moov_index = none, first_mdat = none;
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].type == "moov") {
      if (moov_index != none) {
        error = "two movie boxes" + at_byte(boxes[moov_index].offset) + " and" +
                at_byte(boxes[i].offset);
        return none;
      }
      moov_index = i;
    }
    if (boxes[i].type == "mdat" && first_mdat == none) first_mdat = i;
  }
  if (moov_index == none) {
    error = "the file has no movie box";
    return none;
  }
  if (first_mdat == none) {
    error = "the file has no media data";
    return none;
  }
  if (moov_index < first_mdat) {
    error = "the movie box already comes before the media data";
    return none;
  }
  if (boxes[moov_index].header_size != 8 || moov.size() != boxes[moov_index].size) {
    error = "the movie box read does not match its header";
    return none;
  }
  return moov_index;
}

// For every chunk offset of every table, the index in `boxes` of the media
// data it points into: that box tells how far the offset moves. False with
// the error for an offset outside the media data.
bool find_chunk_homes(const std::vector<TopBox>& boxes, const std::vector<Node*>& tables,
                      std::vector<std::vector<uint32_t>>& homes, std::string& error) {
  std::vector<size_t> mdats;  // in file order
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].type == "mdat") mdats.push_back(i);
  }
  auto containing_mdat = [&](uint64_t offset) -> size_t {
    auto after = std::upper_bound(mdats.begin(), mdats.end(), offset,
                                  [&](uint64_t o, size_t i) { return o < boxes[i].offset; });
    if (after == mdats.begin()) return boxes.size();
    const TopBox& b = boxes[*(after - 1)];
    bool inside = offset >= b.offset + b.header_size && offset <= b.offset + b.size;
    return inside ? *(after - 1) : boxes.size();
  };
  homes.assign(tables.size(), {});
  for (size_t t = 0; t < tables.size(); ++t) {
    homes[t].reserve(tables[t]->offsets.size());
    for (uint64_t offset : tables[t]->offsets) {
      size_t home = containing_mdat(offset);
      if (home == boxes.size()) {
        error = "track " + std::to_string(tables[t]->track) + " has a chunk offset (" +
                std::to_string(offset) + ") outside the media data";
        return false;
      }
      homes[t].push_back(static_cast<uint32_t>(home));
    }
  }
  return true;
}

// Moves every chunk offset by the growth of what comes before its media data.
// Widening a table grows the movie box, which moves the data further: plan
// until no table needs widening. Tables only ever widen, so this ends.
// Returns the new movie box's size; counts the widened tables in `widened`.
uint64_t move_chunk_offsets(Node& root, const std::vector<Node*>& tables,
                            const std::vector<std::vector<uint32_t>>& homes, size_t insert_at,
                            size_t moov_index, uint64_t old_moov_size, uint32_t& widened) {
  uint64_t moov_size = root.size();
  for (;;) {
    auto shift = [&](size_t index) {
      uint64_t s = index >= insert_at ? moov_size : 0;
      return index > moov_index ? s - old_moov_size : s;
    };
    bool changed = false;
    for (size_t t = 0; t < tables.size(); ++t) {
      if (tables[t]->wide) continue;
      for (size_t i = 0; i < tables[t]->offsets.size(); ++i) {
        if (tables[t]->offsets[i] + shift(homes[t][i]) > kMax32) {
          tables[t]->wide = true;
          ++widened;
          changed = true;
          break;
        }
      }
    }
    moov_size = root.size();
    if (!changed) {
      for (size_t t = 0; t < tables.size(); ++t) {
        for (size_t i = 0; i < tables[t]->offsets.size(); ++i)
          tables[t]->offsets[i] += shift(homes[t][i]);
      }
      return moov_size;
    }
  }
}

// The rewritten file: the new movie box at `insert_at`, then the source's
// boxes without the old one, neighbouring source ranges copied as one.
void lay_out_pieces(const std::vector<TopBox>& boxes, size_t insert_at, size_t moov_index,
                    Plan& out) {
  for (size_t i = 0; i <= boxes.size(); ++i) {
    if (i == insert_at) {
      out.pieces.push_back({true, 0, out.moov.size()});
      out.output_size += out.moov.size();
    }
    if (i == boxes.size()) break;
    if (i == moov_index) continue;
    const TopBox& b = boxes[i];
    if (!out.pieces.empty() && !out.pieces.back().movie &&
        out.pieces.back().offset + out.pieces.back().size == b.offset) {
      out.pieces.back().size += b.size;
    } else {
      out.pieces.push_back({false, b.offset, b.size});
    }
    out.output_size += b.size;
  }
}

}  // namespace

bool plan(const std::vector<TopBox>& boxes, const std::vector<uint8_t>& moov, Plan& out,
          std::string& error) {
  out = Plan{};
  size_t moov_index = find_movie_box(boxes, moov, error);
  if (moov_index == boxes.size()) return false;
  const TopBox& old_moov = boxes[moov_index];

  TreeReader reader{moov.data(), old_moov.offset, 0, {}};
  Node root;
  root.type = "moov";
  root.container = true;
  if (!reader.children(8, moov.size(), "moov", 0, root.children)) {
    error = reader.error;
    return false;
  }
  std::vector<Node*> tables;
  collect_tables(root.children, tables);
  std::vector<std::vector<uint32_t>> homes;  // per offset: index into boxes
  if (!find_chunk_homes(boxes, tables, homes, error)) return false;

  // The movie box goes right behind a leading ftyp.
  size_t insert_at = boxes.front().type == "ftyp" ? 1 : 0;
  uint64_t moov_size =
      move_chunk_offsets(root, tables, homes, insert_at, moov_index, old_moov.size, out.widened);
  if (moov_size > kMax32) {
    error = "the rewritten movie box would pass 4 GiB";
    return false;
  }
  out.chunk_tables = static_cast<uint32_t>(tables.size());
  out.moov.reserve(moov_size);
  write_node(root, out.moov);
  lay_out_pieces(boxes, insert_at, moov_index, out);
  return true;
}

namespace {

// The open source file and the temporary file beside it; the temporary file
// is removed unless it was renamed over the source.
class Rewrite {
 public:
  ~Rewrite() {
    if (source_ >= 0) sys::close(source_);
    if (temp_ >= 0) sys::close(temp_);
    if (!temp_path_.empty()) sys::remove_file(temp_path_);
  }

  bool run(const std::string& path, const std::function<bool()>& cancelled, std::string& error) {
    source_ = sys::open_read(path);
    sys::FileKind kind = sys::FileKind::kOther;
    uint64_t size = 0;
    if (source_ < 0 || !sys::file_info(source_, kind, size)) {
      error = "cannot open it: " + system_reason();
      return false;
    }
    if (kind != sys::FileKind::kRegular) {
      error = "not a regular file";
      return false;
    }
    std::vector<TopBox> boxes;
    if (!scan(source_, size, boxes, error)) return false;
    auto moov =
        std::find_if(boxes.begin(), boxes.end(), [](const TopBox& b) { return b.type == "moov"; });
    std::vector<uint8_t> moov_bytes;
    if (moov != boxes.end()) {
      if (moov->size > kMaxMovieBox) {
        error = "the movie box is larger than " + std::to_string(kMaxMovieBox >> 20) + " MiB";
        return false;
      }
      moov_bytes.resize(moov->size);
      if (!read_at(source_, moov_bytes.data(), moov_bytes.size(), moov->offset)) {
        error = "cannot read the movie box: " + system_reason();
        return false;
      }
    }
    Plan layout;
    if (!plan(boxes, moov_bytes, layout, error)) return false;
    moov_bytes = {};

    if (!open_temp(path, sys::file_info(path).mode, error)) return false;
    std::vector<uint8_t> block(kCopyBlock);
    for (const Piece& piece : layout.pieces) {
      if (piece.movie) {
        if (!write_all(temp_, layout.moov.data(), layout.moov.size())) return write_failed(error);
        continue;
      }
      for (uint64_t done = 0; done < piece.size;) {
        if (cancelled && cancelled()) {
          error = "interrupted";
          return false;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), piece.size - done));
        if (!read_at(source_, block.data(), n, piece.offset + done)) {
          error = "cannot read it" + at_byte(piece.offset + done) + ": " + system_reason();
          return false;
        }
        if (!write_all(temp_, block.data(), n)) return write_failed(error);
        done += n;
      }
    }
    if (!sys::sync_file(temp_)) return write_failed(error);
    uint64_t written = 0;
    if (!sys::file_info(temp_, kind, written) || written != layout.output_size) {
      error = "the rewritten file has the wrong size";
      return false;
    }
    if (!sys::close_checked(temp_)) {
      temp_ = -1;
      return write_failed(error);
    }
    temp_ = -1;
    // Closed first: Windows does not rename over a file that is open.
    sys::close(source_);
    source_ = -1;
    if (!sys::replace_file(temp_path_, path)) {
      error = "cannot replace it: " + system_reason();
      return false;
    }
    temp_path_.clear();
    return true;
  }

 private:
  bool open_temp(const std::string& path, uint32_t mode, std::string& error) {
    size_t slash = path.find_last_of(sys::kSeparators);
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string pattern = dir + "." + name + ".faststart-XXXXXX";
    temp_ = sys::create_unique(pattern, 0);
    if (temp_ < 0) {
      error = "cannot create a file beside it: " + system_reason();
      return false;
    }
    temp_path_ = pattern;
    sys::set_mode(temp_, mode);
    return true;
  }

  bool write_failed(std::string& error) {
    error = "cannot write the rewritten file: " + system_reason();
    return false;
  }

  int source_ = -1;
  int temp_ = -1;
  std::string temp_path_;
};

}  // namespace

bool rewrite_file(const std::string& path, const std::function<bool()>& cancelled,
                  std::string& error) {
  Rewrite rewrite;
  return rewrite.run(path, cancelled, error);
}

}  // namespace mxmux::faststart
