// The line channel of the control connection: a buffered line reader and a line writer
// over one socket.
//
// The reader works like curl's Curl_pp_readresp: it receives into a 4096-byte buffer,
// returns a line the moment its LF has arrived, and keeps whatever followed for the
// next call. It never waits to fill its buffer, so a reply is seen as soon as it is
// complete.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "base/wait.h"

// OpenSSL's connection type, without its headers.
typedef struct ssl_st SSL;  // NOLINT(modernize-use-using): OpenSSL declares it so

namespace klv::ftp {

inline constexpr std::size_t kLineBufferSize = 4096;
// A longer reply line fails the read, so no server can make the client's memory grow
// without bound. RFC 959 replies are a fraction of this.
inline constexpr std::size_t kMaxLineLength = 8192;

// Where the reader's bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to `size` bytes into `buffer`: the count read, 0 at the end of the stream, -1 on
    // failure (including nothing arriving within the connection's idle bound).
    [[nodiscard]] virtual long Read(char* buffer, std::size_t size) = 0;
};

// The bytes of a connected socket, each read waiting at most until the deadline set last.
class SocketSource final : public ByteSource {
public:
    explicit SocketSource(int fd) : fd_(fd) {}
    [[nodiscard]] long Read(char* buffer, std::size_t size) override;
    // Reads from now on fail once `deadline` has passed with nothing to read.
    void SetDeadline(Deadline deadline) { deadline_ = deadline; }
    // From now on the bytes are read through TLS on this socket (after "AUTH TLS").
    void UseTls(SSL* ssl) { ssl_ = ssl; }
    // True once a read has failed: the connection broke, or nothing came within its
    // idle bound.
    [[nodiscard]] bool failed() const { return failed_; }

private:
    int fd_;
    SSL* ssl_ = nullptr;
    Deadline deadline_{};
    bool failed_ = false;
};

enum class LineStatus {
    Line,         // a line was read (possibly cut short by the end of the stream)
    EndOfStream,  // the stream ended before any byte of a line arrived
    Failed,       // the source failed, or the line was longer than kMaxLineLength
};

class LineReader {
public:
    explicit LineReader(ByteSource& source) : source_(source) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Reads the next line into `line`, without its LF or CR LF. A line that the end of
    // the stream cuts short is still returned as a line.
    [[nodiscard]] LineStatus ReadLine(std::string& line);

    // True when bytes have been received that no ReadLine has returned yet.
    [[nodiscard]] bool HasBufferedBytes() const { return begin_ != end_; }

private:
    ByteSource& source_;
    std::array<char, kLineBufferSize> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    // After an over-long line failed before its LF arrived, the rest of it is dropped so
    // that the next read starts at the next line.
    bool skippingRestOfLine_ = false;
};

class LineWriter {
public:
    explicit LineWriter(int fd) : fd_(fd) {}

    // Sends `line` followed by CR LF, all of it by `deadline`, in one send where the
    // socket allows.
    [[nodiscard]] bool WriteLine(std::string_view line, Deadline deadline);
    // From now on lines are written through TLS on this socket (after "AUTH TLS").
    void UseTls(SSL* ssl) { ssl_ = ssl; }

private:
    int fd_;
    SSL* ssl_ = nullptr;
    std::string pending_;  // reused: no allocation per command once it has grown
};

}  // namespace klv::ftp
