#include "ftp/reply_assembler.h"

#include "ftp/leading_number.h"

namespace klv::ftp {

int ReplyClass(std::string_view line) {
    return line.empty() ? 0 : static_cast<signed char>(line.front()) - '0';
}

bool ReplyAssembler::Add(std::string_view line) {
    if (complete_) {
        return true;
    }
    const bool longEnough = line.size() >= 4;
    if (!started_) {
        started_ = true;
        if (!longEnough || line[3] != '-') {
            complete_ = true;
        } else {
            code_ = LeadingNumber(line);
        }
        return complete_;
    }
    // A line of exactly three characters, a "-" in fourth place or another number
    // belongs to the body.
    complete_ = longEnough && line[3] == ' ' && LeadingNumber(line) == code_;
    return complete_;
}

}  // namespace klv::ftp
