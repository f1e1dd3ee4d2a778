#include "mxmux/files/movie_rebuild.h"

#include <algorithm>
#include <climits>
#include <set>

namespace mxmux::recover {

namespace {

// Sample entries whose video gets composition offsets (ctts).
constexpr const char* kReorderingEntries[] = {"avc1", "hvc1", "hev1", "mp4v"};

// What the rebuild needs to know of one of the head's tracks.
struct Track {
  const iso::Box* trak = nullptr;
  uint32_t id = 0;
  std::string handler;  // "vide", "soun", ...
  std::string entry;    // the first sample entry's type
  uint32_t timescale = 0;
  const TrackSamples* samples = nullptr;  // null: none in the fragments
  uint64_t duration = 0;                  // the sum of the sample durations
  TrackDefaults defaults;
};

struct Movie {
  uint32_t timescale = 0;
  std::string major_brand;
  std::vector<Track> tracks;
  std::set<uint32_t> kept;  // IDs of the tracks with samples
};

uint32_t track_id(const iso::Box& trak) {
  const iso::Box& tkhd = trak.at("tkhd");
  return tkhd.u32(tkhd.version() == 1 ? 20 : 12);
}

uint32_t header_timescale(const iso::Box& box) {
  return box.u32(box.version() == 1 ? 20 : 12);
}

// The payload bytes [from, to) of a box.
std::vector<uint8_t> payload_range(const iso::Box& box, uint64_t from, uint64_t to) {
  if (from > to || to > box.payload_size()) throw std::out_of_range(box.type + " too short");
  const uint8_t* p = box.payload_data();
  return std::vector<uint8_t>(p + from, p + to);
}

// mvhd, tkhd and mdhd: the times, `middle` bytes before the duration, the rest.
HeaderFields header_fields(const iso::Box& box, uint64_t middle) {
  HeaderFields h;
  const bool wide = box.version() == 1;
  const uint64_t time_width = wide ? 8 : 4;
  h.flags = box.flags();
  h.creation = wide ? box.u64(4) : box.u32(4);
  h.modification = wide ? box.u64(4 + time_width) : box.u32(4 + time_width);
  const uint64_t middle_at = 4 + 2 * time_width;
  h.before_duration = payload_range(box, middle_at, middle_at + middle);
  h.rest = payload_range(box, middle_at + middle + time_width, box.payload_size());
  return h;
}

// A media duration in movie units, truncated, as close computes it.
uint64_t to_movie_time(uint64_t duration, uint32_t media_timescale, uint32_t movie_timescale) {
  if (media_timescale == 0) return 0;
  double units = static_cast<double>(static_cast<int64_t>(duration)) *
                 static_cast<double>(movie_timescale) / media_timescale;
  if (!(units > 0)) return 0;
  if (units >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(units);
}

// The longer of the first two track slots (IDs 1 and 2); a tie goes to the
// second. Compared in seconds in single precision, as close does.
uint64_t movie_duration(const Movie& m) {
  const Track* slots[2] = {};
  for (const Track& t : m.tracks) {
    if ((t.id == 1 || t.id == 2) && t.samples) slots[t.id - 1] = &t;
  }
  auto seconds = [](const Track* t) {
    return t->timescale ? static_cast<float>(t->duration) / static_cast<float>(t->timescale) : 0.0f;
  };
  auto movie_time = [&](const Track* t) {
    return to_movie_time(t->duration, t->timescale, m.timescale);
  };
  const bool d0 = slots[0] && slots[0]->duration != 0;
  const bool d1 = slots[1] && slots[1]->duration != 0;
  if (d0) {
    if (d1 && seconds(slots[1]) >= seconds(slots[0])) return movie_time(slots[1]);
    return movie_time(slots[0]);
  }
  return d1 ? movie_time(slots[1]) : 0;
}

bool writes_ctts(const Track& t) {
  if (t.handler != "vide") return false;
  if (std::none_of(std::begin(kReorderingEntries), std::end(kReorderingEntries),
                   [&](const char* e) { return t.entry == e; }))
    return false;
  return std::any_of(t.samples->samples.begin(), t.samples->samples.end(),
                     [](const Sample& s) { return s.composition_offset != 0; });
}

// The smallest composition time before the second sync sample (open-GOP
// leading pictures come after the first one in decoding order); 0 without ctts.
int64_t composition_start(const Track& t) {
  if (!writes_ctts(t)) return 0;
  int64_t time = 0, start = INT64_MAX;
  uint32_t syncs = 0;
  for (const Sample& s : t.samples->samples) {
    if (s.sync && ++syncs == 2) break;
    int64_t composition;
    if (!__builtin_add_overflow(time, s.composition_offset, &composition))
      start = std::min(start, composition);
    time += s.duration;
  }
  return start > 0 && start != INT64_MAX ? start : 0;
}

// units × bytes × 8 / per, held at the top of 32 bits; 0 when per is 0.
uint32_t bits_per_second(uint64_t units, uint64_t bytes, uint64_t per) {
  if (per == 0) return 0;
  unsigned __int128 rate = static_cast<unsigned __int128>(units) * bytes * 8 / per;
  return rate > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(rate);
}

const iso::Box* find_below(const iso::Box& box, const std::string& type) {
  for (const iso::Box& child : box.children) {
    if (child.type == type) return &child;
    if (const iso::Box* found = find_below(child, type)) return found;
  }
  return nullptr;
}

// A descriptor's length: up to four bytes of seven bits each.
bool descriptor_length(const std::vector<uint8_t>& b, size_t& at, uint32_t& length) {
  length = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= b.size()) return false;
    const uint8_t byte = b[at++];
    length = length << 7 | (byte & 0x7F);
    if (!(byte & 0x80)) return true;
  }
  return true;
}

void put_be32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// The stsd's bytes with the bit rates of its esds (if any) stated for all
// the samples: the average over the track's duration; for audio the maximum
// from the largest sample over the nominal duration, for video the average.
std::vector<uint8_t> stsd_with_bit_rates(const iso::Box& stsd, const Track& t) {
  std::vector<uint8_t> bytes = stsd.bytes();
  const iso::Box* esds = find_below(stsd, "esds");
  if (!esds) return bytes;
  uint64_t total = 0, largest = 0;
  for (const Sample& s : t.samples->samples) {
    total += s.size;
    largest = std::max<uint64_t>(largest, s.size);
  }
  const uint32_t average = bits_per_second(t.timescale, total, t.duration);
  const uint32_t maximum =
      t.handler == "soun" ? bits_per_second(t.timescale, largest, t.defaults.duration) : average;
  // ES_Descriptor (tag 3): ES_ID, flags and what they announce, then the
  // DecoderConfigDescriptor (tag 4): object type, stream type, buffer size,
  // maximum and average bit rate.
  size_t at = static_cast<size_t>(esds->offset - stsd.offset) + esds->header_size + 4;
  const size_t end = static_cast<size_t>(esds->offset - stsd.offset + esds->size);
  uint32_t length = 0;
  if (at >= end || bytes[at++] != 3 || !descriptor_length(bytes, at, length)) return bytes;
  if (at + 3 > end) return bytes;
  const uint8_t flags = bytes[at + 2];
  at += 3;
  if (flags & 0x80) at += 2;  // depends-on ES_ID
  if (flags & 0x40) {
    if (at >= end) return bytes;
    at += 1 + bytes[at];  // URL
  }
  if (flags & 0x20) at += 2;  // OCR ES_ID
  if (at >= end || bytes[at++] != 4 || !descriptor_length(bytes, at, length)) return bytes;
  if (at + 13 > end) return bytes;
  put_be32(bytes, at + 5, maximum);
  put_be32(bytes, at + 9, average);
  return bytes;
}

bool table_box(const std::string& type) {
  for (const char* t : {"stts", "ctts", "stss", "stsc", "stsz", "stz2", "stco", "co64"}) {
    if (type == t) return true;
  }
  return false;
}

void write_stbl(BoxBytes& out, const iso::Box& stbl, const Movie& m, const Track& t) {
  size_t start = out.open("stbl");
  const std::vector<Sample>& samples = t.samples->samples;
  for (const iso::Box& child : stbl.children) {
    if (child.type == "stsd") out.append(stsd_with_bit_rates(child, t));
  }
  write_stts(out, samples);
  if (writes_ctts(t)) {
    const bool negative = std::any_of(samples.begin(), samples.end(),
                                      [](const Sample& s) { return s.composition_offset < 0; });
    write_ctts(out, samples, negative && m.major_brand != "qt  " ? 1 : 0);
  }
  if (t.handler == "vide") write_stss(out, samples);
  write_stsc(out, t.samples->chunks);
  const bool constant =
      !t.samples->sizes_listed && std::all_of(samples.begin(), samples.end(), [&](const Sample& s) {
        return s.size == samples.front().size;
      });
  write_stsz(out, samples, constant);
  write_stco(out, t.samples->chunks);
  for (const iso::Box& child : stbl.children) {
    if (child.type != "stsd" && !table_box(child.type)) out.append(child.bytes());
  }
  out.close(start);
}

void write_minf(BoxBytes& out, const iso::Box& minf, const Movie& m, const Track& t) {
  size_t start = out.open("minf");
  for (const iso::Box& child : minf.children) {
    if (child.type == "stbl") {
      write_stbl(out, child, m, t);
    } else {
      out.append(child.bytes());
    }
  }
  out.close(start);
}

void write_mdia(BoxBytes& out, const iso::Box& mdia, const Movie& m, const Track& t) {
  size_t start = out.open("mdia");
  for (const iso::Box& child : mdia.children) {
    if (child.type == "mdhd") {
      write_mdhd(out, header_fields(child, 4), t.duration);
    } else if (child.type == "minf") {
      write_minf(out, child, m, t);
    } else {
      out.append(child.bytes());
    }
  }
  out.close(start);
}

// The edit: a video edit starts at the first picture's composition time, an
// audio edit where the head says and ends with the media.
Edit edit_of(const iso::Box& elst, const Movie& m, const Track& t) {
  Edit edit;
  const bool wide = elst.version() == 1;
  if (elst.u32(4) >= 1) {
    edit.media_time = wide ? static_cast<int64_t>(elst.u64(16)) : elst.i32(12);
    edit.rate = elst.u32(wide ? 24 : 16);
  }
  uint64_t played = t.duration;
  if (t.handler == "vide") {
    edit.media_time = composition_start(t);
  } else if (t.handler == "soun" && edit.media_time > 0) {
    const auto skipped = static_cast<uint64_t>(edit.media_time);
    played = played > skipped ? played - skipped : 0;
  }
  edit.segment = to_movie_time(played, t.timescale, m.timescale);
  return edit;
}

// A tref that names a track without samples goes with that track.
bool refers_to_dropped(const iso::Box& tref, const Movie& m) {
  for (const iso::Box& reference : tref.children) {
    for (uint64_t at = 0; at + 4 <= reference.payload_size(); at += 4) {
      if (!m.kept.count(reference.u32(at))) return true;
    }
  }
  return false;
}

void write_trak(BoxBytes& out, const Movie& m, const Track& t) {
  size_t start = out.open("trak");
  for (const iso::Box& child : t.trak->children) {
    if (child.type == "tkhd") {
      write_tkhd(out, header_fields(child, 8), to_movie_time(t.duration, t.timescale, m.timescale));
    } else if (child.type == "edts") {
      const iso::Box* elst = child.find("elst");
      if (elst) write_edts(out, edit_of(*elst, m, t));
    } else if (child.type == "tref") {
      if (!refers_to_dropped(child, m)) out.append(child.bytes());
    } else if (child.type == "mdia") {
      write_mdia(out, child, m, t);
    } else {
      out.append(child.bytes());
    }
  }
  out.close(start);
}

bool read_tracks(const iso::Box& head, const FragmentSamples& samples,
                 const std::map<uint32_t, TrackDefaults>& defaults, Movie& m, std::string& error) {
  for (const iso::Box& trak : head.children) {
    if (trak.type != "trak") continue;
    Track t;
    t.trak = &trak;
    t.id = track_id(trak);
    t.handler = trak.at("mdia/hdlr").fourcc(8);
    t.timescale = header_timescale(trak.at("mdia/mdhd"));
    const iso::Box& stsd = trak.at("mdia/minf/stbl/stsd");
    if (!stsd.children.empty()) t.entry = stsd.children[0].type;
    auto found = samples.find(t.id);
    if (found != samples.end() && !found->second.samples.empty()) {
      t.samples = &found->second;
      for (const Sample& s : t.samples->samples) t.duration += s.duration;
      m.kept.insert(t.id);
    }
    auto d = defaults.find(t.id);
    if (d == defaults.end()) {
      error = "the movie head's track " + std::to_string(t.id) + " has no defaults (trex)";
      return false;
    }
    t.defaults = d->second;
    m.tracks.push_back(t);
  }
  for (const auto& [id, track] : samples) {
    if (!m.kept.count(id) && !track.samples.empty()) {
      error = "a fragment holds samples of track " + std::to_string(id) +
              ", which the movie head does not describe";
      return false;
    }
  }
  if (m.kept.empty()) {
    error = "the fragments hold no sample";
    return false;
  }
  return true;
}

}  // namespace

bool read_track_defaults(const iso::Box& head, std::map<uint32_t, TrackDefaults>& defaults,
                         std::string& error) {
  const iso::Box* mvex = head.find("mvex");
  if (!mvex) {
    error = "its first movie box has no fragment defaults (mvex): it is no movie head";
    return false;
  }
  for (const iso::Box& trex : mvex->children) {
    if (trex.type != "trex") continue;
    TrackDefaults d;
    d.duration = trex.u32(12);
    d.size = trex.u32(16);
    d.flags = trex.u32(20);
    defaults[trex.u32(4)] = d;
  }
  return true;
}

bool rebuild_movie(const iso::Box& head, const FragmentSamples& samples,
                   const std::map<uint32_t, TrackDefaults>& defaults,
                   const std::string& major_brand, std::vector<uint8_t>& movie,
                   std::string& error) {
  Movie m;
  m.major_brand = major_brand;
  m.timescale = header_timescale(head.at("mvhd"));
  if (!read_tracks(head, samples, defaults, m, error)) return false;
  BoxBytes out;
  size_t start = out.open("moov");
  for (const iso::Box& child : head.children) {
    if (child.type == "mvhd") {
      write_mvhd(out, header_fields(child, 4), movie_duration(m));
    } else if (child.type == "trak") {
      for (const Track& t : m.tracks) {
        if (t.trak == &child && t.samples) write_trak(out, m, t);
      }
    } else if (child.type != "mvex") {
      out.append(child.bytes());
    }
  }
  out.close(start);
  movie = std::move(out.bytes());
  return true;
}

}  // namespace mxmux::recover
