#include "ftp/data_address.h"

#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "ftp/leading_number.h"

namespace klv::ftp {

namespace {

// Splits `text` at its last comma: returns what follows it and keeps what precedes it.
// Without a comma the whole text is returned and `text` becomes empty.
std::string_view CutAfterLastComma(std::string_view& text) {
    const auto comma = text.rfind(',');
    if (comma == std::string_view::npos) {
        return std::exchange(text, std::string_view());
    }
    const std::string_view after = text.substr(comma + 1);
    text = text.substr(0, comma);
    return after;
}

// port + 256 * high without overflow: hostile numbers saturate instead.
long AddHighByte(long port, long high) {
    const __int128 sum = static_cast<__int128>(port) + static_cast<__int128>(high) * 256;
    if (sum > LONG_MAX) {
        return LONG_MAX;
    }
    if (sum < LONG_MIN) {
        return LONG_MIN;
    }
    return static_cast<long>(sum);
}

}  // namespace

std::optional<PasvAddress> ParsePasvReply(std::string_view line) {
    const auto open = line.find('(');
    const auto close = line.find(')');
    if (open == std::string_view::npos || close == std::string_view::npos) {
        return std::nullopt;
    }
    // A ")" before the "(" leaves nothing between them.
    std::string_view inside = close > open ? line.substr(open + 1, close - open - 1) : "";
    PasvAddress address;
    address.port = LeadingNumber(CutAfterLastComma(inside));
    address.port = AddHighByte(address.port, LeadingNumber(CutAfterLastComma(inside)));
    address.host.assign(inside);
    std::replace(address.host.begin(), address.host.end(), ',', '.');
    return address;
}

std::optional<long> ParseEpsvReply(std::string_view line) {
    const auto open = line.find('(');
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    const auto close = line.find(')', open);
    if (close == std::string_view::npos || close - open < 6) {  // "(|||1|)" at the least
        return std::nullopt;
    }
    const std::string_view inside = line.substr(open + 1, close - open - 1);
    const char delimiter = inside.front();
    const std::string_view digits = inside.substr(3, inside.size() - 4);
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (delimiter < '!' || delimiter > '~' || isDigit(delimiter) || inside[1] != delimiter ||
        inside[2] != delimiter || inside.back() != delimiter || digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), isDigit)) {
        return std::nullopt;
    }
    return LeadingNumber(digits);
}

std::string EprtArgument(int family, std::string_view text, unsigned port) {
    return std::string(family == AF_INET6 ? "|2|" : "|1|") + std::string(text) + "|" +
           std::to_string(port) + "|";
}

std::string PortArgument(std::string_view dottedAddress, unsigned port) {
    std::string argument(dottedAddress);
    std::replace(argument.begin(), argument.end(), '.', ',');
    argument += ',' + std::to_string(port / 256) + ',' + std::to_string(port % 256);
    return argument;
}

}  // namespace klv::ftp
