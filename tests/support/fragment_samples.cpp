#include "fragment_samples.h"

#include <stdexcept>

namespace {

struct TrackDefaults {
  uint32_t duration = 0, size = 0, flags = 0;
};

bool is_sync(uint32_t sample_flags) {
  return (sample_flags & 0x00010000) == 0;  // sample_is_non_sync_sample clear
}

}  // namespace

FragmentedFile read_fragments(const iso::Tree& tree) {
  FragmentedFile out;
  const iso::Box* mvex = tree.find("moov/mvex");
  if (mvex == nullptr) throw std::runtime_error("no mvex in the movie box");
  std::map<uint32_t, TrackDefaults> defaults;
  for (size_t i = 0; i < mvex->count("trex"); ++i) {
    const iso::Box& trex = *mvex->child("trex", i);
    defaults[trex.u32(4)] = {trex.u32(12), trex.u32(16), trex.u32(20)};
  }
  for (const iso::Box& moof : tree.boxes) {
    if (moof.type != "moof") continue;
    out.moof_offsets.push_back(moof.offset);
    out.sequence_numbers.push_back(moof.at("mfhd").u32(4));
    for (size_t t = 0; t < moof.count("traf"); ++t) {
      const iso::Box& traf = *moof.child("traf", t);
      const iso::Box& tfhd = traf.at("tfhd");
      const uint32_t tf_flags = tfhd.flags();
      const uint32_t id = tfhd.u32(4);
      auto found = defaults.find(id);
      if (found == defaults.end()) throw std::runtime_error("traf of a track without trex");
      TrackDefaults d = found->second;
      uint64_t field = 8;
      uint64_t base = moof.offset;
      auto take32 = [&](uint32_t flag, uint32_t* value) {
        if (!(tf_flags & flag)) return;
        *value = tfhd.u32(field);
        field += 4;
      };
      if (tf_flags & 0x01) {
        base = tfhd.u64(field);
        field += 8;
      }
      uint32_t description = 0;
      take32(0x02, &description);
      take32(0x08, &d.duration);
      take32(0x10, &d.size);
      take32(0x20, &d.flags);
      FragmentedTrack& track = out.tracks[id];
      track.traf_first.push_back(track.samples.size());
      if (const iso::Box* tfdt = traf.find("tfdt"))
        track.decode_times.push_back(tfdt->version() == 1 ? tfdt->u64(4) : tfdt->u32(4));
      uint64_t next = base;
      for (size_t r = 0; r < traf.count("trun"); ++r) {
        const iso::Box& trun = *traf.child("trun", r);
        const uint32_t flags = trun.flags();
        const uint32_t count = trun.u32(4);
        uint64_t pos = 8;
        auto take = [&](uint32_t flag, uint32_t* value) {
          if (!(flags & flag)) return;
          *value = trun.u32(pos);
          pos += 4;
        };
        uint64_t offset = next;
        uint32_t data_offset = 0;
        take(0x001, &data_offset);
        if (flags & 0x001) offset = base + static_cast<int64_t>(static_cast<int32_t>(data_offset));
        uint32_t first_flags = d.flags;
        take(0x004, &first_flags);
        track.runs.push_back(
            {static_cast<uint32_t>(track.samples.size()), count, (flags & 0x200) != 0});
        for (uint32_t i = 0; i < count; ++i) {
          TrackSample s;
          s.delta = d.duration;
          s.size = d.size;
          uint32_t sample_flags = i == 0 ? first_flags : d.flags;
          uint32_t composition = 0;
          take(0x100, &s.delta);
          take(0x200, &s.size);
          take(0x400, &sample_flags);
          take(0x800, &composition);
          s.composition = static_cast<int32_t>(composition);
          s.sync = is_sync(sample_flags);
          s.offset = offset;
          offset += s.size;
          track.samples.push_back(s);
        }
        next = offset;
      }
    }
  }
  return out;
}
