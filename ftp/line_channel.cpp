#include "ftp/line_channel.h"

#include <cerrno>
#include <cstring>

#include "ftp/tcp_socket.h"
#include "ftp/tls.h"

namespace klv::ftp {

long SocketSource::Read(char* buffer, std::size_t size) {
    const long got = ssl_ != nullptr ? tls::Read(ssl_, buffer, size, deadline_)
                                     : tcp::ReceiveSome(fd_, buffer, size, deadline_);
    // A wait that Cancel ended leaves the connection sound enough for a last "QUIT".
    failed_ = failed_ || (got < 0 && errno != ECANCELED);
    return got;
}

LineStatus LineReader::ReadLine(std::string& line) {
    line.clear();
    bool anyByte = false;
    for (;;) {
        if (begin_ == end_) {
            const long got = source_.Read(buffer_.data(), buffer_.size());
            if (got < 0) {
                line.clear();
                return LineStatus::Failed;
            }
            if (got == 0) {
                if (!anyByte) {
                    return LineStatus::EndOfStream;
                }
                if (line.size() > kMaxLineLength) {
                    line.clear();
                    return LineStatus::Failed;
                }
                return LineStatus::Line;
            }
            begin_ = 0;
            end_ = static_cast<std::size_t>(got);
        }

        const char* start = buffer_.data() + begin_;
        const std::size_t available = end_ - begin_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', available));
        const std::size_t take = lf != nullptr ? static_cast<std::size_t>(lf - start) : available;
        begin_ += take + (lf != nullptr ? 1 : 0);

        if (skippingRestOfLine_) {
            skippingRestOfLine_ = lf == nullptr;
            continue;
        }
        anyByte = true;
        line.append(start, take);
        if (lf != nullptr) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.size() > kMaxLineLength) {
                line.clear();
                return LineStatus::Failed;
            }
            return LineStatus::Line;
        }
        // One byte of slack for a CR that may still be followed by its LF.
        if (line.size() > kMaxLineLength + 1) {
            line.clear();
            skippingRestOfLine_ = true;
            return LineStatus::Failed;
        }
    }
}

bool LineWriter::WriteLine(std::string_view line, Deadline deadline) {
    pending_.assign(line);
    pending_ += "\r\n";
    if (ssl_ != nullptr) {
        return tls::Write(ssl_, pending_.data(), pending_.size(), deadline) >= 0;
    }
    return tcp::SendAll(fd_, pending_.data(), pending_.size(), deadline);
}

}  // namespace klv::ftp
