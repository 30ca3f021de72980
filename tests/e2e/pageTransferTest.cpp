// Writing the carried image: frames, checksums, progress, and faults on the way.
#include "rig.h"

namespace
{

using Kind = sim::Fault::Kind;
constexpr int pages = 15;

// The progress lines of the first pages confirmed: all of one length.
std::string progressUpTo(int pagesDone)
{
    return rig::fullProgress(pages).substr(0, pagesDone * rig::progressLine(1, pages).size());
}

std::vector<uint8_t> prefix(const std::vector<uint8_t> &bytes, std::size_t len)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(len));
}

const std::string beforePages = rig::noApplicationFound +
                                "[TORVEX] Detecting bootloader mode...\n" +
                                "[TORVEX] Bootloader detected!\n";

using PlainUpdate = rig::Rig;

// A dongle already in its bootloader: found after the three one-second
// attempts in application mode without the pause for a switch, then every
// frame exact, each data frame with its slice of the image.
TEST_F(PlainUpdate, FromTheBootloaderTellsEachStepAndSendsExactFrames)
{
    sim::Dongle &dongle = plugInBootloader();
    const auto started = std::chrono::steady_clock::now();
    const auto result = run({"--verbose"});
    EXPECT_EQ(result.out, rig::verboseSuccessFromBootloader(pages));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(dongle.flash(), rig::image());
    EXPECT_EQ(setserialCalls(), std::vector<std::string>{"/dev/ttyACM0 low_latency"});
    const auto frames = dongle.frames();
    ASSERT_EQ(frames.size(), 1U + 3 * pages + 1);
    EXPECT_GE(frames[0].received - started, std::chrono::milliseconds(3000));
    EXPECT_LT(frames[0].received - started, std::chrono::milliseconds(4800));
    EXPECT_EQ(frames[0].bytes, (std::vector<uint8_t>{0x64, 0xAA, 0xAA}));
    EXPECT_EQ(frames.back().bytes, (std::vector<uint8_t>{0x67, 0xAA, 0xAA}));
    for (int page = 0; page < pages; ++page) {
        SCOPED_TRACE("page " + std::to_string(page));
        const auto from = rig::image().begin() + page * 2048;
        const std::vector<uint8_t> bytes(
            from, from + std::min<std::ptrdiff_t>(rig::image().end() - from, 2048));
        const auto &first = frames[static_cast<std::size_t>(rig::dataFrame(false, page, 0))].bytes;
        const auto &second = frames[static_cast<std::size_t>(rig::dataFrame(false, page, 1))].bytes;
        // A full page goes as 2047 + 7 bytes, the last one (556 bytes) as 559 + 3.
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

struct PageFault {
    std::string name;
    int page;
    int which; // of the page's frames: 0 and 1 its data, 2 its write
    sim::Fault fault;
    int confirmed;         // pages the program saw written, each with its progress line
    std::string said;      // after those lines, before the newline and the verdict
    int written;           // pages in the flash at the end
    int rejected = 0;      // pages the dongle refused by their checksum
    int boundMs = 0;       // the verdict within this long of the frame, when not 0
    bool repeated = false; // the frame, lost, is sent again, and nothing after it
    int replyByte = -1;    // first byte of all the dongle's replies; -1: the command's
};

void PrintTo(const PageFault &row, std::ostream *out)
{
    *out << row.name;
}

std::string errorOn(int page)
{
    return "[TORVEX] Error while sending frame " + std::to_string(page) + "\n";
}

class PageFaults : public rig::Rig, public ::testing::WithParamInterface<PageFault>
{
};

// No fault on the way to the flash ever ends in a claimed success.
TEST_P(PageFaults, StopTheUpdateWithoutClaimingIt)
{
    const PageFault &row = GetParam();
    const auto frame = static_cast<std::size_t>(rig::dataFrame(false, row.page, row.which));
    sim::DongleOptions options;
    options.startMode = sim::Mode::Bootloader;
    options.replyByte = row.replyByte;
    options.faults[static_cast<int>(frame)] = row.fault;
    sim::Dongle &dongle = plugIn(options);
    const auto result = run();
    const auto verdict = std::chrono::steady_clock::now();
    EXPECT_EQ(result.out,
              beforePages + progressUpTo(row.confirmed) + row.said + "\n" + rig::failure);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(dongle.pagesRejected(), row.rejected);
    EXPECT_EQ(dongle.flash(), prefix(rig::image(), std::min<std::size_t>(rig::image().size(),
                                                                         row.written * 2048U)));
    const auto frames = dongle.frames();
    ASSERT_GT(frames.size(), frame);
    if (row.boundMs > 0) {
        EXPECT_LT(verdict - frames[frame].received, std::chrono::milliseconds(row.boundMs));
    }
    if (row.repeated) {
        ASSERT_EQ(frames.size(), frame + 2);
        EXPECT_EQ(frames[frame + 1].bytes, frames[frame].bytes);
    }
}

const sim::Fault lost = rig::fault(Kind::Ignore);
const sim::Fault flood{Kind::Flood, 20000, 1, 0, {}};
const sim::Fault lateFlood{Kind::Flood, 20000, 1, 200, {}};

sim::Fault replaced(std::vector<uint8_t> bytes)
{
    return rig::fault(Kind::Replace, std::move(bytes));
}

INSTANTIATE_TEST_SUITE_P(
    OnTheWay, PageFaults,
    ::testing::Values(
        PageFault{"UnansweredPageWrite", 3, 2, lost, 3, "[TORVEX] CRC fail!", 3},
        // A bit flipped on the way: the dongle refuses the page, which the
        // program reports only through the verdict.
        PageFault{"PageCorrupted", 4, 1, rig::fault(Kind::Corrupt), 4, "", 4, 1},
        // A data frame's late "OK" is no answer to the page write: the dongle
        // took the page, but the program cannot know it.
        PageFault{"DataFramesOKToThePageWrite", 14, 2, replaced({'e', 'O', 'K'}), 14, "", 15},
        // From a dongle that does not echo, the late "OK" to the last page's
        // first data frame looks like the answer to its repeat. The dongle gets
        // the page twice and refuses it: that must be what the program sees.
        PageFault{"LateOKFromADongleThatDoesNotEcho", 14, 0, rig::fault(Kind::Delay, {}, 150), 14,
                  "", 14, 1, 0, false, 0x55},
        PageFault{"GarbledPageWriteReply", 0, 2, replaced({'f', 'O', 'O'}), 0, "", 1},
        PageFault{"DataFrameRefused", 5, 0, replaced({'e', 'E', 'R'}), 5, errorOn(5), 5},
        // A full page's first data frame is lost; its repeat carries the same
        // 2044 bytes, so the page's last four never went out: it is not written.
        PageFault{"PageNotSentWhole", 2, 0, lost, 2, errorOn(2), 2, 0, 0, true},
        // A port that keeps talking: the reply ends when its buffer is full.
        // Talking that starts after the frame went unanswered holds the wait
        // for silence to its bound, a second, and is then the repeat's reply.
        PageFault{"FloodAtOnce", 5, 0, flood, 5, errorOn(5), 5, 0, 1000},
        PageFault{"FloodAfterTheTimeout", 5, 0, lateFlood, 5, errorOn(5), 5, 0, 1600},
        PageFault{"UnpluggedMidway", 7, 1, rig::fault(Kind::Unplug), 7, errorOn(7), 7, 0, 1000}),
    [](const ::testing::TestParamInfo<PageFault> &info) { return info.param.name; });

} // namespace
