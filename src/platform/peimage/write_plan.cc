#include "write_plan.h"

#include <algorithm>
#include <cstring>

namespace peimage {

WritePlan::WritePlan(ImageIo& io) : io_(io), touched_((io.Size() / kPageSize + 64) / 64, 0) {}

Status WritePlan::Load() {
  uint64_t pages = (io_.Size() + kPageSize - 1) / kPageSize;
  auto touched = [&](uint64_t page) { return (touched_[page / 64] >> (page % 64)) & 1; };
  for (uint64_t page = 0; page < pages; ++page) {
    if (!touched(page)) {
      if (touched_[page / 64] >> (page % 64) == 0) page |= 63;  // the rest of this word is clear
      continue;
    }
    uint64_t first = page;
    while (page + 1 < pages && touched(page + 1)) ++page;
    Run run;
    run.start = first * kPageSize;
    run.length = std::min(io_.Size(), (page + 1) * kPageSize) - run.start;
    size_t length = static_cast<size_t>(run.length);
    run.original.reset(new uint8_t[length]);
    if (Status read = io_.Read(run.start, run.original.get(), length); !read.ok()) return read;
    run.planned.reset(new uint8_t[length]);
    std::memcpy(run.planned.get(), run.original.get(), length);
    run.claimed.assign(static_cast<size_t>((run.length + 63) / 64), 0);
    runs_.push_back(std::move(run));
  }
  touched_.clear();
  touched_.shrink_to_fit();
  return {};
}

WritePlan::Run* WritePlan::Find(uint64_t offset) {
  auto after = std::upper_bound(runs_.begin(), runs_.end(), offset,
                                [](uint64_t value, const Run& run) { return value < run.start; });
  last_run_ = static_cast<size_t>(after - runs_.begin()) - 1;
  return &runs_[last_run_];
}

bool WritePlan::ClaimTarget(uint64_t offset, unsigned width) {
  Span span = SpanAt(offset);
  return Claim(span.claimed, span.bit, width);
}

Status WritePlan::WriteRuns(bool planned, size_t& written_up_to) {
  for (size_t i = 0; i < written_up_to; ++i) {
    const Run& run = runs_[i];
    const uint8_t* bytes = planned ? run.planned.get() : run.original.get();
    if (Status write = io_.Write(run.start, bytes, static_cast<size_t>(run.length)); !write.ok()) {
      written_up_to = i + 1;  // runs that may have been touched
      return write;
    }
  }
  return {};
}

Status WritePlan::Commit() {
  size_t written = runs_.size();
  Status status = WriteRuns(true, written);
  if (status.ok()) return status;
  // The failed run may have been written in part, so it is restored along
  // with every run before it.
  if (Status undo = WriteRuns(false, written); !undo.ok()) {
    return MakeError(ErrorCode::kPartiallyWritten, "%s; restoring the original bytes failed too: %s",
                     status.error().message.c_str(), undo.error().message.c_str());
  }
  return status;
}

}  // namespace peimage
