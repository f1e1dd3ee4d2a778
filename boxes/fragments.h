// Writing a file as movie fragments, so that a file cut short at any moment
// still plays up to its last complete fragment, and turning it into a plain
// file at close.
//
// While writing, the file is ftyp, then a reserved head, then one fragment
// after the other. Each fragment is a reserved room followed by a media-data
// box into which the samples go straight through, as in a plain file. Until a
// fragment is complete its room is a `free` box and its media data an open
// `mdat` (size 0: up to the end of the file), so a reader sees padding, never
// a broken box. When the fragment closes, its `moof` is written at the end of
// its room (the movie head, `moov` with `mvex`, goes in front of the first
// one), the `mdat` size is written, and then one small write of the room's
// size field shrinks the `free` box to the room's start, which makes the
// `moof` (and the first time the `moov`) visible at once:
//
//   ftyp free(16-byte header) [moov moof]  mdat ...  free moof  mdat ...
//
// Every moof describes the samples of its mdat with their final durations,
// sizes, sync flags and composition offsets. A chunk of the finished file is
// a run: samples of one track that lie back to back in one mdat.
//
// At close the last fragment is closed, then (each step synced to the
// storage before the next, so that a crash between steps leaves a file that
// plays in full):
//   1. the complete movie box is appended; readers still take the first one;
//   2. the head's `free` box grows over everything up to the appended movie
//      box (one 8-byte write): readers now see ftyp, free, moov;
//   3. every moof is renamed `free` (hidden inside the head's box);
//   4. the head's `free` box shrinks back to its own room:
//   ftyp free moov-as-free(...) ... mdat free mdat ... moov
// where the first movie box and every moof are now `free` boxes.
#pragma once

#include <cstdint>

#include "output/mux.h"

// Hands the codec configuration to the tracks; called before a movie head is
// built.
using ConfigureTracks = void (*)(void* owner, MuxContext* c);

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzz builds: fragments close after a few samples' bytes and rooms start
// small, so that every session closes several and outgrows its rooms.
constexpr uint64_t kFragmentMaxBytes = 4096;
constexpr uint32_t kFragmentMinRoom = 256;
#else
constexpr uint64_t kFragmentMaxBytes = 32ull << 20;
constexpr uint32_t kFragmentMinRoom = 1024;
#endif

struct FragmentLimits {
  // A fragment closes at the driving track's first sync sample (for audio:
  // any sample) once it spans this much of that track's time...
  int64_t duration_ms = 1000;
  // ...or when its media data has reached this many bytes...
  uint64_t max_bytes = kFragmentMaxBytes;
  // ...or when its moof would no longer fit the room reserved for it. The
  // room starts at this size and then follows the size of the moofs.
  uint32_t min_room = kFragmentMinRoom;
};

// Starts writing the file as fragments (before its first sample). False when
// the state cannot be allocated; the file is then written plainly.
bool fragments_begin(MuxContext* c, ConfigureTracks configure, void* owner,
                     const FragmentLimits& limits = {});

constexpr int kFinalisingSteps = 4;

struct FragmentSummary {
  uint32_t committed = 0;  // fragments made visible while writing
  uint32_t hidden = 0;     // fragments whose moof did not fit their room
  bool head_too_large = false;
};

// At close: closes the last fragment, then takes the finalising steps (all
// of them unless told fewer: the tests stop in between). With an I/O error
// already noted nothing more is written, and the file keeps the fragments
// written before it. A file written as fragments whose first sample never
// came is finished as a plain file (a movie box behind ftyp).
FragmentSummary fragments_finish(MuxContext* c, int steps = kFinalisingSteps);

// What the fragment writer did so far.
FragmentSummary fragments_summary(const MuxContext* c);

// The box writers of the fragments.
void write_movie_head(MuxContext* c);
void write_mvex(MuxContext* c);
void write_trex(MuxContext* c, MuxTrack* t);
