// ReplyAssembler: tells when the lines of one FTP reply are complete (RFC 959 §4.2).
//
// Pure logic, no socket: the caller reads lines and hands each one in.
//
//   220 Service ready               a single-line reply
//   230-Welcome                     opens a block (fourth character "-")
//   230                             body: three characters are too short
//   230-more                        body: "-" in fourth place
//   231 other code                  body: another number
//   230 Logged on                   closes it: same number, space in fourth place
//
// The numbers are compared as atol reads them (LeadingNumber), not as text.
#pragma once

#include <string_view>

namespace klv::ftp {

// The reply class of a non-empty line: its first byte, taken as a signed 8-bit value,
// minus '0'. 1 to 5 for a well-formed reply.
[[nodiscard]] int ReplyClass(std::string_view line);

class ReplyAssembler {
public:
    // Takes the next line of the reply (without its terminator). Returns true once the
    // reply is complete: after a single-line reply, or after the closing line of a block.
    [[nodiscard]] bool Add(std::string_view line);

    [[nodiscard]] bool complete() const { return complete_; }

private:
    bool started_ = false;
    bool complete_ = false;
    long code_ = 0;
};

}  // namespace klv::ftp
