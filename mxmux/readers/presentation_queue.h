// Presentation order for the Annex-B readers. Pictures arrive in decode order
// with their picture order counts; they pass through a small reorder window,
// as in a decoder's picture buffer, and leave it in order of increasing count,
// so that every picture learns its presentation index a bounded number of
// pictures after it was read. The largest distance between a picture's decode
// and presentation index is the stream's reorder depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mxmux {

// The widest reorder window; also the deepest reordering a stream may state.
constexpr int kMaxReorderWindow = 16;

// What a picture's first slice says about its place in presentation order.
struct PictureOrder {
  int64_t poc = 0;
  bool key = false;
  bool poc_reset = false;  // presentation order restarts here
};

// One access unit: its bytes in the input and its place in both orders.
struct Picture {
  uint64_t start = 0, end = 0;  // file offsets
  bool rewrite = false;         // not every unit starts with a 4-byte start code
  size_t unit_count = 0;        // when rewrite: its units, whose places the reader keeps
  PictureOrder order;
  int64_t decode_index = 0;
  int64_t present_index = -1;  // -1 while it waits in the window
};

// What the stream's parameter sets tell about its reordering.
struct ReorderHint {
  bool depth_known = false;
  int depth = 0;
  int window = kMaxReorderWindow;
};

// Pictures in decode order, each waiting until its presentation index is
// known and the pictures before it have left.
class PresentationQueue {
 public:
  PresentationQueue();

  // Takes a picture (in decode order) and gives it its decode index.
  void push(Picture picture);
  // Applies what the stream says, once its first picture is in.
  void apply(const ReorderHint& hint);
  // After the last picture: every waiting picture gets its index, and the
  // depth is settled from what was seen when the stream did not state it.
  void finish_input();
  // Settles an unstated depth once enough pictures have been seen.
  void settle_when_seen_enough();

  bool empty() const { return count_ == 0; }
  // True when the first picture may leave.
  bool front_ready() const { return count_ > 0 && depth_settled_ && at(0).present_index >= 0; }
  const Picture& front() const { return at(0); }
  Picture pop();
  int depth() const { return depth_; }

 private:
  void bump();
  void settle_depth();
  Picture& at(size_t i) { return pending_[(head_ + i) % pending_.size()]; }
  const Picture& at(size_t i) const { return pending_[(head_ + i) % pending_.size()]; }

  int window_size_ = kMaxReorderWindow;  // until the first picture tells more
  bool depth_settled_ = false;
  int depth_ = 0;
  std::vector<Picture> pending_;  // ring, decode order
  size_t head_ = 0, count_ = 0;
  std::vector<int64_t> window_;  // decode indexes still waiting for their presentation index
  int64_t decoded_ = 0, presented_ = 0;
};

}  // namespace mxmux
