#include "window_plan.h"

#include <algorithm>

namespace peimage {

size_t SweepSpans::FirstReaching(uint64_t offset) const {
  if (offset < head_.last()) return 0;
  uint64_t first = offset > RelocationPiece::kMaxLength ? offset - RelocationPiece::kMaxLength : 0;
  auto at = std::lower_bound(pieces_.begin(), pieces_.end(), first,
                             [](const RelocationPiece& piece, uint64_t value) { return piece.first() < value; });
  return 1 + static_cast<size_t>(at - pieces_.begin());
}

WindowPlan PlanWindow(const SweepSpans& spans, size_t from, const Window& window, const WindowBounds& bounds) {
  WindowPlan plan;
  plan.begin = window.empty() ? spans.first(from) : window.begin();
  plan.end = std::max(window.empty() ? 0 : window.end(), spans.last(from));
  size_t j = from + 1;
  for (; j < spans.size() && spans.first(j) < bounds.limit; ++j) {
    uint64_t last = std::max(plan.end, spans.last(j));
    if (spans.first(j) > plan.end + bounds.gap || last - plan.begin > bounds.capacity) break;
    plan.end = last;
  }
  plan.end = std::min(plan.end, bounds.limit);
  plan.end_span = j;
  const bool more = j < spans.size() && spans.first(j) < bounds.limit;
  plan.release = more ? std::min(plan.end, spans.first(j)) : plan.end;
  return plan;
}

}  // namespace peimage
