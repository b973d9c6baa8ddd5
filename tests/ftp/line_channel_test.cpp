#include "ftp/line_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <deque>
#include <string>
#include <thread>

#include "ftp/socket_fd.h"

namespace klv::ftp {
namespace {

// Hands out scripted chunks, then the end of the stream (or a failure).
class ChunkSource final : public ByteSource {
public:
    explicit ChunkSource(std::deque<std::string> chunks, bool failAtEnd = false)
        : chunks_(std::move(chunks)), failAtEnd_(failAtEnd) {}

    long Read(char* buffer, std::size_t size) override {
        ++reads;
        if (chunks_.empty()) {
            return failAtEnd_ ? -1 : 0;
        }
        std::string& chunk = chunks_.front();
        const std::size_t count = std::min(size, chunk.size());
        chunk.copy(buffer, count);
        chunk.erase(0, count);
        if (chunk.empty()) {
            chunks_.pop_front();
        }
        return static_cast<long>(count);
    }

    int reads = 0;

private:
    std::deque<std::string> chunks_;
    bool failAtEnd_;
};

TEST(LineReader, SplitsLinesAtLfAndDropsCrLf) {
    ChunkSource source({"220 one\r\n230 two\n331 three\r\n"});
    LineReader reader(source);
    std::string line;
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "220 one");
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "230 two");
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "331 three");
    EXPECT_EQ(reader.ReadLine(line), LineStatus::EndOfStream);
}

TEST(LineReader, ReturnsALineAsSoonAsItsLfArrivesAndKeepsTheRest) {
    ChunkSource source({"220 a\r\n22", "1 b\r\n"});
    LineReader reader(source);
    std::string line;
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "220 a");
    EXPECT_EQ(source.reads, 1);  // no second read to fill the buffer
    EXPECT_TRUE(reader.HasBufferedBytes());
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "221 b");
    EXPECT_FALSE(reader.HasBufferedBytes());
}

TEST(LineReader, AssemblesLinesArrivingOneByteAtATime) {
    std::deque<std::string> bytes;
    for (const char c : std::string("230-x\r\n230 y\r\n")) {
        bytes.emplace_back(1, c);
    }
    ChunkSource source(std::move(bytes));
    LineReader reader(source);
    std::string line;
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "230-x");
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "230 y");
}

TEST(LineReader, CrSplitFromItsLfIsStillDropped) {
    ChunkSource source({"220 a\r", "\n"});
    LineReader reader(source);
    std::string line;
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "220 a");
}

TEST(LineReader, OnlyTheCrBeforeTheLfIsDropped) {
    ChunkSource source({"a\rb\r\r\n"});
    LineReader reader(source);
    std::string line;
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "a\rb\r");
}

TEST(LineReader, EmptyLinesAreLines) {
    ChunkSource source({"\r\n\n"});
    LineReader reader(source);
    std::string line = "stale";
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "");
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "");
    EXPECT_EQ(reader.ReadLine(line), LineStatus::EndOfStream);
}

TEST(LineReader, LineCutShortByTheEndOfTheStreamIsALine) {
    ChunkSource source({"220 Hel"});
    LineReader reader(source);
    std::string line;
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "220 Hel");
    EXPECT_EQ(reader.ReadLine(line), LineStatus::EndOfStream);
}

TEST(LineReader, FailureOfTheSourceFailsTheRead) {
    ChunkSource source({"220 partial"}, /*failAtEnd=*/true);
    LineReader reader(source);
    std::string line;
    EXPECT_EQ(reader.ReadLine(line), LineStatus::Failed);
}

TEST(LineReader, LinesOfTheLongestLengthAreRead) {
    const std::string longest(kMaxLineLength, 'x');
    ChunkSource source({longest + "\r\n" + longest + "\n" + longest});
    LineReader reader(source);
    std::string line;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(reader.ReadLine(line), LineStatus::Line) << i;
        EXPECT_EQ(line, longest);
    }
}

TEST(LineReader, OverLongLineFailsAndTheNextLineIsReadCleanly) {
    ChunkSource source({std::string(kMaxLineLength + 1, 'x') + "\r\n220 after\r\n"});
    LineReader reader(source);
    std::string line;
    EXPECT_EQ(reader.ReadLine(line), LineStatus::Failed);
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "220 after");
}

TEST(LineReader, EndlessLineFailsWithoutGrowingForEver) {
    // 1 MiB without a line feed: the read fails long before it has all arrived.
    std::deque<std::string> chunks(256, std::string(4096, 'y'));
    chunks.push_back("\r\n221 bye\r\n");
    ChunkSource source(std::move(chunks));
    LineReader reader(source);
    std::string line;
    EXPECT_EQ(reader.ReadLine(line), LineStatus::Failed);
    EXPECT_LE(source.reads, 4);
    // The rest of the long line is skipped.
    ASSERT_EQ(reader.ReadLine(line), LineStatus::Line);
    EXPECT_EQ(line, "221 bye");
}

TEST(LineReader, OverLongLineCutShortByTheEndFails) {
    ChunkSource source({std::string(kMaxLineLength + 1, 'x')});
    LineReader reader(source);
    std::string line;
    EXPECT_EQ(reader.ReadLine(line), LineStatus::Failed);
}

TEST(LineWriter, SendsTheLineWithCrLf) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd near(pair[0]);
    UniqueFd far(pair[1]);
    LineWriter writer(near.get());
    ASSERT_TRUE(writer.WriteLine("USER klv"));
    ASSERT_TRUE(writer.WriteLine(""));
    char buffer[64] = {};
    const ssize_t got = ::recv(far.get(), buffer, sizeof buffer, 0);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)), "USER klv\r\n\r\n");
}

TEST(LineWriter, WritingToAClosedConnectionFailsInsteadOfEndingTheProcess) {
    // SIGPIPE is not ignored in this test program: only MSG_NOSIGNAL keeps it alive.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd near(pair[0]);
    UniqueFd(pair[1]).reset();
    LineWriter writer(near.get());
    EXPECT_FALSE(writer.WriteLine("NOOP"));
}

TEST(LineWriter, SendsLinesLongerThanTheSocketBuffer) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd near(pair[0]);
    UniqueFd far(pair[1]);
    const int small = 4096;
    ::setsockopt(near.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string longLine(1 << 20, 'z');
    std::string received;
    std::thread reader([&] {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::recv(far.get(), buffer, sizeof buffer, 0);
            if (got <= 0) {
                return;
            }
            received.append(buffer, static_cast<std::size_t>(got));
        }
    });
    LineWriter writer(near.get());
    const bool written = writer.WriteLine(longLine);
    near.reset();
    reader.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(received, longLine + "\r\n");
}

}  // namespace
}  // namespace klv::ftp
