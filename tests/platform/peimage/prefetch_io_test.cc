#include "peimage/prefetch_io.h"

#include <gtest/gtest.h>

#include <numeric>

#include "support/failing_io.h"

namespace {

using testing_support::FailingIo;
using Bytes = std::vector<uint8_t>;

Bytes Counting(size_t size) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), uint8_t{0});
  return bytes;
}

Bytes ReadBack(peimage::ImageIo& io, uint64_t offset, size_t length) {
  Bytes out(length);
  EXPECT_TRUE(io.Read(offset, out.data(), length).ok());
  return out;
}

TEST(PrefetchIo, AnswersReadsInsideARangeWithoutTheFile) {
  Bytes image = Counting(300);
  FailingIo file(image, 0);
  peimage::PrefetchIo io(file);
  ASSERT_TRUE(io.Prefetch(100, 50).ok());
  int reads = file.reads();
  EXPECT_EQ(ReadBack(io, 110, 40), Bytes(image.begin() + 110, image.begin() + 150));
  EXPECT_EQ(file.reads(), reads);
  EXPECT_EQ(ReadBack(io, 140, 20).back(), 159);  // runs past the range: from the file
  EXPECT_EQ(file.reads(), reads + 1);
  ASSERT_TRUE(io.Prefetch(280, 1000).ok());  // clipped to the file
  reads = file.reads();
  EXPECT_EQ(ReadBack(io, 280, 20).front(), 280 % 256);
  EXPECT_EQ(file.reads(), reads);
  uint8_t byte = 0;
  EXPECT_FALSE(io.Read(299, &byte, 2).ok());
  EXPECT_TRUE(io.Read(300, nullptr, 0).ok());
}

TEST(PrefetchIo, KeepsItsCopyInStepWithWrites) {
  FailingIo file(Counting(300), 2);  // the second write fails half way
  peimage::PrefetchIo io(file);
  ASSERT_TRUE(io.Prefetch(0, 200).ok());
  Bytes ones(20, 1);
  ASSERT_TRUE(io.Write(90, ones.data(), ones.size()).ok());
  EXPECT_EQ(ReadBack(io, 90, 20), ones);

  // After a failed write only the file knows which bytes it took.
  Bytes twos(20, 2);
  ASSERT_FALSE(io.Write(10, twos.data(), twos.size()).ok());
  int reads = file.reads();
  Bytes seen = ReadBack(io, 10, 20);
  EXPECT_EQ(file.reads(), reads + 1);
  EXPECT_EQ(seen, Bytes(file.bytes().begin() + 10, file.bytes().begin() + 30));
}

}  // namespace
