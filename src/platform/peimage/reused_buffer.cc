#include "reused_buffer.h"

namespace peimage {

namespace {

struct Kept {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
  bool taken = false;
};

thread_local Kept kept[ReusedBuffer::kKinds];

}  // namespace

ReusedBuffer::ReusedBuffer(Kind kind, size_t size) : kind_(kind), kept_(!kept[kind].taken) {
  if (!kept_) {
    own_.reset(new uint8_t[size]);
    bytes_ = own_.get();
    return;
  }
  Kept& buffer = kept[kind];
  if (buffer.size < size) {
    buffer.bytes.reset(new uint8_t[size]);
    buffer.size = size;
  }
  buffer.taken = true;
  bytes_ = buffer.bytes.get();
}

ReusedBuffer::~ReusedBuffer() {
  if (kept_) kept[kind_].taken = false;
}

}  // namespace peimage
