#include "peimage/checksum.h"

#include <gtest/gtest.h>

#include <random>

#include "support/image_builder.h"

namespace {

using testing_support::ReferenceChecksum;

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

uint32_t ChecksumInPieces(const std::vector<uint8_t>& bytes, uint32_t field, size_t piece) {
  peimage::ChecksumAccumulator checksum(field);
  for (size_t at = 0; at < bytes.size(); at += piece) checksum.Add(bytes.data() + at, std::min(piece, bytes.size() - at));
  return checksum.Finish();
}

// Any split of the file into pieces gives the reference value: odd and even
// lengths, the CheckSum field split across pieces, odd piece sizes.
TEST(Checksum, MatchesReferenceForAnySplitAndLength) {
  for (size_t size : {1u, 2u, 7u, 0x99u, 0x1000u, 0x1001u, 100003u}) {
    std::vector<uint8_t> bytes = RandomBytes(size, static_cast<unsigned>(size));
    for (size_t piece : {size_t{1}, size_t{3}, size_t{8}, size_t{4096}, size}) {
      uint32_t field = 0x98;
      EXPECT_EQ(ChecksumInPieces(bytes, field, piece), ReferenceChecksum(bytes, field)) << size << "/" << piece;
    }
  }
}

TEST(Checksum, IgnoresTheStoredFieldAndCountsTheOddLastByte) {
  std::vector<uint8_t> bytes = RandomBytes(0x201, 7);
  uint32_t before = ChecksumInPieces(bytes, 0x98, 64);
  testing_support::WriteLe(bytes, 0x98, 4, 0xDEADBEEF);
  EXPECT_EQ(ChecksumInPieces(bytes, 0x98, 64), before);
  bytes.back() ^= 0x01;
  EXPECT_NE(ChecksumInPieces(bytes, 0x98, 64), before);
}

TEST(Checksum, AddsTheFileLength) {
  std::vector<uint8_t> zeros(0x1234, 0);
  EXPECT_EQ(ChecksumInPieces(zeros, 0x98, 100), 0x1234u);
}

}  // namespace
