// Writing the carried image: frames, checksums, progress, and faults on the way.
#include "rig.h"

namespace
{

using Kind = sim::Fault::Kind;
constexpr int pages = 15;

std::vector<uint8_t> pageOf(const std::vector<uint8_t> &image, int page)
{
    const std::size_t start = static_cast<std::size_t>(page) * 2048;
    const std::size_t end = std::min(image.size(), start + 2048);
    return std::vector<uint8_t>(image.begin() + static_cast<long>(start),
                                image.begin() + static_cast<long>(end));
}

std::string progressUpTo(int pagesDone)
{
    std::string line;
    for (int done = 1; done <= pagesDone; ++done) {
        line += rig::progressLine(done, pages);
    }
    return line;
}

std::vector<uint8_t> prefix(const std::vector<uint8_t> &bytes, std::size_t len)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(len));
}

const std::string beforePages = rig::noApplicationFound +
                                "[TORVEX] Detecting bootloader mode...\n" +
                                "[TORVEX] Bootloader detected!\n";

class PageTransfer : public rig::Rig
{
};

TEST_F(PageTransfer, EveryFrameCarriesItsSliceOfTheImageAndItsChecksum)
{
    sim::Dongle &dongle = plugInBootloader();
    ASSERT_EQ(run().status, 0);
    const auto frames = dongle.frames();
    ASSERT_EQ(frames.size(), 1U + 3 * pages + 1);
    for (int page = 0; page < pages; ++page) {
        SCOPED_TRACE("page " + std::to_string(page));
        const auto bytes = pageOf(rig::image(), page);
        const auto &first = frames[static_cast<std::size_t>(rig::dataFrame(false, page, 0))].bytes;
        const auto &second = frames[static_cast<std::size_t>(rig::dataFrame(false, page, 1))].bytes;
        const std::size_t firstChunk = std::min<std::size_t>(bytes.size(), 2044);
        ASSERT_EQ(first.size(), 3 + firstChunk);
        ASSERT_EQ(second.size(), 3 + bytes.size() - firstChunk);
        EXPECT_EQ(prefix(first, 3), (std::vector<uint8_t>{0x65, 0xAA, 0xAA}));
        EXPECT_EQ(prefix(second, 3), (std::vector<uint8_t>{0x65, 0xAA, 0xAA}));
        std::vector<uint8_t> sent(first.begin() + 3, first.end());
        sent.insert(sent.end(), second.begin() + 3, second.end());
        EXPECT_EQ(sent, bytes);
        EXPECT_EQ(frames[static_cast<std::size_t>(rig::writeFrame(false, page))].bytes,
                  sim::pageWriteFrame(bytes.data(), bytes.size()));
    }
    // The full pages go as 2047 + 7 bytes, the last one (556 bytes) as 559 + 3.
    EXPECT_EQ(frames[1].bytes.size(), 2047U);
    EXPECT_EQ(frames[2].bytes.size(), 7U);
    EXPECT_EQ(frames[static_cast<std::size_t>(rig::dataFrame(false, 14, 0))].bytes.size(), 559U);
    EXPECT_EQ(frames[static_cast<std::size_t>(rig::dataFrame(false, 14, 1))].bytes.size(), 3U);
    EXPECT_EQ(dongle.flash(), rig::image());
}

struct Variant {
    int length;
    std::vector<std::size_t> frameLengths; // after the check frame, before the boot frame
};

void PrintTo(const Variant &variant, std::ostream *out)
{
    *out << variant.length << " bytes";
}

class ImageVariant : public rig::Rig, public ::testing::WithParamInterface<Variant>
{
};

// The same program built around other images.
TEST_P(ImageVariant, PagesFollowTheImageLength)
{
    const std::string name = "image-" + std::to_string(GetParam().length);
    const auto image = rig::readImage(rig::variantDir() + "/" + name + ".bin");
    ASSERT_EQ(image.size(), static_cast<std::size_t>(GetParam().length));
    sim::Dongle &dongle = plugInBootloader();
    const auto result = run({"--verbose"}, rig::variantDir() + "/ZEL_USB_Flasher_" +
                                               std::to_string(GetParam().length));
    const int pageCount = (GetParam().length + 2047) / 2048;
    EXPECT_EQ(result.out, rig::verboseSuccessFromBootloader(pageCount));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(dongle.flash(), image);
    std::vector<std::size_t> lengths;
    const auto frames = dongle.frames();
    for (std::size_t i = 1; i + 1 < frames.size(); ++i) {
        lengths.push_back(frames[i].bytes.size());
    }
    EXPECT_EQ(lengths, GetParam().frameLengths);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ImageVariant,
                         ::testing::Values(Variant{0, {}}, Variant{4096, {2047, 7, 7, 2047, 7, 7}},
                                           Variant{4092, {2047, 7, 7, 2047, 3, 7}}),
                         [](const ::testing::TestParamInfo<Variant> &info) {
                             return "Bytes" + std::to_string(info.param.length);
                         });

class PageFaults : public rig::Rig
{
};

TEST_F(PageFaults, UnansweredPageWriteIsACrcFailure)
{
    sim::Dongle &dongle = plugInBootloader({{rig::writeFrame(false, 3), rig::fault(Kind::Ignore)}});
    const auto result = run();
    EXPECT_EQ(result.out, beforePages + progressUpTo(3) + "[TORVEX] CRC fail!\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(dongle.flash(), prefix(rig::image(), 3 * 2048));
}

// A bit flipped on the way: the dongle's checksum disagrees and it refuses
// the page, which the program reports only through the verdict.
TEST_F(PageFaults, PageCorruptedOnTheWayIsRefusedByItsChecksum)
{
    sim::Dongle &dongle =
        plugInBootloader({{rig::dataFrame(false, 4, 1), rig::fault(Kind::Corrupt)}});
    const auto result = run();
    EXPECT_EQ(result.out, beforePages + progressUpTo(4) + "\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(dongle.pagesRejected(), 1);
    EXPECT_EQ(dongle.flash(), prefix(rig::image(), 4 * 2048));
}

// A late "OK" to a data frame arriving as the answer to the page write must
// not count as the page being written.
TEST_F(PageFaults, DataFramesOKIsNoAnswerToThePageWrite)
{
    sim::Dongle &dongle = plugInBootloader(
        {{rig::writeFrame(false, 14), rig::fault(Kind::Replace, {'e', 'O', 'K'})}});
    const auto result = run();
    EXPECT_EQ(result.out, beforePages + progressUpTo(14) + "\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    // The dongle did take the page: the program cannot know it, so it fails safe.
    EXPECT_EQ(dongle.flash(), rig::image());
    dongle.stop();

    // A dongle that does not echo: its late "OK" to the last page's first
    // data frame looks like the answer to the repeat. The dongle gets the
    // page twice and refuses it; that refusal must be what the program sees.
    sim::DongleOptions options;
    options.startMode = sim::Mode::Bootloader;
    options.replyByte = 0x55;
    options.faults[rig::dataFrame(false, 14, 0)] = rig::fault(Kind::Delay, {}, 150);
    sim::Dongle &plain = plugIn(options);
    const auto late = run();
    EXPECT_EQ(late.out, beforePages + progressUpTo(14) + "\n" + rig::failure);
    EXPECT_EQ(late.status, 255);
    EXPECT_EQ(plain.pagesRejected(), 1);
    EXPECT_EQ(plain.flash(), prefix(rig::image(), 14 * 2048));
}

// The dongle took the page but its reply came back garbled: the program
// cannot know the page is in, so it stops.
TEST_F(PageFaults, GarbledPageWriteReplyStopsTheUpdate)
{
    sim::Dongle &dongle =
        plugInBootloader({{rig::writeFrame(false, 0), rig::fault(Kind::Replace, {'f', 'O', 'O'})}});
    const auto result = run();
    EXPECT_EQ(result.out, beforePages + "\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(dongle.flash(), prefix(rig::image(), 2048));
}

TEST_F(PageFaults, DataFrameAnsweredWithAnErrorStopsTheUpdate)
{
    sim::Dongle &dongle = plugInBootloader(
        {{rig::dataFrame(false, 5, 0), rig::fault(Kind::Replace, {'e', 'E', 'R'})}});
    const auto result = run();
    EXPECT_EQ(result.out, beforePages + progressUpTo(5) +
                              "[TORVEX] Error while sending frame 5\n\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(dongle.flash(), prefix(rig::image(), 5 * 2048));
}

// The first data frame of a full page is lost; its repeat carries the same
// 2044 bytes and is answered, so the page's last four bytes never went out.
// The dongle must not be asked to write that page.
TEST_F(PageFaults, PageNotSentWholeIsNeverWritten)
{
    sim::Dongle &dongle =
        plugInBootloader({{rig::dataFrame(false, 2, 0), rig::fault(Kind::Ignore)}});
    const auto result = run();
    EXPECT_EQ(result.out, beforePages + progressUpTo(2) +
                              "[TORVEX] Error while sending frame 2\n\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    const auto frames = dongle.frames();
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(rig::dataFrame(false, 2, 1)) + 1);
    EXPECT_EQ(frames.back().bytes, frames[frames.size() - 2].bytes) << "the lost frame is repeated";
    EXPECT_EQ(dongle.flash(), prefix(rig::image(), 2 * 2048));
}

// The last page is short enough for one frame: the repeat sends all of it.
TEST_F(PageFaults, ShortPageIsSentWholeByTheRepeat)
{
    sim::Dongle &dongle =
        plugInBootloader({{rig::dataFrame(false, 14, 0), rig::fault(Kind::Ignore)}});
    const auto result = run();
    EXPECT_EQ(result.out, rig::verboseSuccessFromBootloader(pages));
    EXPECT_EQ(dongle.flash(), rig::image());
}

// A port that keeps talking: the reply ends when its buffer is full, so the
// verdict comes at once rather than when the talking stops. When the talking
// starts after the frame has gone unanswered, the wait for the port to fall
// silent ends at its bound, a second, and the repeat's reply is the junk.
TEST_F(PageFaults, FloodingDongleCannotHoldTheVerdict)
{
    const int flooded = rig::dataFrame(false, 5, 0);
    sim::Fault flood = rig::fault(Kind::Flood, {}, 20000);
    sim::Fault lateFlood = flood;
    lateFlood.afterMs = 200;
    using std::chrono::milliseconds;
    for (const auto &[fault, bound] :
         {std::pair{flood, milliseconds(1000)}, std::pair{lateFlood, milliseconds(1600)}}) {
        SCOPED_TRACE(fault.afterMs > 0 ? "flood after the timeout" : "flood at once");
        sim::Dongle &dongle = plugInBootloader({{flooded, fault}});
        const auto result = run();
        const auto verdict = std::chrono::steady_clock::now();
        EXPECT_EQ(result.out, beforePages + progressUpTo(5) +
                                  "[TORVEX] Error while sending frame 5\n\n" + rig::failure);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(dongle.flash(), prefix(rig::image(), 5 * 2048));
        const auto frames = dongle.frames();
        ASSERT_GT(frames.size(), static_cast<std::size_t>(flooded));
        EXPECT_LT(verdict - frames[static_cast<std::size_t>(flooded)].received, bound);
        dongle.stop();
    }
}

TEST_F(PageFaults, UnpluggedMidwayFailsPromptlyAndNeverClaimsSuccess)
{
    sim::Dongle &dongle =
        plugInBootloader({{rig::dataFrame(false, 7, 1), rig::fault(Kind::Unplug)}});
    const auto result = run();
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out.find(rig::success), std::string::npos);
    EXPECT_EQ(result.out.substr(result.out.size() - rig::failure.size()), rig::failure);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(dongle.flash(), prefix(rig::image(), 7 * 2048));
    // Three seconds of looking for an application, then well under a second more.
    EXPECT_LT(result.elapsed.count(), 10000);
}

} // namespace
