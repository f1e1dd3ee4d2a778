#include "mxmux/files/recover.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

#include "isobox/box_reader.h"
#include "mxmux/files/movie_rebuild.h"
#include "mxmux/system.h"

namespace mxmux::recover {

namespace {

// A movie head or a moof larger than this is no box of a resilient file.
constexpr uint64_t kMaxLoaded = uint64_t{64} << 20;
constexpr size_t kScanBlock = size_t{64} << 10;
// A sample is not on the flags' "non-sync" bit.
constexpr uint32_t kNonSyncSample = 0x00010000;

// tfhd and trun flags.
constexpr uint32_t kBaseDataOffset = 0x1, kDescriptionIndex = 0x2, kDefaultDuration = 0x8,
                   kDefaultSize = 0x10, kDefaultFlags = 0x20;
constexpr uint32_t kDataOffset = 0x1, kFirstSampleFlags = 0x4, kSampleDuration = 0x100,
                   kSampleSize = 0x200, kSampleFlags = 0x400, kCompositionOffset = 0x800;

uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint64_t be64(const uint8_t* p) {
  return uint64_t{be32(p)} << 32 | be32(p + 4);
}

bool read_exact(int fd, void* buffer, size_t n, uint64_t at) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    int64_t got = sys::read_at(fd, bytes, n, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    at += static_cast<uint64_t>(got);
    n -= static_cast<size_t>(got);
  }
  return true;
}

// A box header in the file.
struct TopBox {
  std::string type;
  uint64_t offset = 0, size = 0;
  uint32_t header = 8;
  bool large = false;  // the size field held 1, the 64-bit size follows the type
  bool open = false;   // the size field held 0: up to the end of the file
  uint64_t end() const { return offset + size; }
};

// The header at `at`, in a file (or a part of it) of `limit` bytes; false
// when there is none whole, or its size is below its header or past `limit`.
bool read_box(int fd, uint64_t limit, uint64_t at, TopBox& box) {
  uint8_t h[16];
  if (at > limit || limit - at < 8 || !read_exact(fd, h, 8, at)) return false;
  box = TopBox{};
  box.offset = at;
  box.type.assign(reinterpret_cast<const char*>(h + 4), 4);
  const uint32_t size = be32(h);
  if (size == 1) {
    if (limit - at < 16 || !read_exact(fd, h + 8, 8, at + 8)) return false;
    box.size = be64(h + 8);
    box.header = 16;
    box.large = true;
  } else if (size == 0) {
    box.size = limit - at;
    box.open = true;
  } else {
    box.size = size;
  }
  return box.size >= box.header && box.size <= limit - at;
}

bool complete(const TopBox& box) {
  return !box.open;
}

bool load(int fd, const TopBox& box, std::vector<uint8_t>& bytes) {
  if (box.size > kMaxLoaded) return false;
  bytes.resize(static_cast<size_t>(box.size));
  return read_exact(fd, bytes.data(), bytes.size(), box.offset);
}

// The boxes whose children recovery reads; everything below the others (a
// sample entry's configuration, metadata) is copied as bytes, so a flaw
// there is the writer's to keep.
bool read_inside(const std::string& type) {
  for (const char* t :
       {"moov", "trak", "mdia", "minf", "stbl", "edts", "tref", "mvex", "moof", "traf"}) {
    if (type == t) return true;
  }
  return false;
}

bool has_errors(const iso::Box& box) {
  if (!box.error.empty()) return true;
  if (!read_inside(box.type)) return false;
  for (const iso::Box& child : box.children) {
    if (has_errors(child)) return true;
  }
  return false;
}

// One box parsed from its bytes; false when it is malformed.
bool parse_one(const std::vector<uint8_t>& bytes, iso::Tree& tree) {
  iso::ParseOptions options;
  options.max_boxes = 1u << 20;
  tree = iso::parse(bytes, options);
  return tree.error.empty() && tree.boxes.size() == 1 && !has_errors(tree.boxes[0]);
}

// Where a fragment's samples may lie: its mdat's payload.
struct DataRange {
  uint64_t begin = 0, end = 0;
};

// The samples of one traf, added to `track`; false when the traf is
// malformed or a sample lies outside the fragment's media data.
bool read_traf(const iso::Box& traf, uint64_t moof_at, const DataRange& data,
               const std::map<uint32_t, TrackDefaults>& defaults, FragmentSamples& out) {
  const iso::Box* tfhd = traf.find("tfhd");
  if (!tfhd) return false;
  const uint32_t tf = tfhd->flags();
  auto found = defaults.find(tfhd->u32(4));
  if (found == defaults.end()) return false;
  TrackDefaults d = found->second;
  uint64_t at = 8, base = moof_at;
  if (tf & kBaseDataOffset) {
    base = tfhd->u64(at);
    at += 8;
  }
  if (tf & kDescriptionIndex) at += 4;
  if (tf & kDefaultDuration) {
    d.duration = tfhd->u32(at);
    at += 4;
  }
  if (tf & kDefaultSize) {
    d.size = tfhd->u32(at);
    at += 4;
  }
  if (tf & kDefaultFlags) d.flags = tfhd->u32(at);

  TrackSamples& track = out[tfhd->u32(4)];
  bool have_previous = false;
  uint64_t next = base;  // where a trun without a data offset begins
  for (const iso::Box& trun : traf.children) {
    if (trun.type != "trun") continue;
    const uint32_t rf = trun.flags();
    const uint32_t count = trun.u32(4);
    uint64_t pos = 8;
    uint64_t start = next;
    if (rf & kDataOffset) {
      const int64_t offset = trun.i32(pos);
      pos += 4;
      if (offset < 0 && static_cast<uint64_t>(-offset) > base) return false;
      start = base + static_cast<uint64_t>(offset);
    }
    uint32_t first_flags = d.flags;
    const bool has_first_flags = rf & kFirstSampleFlags;
    if (has_first_flags) {
      first_flags = trun.u32(pos);
      pos += 4;
    }
    const uint64_t per_sample =
        4 * ((rf & kSampleDuration ? 1 : 0) + (rf & kSampleSize ? 1 : 0) +
             (rf & kSampleFlags ? 1 : 0) + (rf & kCompositionOffset ? 1 : 0));
    // Every listed field lies in the trun; a sample count above the media
    // data's size cannot be honest (and would only cost memory).
    if (pos > trun.payload_size() || trun.payload_size() - pos < uint64_t{count} * per_sample ||
        count > data.end - data.begin + 1)
      return false;
    if (count == 0) continue;
    if (have_previous && !track.chunks.empty() && start == next) {
      track.chunks.back().samples += count;
    } else {
      track.chunks.push_back(Chunk{start, count});
    }
    track.sizes_listed |= (rf & kSampleSize) != 0;
    uint64_t offset = start;
    for (uint32_t i = 0; i < count; ++i) {
      Sample s;
      s.duration = d.duration;
      s.size = d.size;
      uint32_t flags = i == 0 && has_first_flags ? first_flags : d.flags;
      if (rf & kSampleDuration) {
        s.duration = trun.u32(pos);
        pos += 4;
      }
      if (rf & kSampleSize) {
        s.size = trun.u32(pos);
        pos += 4;
      }
      if (rf & kSampleFlags) {
        const uint32_t listed = trun.u32(pos);
        pos += 4;
        if (!(i == 0 && has_first_flags)) flags = listed;
      }
      if (rf & kCompositionOffset) {
        s.composition_offset =
            trun.version() == 1 ? int64_t{trun.i32(pos)} : int64_t{trun.u32(pos)};
        pos += 4;
      }
      s.sync = (flags & kNonSyncSample) == 0;
      s.offset = offset;
      if (offset < data.begin || offset > data.end || s.size > data.end - offset) return false;
      offset += s.size;
      track.samples.push_back(s);
    }
    if (track.samples.size() > UINT32_MAX) return false;
    next = offset;
    have_previous = true;
  }
  return true;
}

// A complete fragment's samples added to `all`; false (and `all` unchanged)
// when its moof is malformed.
bool read_fragment(const std::vector<uint8_t>& moof_bytes, uint64_t moof_at, const DataRange& data,
                   const std::map<uint32_t, TrackDefaults>& defaults, FragmentSamples& all) {
  iso::Tree tree;
  if (!parse_one(moof_bytes, tree) || tree.boxes[0].type != "moof") return false;
  FragmentSamples fragment;
  try {
    for (const iso::Box& traf : tree.boxes[0].children) {
      if (traf.type == "traf" && !read_traf(traf, moof_at, data, defaults, fragment)) return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  for (auto& [id, track] : fragment) {
    TrackSamples& to = all[id];
    if (to.samples.size() + track.samples.size() > UINT32_MAX) return false;
  }
  for (auto& [id, track] : fragment) {
    TrackSamples& to = all[id];
    to.samples.insert(to.samples.end(), track.samples.begin(), track.samples.end());
    to.chunks.insert(to.chunks.end(), track.chunks.begin(), track.chunks.end());
    to.sizes_listed |= track.sizes_listed;
  }
  return true;
}

// The mdat of the fragment whose moof ends at `at`: behind it, past any
// free boxes (the rest of the moof's room).
bool fragment_data(int fd, uint64_t size, uint64_t at, TopBox& mdat) {
  while (read_box(fd, size, at, mdat) && complete(mdat)) {
    if (mdat.type == "mdat") return true;
    if (mdat.type != "free" && mdat.type != "skip") return false;
    at = mdat.end();
  }
  return false;
}

bool has_mvex(const std::vector<uint8_t>& moov) {
  iso::Tree tree;
  return parse_one(moov, tree) && tree.boxes[0].find("mvex") != nullptr;
}

// The fragments behind the head, up to the last complete one, and a movie
// box appended behind them by a finalising that stopped.
bool read_fragments(int fd, const iso::Box& head, const std::string& brand, Examination& e,
                    std::string& error) {
  std::map<uint32_t, TrackDefaults> defaults;
  if (!read_track_defaults(head, defaults, error)) return false;
  FragmentSamples samples;
  uint64_t at = e.fragments_end;
  TopBox box;
  std::vector<uint8_t> bytes;
  while (read_box(fd, e.file_size, at, box) && complete(box)) {
    if (box.type == "moof") {
      TopBox mdat;
      if (!fragment_data(fd, e.file_size, box.end(), mdat) || !load(fd, box, bytes) ||
          !read_fragment(bytes, box.offset, DataRange{mdat.offset + mdat.header, mdat.end()},
                         defaults, samples))
        break;
      ++e.fragments;
      at = e.fragments_end = mdat.end();
      continue;
    }
    // The movie box a finalising appended (behind any hidden fragments,
    // which it describes too).
    if (box.type == "moov" && box.end() == e.file_size && load(fd, box, bytes) &&
        !has_mvex(bytes)) {
      e.stage = Stage::kMovieAppended;
      e.movie = box.offset;
      return true;
    }
    // A fragment the head's room hid (its room and media data), or the one
    // being written.
    if (box.type != "free" && box.type != "skip" && box.type != "mdat") break;
    at = box.end();
  }
  if (e.fragments == 0) {
    error = "holds no complete fragment (the crash came before the first second was written)";
    return false;
  }
  if (!rebuild_movie(head, samples, defaults, brand, e.movie_box, error)) return false;
  for (const auto& [id, track] : samples) e.tracks += track.samples.empty() ? 0 : 1;
  e.movie = e.fragments_end;
  return true;
}

// The head of a file whose room already covers everything up to the movie
// box: the first bytes that are not zero behind the room's header.
bool find_head(int fd, const TopBox& room, uint64_t& head) {
  std::vector<uint8_t> block(kScanBlock);
  for (uint64_t at = room.offset + room.header; at < room.end();) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), room.end() - at));
    if (!read_exact(fd, block.data(), n, at)) return false;
    for (size_t i = 0; i < n; ++i) {
      if (block[i] == 0) continue;
      // The first bytes of the head's size field are zeros when it is
      // small: the header starts up to three bytes before this one.
      uint64_t found = at + i;
      for (uint64_t back = 0; back < 4 && found > room.offset + room.header; ++back) {
        TopBox box;
        const uint64_t candidate = found - back;
        if (read_box(fd, room.end(), candidate, box) &&
            (box.type == "moov" || box.type == "free")) {
          head = candidate;
          return true;
        }
      }
      return false;
    }
    at += n;
  }
  return false;
}

bool examine_layout(int fd, Examination& e, std::string& error) {
  TopBox ftyp, room, next;
  if (!read_box(fd, e.file_size, 0, ftyp) || ftyp.type != "ftyp" || !complete(ftyp) ||
      ftyp.size < ftyp.header + 4) {
    error = "is not an MP4 or QuickTime file (it does not begin with an ftyp box)";
    return false;
  }
  char brand[4];
  if (!read_exact(fd, brand, 4, ftyp.offset + ftyp.header)) {
    error = "cannot be read: " + std::string(std::strerror(errno));
    return false;
  }
  if (!read_box(fd, e.file_size, ftyp.end(), room) || room.type != "free" || !room.large ||
      !complete(room)) {
    error =
        "was not written as fragments (no room for a movie head behind its ftyp box): it is a "
        "plain file, or not one a resilient writer made";
    return false;
  }
  e.room = room.offset;
  if (!read_box(fd, e.file_size, room.end(), next) || !complete(next) ||
      (next.type != "moov" && next.type != "free")) {
    error = "holds no complete fragment (the crash came before the first second was written)";
    return false;
  }
  if (next.type == "free") {
    error = "has been finished already: it is a plain file, nothing to recover";
    return false;
  }
  std::vector<uint8_t> bytes;
  if (!load(fd, next, bytes)) {
    error = "has a movie box that cannot be read (or is larger than 64 MiB)";
    return false;
  }
  iso::Tree tree;
  if (!parse_one(bytes, tree)) {
    error = "has a movie head that does not parse";
    return false;
  }
  const iso::Box& moov = tree.boxes[0];
  if (moov.find("mvex") == nullptr) {
    // Finalising stopped after the room grew over everything up to the
    // movie box, which must then end the file.
    if (next.end() != e.file_size || !find_head(fd, room, e.head)) {
      error = "was not written as fragments (its first movie box describes no fragments)";
      return false;
    }
    e.stage = Stage::kRoomGrown;
    e.movie = next.offset;
    e.fragments_end = next.offset;
    return true;
  }
  e.head = next.offset;
  e.fragments_end = next.end();
  return read_fragments(fd, moov, std::string(brand, 4), e, error);
}

void put_be64(uint8_t* p, uint64_t v) {
  for (int k = 0; k < 8; ++k) p[k] = static_cast<uint8_t>(v >> (56 - 8 * k));
}

class Finisher {
 public:
  Finisher(int fd, const Examination& e, int stop_after, std::string& error)
      : fd_(fd), e_(e), stop_after_(stop_after), error_(error) {}

  bool run() {
    uint64_t movie = e_.movie;
    if (e_.stage == Stage::kFragments) {
      if (e_.cut() > 0) {
        if (!sys::truncate_file(fd_, e_.fragments_end)) return failed("cut the file");
        if (!synced()) return false;
      }
      if (!write(e_.movie_box.data(), e_.movie_box.size(), e_.fragments_end) || !step_done(1))
        return false;
      movie = e_.fragments_end;
    }
    if (e_.stage != Stage::kRoomGrown) {
      if (!set_room_size(movie - e_.room) || !step_done(2)) return false;
    }
    if (!hide_fragments(movie) || !step_done(3)) return false;
    return set_room_size(e_.head - e_.room) && synced();
  }

 private:
  bool failed(const std::string& what) {
    error_ = "cannot " + what + ": " + std::string(std::strerror(errno));
    return false;
  }

  bool synced() { return sys::sync_file(fd_) || failed("sync the file"); }

  bool write(const void* data, size_t n, uint64_t at) {
    return sys::write_at(fd_, data, n, at) || failed("write");
  }

  bool step_done(int step) {
    if (!synced()) return false;
    if (step != stop_after_) return true;
    error_ = "stopped after step " + std::to_string(step) + " of 4, as asked";
    return false;
  }

  bool set_room_size(uint64_t size) {
    uint8_t field[8];
    put_be64(field, size);
    return write(field, sizeof field, e_.room + 8);
  }

  // The head, its mvhd and every moof between it and the movie box become
  // free boxes, as close leaves them (VLC takes a free box that starts with
  // an mvhd for a hidden movie box).
  bool hide_fragments(uint64_t movie) {
    TopBox box;
    for (uint64_t at = e_.head; at < movie; at = box.end()) {
      if (!read_box(fd_, movie, at, box)) {
        error_ = "cannot walk the boxes behind the movie head (at byte " + std::to_string(at) +
                 "); the file plays from its movie box as it is";
        return false;
      }
      if (at == e_.head && (box.type == "moov" || box.type == "free")) {
        if (!write("free", 4, at + 4) || !hide_first_mvhd(box)) return false;
      } else if (box.type == "moof") {
        if (!write("free", 4, at + 4)) return false;
      }
    }
    return true;
  }

  // The head's first box, when it is its mvhd.
  bool hide_first_mvhd(const TopBox& head) {
    TopBox first;
    if (!read_box(fd_, head.end(), head.offset + head.header, first) || first.type != "mvhd")
      return true;
    return write("free", 4, first.offset + 4);
  }

  int fd_;
  const Examination& e_;
  int stop_after_;
  std::string& error_;
};

}  // namespace

bool examine(int fd, uint64_t size, Examination& out, std::string& error) {
  out = Examination{};
  out.file_size = size;
  try {
    return examine_layout(fd, out, error);
  } catch (const std::exception&) {
    error = "has a movie head whose boxes are too short for their fields";
    return false;
  }
}

bool finish(int fd, const Examination& e, int stop_after, std::string& error) {
  return Finisher(fd, e, stop_after, error).run();
}

}  // namespace mxmux::recover
