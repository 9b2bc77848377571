#ifndef DORVANE_PEIMAGE_WINDOW_PLAN_H
#define DORVANE_PEIMAGE_WINDOW_PLAN_H

#include <cstddef>
#include <cstdint>

#include "header_fields.h"
#include "relocations.h"
#include "window.h"

namespace peimage {

/// What a sweep visits, in file order: span 0 is the header fields, which
/// lie before every section's file data; span i > 0 is piece i - 1.
class SweepSpans {
 public:
  SweepSpans(const HeaderFields& head, const RelocationPieces& pieces) : head_(head), pieces_(pieces) {}

  size_t size() const { return pieces_.size() + 1; }
  bool is_header(size_t i) const { return i == 0; }
  const RelocationPiece& piece(size_t i) const { return pieces_[i - 1]; }
  uint64_t first(size_t i) const { return is_header(i) ? head_.first() : piece(i).first(); }
  uint64_t last(size_t i) const { return is_header(i) ? head_.last() : piece(i).last(); }

  /// The first span whose bytes can reach `offset` or past it: a piece ends
  /// at most RelocationPiece::kMaxLength after its first byte.
  size_t FirstReaching(uint64_t offset) const;

 private:
  const HeaderFields& head_;
  const RelocationPieces& pieces_;
};

/// How far the windows of a sweep reach.
struct WindowBounds {
  uint64_t limit = 0;     // spans that start here or later are left alone
  uint64_t gap = 0;       // spans at most this far apart share a window
  uint64_t capacity = 0;  // the window's size
};

/// One window of a sweep: the spans [from, end_span) patched in the file
/// bytes [begin, end), of which those before `release` are final then.
struct WindowPlan {
  size_t end_span = 0;
  uint64_t begin = 0;
  uint64_t end = 0;
  uint64_t release = 0;
};

/// The next window of a sweep from span `from`: what `window` holds already
/// and every span that starts near its end and fits, within `bounds`. What
/// lies before the next span is final; what it shares is kept for it.
WindowPlan PlanWindow(const SweepSpans& spans, size_t from, const Window& window, const WindowBounds& bounds);

}  // namespace peimage

#endif
