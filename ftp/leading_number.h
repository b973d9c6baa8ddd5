// LeadingNumber: the number at the start of a text, read the way C's atol reads it.
//
// Reply codes and the numbers of a PASV reply are read this way: optional white space,
// an optional sign, then decimal digits up to the first other character; no digits
// read as 0. Unlike atol it never overflows: out-of-range values saturate, as glibc's
// strtol does, and it stops at the end of the view rather than at a NUL byte.
#pragma once

#include <climits>
#include <string_view>

namespace klv::ftp {

[[nodiscard]] constexpr long LeadingNumber(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // Accumulate as a negative number: its range is the larger one.
    long value = 0;
    bool saturated = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const int digit = text[at] - '0';
        if (saturated) {
            continue;
        }
        if (value < (LONG_MIN + digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (saturated) {
        return negative ? LONG_MIN : LONG_MAX;
    }
    if (negative) {
        return value;
    }
    return value == LONG_MIN ? LONG_MAX : -value;
}

}  // namespace klv::ftp
