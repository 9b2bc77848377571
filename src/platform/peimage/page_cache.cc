#include "page_cache.h"

#include <algorithm>
#include <cstring>

#include "byte_view.h"

namespace peimage {

Result<PageCache::Page*> PageCache::Get(uint64_t index) {
  if (last_ != nullptr && last_->index == index) return last_;
  auto found = pages_.find(index);
  if (found != pages_.end()) return last_ = found->second.get();
  auto page = std::make_unique<Page>();
  page->index = index;
  uint64_t start = index * kPageSize;
  page->length = static_cast<uint32_t>(std::min<uint64_t>(kPageSize, io_.Size() - start));
  page->original.resize(page->length);
  if (Status read = io_.Read(start, page->original.data(), page->length); !read.ok()) return read.error();
  page->planned = page->original;
  last_ = page.get();
  pages_.emplace(index, std::move(page));
  return last_;
}

Status PageCache::Load(uint64_t offset, unsigned width, uint64_t& value) {
  value = 0;
  for (unsigned i = width; i-- > 0;) {
    Result<Page*> page = Get((offset + i) / kPageSize);
    if (!page.ok()) return page.error();
    value = (value << 8) | page.value()->planned[(offset + i) % kPageSize];
  }
  return {};
}

Status PageCache::MarkTarget(uint64_t offset, unsigned width, bool& fresh) {
  fresh = true;
  for (unsigned i = 0; i < width; ++i) {
    Result<Page*> page = Get((offset + i) / kPageSize);
    if (!page.ok()) return page.error();
    std::bitset<kPageSize>::reference bit = page.value()->targeted[(offset + i) % kPageSize];
    if (bit) fresh = false;
    bit = true;
  }
  return {};
}

Status PageCache::Store(uint64_t offset, unsigned width, uint64_t value) {
  uint64_t in_page = offset % kPageSize;
  Result<Page*> first = Get(offset / kPageSize);
  if (!first.ok()) return first.error();
  ByteView view(first.value()->planned.data(), first.value()->planned.size());
  if (view.Write(in_page, width, value)) return {};
  for (unsigned i = 0; i < width; ++i) {  // the value straddles two pages
    Result<Page*> page = Get((offset + i) / kPageSize);
    if (!page.ok()) return page.error();
    page.value()->planned[(offset + i) % kPageSize] = static_cast<uint8_t>(value >> (8 * i));
  }
  return {};
}

void PageCache::Overlay(uint64_t offset, uint8_t* bytes, size_t length) const {
  if (length == 0) return;
  for (uint64_t index = offset / kPageSize; index <= (offset + length - 1) / kPageSize; ++index) {
    auto found = pages_.find(index);
    if (found == pages_.end()) continue;
    const Page& page = *found->second;
    uint64_t start = std::max(offset, index * kPageSize);
    uint64_t end = std::min<uint64_t>(offset + length, index * kPageSize + page.length);
    std::memcpy(bytes + (start - offset), page.planned.data() + (start - index * kPageSize), end - start);
  }
}

Status PageCache::WriteRuns(const std::vector<const Page*>& pages, bool planned, size_t& written_up_to) {
  std::vector<uint8_t> run;
  size_t i = 0;
  while (i < written_up_to) {
    size_t j = i;
    run.clear();
    do {
      const std::vector<uint8_t>& bytes = planned ? pages[j]->planned : pages[j]->original;
      run.insert(run.end(), bytes.begin(), bytes.end());
      ++j;
    } while (j < written_up_to && pages[j]->index == pages[j - 1]->index + 1 && run.size() < (1u << 20));
    if (Status write = io_.Write(pages[i]->index * kPageSize, run.data(), run.size()); !write.ok()) {
      written_up_to = j;  // pages that may have been touched
      return write;
    }
    i = j;
  }
  return {};
}

Status PageCache::Commit() {
  std::vector<const Page*> changed;
  for (const auto& entry : pages_)
    if (entry.second->planned != entry.second->original) changed.push_back(entry.second.get());
  std::sort(changed.begin(), changed.end(), [](const Page* a, const Page* b) { return a->index < b->index; });

  size_t written = changed.size();
  Status status = WriteRuns(changed, true, written);
  if (status.ok()) return status;
  // The failed run may have been written in part, so it is restored along
  // with every run before it.
  if (Status undo = WriteRuns(changed, false, written); !undo.ok()) {
    return MakeError(ErrorCode::kPartiallyWritten, "%s; restoring the original bytes failed too: %s",
                     status.error().message.c_str(), undo.error().message.c_str());
  }
  return status;
}

}  // namespace peimage
