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

// Every frame of an update from the bootloader, as it must go out.
std::vector<std::vector<uint8_t>> exactFrames(const std::vector<uint8_t> &image)
{
    // Each page goes as two data frames, a full one as 2047 + 7 bytes and the
    // carried image's last one (556 bytes) as 559 + 3, then its write with
    // its checksum.
    std::vector<std::vector<uint8_t>> expected = {{0x64, 0xAA, 0xAA}};
    for (std::size_t from = 0; from < image.size(); from += 2048) {
        const auto page = image.begin() + static_cast<long>(from);
        const long pageLength = std::min<long>(static_cast<long>(image.size() - from), 2048);
        const long first = std::min<long>(pageLength, 2044);
        for (const long cut : {0L, first}) {
            expected.push_back({0x65, 0xAA, 0xAA});
            expected.back().insert(expected.back().end(), page + cut,
                                   page + (cut == 0 ? first : pageLength));
        }
        expected.push_back(sim::pageWriteFrame(&*page, static_cast<std::size_t>(pageLength)));
    }
    expected.push_back({0x67, 0xAA, 0xAA});
    return expected;
}

std::vector<std::size_t> lengthsOf(const std::vector<std::vector<uint8_t>> &frames)
{
    std::vector<std::size_t> lengths;
    for (const auto &frame : frames) {
        lengths.push_back(frame.size());
    }
    return lengths;
}

using PlainUpdate = rig::Table<int>;

// A dongle already in its bootloader: found after the three one-second
// attempts in application mode without the pause for a switch, then every
// frame exact, each data frame with its slice of the image. The carried
// image (-1), and the same program built around images of other lengths.
TEST_P(PlainUpdate, FromTheBootloaderTellsEachStepAndSendsExactFrames)
{
    const std::string length = std::to_string(GetParam());
    const auto image = GetParam() < 0
                           ? rig::image()
                           : rig::readImage(rig::variantDir() + "/image-" + length + ".bin");
    ASSERT_TRUE(GetParam() < 0 || image.size() == static_cast<std::size_t>(GetParam()));
    sim::Dongle &dongle = plugIn(rig::bootloader);
    const rig::Searches searches({}, std::filesystem::read_symlink(dongle.hostPort()));
    const auto started = std::chrono::steady_clock::now();
    const auto result =
        run({"--verbose"},
            GetParam() < 0 ? rig::flasherPath() : rig::variantDir() + "/ZEL_USB_Flasher_" + length);
    rig::expectUpdated(result,
                       rig::verboseSuccess(false, static_cast<int>(image.size() + 2047) / 2048));
    EXPECT_EQ(dongle.flash(), image);
    EXPECT_EQ(setserialCalls(), std::vector<std::string>{"/dev/ttyACM0 low_latency"});
    const auto frames = dongle.frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_GE(frames[0].received - started, std::chrono::milliseconds(3000));
    // Three searches for the application, then one for the bootloader after
    // the same pause as between the others: not after a switch's two more
    // seconds, which would make it longer than the two pauses before it.
    const auto searched = searches.starts();
    ASSERT_EQ(searched.size(), 4U);
    EXPECT_LT(searched[3] - searched[2], searched[2] - searched[0]);
    EXPECT_LT(searched[3], frames[0].received);
    const std::vector<std::vector<uint8_t>> expected = exactFrames(image);
    std::vector<std::vector<uint8_t>> sent;
    for (const auto &frame : frames) {
        sent.push_back(frame.bytes);
    }
    // The lengths first: a frame too many or cut in two shows there at once.
    EXPECT_EQ(lengthsOf(sent), lengthsOf(expected));
    EXPECT_EQ(sent, expected);
}

INSTANTIATE_TEST_SUITE_P(Images, PlainUpdate, ::testing::Values(-1, 0, 4096, 4092),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return info.param < 0 ? std::string("Carried")
                                                   : "Bytes" + std::to_string(info.param);
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

std::string errorOn(int page)
{
    return "[TORVEX] Error while sending frame " + std::to_string(page) + "\n";
}

void PrintTo(const PageFault &row, std::ostream *out)
{
    *out << row.name;
}

using PageFaults = rig::Table<PageFault>;

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
    rig::expectFailed(result, beforePages + progressUpTo(row.confirmed) + row.said + "\n");
    EXPECT_EQ(dongle.pagesRejected(), row.rejected);
    EXPECT_EQ(dongle.flash(), prefix(rig::image(), std::min<std::size_t>(rig::image().size(),
                                                                         row.written * 2048U)));
    const auto frames = dongle.frames();
    ASSERT_GT(frames.size(), frame);
    if (row.boundMs > 0) {
        EXPECT_LT(verdict - frames[frame].received, std::chrono::milliseconds(row.boundMs));
    }
    // A late reply came while the program waited for silence after giving up.
    if (row.fault.kind == Kind::Delay && row.fault.until == sim::Fault::Until::HostGaveUp) {
        EXPECT_EQ(frames[frame].heldUntil, "waiting for silence");
    }
    if (row.repeated) {
        ASSERT_EQ(frames.size(), frame + 2);
        EXPECT_EQ(frames[frame + 1].bytes, frames[frame].bytes);
    }
}

const sim::Fault lost = rig::fault(Kind::Ignore);
const sim::Fault flood{Kind::Flood, 20000, 1, 0, {}};
const sim::Fault lateFlood = rig::onceGivenUp(Kind::Flood, 1, 20000);
// Only a program held by the flood or by a port that is gone misses it: a
// busy machine stretches its timeouts and the wait for silence several times.
constexpr int hangBoundMs = 10000;

using rig::replaced;

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
        PageFault{"LateOKFromADongleThatDoesNotEcho", 14, 0, rig::onceGivenUp(Kind::Delay), 14, "",
                  14, 1, 0, false, 0x55},
        PageFault{"GarbledPageWriteReply", 0, 2, replaced({'f', 'O', 'O'}), 0, "", 1},
        PageFault{"DataFrameRefused", 5, 0, replaced({'e', 'E', 'R'}), 5, errorOn(5), 5},
        // A full page's first data frame is lost; its repeat carries the same
        // 2044 bytes, so the page's last four never went out: it is not written.
        PageFault{"PageNotSentWhole", 2, 0, lost, 2, errorOn(2), 2, 0, 0, true},
        // A port that keeps talking: the reply ends when its buffer is full.
        // Talking that starts once the frame went unanswered holds the wait
        // for silence to its bound, a second, and is then the repeat's reply.
        // Neither holds the verdict for the flood's 20 s.
        PageFault{"FloodAtOnce", 5, 0, flood, 5, errorOn(5), 5, 0, hangBoundMs},
        PageFault{"FloodAfterTheTimeout", 5, 0, lateFlood, 5, errorOn(5), 5, 0, hangBoundMs},
        PageFault{"UnpluggedMidway", 7, 1, rig::fault(Kind::Unplug), 7, errorOn(7), 7, 0,
                  hangBoundMs}),
    rig::rowName<PageFault>);

} // namespace
