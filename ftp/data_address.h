// The text of the data-connection commands: reading a PASV reply and writing the
// argument of PORT (RFC 959 §4.1.2). Pure text, no socket.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace klv::ftp {

struct PasvAddress {
    std::string host;  // h1.h2.h3.h4 as the server wrote it
    long port = 0;     // p1 * 256 + p2, unchecked
};

// Reads "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." The text between the first "("
// and the first ")" is split at its last two commas: the port is atol of the last
// part plus 256 times atol of the one before, and the rest, with its commas turned into
// dots, is the host. Neither the count nor the range of the numbers is checked here.
// Empty when the line has no "(" or no ")".
[[nodiscard]] std::optional<PasvAddress> ParsePasvReply(std::string_view line);

// The argument of PORT: the dotted address with its dots turned into commas, then
// ",p1,p2" with p1 = port / 256 and p2 = port % 256. For 192.168.1.2 and port 5001:
// "192,168,1,2,19,137".
[[nodiscard]] std::string PortArgument(std::string_view dottedAddress, unsigned port);

// RFC 2428 §3: reads "229 Entering Extended Passive Mode (|||6446|)". Between the first
// "(" and the ")" after it: three equal delimiters (any character from "!" to "~" but a
// digit), the port's digits, and the delimiter again. The port, unchecked beyond being
// digits (saturating); empty when the line has no such part.
[[nodiscard]] std::optional<long> ParseEpsvReply(std::string_view line);

// RFC 2428 §2: the argument of EPRT for the address `text` (numeric) of `family` (AF_INET
// or AF_INET6) and `port`: "|1|192.0.2.7|5282|", "|2|2001:db8::1|5282|".
[[nodiscard]] std::string EprtArgument(int family, std::string_view text, unsigned port);

// True for a port that a data connection can be made to.
[[nodiscard]] constexpr bool IsDialablePort(long port) {
    return port >= 1 && port <= 65535;
}

}  // namespace klv::ftp
