// The page checksum.
#include <gtest/gtest.h>

#include <random>

#include "sim/dongle.h"
#include "uploader.h"

namespace
{

// The CRC-32/MPEG-2 check values, and the dongle's own bit-by-bit checksum
// on pages of every length the transfer produces.
TEST(CalcCRC, MatchesTheCheckValuesAndABitwiseImplementation)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(zel::CalcCRC(check, sizeof check), 0x0376E6E7U);
    EXPECT_EQ(zel::CalcCRC(check, 0), 0xFFFFFFFFU);
    std::mt19937 random(2048);
    std::vector<uint8_t> page(2048);
    for (auto &byte : page) {
        byte = static_cast<uint8_t>(random());
    }
    for (uint32_t len : {1U, 2U, 3U, 4U, 255U, 556U, 2043U, 2044U, 2047U, 2048U}) {
        EXPECT_EQ(zel::CalcCRC(page.data(), len), sim::crc32Mpeg2(page.data(), len)) << len;
    }
}

} // namespace
