// The link primitives against a peer that speaks raw bytes.

#include "LinkFixture.h"

#include "node/LinkPrimitives.h"
#include "node/Protocol.h"
#include "port/writefault.h"

#include <atomic>
#include <filesystem>
#include <thread>

using namespace Varnix;
using Clock = std::chrono::steady_clock;

// ------------------------------------------------------------------ signals

TEST_F(LinkTest, SignalsGoOnTheWireLittleEndian) {
    EXPECT_EQ(0, writeSignal(node.get(), nodeGreeting, 5));
    EXPECT_EQ(0, writeSignal(node.get(), masterGreeting, 5));
    EXPECT_EQ(0, writeSignal(node.get(), hostGreeting, 5));
    EXPECT_EQ(0, writeSignal(node.get(), endSignal, 5));
    EXPECT_EQ(0, writeSignal(node.get(), fileDumpSignal, 5));
    EXPECT_EQ(std::string("\x27\x18\xC0\xC0"
                          "\x29\x37\xC0\xC0"
                          "\x72\x21\xC0\xC0"
                          "\x26\x48\xC0\xC0"
                          "\x27\x58\xC0\xC0",
                          20),
              peerReads(20));
}

TEST_F(LinkTest, ReadSignalDecodesThePeersBytes) {
    peerWrites(std::string("\x29\x37\xC0\xC0\x26\x48\xC0\xC0", 8));
    EXPECT_EQ(masterGreeting, readSignal(node.get(), 5));
    EXPECT_EQ(endSignal, readSignal(node.get(), 5));
}

TEST_F(LinkTest, ThreeBytesReplaceOnlyTheLowOrderBytes) {
    peerWrites(std::string("\x72\x21\xC0", 3));
    auto start = Clock::now();
    std::uint32_t value = readSignal(node.get(), 1);
    EXPECT_EQ(0xFFC02172u, value);
    EXPECT_NE(hostGreeting, value);
    EXPECT_GE(msSince(start), 900);
}

TEST_F(LinkTest, ReadSignalWithNothingComing) {
    auto start = Clock::now();
    EXPECT_EQ(noSignal, readSignal(node.get(), 0));
    EXPECT_LT(msSince(start), 30000);  // no wait, not the socket's default 600 s

    start = Clock::now();
    EXPECT_EQ(noSignal, readSignal(node.get(), 1));
    EXPECT_GE(msSince(start), 900);
    EXPECT_LT(msSince(start), 30000);
}

TEST_F(LinkTest, NothingMovesOnASocketThatIsNotUsable) {
    EXPECT_EQ(1, writeSignal(nullptr, endSignal, 5));
    EXPECT_EQ(noSignal, readSignal(nullptr, 5));
    EXPECT_EQ(1, writeString(nullptr, String(u"x")));
    String text;
    EXPECT_EQ(1, readString(nullptr, text));

    peer->Destroy();
    auto start = Clock::now();
    while (isUsable(node.get()) && msSince(start) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(isUsable(node.get()));
    start = Clock::now();
    EXPECT_EQ(1, writeSignal(node.get(), endSignal, 60));
    EXPECT_EQ(noSignal, readSignal(node.get(), 60));
    EXPECT_EQ(1, sendFile(node.get(), path("none")));
    EXPECT_LT(msSince(start), 30000);  // no 60 s time-out is waited for
}

TEST_F(LinkTest, EndSentJustBeforeTheCloseIsStillRead) {
    peerWrites(std::string("\x26\x48\xC0\xC0", 4));
    peer->Destroy();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(endSignal, readSignal(node.get(), 0));
    EXPECT_FALSE(isUsable(node.get()));
}

TEST_F(LinkTest, SignalArrivingInPiecesIsKeptUntilItsFourBytesAreIn) {
    PartialSignal pending;
    EXPECT_EQ(noSignal, pending.poll(node.get()));
    // END in three pieces, then a file-dump signal in the same segment as
    // END's last byte.
    for (const std::string& piece : {std::string("\x26"), std::string("\x48\xC0")}) {
        peerWrites(piece);
        ASSERT_TRUE(node->WaitForRead(5000));
        EXPECT_EQ(noSignal, pending.poll(node.get()));
    }
    peerWrites(std::string("\xC0\x27\x58", 3));
    ASSERT_TRUE(node->WaitForRead(5000));
    EXPECT_EQ(endSignal, pending.poll(node.get()));
    EXPECT_EQ(noSignal, pending.poll(node.get()));
    peerWrites(std::string("\xC0\xC0", 2));
    ASSERT_TRUE(node->WaitForRead(5000));
    EXPECT_EQ(fileDumpSignal, pending.poll(node.get()));
    EXPECT_EQ(noSignal, pending.poll(nullptr));
}

// ------------------------------------------------------------------ strings

TEST_F(LinkTest, WriteStringSendsTheTextAndOneNul) {
    EXPECT_EQ(0, writeString(node.get(), String("C:\\Node/drData/")));
    EXPECT_EQ(0, writeString(node.get(), String()));
    EXPECT_EQ(std::string("C:\\Node/drData/\0\0", 17), peerReads(17));
    EXPECT_EQ("", peerReads(1, 0));  // nothing more
}

TEST_F(LinkTest, ReadStringTakesTextUpToTheNul) {
    peerWrites(std::string("2014 12\0\0after", 14));
    String text(u"old");
    EXPECT_EQ(0, readString(node.get(), text));
    EXPECT_TRUE(text == String(u"2014 12"));
    EXPECT_EQ(0, readString(node.get(), text));  // the frame that is only a NUL
    EXPECT_EQ(0, text.length());
    char rest[5];
    node->SetTimeout(1);
    node->Read(rest, 5);
    EXPECT_EQ("after", std::string(rest, node->LastReadCount()));
}

TEST_F(LinkTest, ReadStringFailsWhenTheSenderClosesMidString) {
    peerWrites("20");
    peer->Destroy();
    String text;
    auto start = Clock::now();
    EXPECT_EQ(1, readString(node.get(), text));
    EXPECT_LT(msSince(start), 20000);  // the close, not the 30 s time-out
}

TEST_F(LinkTest, ReadStringAllowsPausesWithinItsDeadlineAndGivesUpOnSilence) {
    std::thread sender([this] {
        peerWrites("20");
        std::this_thread::sleep_for(std::chrono::seconds(2));
        peerWrites(std::string("14\0", 3));  // a pause well inside the deadline
    });
    String text;
    EXPECT_EQ(0, readString(node.get(), text));
    sender.join();
    EXPECT_TRUE(text == String(u"2014"));

    peerWrites("20");  // then silence
    EXPECT_EQ(1, readString(node.get(), text));
}

TEST_F(LinkTest, ReadStringGivesUpOnAPeerDrippingOneByteAtATime) {
    // One byte a second, never the end: each byte comes well within any
    // per-byte time-out, so only a deadline for the whole frame ends it.
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread dripper([&] {
        for (int i = 0; i < 120 && !done; ++i) {
            char digit = '1';
            peer->SetTimeout(2);
            peer->Write(&digit, 1);
            if (peer->LastWriteCount() != 1) break;
            ++sent;
            for (int t = 0; t < 10 && !done; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    String text;
    EXPECT_EQ(1, readString(node.get(), text));
    int sentWhenGivenUp = sent;
    done = true;
    dripper.join();
    // The reader gave up while the peer was still dripping, long before the
    // frame could have reached its size limit.
    EXPECT_LT(sentWhenGivenUp, 120);
    EXPECT_LT(text.length(), 120);
}

TEST_F(LinkTest, ReadStringTakesWhatMastersSendAndRefusesMuchMore) {
    peerWrites(std::string("2014 12\0", 8));
    String text;
    EXPECT_EQ(0, readString(node.get(), text));
    EXPECT_TRUE(text == String(u"2014 12"));
    // A kilobyte is far beyond any job's parameters.
    peerWrites(std::string(1024, '5') + std::string(1, '\0'));
    EXPECT_EQ(1, readString(node.get(), text));
    EXPECT_LE(text.length(), 1024);
}

TEST_F(LinkTest, ReadStringRefusesATextWithoutEnd) {
    std::string longest(maxStringFrameBytes, '7');
    peerWrites(longest + std::string(1, '\0'));
    String text;
    EXPECT_EQ(0, readString(node.get(), text));
    EXPECT_EQ(maxStringFrameBytes, text.length());

    std::thread flood([this] {
        std::string block(65536, '9');
        peer->SetTimeout(2);
        for (int i = 0; i < 8; ++i) peer->Write(block.data(), static_cast<std::uint32_t>(block.size()));
    });
    EXPECT_EQ(1, readString(node.get(), text));
    // Refused at the cap, not at the end of the flood nor after a time-out:
    // the rest of the flood is still unread.
    char rest[4096];
    node->SetTimeout(5);
    node->Read(rest, sizeof rest);
    EXPECT_EQ(sizeof rest, node->LastReadCount());
    node->Destroy();
    flood.join();
}

// ------------------------------------------------------------------ files

class FileFrameTest : public LinkTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FileFrameTest, SendFileWritesSizeThenContent) {
    std::string content = pattern(GetParam());
    writeBytes("scene.max", content);
    std::string received;
    std::thread reader([&] { received = peerReads(static_cast<std::uint32_t>(4 + content.size())); });
    EXPECT_EQ(0, sendFile(node.get(), path("scene.max")));
    reader.join();
    EXPECT_EQ(le32(static_cast<std::uint32_t>(content.size())) + content, received);
    EXPECT_EQ("", peerReads(1, 0));
}

TEST_P(FileFrameTest, ReceiveFileStoresExactlyTheContent) {
    std::string content = pattern(GetParam());
    std::thread writer([&] { peerWrites(le32(static_cast<std::uint32_t>(content.size())) + content + "tail"); });
    EXPECT_EQ(0, receiveFile(node.get(), path("received_scene.max")));
    writer.join();
    EXPECT_EQ(content, readBytes("received_scene.max"));
    char rest[4];
    node->SetTimeout(1);
    node->Read(rest, 4);  // the frame's end was respected
    EXPECT_EQ("tail", std::string(rest, node->LastReadCount()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileFrameTest, ::testing::Values(0, 1, 65535, 65536, 65537, 300000));

TEST_F(LinkTest, ReceiveFileReplacesAnOlderFile) {
    writeBytes("f", "older and longer content");
    peerWrites(le32(3) + "new");
    EXPECT_EQ(0, receiveFile(node.get(), path("f")));
    EXPECT_EQ("new", readBytes("f"));
}

// A local program may plant links in the data directory: the node must never
// write through them, nor send what they point to.
TEST_F(LinkTest, ReceiveFileReplacesALinkInsteadOfWritingThroughIt) {
    writeBytes("outside.txt", "keep me");
    std::filesystem::create_symlink(directory / "outside.txt", directory / "received_scene.max");
    peerWrites(le32(3) + "new");
    EXPECT_EQ(0, receiveFile(node.get(), path("received_scene.max")));
    EXPECT_EQ("keep me", readBytes("outside.txt"));
    EXPECT_FALSE(std::filesystem::is_symlink(directory / "received_scene.max"));
    EXPECT_EQ("new", readBytes("received_scene.max"));

    // A failed transfer does not empty the link's target either.
    std::filesystem::remove(directory / "received_scene.max");
    std::filesystem::create_symlink(directory / "outside.txt", directory / "received_scene.max");
    peerWrites(le32(static_cast<std::uint32_t>(-5)));
    EXPECT_EQ(1, receiveFile(node.get(), path("received_scene.max")));
    EXPECT_EQ("keep me", readBytes("outside.txt"));
}

TEST_F(LinkTest, ALinkIsNeverSentNorMeasured) {
    writeBytes("secret.txt", "not for the master");
    std::filesystem::create_symlink(directory / "secret.txt", directory / "dump1.exr");
    EXPECT_EQ(-1, getFileSize(path("dump1.exr")));
    EXPECT_EQ(1, sendFile(node.get(), path("dump1.exr")));
    EXPECT_EQ("", peerReads(1, 1));
}

TEST_F(LinkTest, NegativeSizeLeavesAnEmptyFile) {
    writeBytes("f", "older");
    peerWrites(le32(static_cast<std::uint32_t>(-5)));
    EXPECT_EQ(1, receiveFile(node.get(), path("f")));
    EXPECT_EQ("", readBytes("f"));
}

TEST_F(LinkTest, NoSizeAtAllFails) {
    peer->Destroy();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1, receiveFile(node.get(), path("f")));
}

TEST_F(LinkTest, ShortSizeFails) {
    peerWrites(std::string("\x05\x00", 2));
    peer->Destroy();
    EXPECT_EQ(1, receiveFile(node.get(), path("f")));
    EXPECT_EQ("", readBytes("f"));
}

// A disk that fills mid-scene (port/writefault.h): the transfer fails with
// the system's reason, and only what fitted is on disk.
TEST_F(LinkTest, ReceiveFileOntoAFullDiskFailsWithTheSystemsReason) {
    struct Unlimited {
        ~Unlimited() { Port::limitFileWrites(-1); }
    } unlimitedAtTheEnd;
    Port::limitFileWrites(1000);
    std::string content = pattern(3000);
    peerWrites(le32(3000) + content);
    String failure;
    EXPECT_EQ(1, receiveFile(node.get(), path("received_scene.max"), &failure));
    Port::limitFileWrites(-1);
    EXPECT_EQ(content.substr(0, 1000), readBytes("received_scene.max"));
    std::string reason = ": " + Port::diskFull().text();
    std::string said = failure.toNarrow();
    EXPECT_TRUE(said.size() > reason.size() && said.compare(said.size() - reason.size(), reason.size(), reason) == 0)
        << said;
}

TEST_F(LinkTest, UncreatablePathLeavesTheFrameUnread) {
    peerWrites(le32(3) + "abc");
    EXPECT_EQ(1, receiveFile(node.get(), path("missing-dir/f")));
    char frame[7];
    node->SetTimeout(1);
    node->Read(frame, 7);
    EXPECT_EQ(le32(3) + "abc", std::string(frame, node->LastReadCount()));
}

TEST_F(LinkTest, SenderStoppingMidFileLeavesOnlyWhatCame) {
    std::string sent = pattern(70000);
    peerWrites(le32(100000) + sent);
    peer->Destroy();
    EXPECT_EQ(1, receiveFile(node.get(), path("cut.max")));
    EXPECT_EQ(sent, readBytes("cut.max"));  // no bytes that the sender never sent
}

TEST_F(LinkTest, SendFileOfAMissingPathWritesNothing) {
    EXPECT_EQ(1, sendFile(node.get(), path("nothing-here.exr")));
    EXPECT_EQ("", peerReads(1, 1));
}

TEST_F(LinkTest, SendFileFailsWhenThePeerGoesMidFile) {
    // Far more than loopback's socket buffers hold together (several MiB
    // each way once tuned), so the send cannot end before the peer goes
    // however late its reader is scheduled.
    writeBytes("big.exr", pattern(64 * 1024 * 1024));
    std::thread reader([this] {
        peerReads(4 + 1000);
        peer->Destroy();
    });
    auto start = Clock::now();
    EXPECT_EQ(1, sendFile(node.get(), path("big.exr")));
    reader.join();
    EXPECT_LT(msSince(start), 30000);  // the reset, not the 60 s time-out
}

TEST_F(LinkTest, SendFileEndsAtItsDeadlineWhenThePeerTakesNothingMore) {
    // Far more than the socket buffers hold; the peer never reads.
    writeBytes("big.exr", pattern(32 * 1024 * 1024));
    EXPECT_EQ(1, sendFile(node.get(), path("big.exr"), 1));
    EXPECT_TRUE(node->IsOk());  // the connection is up, but the frame was cut

    Port::InputFile file(path("big.exr").wideCString());
    ASSERT_EQ(Port::InputFile::Status::opened, file.status());
    EXPECT_EQ(Port::FileSendEnd::timedOut, sendFileFrame(node.get(), file, 1));
}

TEST_F(LinkTest, SendFileFrameTellsACutFrameFromOneNeverStarted) {
    writeBytes("d.exr", pattern(100000));
    Port::InputFile file(path("d.exr").wideCString());
    ASSERT_EQ(Port::InputFile::Status::opened, file.status());
    EXPECT_EQ(Port::FileSendEnd::notStarted, sendFileFrame(nullptr, file));
    // The file ends before its size: all it still had went out.
    std::filesystem::resize_file(directory / "d.exr", 70000);
    std::string received;
    std::thread reader([&] { received = peerReads(4 + 100000, 2); });
    EXPECT_EQ(Port::FileSendEnd::fileShrank, sendFileFrame(node.get(), file));
    reader.join();
    EXPECT_EQ(le32(100000) + pattern(70000), received);
}

TEST_F(LinkTest, FilesThatCannotBeSentAreRefusedWithoutBlocking) {
    std::filesystem::create_directory(directory / "dir.exr");
    Port::InputFile dir(path("dir.exr").wideCString());
    EXPECT_EQ(Port::InputFile::Status::notRegular, dir.status());
    Port::InputFile absent(path("absent.exr").wideCString());
    EXPECT_EQ(Port::InputFile::Status::gone, absent.status());
    EXPECT_EQ(-1, absent.size());
    EXPECT_EQ(1, sendFile(node.get(), path("dir.exr")));
    EXPECT_EQ("", peerReads(1, 1));
}

TEST_F(LinkTest, FileTooLargeForAFrameIsNeverAnnounced) {
    // Sparse files: no disk space is used.
    std::filesystem::path huge = directory / "huge.exr";
    { std::ofstream(huge, std::ios::binary); }
    std::filesystem::resize_file(huge, 4294967296ull + 10);
    EXPECT_EQ(-1, getFileSize(path("huge.exr")));
    EXPECT_EQ(1, sendFile(node.get(), path("huge.exr")));
    EXPECT_EQ("", peerReads(1, 1));

    std::filesystem::resize_file(huge, 2147483648ull);
    EXPECT_EQ(-1, getFileSize(path("huge.exr")));
    std::filesystem::resize_file(huge, 2147483647ull);
    EXPECT_EQ(2147483647, getFileSize(path("huge.exr")));
}

TEST_F(LinkTest, GetFileSize) {
    writeBytes("three", "abc");
    writeBytes("empty", "");
    EXPECT_EQ(3, getFileSize(path("three")));
    EXPECT_EQ(0, getFileSize(path("empty")));
    EXPECT_EQ(-1, getFileSize(path("absent")));
    EXPECT_EQ(-1, getFileSize(String(directory.string().c_str())));
}

// ------------------------------------------------------------------ holder

TEST_F(LinkTest, ReleasingTheHolderClosesTheConnection) {
    std::unique_ptr<Port::StreamSocket> holder(std::move(node));
    holder.reset();
    EXPECT_EQ(nullptr, holder.get());
    holder.reset();  // empty: nothing happens
    EXPECT_EQ("", peerReads(1, 2));
    EXPECT_TRUE(peer->IsClosed());
}

TEST_F(LinkTest, HolderClosesOnDestruction) {
    { std::unique_ptr<Port::StreamSocket> holder(std::move(node)); }
    EXPECT_EQ("", peerReads(1, 2));
    EXPECT_TRUE(peer->IsClosed());
}
