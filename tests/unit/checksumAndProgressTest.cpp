// The page checksum and the progress line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "sim/dongle.h"
#include "uploader.h"

namespace
{

TEST(CalcCRC, MatchesTheCrc32Mpeg2CheckValues)
{
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(zel::CalcCRC(check, sizeof check), 0x0376E6E7U);
    EXPECT_EQ(zel::CalcCRC(check, 0), 0xFFFFFFFFU);
    const uint8_t one[] = {0x01};
    EXPECT_EQ(zel::CalcCRC(one, 1), sim::crc32Mpeg2(one, 1));
}

// Against the dongle's own bit-by-bit checksum, on pages of every length
// the transfer produces.
TEST(CalcCRC, AgreesWithABitwiseImplementation)
{
    std::mt19937 random(2048);
    std::vector<uint8_t> page(2048);
    for (auto &byte : page) {
        byte = static_cast<uint8_t>(random());
    }
    for (uint32_t len : {1U, 2U, 3U, 4U, 255U, 556U, 2043U, 2044U, 2047U, 2048U}) {
        EXPECT_EQ(zel::CalcCRC(page.data(), len), sim::crc32Mpeg2(page.data(), len)) << len;
    }
}

// Captures what printProgress writes to standard output.
std::string progressOutput(double fraction)
{
    std::fflush(stdout);
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    const int saved = dup(STDOUT_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);
    zel::printProgress(fraction);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(pipeFds[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; (n = read(pipeFds[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    return text;
}

TEST(PrintProgress, DrawsTheLineInPlace)
{
    EXPECT_EQ(progressOutput(6.0 / 15.0),
              "\r[TORVEX]  40% [" + std::string(24, '|') + std::string(36, ' ') + "]");
    EXPECT_EQ(progressOutput(1.0 / 15.0),
              "\r[TORVEX]   6% [" + std::string(4, '|') + std::string(56, ' ') + "]");
    EXPECT_EQ(progressOutput(0.0), "\r[TORVEX]   0% [" + std::string(60, ' ') + "]");
}

TEST(PrintProgress, OnlyTheLastCallEndsTheLine)
{
    EXPECT_EQ(progressOutput(1.0), "\r[TORVEX] 100% [" + std::string(60, '|') + "]\r\n");
    EXPECT_EQ(progressOutput(14.0 / 15.0).back(), ']');
}

} // namespace
