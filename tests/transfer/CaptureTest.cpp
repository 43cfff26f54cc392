// The capture step fed by an adversary: chunk boundaries anywhere, console noise that looks like
// the marker, bad lengths, failing files, cancellation, and a racing reset.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "platform/Paths.h"
#include "res/Resource.h"
#include "support/TestUtil.h"
#include "transfer/Capture.h"

namespace {

const std::string kMarker = "BDF\"\"\"\"\"\"\"\"FDB";

// 2007-03-05 14:07:09, so every output file is named 20070305_140709_<name>.
platform::LocalTime FixedTime() {
    return {2007, 3, 5, 14, 7, 9};
}
const std::string kStamp = "20070305_140709_";

std::string Header(uint32_t length) {
    unsigned char h[FILE_HEADER_SIZE];
    BuildFileHeader(length, h);
    return std::string(reinterpret_cast<const char*>(h), FILE_HEADER_SIZE);
}

std::string RandomBytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

// Records every call the capture makes on the main dialog, in order. Thread-safe, so that the
// race test can use it from two threads.
class FakeHost : public ICaptureHost {
public:
    std::atomic<int32_t> transferActive{1};
    std::atomic<bool> keepActive{false};  // ClearTransferActive leaves the flag at 1
    std::atomic<bool> record{true};       // false: calls are not kept (long runs)
    std::string sendName = "data.bin";

    bool IsTransferActive() override { return transferActive.load() == 1; }
    void ClearTransferActive(uint64_t) override {
        Record("clear");
        if (!keepActive.load())
            transferActive.store(0);
    }
    void ConsoleAppend(const unsigned char* bytes, int n) override {
        std::lock_guard lock(m_mutex);
        std::string s(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
        console += s;
        if (record.load())
            calls.push_back("append:" + s);
    }
    void ConsoleNotify() override { Record("notify"); }
    void StartTimeout(uint64_t, CaptureLink link) override { Record("start:" + Name(link)); }
    void StopTimeout(uint64_t, CaptureLink link) override { Record("stop:" + Name(link)); }
    static std::string Name(CaptureLink link) {
        return link == CaptureLink::Serial ? "serial" : "network";
    }
    // The first report of a capture is its length; every later one is recorded as the progress
    // dialog shows it (percent, then the byte count).
    void CaptureProgress(uint64_t, int64_t stored, int64_t announced) override {
        std::lock_guard lock(m_mutex);
        if (!lengthTold) {
            lengthTold = true;
            if (record.load())
                calls.push_back("length:" + std::to_string(announced));
            return;
        }
        const int percent = static_cast<int>(stored * 100 / announced);
        positions.push_back(percent);
        if (record.load()) {
            calls.push_back("pos:" + std::to_string(percent));
            calls.push_back("text:" + std::to_string(stored) + " / " + std::to_string(announced) +
                            " Bytes");
        }
    }
    void CaptureEnded(uint64_t, CaptureEnd how, const CaptureTally& tally, const std::string& path,
                      const std::string& why) override {
        {
            std::lock_guard lock(m_mutex);
            lengthTold = false;
        }
        if (how != CaptureEnd::OpenFailed && how != CaptureEnd::WriteFailed) {
            Record("ended:" + std::to_string(static_cast<int>(how)));
            return;
        }
        std::lock_guard lock(m_mutex);
        failures.push_back({how, path, why, tally.stored});
        calls.push_back("failed");
    }

    std::mutex& Mutex() { return m_mutex; }
    std::vector<std::string> Calls() {
        std::lock_guard lock(m_mutex);
        return calls;
    }
    void ClearCalls() {
        std::lock_guard lock(m_mutex);
        calls.clear();
        positions.clear();
    }
    int Count(const std::string& call) {
        auto c = Calls();
        return static_cast<int>(std::count(c.begin(), c.end(), call));
    }

    struct Failure {
        CaptureEnd how;
        std::string path;
        std::string why;
        int64_t stored = 0;
    };
    std::vector<std::string> calls;
    std::string console;       // bytes released by the marker scan
    std::string plainConsole;  // bytes the receive path showed while the link was not armed
    std::vector<int> positions;
    std::vector<Failure> failures;
    bool lengthTold = false;  // the current capture's length was told

private:
    void Record(const std::string& call) {
        std::lock_guard lock(m_mutex);
        if (record.load())
            calls.push_back(call);
    }
    std::mutex m_mutex;
};

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override { outputDir = dir.path; }

    std::string OutputPath() const { return dir.path + kStamp + host.sendName; }

    // The receive path: armed chunks go through capture, others to the console as they are.
    void Deliver(const std::string& chunk, const CCaptureLinkTraits& traits) {
        if (chunk.empty())
            return;
        if (link.m_bCaptureArmed.load() == 1)
            CaptureStep(link, traits, host, reinterpret_cast<const unsigned char*>(chunk.data()),
                        static_cast<int>(chunk.size()));
        else
            host.plainConsole += chunk;
    }
    void Feed(const std::string& stream, size_t chunkSize, const CCaptureLinkTraits& traits) {
        for (size_t at = 0; at < stream.size(); at += chunkSize)
            Deliver(stream.substr(at, chunkSize), traits);
    }
    void ExpectIdle() {
        EXPECT_EQ(link.m_bCaptureArmed.load(), 0);
        EXPECT_EQ(link.m_nCaptureState, CAPTURE_IDLE);
        EXPECT_EQ(link.m_nCapturePos, 0);
        EXPECT_EQ(link.m_nCaptureReceived, 0);
        EXPECT_EQ(link.m_nCaptureLength, 0);
        EXPECT_FALSE(link.FileOpen());
    }

    testutil::TempDir dir;
    std::string outputDir;  // where captures go: `dir` unless a test says otherwise
    CCaptureFields link;
    FakeHost host;
};

using Calls = std::vector<std::string>;

TEST_F(CaptureTest, HeaderLayoutIsMarkerThenBigEndianLength) {
    EXPECT_EQ(Header(0x000003E8), kMarker + std::string("\x00\x00\x03\xE8", 4));
    EXPECT_EQ(Header(0x7FFFFFFF), kMarker + std::string("\x7F\xFF\xFF\xFF", 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_abFileMarker), FILE_MARKER_SIZE),
              kMarker);
}

TEST_F(CaptureTest, FileNameIsProgramDirectoryTimeStampAndName) {
    EXPECT_EQ(CaptureFileName(dir.path, "data.bin", FixedTime()),
              dir.path + "20070305_140709_data.bin");
    // A directory part must never take the file out of the program directory.
    EXPECT_EQ(CaptureFileName(dir.path, "../../etc/data.bin", FixedTime()),
              dir.path + "20070305_140709_data.bin");
}

TEST_F(CaptureTest, ArmingSetsStateThenFlag) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    EXPECT_EQ(link.m_bCaptureArmed.load(), 1);
    EXPECT_EQ(link.m_nCaptureState, CAPTURE_MARKER);
    EXPECT_EQ(link.m_nCapturePos, 0);
}

TEST_F(CaptureTest, ArmedLinkWithNothingArrivingStartsNoTimer) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    EXPECT_TRUE(host.Calls().empty());
    // The first chunk, console bytes included, is what starts it.
    Deliver("hello", g_serialCaptureTraits);
    EXPECT_EQ(host.Count("start:serial"), 1);
}

TEST_F(CaptureTest, ConsoleBytesWhileArmedAreReleasedOneNotificationPerByte) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver("ab", g_networkCaptureTraits);
    // Released bytes go to the ring at once; the notifications follow once the capture lock is
    // released, still one per mismatching byte.
    EXPECT_EQ(host.Calls(), (Calls{"append:a", "append:b", "notify", "notify", "start:network"}));
}

TEST_F(CaptureTest, MarkerSplitOverSeveralChunksIsFound) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(kMarker.substr(0, 1), g_serialCaptureTraits);
    Deliver(kMarker.substr(1, 5), g_serialCaptureTraits);
    Deliver(kMarker.substr(6), g_serialCaptureTraits);
    EXPECT_EQ(link.m_nCaptureState, CAPTURE_LENGTH);
    EXPECT_EQ(host.console, "");
    Deliver(std::string("\x00\x00", 2), g_serialCaptureTraits);
    Deliver(std::string("\x00\x05", 2) + "hello", g_serialCaptureTraits);
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "hello");
    EXPECT_EQ(host.Count("notify"), 0);
    ExpectIdle();
}

TEST_F(CaptureTest, HeldMarkerBytesAreReleasedInOrderOnlyWhenTheMismatchArrives) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver("BDF", g_serialCaptureTraits);
    EXPECT_EQ(host.console, "");
    EXPECT_EQ(host.Calls(), (Calls{"start:serial"}));
    host.ClearCalls();
    Deliver("x", g_serialCaptureTraits);
    EXPECT_EQ(host.console, "BDFx");
    EXPECT_EQ(host.Calls(), (Calls{"append:BDF", "append:x", "notify", "start:serial"}));
    EXPECT_EQ(link.m_nCaptureState, CAPTURE_MARKER);
    EXPECT_EQ(link.m_nCapturePos, 0);
}

TEST_F(CaptureTest, SecondBStartsTheMarkerAfterTheFirstIsReleased) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver("B" + kMarker, g_serialCaptureTraits);
    EXPECT_EQ(host.console, "B");
    EXPECT_EQ(host.Calls(), (Calls{"append:B", "notify", "start:serial"}));
    EXPECT_EQ(link.m_nCaptureState, CAPTURE_LENGTH);
}

TEST_F(CaptureTest, ZeroLengthIsRejectedSerialTimerLeftRunning) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver("xx", g_serialCaptureTraits);
    host.ClearCalls();
    Deliver(Header(0), g_serialCaptureTraits);
    EXPECT_EQ(host.Calls(), (Calls{"clear", "ended:3"}));
    EXPECT_EQ(host.transferActive.load(), 0);
    EXPECT_TRUE(testutil::ListDir(dir.path).empty());
    EXPECT_EQ(host.console, "xx");  // the held marker and length bytes are never shown
    ExpectIdle();
}

TEST_F(CaptureTest, NegativeLengthIsRejectedNetworkTimerStopped) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(0x80000000u), g_networkCaptureTraits);
    EXPECT_EQ(host.Calls(), (Calls{"clear", "stop:network", "ended:3"}));
    EXPECT_TRUE(testutil::ListDir(dir.path).empty());
    EXPECT_EQ(host.console, "");
    ExpectIdle();
}

TEST_F(CaptureTest, ThousandBytesOnTheNetworkLink) {
    std::mt19937 rng(1);
    const std::string data = RandomBytes(rng, 1000);
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(1000) + data.substr(0, 512), g_networkCaptureTraits);
    EXPECT_EQ(host.Calls(),
              (Calls{"length:1000", "pos:51", "text:512 / 1000 Bytes", "start:network"}));
    host.ClearCalls();
    Deliver(data.substr(512), g_networkCaptureTraits);
    EXPECT_EQ(host.Calls(),
              (Calls{"pos:100", "text:1000 / 1000 Bytes", "clear", "stop:network", "ended:0"}));
    EXPECT_EQ(testutil::ReadFile(OutputPath()), data);
    ExpectIdle();
}

TEST_F(CaptureTest, ThousandBytesOnTheSerialLink) {
    std::mt19937 rng(2);
    const std::string data = RandomBytes(rng, 1000);
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Feed(Header(1000) + data, 255, g_serialCaptureTraits);
    const Calls calls = host.Calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[0], "length:1000");
    // Chunks of 255, 255, 255 and 253 bytes: the last one ends the capture instead.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "start:serial"), 3);
    EXPECT_EQ(Calls(calls.end() - 5, calls.end()),
              (Calls{"pos:100", "text:1000 / 1000 Bytes", "clear", "stop:serial", "ended:0"}));
    EXPECT_EQ(host.positions.back(), 100);
    EXPECT_EQ(testutil::ReadFile(OutputPath()), data);
    ExpectIdle();
}

TEST_F(CaptureTest, TheLengthIsToldOnceOnEitherLink) {
    for (const CCaptureLinkTraits* traits : {&g_serialCaptureTraits, &g_networkCaptureTraits}) {
        host.ClearCalls();
        host.lengthTold = false;
        link.ResetCapture();
        link.ArmCapture(host.sendName, outputDir, FixedTime);
        Deliver(Header(10), *traits);
        Deliver("abc", *traits);
        EXPECT_EQ(host.Count("length:10"), 1);
        EXPECT_EQ(host.Count("text:3 / 10 Bytes"), 1);
    }
}

TEST_F(CaptureTest, HeaderEndingAtChunkEndCreatesTheEmptyFileAtOnce) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(3), g_networkCaptureTraits);
    EXPECT_EQ(link.m_nCaptureState, CAPTURE_DATA);
    EXPECT_EQ(link.m_nCapturePos, 1);
    EXPECT_TRUE(link.FileOpen());
    ASSERT_EQ(testutil::ListDir(dir.path), std::vector<std::string>{kStamp + "data.bin"});
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "");
    EXPECT_EQ(host.Calls(), (Calls{"length:3", "pos:0", "text:0 / 3 Bytes", "start:network"}));
    Deliver("abc", g_networkCaptureTraits);
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "abc");
    ExpectIdle();
}

TEST_F(CaptureTest, BytesAfterTheFileEndAreDroppedAndTheLinkDisarmed) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(4) + "abcdEXTRA", g_serialCaptureTraits);
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "abcd");
    EXPECT_EQ(host.Count("start:serial"), 0);
    ExpectIdle();
    Deliver("later", g_serialCaptureTraits);
    EXPECT_EQ(host.plainConsole, "later");
    EXPECT_EQ(host.console, "");
}

TEST_F(CaptureTest, SecondCaptureInTheSameSecondReplacesTheFirst) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(10) + "0123456789", g_networkCaptureTraits);
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "0123456789");
    host.transferActive = 1;
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(3) + "abc", g_networkCaptureTraits);
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "abc");
    EXPECT_EQ(testutil::ListDir(dir.path).size(), 1u);
}

TEST_F(CaptureTest, HugeAnnouncedLengthKeepsPositionInRange) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(0x7FFFFFFF), g_networkCaptureTraits);
    const std::string chunk(2047, 'z');
    for (int k = 0; k < 3; ++k)
        Deliver(chunk, g_networkCaptureTraits);
    // Shown for the header-only chunk; the next chunks follow within the progress interval and
    // keep the percentage, so they show nothing new.
    EXPECT_EQ(host.positions, (std::vector<int>{0}));
    EXPECT_EQ(host.Calls().back(), "start:network");
    // The last chunks of such a file: received x 100 is far beyond 32 bits.
    link.m_nCaptureReceived = 0x7FFFFFFF - 3000;
    host.ClearCalls();
    Deliver(std::string(2047, 'y'), g_networkCaptureTraits);
    Deliver(std::string(2047, 'y'), g_networkCaptureTraits);
    EXPECT_EQ(host.positions, (std::vector<int>{99, 100}));
    EXPECT_EQ(host.Count("text:2147483647 / 2147483647 Bytes"), 1);
    EXPECT_EQ(host.Count("ended:0"), 1);
    ExpectIdle();
}

TEST_F(CaptureTest, ProgressIsShownPerNewPercentOrIntervalAndAtTheEnd) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(100000), g_networkCaptureTraits);
    host.ClearCalls();
    // 0 % was shown for the header itself.
    Deliver(std::string(100, 'a'), g_networkCaptureTraits);  // still 0 %: skipped
    Deliver(std::string(900, 'a'), g_networkCaptureTraits);  // 1 %: shown
    EXPECT_EQ(host.positions, (std::vector<int>{1}));
    EXPECT_EQ(host.Count("text:1000 / 100000 Bytes"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(CAPTURE_PROGRESS_INTERVAL_MS + 10));
    Deliver(std::string(10, 'a'), g_networkCaptureTraits);  // same percentage, but time passed
    EXPECT_EQ(host.Count("text:1010 / 100000 Bytes"), 1);
    Deliver(std::string(98990, 'a'), g_networkCaptureTraits);  // the end is always shown
    EXPECT_EQ(host.positions.back(), 100);
    EXPECT_EQ(host.Count("text:100000 / 100000 Bytes"), 1);
}

TEST_F(CaptureTest, LengthAboveTwentyOneMegabytesCountsUpToHundred) {
    constexpr int kLength = 25000000;  // received x 100 exceeds 2^31 past 21474836 bytes
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(kLength), g_serialCaptureTraits);
    const std::string chunk(2048, 'q');
    int sent = 0;
    while (sent < kLength) {
        Deliver(chunk, g_serialCaptureTraits);
        sent += 2048;
    }
    ASSERT_FALSE(host.positions.empty());
    for (size_t k = 1; k < host.positions.size(); ++k) {
        EXPECT_LE(host.positions[k - 1], host.positions[k]);
        EXPECT_GE(host.positions[k], 0);
        EXPECT_LE(host.positions[k], 100);
    }
    EXPECT_EQ(host.positions.back(), 100);
    struct stat st {};
    ASSERT_EQ(stat(OutputPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kLength);
    ExpectIdle();
}

TEST_F(CaptureTest, CancelDuringDataClosesThePartialFileAtTheNextChunk) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(100) + "partial", g_serialCaptureTraits);
    host.transferActive = 0;  // Cancel pressed
    host.ClearCalls();
    Deliver("more bytes", g_serialCaptureTraits);
    EXPECT_TRUE(host.Calls().empty());
    EXPECT_EQ(host.console, "");
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "partial");
    ExpectIdle();
    // The partial file is closed: another writer can take it.
    platform::CFile f;
    EXPECT_TRUE(f.OpenRead(OutputPath()));
}

TEST_F(CaptureTest, CancelBeforeTheMarkerDropsTheChunk) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver("BD", g_networkCaptureTraits);
    host.transferActive = 0;
    host.ClearCalls();
    Deliver("xyz", g_networkCaptureTraits);
    EXPECT_TRUE(host.Calls().empty());
    EXPECT_EQ(host.console, "");
    ExpectIdle();
}

TEST_F(CaptureTest, ResetClosesAnOpenFile) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(100) + "part", g_serialCaptureTraits);
    ASSERT_TRUE(link.FileOpen());
    link.ResetCapture();
    ExpectIdle();
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "part");
}

TEST_F(CaptureTest, ReArmingClosesAFileLeftOpenByACancelledCapture) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(100) + "part", g_serialCaptureTraits);
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    EXPECT_FALSE(link.FileOpen());
    EXPECT_EQ(link.m_nCaptureReceived, 0);
    EXPECT_EQ(link.m_nCaptureLength, 0);
    EXPECT_EQ(link.m_nCaptureState, CAPTURE_MARKER);
}

TEST_F(CaptureTest, MissingDirectoryReportsOpenFailedWithThePath) {
    const std::string missing = dir.path + "gone/";
    outputDir = missing;
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(5) + "abcde", g_networkCaptureTraits);
    EXPECT_EQ(host.Calls(), (Calls{"length:5", "clear", "stop:network", "failed"}));
    ASSERT_EQ(host.failures.size(), 1u);
    EXPECT_EQ(host.failures[0].how, CaptureEnd::OpenFailed);
    EXPECT_EQ(host.failures[0].path, missing + kStamp + "data.bin");
    EXPECT_FALSE(host.failures[0].why.empty());
    EXPECT_EQ(host.transferActive.load(), 0);
    EXPECT_TRUE(testutil::ListDir(dir.path).empty());
    ExpectIdle();
}

TEST_F(CaptureTest, UnwritableDirectoryReportsOpenFailed) {
    // /proc takes no new files from anyone, root included (the tests run as root, who writes
    // into any mode-0555 directory).
    outputDir = "/proc/";
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(5) + "abcde", g_serialCaptureTraits);
    ASSERT_EQ(host.failures.size(), 1u);
    EXPECT_EQ(host.failures[0].how, CaptureEnd::OpenFailed);
    EXPECT_EQ(host.failures[0].path, "/proc/" + kStamp + "data.bin");
    EXPECT_FALSE(host.failures[0].why.empty());
    EXPECT_NE(access(host.failures[0].path.c_str(), F_OK), 0);
    ExpectIdle();
}

TEST_F(CaptureTest, LockedOutputFileReportsOpenFailedAndKeepsItsContent) {
    testutil::WriteFile(OutputPath(), "someone else's");
    platform::CFile holder;
    ASSERT_TRUE(holder.OpenCreateWrite(OutputPath()));
    ASSERT_TRUE(holder.Write("held", 4));
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(5) + "abcde", g_serialCaptureTraits);
    EXPECT_EQ(host.Calls(), (Calls{"length:5", "clear", "stop:serial", "failed"}));
    ASSERT_EQ(host.failures.size(), 1u);
    EXPECT_EQ(host.failures[0].how, CaptureEnd::OpenFailed);
    EXPECT_EQ(host.failures[0].path, OutputPath());
    holder.Close();
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "held");
    ExpectIdle();
}

TEST_F(CaptureTest, FailingWriteReportsWriteFailedNotSuccess) {
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    Deliver(Header(5), g_networkCaptureTraits);  // the open succeeds
    host.ClearCalls();
    {
        testutil::FileSizeLimit full(3);  // the disk fills up after 3 bytes
        ASSERT_TRUE(full.ok);
        Deliver("abcde", g_networkCaptureTraits);
    }
    EXPECT_EQ(host.Calls(), (Calls{"clear", "stop:network", "failed"}));
    ASSERT_EQ(host.failures.size(), 1u);
    EXPECT_EQ(host.failures[0].how, CaptureEnd::WriteFailed);
    EXPECT_EQ(host.failures[0].path, OutputPath());
    EXPECT_EQ(host.failures[0].why, "File too large");
    EXPECT_EQ(testutil::ReadFile(OutputPath()), "abc");  // what was stored stays
    EXPECT_EQ(host.transferActive.load(), 0);
    ExpectIdle();
}

// Files of several blocks, in chunks smaller and larger than a block, on either link: the file
// holds every byte once, in order, and the capture completes with the last one.
TEST_F(CaptureTest, FilesOfManyBlocksAreStoredWholeInAnyChunking) {
    std::mt19937 rng(5);
    const std::string data = RandomBytes(rng, 3 * CAPTURE_WRITE_BLOCK + 1234);
    const struct {
        size_t chunk;
        const CCaptureLinkTraits* traits;
    } cases[] = {
        {255, &g_serialCaptureTraits},   {512, &g_networkCaptureTraits},
        {4096, &g_serialCaptureTraits},  {CAPTURE_WRITE_BLOCK, &g_networkCaptureTraits},
        {70001, &g_serialCaptureTraits}, {data.size() + FILE_HEADER_SIZE, &g_networkCaptureTraits},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("chunk " + std::to_string(c.chunk));
        host.transferActive = 1;
        host.ClearCalls();
        link.ArmCapture(host.sendName, outputDir, FixedTime);
        Feed(Header(static_cast<uint32_t>(data.size())) + data, c.chunk, *c.traits);
        EXPECT_EQ(host.Count("ended:0"), 1);
        ASSERT_FALSE(host.positions.empty());
        EXPECT_EQ(host.positions.back(), 100);
        EXPECT_TRUE(testutil::ReadFile(OutputPath()) == data);
        ExpectIdle();
    }
}

// Whatever ends a capture (a full disk during a block or at the end, a reset by a time-out or a
// lost link), the count it tells is what its file holds: the gathered bytes are written first.
TEST_F(CaptureTest, TheStoredCountIsWhatTheFileHolds) {
    std::mt19937 rng(6);
    const std::string data = RandomBytes(rng, 200000);
    const struct {
        const char* what;
        size_t delivered;     // file bytes delivered before the end
        unsigned long limit;  // the disk takes this many bytes; 0: no limit
        bool reset;           // ended by a reset, else by the capture itself (a failed write)
        int64_t stored;
    } cases[] = {
        {"reset after one block", 100000, 0, true, 100000},
        {"reset, the disk full at the rest", 100000, 70000, true, 70000},
        {"the disk full at a block", 200000, 10000, false, 10000},
        {"the disk full at the end", 100000, 90000, false, 90000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host.transferActive = 1;
        host.failures.clear();
        link.ArmCapture(host.sendName, outputDir, FixedTime);
        const uint32_t announced = c.reset ? 200000 : static_cast<uint32_t>(c.delivered);
        CaptureTally tally;
        {
            std::optional<testutil::FileSizeLimit> full;
            if (c.limit > 0 && !c.reset)
                full.emplace(c.limit);
            Feed(Header(announced) + data.substr(0, c.delivered), 1000, g_serialCaptureTraits);
            if (c.reset) {
                if (c.limit > 0)
                    full.emplace(c.limit);
                tally = link.ResetCapture();
            }
        }
        if (c.reset) {
            EXPECT_TRUE(host.failures.empty());
            EXPECT_EQ(tally.stored, c.stored);
            EXPECT_EQ(tally.path, OutputPath());
        } else {
            ASSERT_EQ(host.failures.size(), 1u);
            EXPECT_EQ(host.failures[0].how, CaptureEnd::WriteFailed);
            EXPECT_EQ(host.failures[0].why, "File too large");
            EXPECT_EQ(host.failures[0].stored, c.stored);
        }
        EXPECT_TRUE(testutil::ReadFile(OutputPath()) == data.substr(0, c.stored));
        ExpectIdle();
    }
}

// The capture's "file" is a FIFO nobody reads, standing for a disk that has stalled: the
// receive thread is blocked writing a block. The window's reset (a time-out) returns at once
// with what the file held before that block, and the writer lets go of the file once its write
// is done.
TEST_F(CaptureTest, AResetNeverWaitsForABlockBeingWritten) {
    ASSERT_EQ(mkfifo(OutputPath().c_str(), 0644), 0);
    const int reader = ::open(OutputPath().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, 4096), 0);  // the block cannot fit
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    const std::string data(3 * CAPTURE_WRITE_BLOCK, 'f');
    Deliver(Header(static_cast<uint32_t>(data.size())), g_serialCaptureTraits);
    ASSERT_TRUE(link.FileOpen());
    std::atomic<bool> stepDone{false};
    std::thread receiver([&] {
        Deliver(data.substr(0, CAPTURE_WRITE_BLOCK), g_serialCaptureTraits);  // gathered
        Deliver(data.substr(0, 100), g_serialCaptureTraits);  // blocks in the block's write
        stepDone = true;
    });
    // The block's write has begun when the pipe holds all it can.
    ASSERT_TRUE(testutil::WaitFor([&] {
        int queued = 0;
        return ioctl(reader, FIONREAD, &queued) == 0 && queued == 4096;
    }));
    const CaptureTally tally = link.ResetCapture();
    EXPECT_FALSE(stepDone.load());  // nobody has read the pipe: the write cannot have finished
    EXPECT_EQ(tally.stored, 0);
    EXPECT_FALSE(link.FileOpen());
    // The disk comes back: the block goes out, and its writer closes the file (end of file).
    std::string got;
    char buf[4096];
    for (pollfd p{reader, POLLIN, 0}; ::poll(&p, 1, 5000) > 0;) {
        const ssize_t n = ::read(reader, buf, sizeof buf);
        if (n == 0)
            break;
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    receiver.join();
    ::close(reader);
    EXPECT_EQ(got.size(), CAPTURE_WRITE_BLOCK);
    EXPECT_EQ(host.failures.size(), 0u);
    EXPECT_EQ(host.Count("ended:0"), 0);
    ExpectIdle();
}

// Console noise with many 0x42 bytes and marker prefixes, but no whole marker anywhere in
// noise + marker except at the real one.
std::string MakeNoise(std::mt19937& rng, size_t pieces) {
    std::string noise;
    for (size_t k = 0; k < pieces; ++k) {
        std::string piece;
        switch (rng() % 4) {
            case 0:
                piece = RandomBytes(rng, 1 + rng() % 6);
                break;
            case 1:
                piece = "B";
                break;
            default:
                piece = kMarker.substr(0, 1 + rng() % (FILE_MARKER_SIZE - 1));
                break;
        }
        if ((noise + piece).find(kMarker) == std::string::npos)
            noise += piece;
    }
    // Noise ending in the marker's first 13 bytes would end with the real marker's first byte.
    if ((noise + kMarker).find(kMarker) != noise.size())
        noise += 'x';
    return noise;
}

struct Stream {
    std::string noise, data, garbage, bytes;
};

Stream MakeStream(unsigned seed) {
    std::mt19937 rng(seed);
    Stream s;
    s.noise = MakeNoise(rng, 60);
    s.data = RandomBytes(rng, 3000 + rng() % 2000);
    s.garbage = RandomBytes(rng, 300) + kMarker;
    s.bytes = s.noise + Header(static_cast<uint32_t>(s.data.size())) + s.data + s.garbage;
    return s;
}

class CaptureStreamTest : public CaptureTest {
protected:
    // Delivers `bytes` cut at `cuts` (ascending), the rest in 2048-byte chunks, and checks the
    // outcome.
    void Run(const Stream& s, const std::vector<size_t>& cuts, const CCaptureLinkTraits& traits) {
        host.transferActive = 1;
        host.console.clear();
        host.plainConsole.clear();
        link.ArmCapture(host.sendName, outputDir, FixedTime);
        size_t at = 0;
        for (size_t cut : cuts) {
            Deliver(s.bytes.substr(at, cut - at), traits);
            at = cut;
        }
        Feed(s.bytes.substr(at), 2048, traits);
        Check(s);
    }
    void Check(const Stream& s) {
        ASSERT_EQ(host.console, s.noise);
        ASSERT_EQ(testutil::ReadFile(OutputPath()), s.data);
        const std::string& shown = host.plainConsole;
        ASSERT_LE(shown.size(), s.garbage.size());
        ASSERT_EQ(s.garbage.substr(s.garbage.size() - shown.size()), shown);
        ASSERT_EQ(link.m_bCaptureArmed.load(), 0);
        ASSERT_EQ(host.transferActive.load(), 0);
    }
};

TEST_F(CaptureStreamTest, EverySplitPointOfTheHeaderRegion) {
    for (unsigned seed : {11u, 12u}) {
        const Stream s = MakeStream(seed);
        const size_t end = s.noise.size() + FILE_HEADER_SIZE + 4;
        for (size_t cut = 1; cut < end; ++cut) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " cut " + std::to_string(cut));
            Run(s, {cut}, g_serialCaptureTraits);
        }
    }
}

TEST_F(CaptureStreamTest, EveryPairOfSplitPointsInsideTheHeader) {
    const Stream s = MakeStream(13);
    const size_t first = s.noise.size() - 2;
    const size_t last = s.noise.size() + FILE_HEADER_SIZE + 2;
    for (size_t a = first; a < last; ++a) {
        for (size_t b = a + 1; b <= last; ++b) {
            SCOPED_TRACE("cuts " + std::to_string(a) + "," + std::to_string(b));
            Run(s, {a, b}, g_networkCaptureTraits);
        }
    }
}

TEST_F(CaptureStreamTest, FixedChunkSizes) {
    for (size_t size : {1u, 2u, 3u, 7u, 255u, 2047u, 2048u}) {
        for (unsigned seed : {21u, 22u, 23u}) {
            SCOPED_TRACE("size " + std::to_string(size) + " seed " + std::to_string(seed));
            const Stream s = MakeStream(seed);
            host.transferActive = 1;
            host.console.clear();
            host.plainConsole.clear();
            link.ArmCapture(host.sendName, outputDir, FixedTime);
            Feed(s.bytes, size, size % 2 ? g_serialCaptureTraits : g_networkCaptureTraits);
            Check(s);
        }
    }
}

// The serial receive thread runs capture steps while the window thread resets and re-arms the
// link, as the time-out and a new File Send do. Nothing may race (TSan) or crash.
TEST_F(CaptureTest, StepsRaceResetAndArmingSafely) {
    host.keepActive = true;
    host.record = false;
    const Stream s = MakeStream(31);
    std::atomic<bool> stop{false};
    std::atomic<int> steps{0};
    link.ArmCapture(host.sendName, outputDir, FixedTime);
    std::thread receiver([&] {
        size_t at = 0;
        while (!stop.load()) {
            const std::string chunk = s.bytes.substr(at, 97);
            at = at + 97 < s.bytes.size() ? at + 97 : 0;
            if (link.m_bCaptureArmed.load() == 1) {
                CaptureStep(link, g_serialCaptureTraits, host,
                            reinterpret_cast<const unsigned char*>(chunk.data()),
                            static_cast<int>(chunk.size()));
                steps.fetch_add(1);
            }
        }
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    int rounds = 0;
    while (std::chrono::steady_clock::now() < until) {
        link.ResetCapture();
        std::this_thread::yield();
        link.ArmCapture(host.sendName, outputDir, FixedTime);
        std::this_thread::sleep_for(std::chrono::microseconds(50 + rounds % 200));
        ++rounds;
    }
    stop = true;
    receiver.join();
    link.ResetCapture();
    ExpectIdle();
    EXPECT_GT(rounds, 10);
    EXPECT_GT(steps.load(), 10);
    std::lock_guard lock(host.Mutex());
    EXPECT_FALSE(host.positions.empty());  // file data was written while resets went on
}

}  // namespace
