#include "mxmux/readers/presentation_queue.h"

#include <algorithm>

namespace mxmux {

PresentationQueue::PresentationQueue() {
  pending_.resize(64);
  window_.reserve(kMaxReorderWindow + 2);
}

void PresentationQueue::push(Picture picture) {
  picture.decode_index = decoded_++;
  if (picture.order.poc_reset) {
    while (!window_.empty()) bump();
  }
  if (count_ == pending_.size()) {
    std::vector<Picture> grown(pending_.size() * 2);
    for (size_t i = 0; i < count_; ++i) grown[i] = at(i);
    pending_.swap(grown);
    head_ = 0;
  }
  at(count_++) = picture;
  window_.push_back(picture.decode_index);
  while (static_cast<int>(window_.size()) > window_size_) bump();
}

void PresentationQueue::apply(const ReorderHint& hint) {
  if (hint.depth_known) {
    depth_ = hint.depth;
    depth_settled_ = true;
  }
  window_size_ = hint.window;
  // The window used for the first picture was the widest; apply the real one.
  while (static_cast<int>(window_.size()) > window_size_) bump();
}

void PresentationQueue::finish_input() {
  while (!window_.empty()) bump();
  if (!depth_settled_) settle_depth();
}

void PresentationQueue::settle_when_seen_enough() {
  if (!depth_settled_ && decoded_ >= 3 * kMaxReorderWindow) settle_depth();
}

Picture PresentationQueue::pop() {
  Picture picture = at(0);
  head_ = (head_ + 1) % pending_.size();
  --count_;
  return picture;
}

// Gives the waiting picture with the lowest order count its presentation index.
void PresentationQueue::bump() {
  int64_t first_decode = at(0).decode_index;
  size_t best = 0;
  for (size_t i = 1; i < window_.size(); ++i) {
    const Picture& a = at(static_cast<size_t>(window_[i] - first_decode));
    const Picture& b = at(static_cast<size_t>(window_[best] - first_decode));
    if (a.order.poc < b.order.poc) best = i;
  }
  at(static_cast<size_t>(window_[best] - first_decode)).present_index = presented_++;
  window_.erase(window_.begin() + static_cast<std::ptrdiff_t>(best));
}

void PresentationQueue::settle_depth() {
  int64_t depth = 0;
  for (size_t i = 0; i < count_; ++i) {
    const Picture& picture = at(i);
    if (picture.present_index >= 0)
      depth = std::max(depth, picture.decode_index - picture.present_index);
  }
  depth_ = static_cast<int>(std::min<int64_t>(depth, kMaxReorderWindow));
  depth_settled_ = true;
}

}  // namespace mxmux
