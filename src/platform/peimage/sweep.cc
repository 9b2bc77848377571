#include "sweep.h"

#include <optional>
#include <vector>

#include "checksum.h"
#include "header_fields.h"
#include "restoring_writes.h"
#include "window.h"
#include "window_plan.h"

namespace peimage {

namespace {

// Pieces closer than this share a window, read and written with one call. A
// gap of untouched pages is left alone, unless the checksum reads it anyway:
// then writing it back unchanged costs less than a call per piece.
constexpr uint64_t kJoinGap = 4096;
constexpr uint64_t kWholeFile = UINT64_MAX;

Error Changed() {
  return MakeError(ErrorCode::kIoError, "the relocation table changed while the image was being rebased");
}

// Patches the `shape.count` targets of a uniform block, the first at `at_low`.
void PatchUniform(uint8_t* at_low, const UniformBlock& shape, const uint8_t* entries, Delta delta) {
  WithRelocationType(shape.type, [&](auto type) {
    for (size_t i = 0; i < shape.count; ++i) {
      ApplyRelocation<type>(at_low + ((LoadLe<uint16_t>(entries + 2 * i) & 0xFFFu) - shape.low), delta);
    }
  });
}

// Changes the spans held in the window: forward, the delta to every target
// and the header fields' new values; back, the negated delta to the targets
// that lie wholly in a range, and the header fields' original bytes.
class SpanPatcher {
 public:
  SpanPatcher(const CheckedRebase& rebase, const SweepSpans& spans, HeaderFields& head, Window& window)
      : rebase_(rebase), spans_(spans), head_(head), window_(window) {}

  Status Forward(size_t i) {
    if (!spans_.is_header(i)) return PatchPiece(spans_.piece(i), rebase_.delta, 0, kWholeFile);
    head_.Rewrite(window_.At(head_.first()));
    return {};
  }

  Status Back(size_t i, uint64_t lo, uint64_t hi) {
    if (!spans_.is_header(i)) return PatchPiece(spans_.piece(i), rebase_.delta.Negated(), lo, hi);
    if (head_.first() >= lo && head_.last() <= hi) head_.Restore(window_.At(head_.first()));
    return {};
  }

 private:
  // Errors: kIoError (a failed read, or Changed when the table no longer
  // reads as it was checked).
  Status PatchPiece(const RelocationPiece& piece, const Delta& delta, uint64_t lo, uint64_t hi) {
    RelocationTable& table = *rebase_.table;
    Result<Block> read = table.ReadBlock(piece.block());
    if (!read.ok()) return read.error().code == ErrorCode::kIoError ? Status(read.error()) : Changed();
    const Block& block = read.value();
    const MappedSection& section = rebase_.sections.section(piece.section());
    // A block that cannot have changed since it was found uniform needs no
    // second look at every entry.
    std::optional<UniformBlock> shape = piece.uniform() && table.held_whole()
                                            ? KnownUniform(block.entries, block.entry_count())
                                            : AsUniform(block.entries, block.entry_count());
    if (shape && shape->count != 0 && piece.first() >= lo && piece.last() <= hi) {
      uint64_t rva = uint64_t{block.page_rva} + shape->low;
      uint32_t length = shape->high - shape->low;
      if (length == piece.length() && section.Holds(rva, length) && section.FileOffsetOf(rva) == piece.first()) {
        PatchUniform(window_.At(piece.first()), *shape, block.entries, delta);
        return {};
      }
    }
    Status each = ForEachTargetIn(rebase_.sections, piece, block, Changed, [&](const Relocation& r, uint64_t offset) {
      if (offset < lo || offset + RelocationWidth(r.type) > hi) return Status();
      WithRelocationType(r.type, [&](auto type) { ApplyRelocation<type>(window_.At(offset), delta, r.high_adj_low); });
      return Status();
    });
    return each.ok() ? each : Changed();
  }

  const CheckedRebase& rebase_;
  const SweepSpans& spans_;
  HeaderFields& head_;
  Window& window_;
};

// What the forward sweep and the undo share.
struct SweepParts {
  ImageIo& io;
  Window& window;
  const SweepSpans& spans;
  HeaderFields& head;
  SpanPatcher& patcher;
  RestoringWrites& restoring;
};

// Puts back what the forward sweep wrote before `limit`, window by window:
// each is read back, has its patches undone and is written again; one that
// cannot be read or undone is given up, and the sweep goes on.
void Undo(SweepParts& parts, uint64_t limit) {
  Window& window = parts.window;
  window.Clear();
  const WindowBounds bounds{limit, kJoinGap, window.capacity()};
  for (size_t k = 0; k < parts.spans.size() && parts.spans.first(k) < limit;) {
    WindowPlan plan = PlanWindow(parts.spans, k, window, bounds);
    Status s = window.empty() ? window.Start(plan.begin, plan.end) : window.ExtendTo(plan.end);
    for (size_t i = k; s.ok() && i < plan.end_span; ++i) s = parts.patcher.Back(i, 0, limit);
    if (s.ok()) {
      parts.restoring.Write(window.begin(), window.At(window.begin()), static_cast<size_t>(plan.release - window.begin()));
      window.DropBefore(plan.release);
    } else {
      parts.restoring.GiveUp(plan.begin, plan.end, s.error());
      window.Clear();
    }
    k = plan.end_span;
  }
}

// The sweep front to back: each window read, patched, summed when the
// checksum has to be recomputed, and written; the header fields go with the
// first window or, with a checksum, last.
class ForwardSweep {
 public:
  ForwardSweep(SweepParts& parts, const ImageHeaders& headers) : parts_(parts) {
    if (headers.checksum != 0) checksum_.emplace(headers.checksum_offset);
  }

  Status Run() {
    Window& window = parts_.window;
    const WindowBounds bounds{kWholeFile, checksum_ ? window.capacity() : kJoinGap, window.capacity()};
    for (size_t k = 0; k < parts_.spans.size();) {
      WindowPlan plan = PlanWindow(parts_.spans, k, window, bounds);
      Status s = window.empty() ? StartAt(plan.begin, plan.end) : window.ExtendTo(plan.end);
      for (size_t i = k; s.ok() && i < plan.end_span; ++i) s = parts_.patcher.Forward(i);
      if (s.ok()) s = Release(plan.release);
      if (!s.ok()) return s;
      k = plan.end_span;
    }
    if (Status s = SumTo(parts_.io.Size()); !s.ok()) return s;
    return checksum_ ? WriteHeaderFieldsLast() : Status();
  }

  // Every target before this holds its new value in the file, and nothing
  // at or after it is left written (a window whose write failed is put back
  // apart): what the undo has to restore.
  uint64_t written_to() const { return written_to_; }

 private:
  // Holds [begin, end) in the empty window. With a checksum, the bytes
  // before it are summed first, with the same read when they fit.
  Status StartAt(uint64_t begin, uint64_t end) {
    Window& window = parts_.window;
    const uint64_t summed = checksum_ ? checksum_->position() : 0;
    const uint64_t first = checksum_ && end - summed <= window.capacity() ? summed : begin;
    if (Status s = SumTo(first); !s.ok()) return s;
    if (Status s = window.Start(first, end); !s.ok()) return s;
    if (first < begin) {
      checksum_->Add(window.At(first), static_cast<size_t>(begin - first));
      window.Skip(begin);
    }
    return {};
  }

  // Sums and writes the held bytes before `to`, and drops them. With a
  // checksum to wait for, the header fields are kept back, to go last.
  Status Release(uint64_t to) {
    Window& window = parts_.window;
    uint64_t from = window.begin();
    if (checksum_) {
      checksum_->Add(window.At(from), static_cast<size_t>(to - from));
      if (from == parts_.head.first()) {
        parts_.head.KeepRewritten(window.At(from));
        from = parts_.head.last();
      }
    }
    if (from < to) {
      Status write = parts_.io.Write(from, window.At(from), static_cast<size_t>(to - from));
      if (!write.ok()) return PutBackWindow(from, to, write.error());
      written_to_ = to;
    }
    window.DropBefore(to);
    return {};
  }

  // After the write of the held bytes [from, to) failed, part of them may
  // be in the file: they are turned back into the original bytes in memory
  // and the bytes the write may have changed are put back. Returns `cause`.
  Status PutBackWindow(uint64_t from, uint64_t to, const Error& cause) {
    Window& window = parts_.window;
    const SweepSpans& spans = parts_.spans;
    size_t length = static_cast<size_t>(to - from);
    std::vector<uint8_t> written(window.At(from), window.At(from) + length);
    for (size_t i = spans.FirstReaching(from); i < spans.size() && spans.first(i) < to; ++i) {
      Status s = parts_.patcher.Back(i, from, to);
      if (!s.ok()) parts_.restoring.GiveUp(std::max(spans.first(i), from), std::min(spans.last(i), to), s.error());
    }
    parts_.restoring.PutBackChanged(from, window.At(from), written.data(), length);
    return cause;
  }

  // Adds the unchanged bytes from the last summed one up to `offset`.
  Status SumTo(uint64_t offset) {
    if (!checksum_ || checksum_->position() >= offset) return {};
    return parts_.window.Stream(checksum_->position(), offset,
                                [&](const uint8_t* bytes, size_t length) { checksum_->Add(bytes, length); });
  }

  Status WriteHeaderFieldsLast() {
    HeaderFields& head = parts_.head;
    head.SetChecksum(checksum_->Finish());
    Status write = parts_.io.Write(head.first(), head.rewritten(), head.length());
    if (!write.ok()) parts_.restoring.PutBackChanged(head.first(), head.original(), head.rewritten(), head.length());
    return write;
  }

  SweepParts& parts_;
  std::optional<ChecksumAccumulator> checksum_;
  uint64_t written_to_ = 0;
};

}  // namespace

Status WriteRebase(ImageIo& io, const CheckedRebase& rebase, Workspace& workspace) {
  Window window(io, workspace);
  HeaderFields head(rebase.headers, rebase.new_base, rebase.new_time_stamp);
  SweepSpans spans(head, rebase.pieces);
  SpanPatcher patcher(rebase, spans, head, window);
  RestoringWrites restoring(io);
  SweepParts parts{io, window, spans, head, patcher, restoring};
  ForwardSweep forward(parts, rebase.headers);
  Status written = forward.Run();
  if (written.ok()) return written;
  if (forward.written_to() != 0) Undo(parts, forward.written_to());
  return restoring.Finish(written.error());
}

}  // namespace peimage
