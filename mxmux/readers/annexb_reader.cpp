// H.264 and HEVC Annex-B readers: pictures assembled from the units the unit
// finder (annexb_units.h) delimits and the codec's syntax (annexb_syntax.h)
// explains, and timed in presentation order (presentation_queue.h).
//
// The stream is cut into access units at the usual boundaries (a parameter
// set, delimiter or SEI after a picture's slices, or the first slice of a new
// picture). Decode times are frame index × frame duration and presentation
// times (presentation index + reorder depth) × frame duration, which keeps
// every composition offset at or above zero.
//
// Pictures waiting for their presentation index stay in the input window, so
// the common case hands the plug-in the input bytes themselves. An access
// unit whose units do not all start with 4-byte start codes (the plug-in
// splits on those only) is rebuilt when it leaves: in place, where the bytes
// in front of it are free by then (the pictures before it have left), and in
// a scratch buffer only when it needs more bytes than those.
#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mxmux/readers/annexb_syntax.h"
#include "mxmux/readers/annexb_units.h"
#include "mxmux/readers/presentation_queue.h"
#include "mxmux/readers/reader.h"

namespace mxmux {
namespace {

class AnnexBReader : public Reader {
 public:
  AnnexBReader(ByteSource& src, std::unique_ptr<AnnexBSyntax> syntax)
      : Reader(src), units_(src), syntax_(std::move(syntax)) {}

  bool open(const ReaderOptions& options, Error& error) override;
  int next(Frame& frame, Error& error) override;

 private:
  // 1: a picture went into the queue; 0: the stream ended; -1: error.
  int read_picture(Error& error);
  void add_to_picture(const NalUnit& unit);
  void close_picture();
  // The picture's bytes as the plug-in takes them, each unit behind a 4-byte
  // start code.
  void hand_over(const Picture& picture, Frame& frame);
  std::span<const NalUnit> take_waiting_units(size_t count);
  void release_consumed();

  AnnexBUnits units_;
  std::unique_ptr<AnnexBSyntax> syntax_;
  PresentationQueue queue_;
  FrameClock clock_;

  // The picture being assembled.
  bool picture_open_ = false, picture_has_slices_ = false;
  Picture picture_;
  uint64_t prev_payload_end_ = 0;  // of the last unit read

  // The units of the picture being assembled, and those of the pictures in
  // the queue that are to be rebuilt, in decode order from waiting_head_ on.
  std::vector<NalUnit> picture_units_;
  std::vector<NalUnit> waiting_units_;
  size_t waiting_head_ = 0;

  bool input_done_ = false;
  std::vector<uint8_t> scratch_;
};

bool AnnexBReader::open(const ReaderOptions& options, Error& error) {
  params_.codec = syntax_->codec();
  uint64_t first = 0;
  if (!units_.start(first, error)) return false;
  if (first == AnnexBUnits::kNoStartCode || first > 64) {
    error = src_.fail(
        0, std::string("not ") + syntax_->kind() + " Annex-B stream (no start code at the start)");
    return false;
  }
  // The first picture settles the parameter sets and the picture size.
  int r = read_picture(error);
  if (r < 0) return false;
  if (r == 0) {
    error = src_.fail(src_.pos(), std::string("no picture in ") + syntax_->kind() + " stream");
    return false;
  }
  ReorderHint hint;
  if (const char* problem = syntax_->describe(params_, hint)) {
    error = src_.fail(0, problem);
    return false;
  }
  queue_.apply(hint);
  params_.reorder_depth = queue_.depth();
  clock_ = settle_frame_rate(options, params_.stream_fps_num, params_.stream_fps_den, params_);
  return true;
}

int AnnexBReader::read_picture(Error& error) {
  NalUnit unit;
  while (units_.next(unit, error)) {
    UnitRole role;
    const char* problem = syntax_->read_unit(
        units_.at(unit.payload_start), units_.at(unit.payload_end), picture_has_slices_, role);
    if (problem) {
      error = src_.fail(unit.payload_start, problem);
      return -1;
    }
    if (role.starts_picture) close_picture();
    add_to_picture(unit);
    if (role.slice && !picture_has_slices_) {
      syntax_->begin_picture();
      picture_has_slices_ = true;
    }
    if (role.starts_picture) return 1;
  }
  if (error.set()) return -1;
  if (picture_open_ && picture_has_slices_) {
    close_picture();
    return 1;
  }
  return 0;
}

void AnnexBReader::add_to_picture(const NalUnit& unit) {
  if (!picture_open_) {
    picture_ = Picture{};
    picture_open_ = true;
    picture_.start = unit.unit_start;
    picture_.rewrite = !unit.long_start_code;
    picture_units_.clear();
  } else if (!unit.long_start_code || unit.unit_start != prev_payload_end_) {
    picture_.rewrite = true;
  }
  picture_units_.push_back(unit);
  prev_payload_end_ = unit.payload_end;
}

void AnnexBReader::close_picture() {
  picture_.end = prev_payload_end_;
  picture_.order = syntax_->order_picture();
  if (picture_.rewrite) {
    picture_.unit_count = picture_units_.size();
    waiting_units_.insert(waiting_units_.end(), picture_units_.begin(), picture_units_.end());
  }
  queue_.push(picture_);
  picture_open_ = picture_has_slices_ = false;
}

std::span<const NalUnit> AnnexBReader::take_waiting_units(size_t count) {
  if (waiting_head_ > 0 && waiting_head_ * 2 >= waiting_units_.size()) {
    // Let go of the units of pictures that have left, all at once now and then.
    waiting_units_.erase(waiting_units_.begin(),
                         waiting_units_.begin() + static_cast<ptrdiff_t>(waiting_head_));
    waiting_head_ = 0;
  }
  std::span<const NalUnit> units(waiting_units_.data() + waiting_head_, count);
  waiting_head_ += count;
  return units;
}

void AnnexBReader::hand_over(const Picture& picture, Frame& frame) {
  if (!picture.rewrite) {
    frame.size = static_cast<size_t>(picture.end - picture.start);
    frame.data = src_.writable(picture.start);
    return;
  }
  std::span<const NalUnit> units = take_waiting_units(picture.unit_count);
  // Free in front of the picture: what the window still holds of the
  // pictures that left before it, and the source's headroom.
  const size_t room = static_cast<size_t>(picture.start - src_.pos()) + ByteSource::kHeadroom;
  RebuiltPicture rebuilt =
      rebuild_with_long_start_codes(src_.writable(picture.start), picture.start, room, units);
  if (rebuilt.data == nullptr) {
    copy_with_long_start_codes(units_.at(picture.start), picture.start, units, scratch_);
    rebuilt = {scratch_.data(), scratch_.size()};
  }
  frame.data = rebuilt.data;
  frame.size = rebuilt.size;
}

void AnnexBReader::release_consumed() {
  uint64_t keep = units_.unread_from();
  if (!queue_.empty()) keep = std::min(keep, queue_.front().start);
  if (picture_open_) keep = std::min(keep, picture_.start);
  if (keep > src_.pos() + 1) src_.consume(static_cast<size_t>(keep - 1 - src_.pos()));
}

int AnnexBReader::next(Frame& frame, Error& error) {
  while (!queue_.front_ready()) {
    if (input_done_) {
      if (queue_.empty()) return 0;
      queue_.finish_input();
      params_.reorder_depth = queue_.depth();
      continue;
    }
    int r = read_picture(error);
    if (r < 0) return -1;
    if (r == 0) input_done_ = true;
    queue_.settle_when_seen_enough();
    params_.reorder_depth = queue_.depth();
  }
  Picture picture = queue_.pop();
  int64_t offset_frames = picture.present_index + queue_.depth() - picture.decode_index;
  if (offset_frames < 0) {
    // The stream reorders deeper than it said: keep time monotonic.
    offset_frames = 0;
  }
  hand_over(picture, frame);
  frame.dts = clock_.ticks(picture.decode_index);
  frame.pts = frame.dts + clock_.span_up(offset_frames);
  frame.key = picture.order.key;
  frame.offset = picture.start;
  frame.samples = 1;
  release_consumed();
  return 1;
}

}  // namespace

std::unique_ptr<Reader> make_h264_reader(ByteSource& src) {
  return std::make_unique<AnnexBReader>(src, make_h264_syntax());
}
std::unique_ptr<Reader> make_hevc_reader(ByteSource& src) {
  return std::make_unique<AnnexBReader>(src, make_hevc_syntax());
}

}  // namespace mxmux
