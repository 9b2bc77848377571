#include "restoring_writes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace peimage {

void UnrestoredRanges::Add(uint64_t first, uint64_t last) {
  lowest_ = std::min(lowest_, first);
  highest_ = std::max(highest_, last);
  for (Range& range : shown_) {
    if (first <= range.last && range.first <= last) {
      range.first = std::min(range.first, first);
      range.last = std::max(range.last, last);
      return;
    }
  }
  if (shown_.size() < kShown) {
    shown_.push_back(Range{first, last});
  } else {
    ++more_;
  }
}

std::string UnrestoredRanges::Describe() {
  std::sort(shown_.begin(), shown_.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
  std::string ranges;
  char text[96];
  for (const Range& range : shown_) {
    std::snprintf(text, sizeof text, "%s0x%llX-0x%llX", ranges.empty() ? "" : ", ",
                  static_cast<unsigned long long>(range.first), static_cast<unsigned long long>(range.last - 1));
    ranges += text;
  }
  if (more_ != 0) {
    std::snprintf(text, sizeof text, " and %zu more between 0x%llX and 0x%llX", more_,
                  static_cast<unsigned long long>(lowest_), static_cast<unsigned long long>(highest_ - 1));
    ranges += text;
  }
  return ranges;
}

void RestoringWrites::Write(uint64_t offset, const uint8_t* original, size_t length) {
  if (length == 0) return;
  Status write = io_.Write(offset, original, length);
  if (!write.ok()) write = io_.Write(offset, original, length);
  if (write.ok()) return;
  last_failure_ = write.error();
  Keep(offset, original, length);
}

void RestoringWrites::Keep(uint64_t offset, const uint8_t* original, size_t length) {
  size_t held = kept_bytes_.size() + sizeof(Kept) * kept_.size();
  if (held > kKeptCapacity || length + sizeof(Kept) > kKeptCapacity - held) return left_.Add(offset, offset + length);
  kept_.push_back(Kept{offset, kept_bytes_.size(), length});
  kept_bytes_.insert(kept_bytes_.end(), original, original + length);
}

void RestoringWrites::PutBackChanged(uint64_t offset, const uint8_t* original, const uint8_t* written, size_t length) {
  uint8_t file[4096];
  for (size_t done = 0; done < length; done += sizeof file) {
    size_t n = std::min(sizeof file, length - done);
    const uint8_t* want = original + done;
    const uint8_t* was = written + done;
    if (std::memcmp(want, was, n) == 0) continue;
    bool read = io_.Read(offset + done, file, n).ok();
    auto changed = [&](size_t i) { return want[i] != was[i] && (!read || file[i] != want[i]); };
    for (size_t i = 0; i < n;) {
      if (!changed(i)) {
        ++i;
        continue;
      }
      size_t end = i + 1;
      while (end < n && changed(end)) ++end;
      Write(offset + done + i, want + i, end - i);
      i = end;
    }
  }
}

void RestoringWrites::GiveUp(uint64_t first, uint64_t last, const Error& why) {
  last_failure_ = why;
  left_.Add(first, last);
}

// One round of the kept writes; true when one of them went through.
bool RestoringWrites::RetryKept() {
  bool more = false;
  size_t failed = 0;
  for (const Kept& kept : kept_) {
    Status write = io_.Write(kept.offset, kept_bytes_.data() + kept.at, kept.length);
    more = more || write.ok();
    if (write.ok()) continue;
    last_failure_ = write.error();
    kept_[failed++] = kept;
  }
  kept_.resize(failed);
  return more;
}

Status RestoringWrites::Finish(const Error& cause) {
  while (!kept_.empty() && RetryKept()) {
  }
  for (const Kept& kept : kept_) left_.Add(kept.offset, kept.offset + kept.length);
  kept_.clear();
  kept_bytes_.clear();
  if (left_.empty()) return cause;
  return MakeError(ErrorCode::kPartiallyWritten, "%s; file bytes %s could not be put back or checked: %s",
                   cause.message.c_str(), left_.Describe().c_str(), last_failure_.message.c_str());
}

}  // namespace peimage
