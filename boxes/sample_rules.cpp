// The rules shared by the sample tables and the movie fragments.
#include "boxes/sample_rules.h"

namespace {

int64_t difference(int64_t a, int64_t b) {
  int64_t d;
  return __builtin_sub_overflow(a, b, &d) ? 0 : d;
}

int64_t saturating_add(int64_t a, int64_t b) {
  int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? INT64_MAX : INT64_MIN;
}

}  // namespace

RecordWalk::RecordWalk(const MuxTrack* t, uint32_t first)
    : block_(t->block_first), index_(first), end_(t->entry_count) {
  for (uint32_t skipped = 0; block_ != nullptr && first - skipped >= kSampleBlockRecords;
       skipped += kSampleBlockRecords) {
    block_ = block_->next;
  }
  slot_ = first % kSampleBlockRecords;
}

int64_t track_time(const MuxTrack* t, int64_t x) {
  double units = static_cast<double>(x) * t->timescale / 10000000.0;
  if (units >= 9223372036854775807.0) return INT64_MAX;
  if (units <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(units);
}

bool has_constant_stts(const MuxTrack* t) {
  return t->timestamp_durations == 0 && t->kind_copy != kKindTimecode;
}

int64_t short_last_sample(const MuxTrack* t) {
  const auto count = static_cast<int64_t>(t->sample_count);
  const auto nominal = static_cast<int64_t>(t->sample_duration);
  int64_t before_last;
  if (count < 1 || nominal < 1 || __builtin_mul_overflow(count - 1, nominal, &before_last))
    return 0;
  int64_t last = difference(static_cast<int64_t>(t->duration), before_last);
  return last >= 1 && last < nominal ? last : 0;
}

namespace {

// The decode time of the track's first record: the origin of every other.
int64_t first_record_time(const MuxTrack* t) {
  const SampleRecord* first = RecordWalk(t).next();
  return first ? track_time(t, first->dts) : 0;
}

}  // namespace

int64_t delta_to(const MuxTrack* t, int64_t time, int64_t next_dts) {
  int64_t reached = difference(track_time(t, next_dts), first_record_time(t));
  return reached > time ? reached - time : 1;
}

DecodeTimes::DecodeTimes(const MuxTrack* t) : DecodeTimes(t, 0, 0) {}

DecodeTimes::DecodeTimes(const MuxTrack* t, uint32_t first, int64_t time)
    : t_(t), walk_(t, first), next_(walk_.next()), first_(first_record_time(t)), time_(time) {}

const SampleRecord* DecodeTimes::next(int64_t* time, int64_t* delta, const int64_t* next_dts) {
  const SampleRecord* r = next_;
  if (!r) return nullptr;
  next_ = walk_.next();
  const auto nominal = static_cast<int64_t>(t_->sample_duration);
  if (has_constant_stts(t_)) {
    *delta = nominal;
  } else if (next_ || next_dts) {
    int64_t reached = difference(track_time(t_, next_ ? next_->dts : *next_dts), first_);
    *delta = reached > time_ ? reached - time_ : 1;
  } else {
    int64_t rest = difference(static_cast<int64_t>(t_->duration), time_);
    *delta = rest > 0 ? rest : nominal;
  }
  *time = time_;
  time_ = saturating_add(time_, *delta);
  return r;
}

bool SizeUniformity::constant(const MuxTrack* t) const {
  return uniform && first != 0 && t->kind_copy != kKindTimecode;
}

bool has_composition_offsets(const MuxTrack* t) {
  if (t->kind != kKindVideo) return false;
  return t->codec_id == kCodecMpeg4Visual || t->codec_id == kCodecH264 || t->codec_id == kCodecHevc;
}
