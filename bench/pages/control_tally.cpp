#include "bench/pages/control_tally.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <set>
#include <string_view>

namespace klv::bench {

namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::array<std::string_view, 15> kPageVerbs{"TYPE", "PORT", "EPRT", "PASV", "EPSV",
                                                      "ALLO", "REST", "PRET", "SIZE", "MDTM",
                                                      "MFMT", "SITE", "STOR", "STOU", "APPE"};

std::uint16_t Read16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

// Moves every complete line out of `bytes`, without its CR LF.
template <typename Each>
void TakeLines(std::string& bytes, Each each) {
    std::size_t start = 0;
    for (std::size_t lf = bytes.find('\n'); lf != std::string::npos; lf = bytes.find('\n', start)) {
        std::string line = bytes.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        each(std::move(line));
        start = lf + 1;
    }
    bytes.erase(0, start);
}

std::string VerbOf(std::string_view command) {
    std::string verb(command.substr(0, command.find(' ')));
    for (char& c : verb) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return verb;
}

bool IsPageVerb(std::string_view verb) {
    return std::find(kPageVerbs.begin(), kPageVerbs.end(), verb) != kPageVerbs.end();
}

bool IsTransferVerb(std::string_view verb) {
    return verb == "STOR" || verb == "STOU" || verb == "APPE";
}

// "ddd text" ends a reply; "ddd-text" and indented lines continue one (RFC 959 §4.2).
bool IsFinalReplyLine(std::string_view line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2])) &&
           (line.size() == 3 || line[3] == ' ');
}

}  // namespace

void ControlTally::Observe(WireTime at, std::span<const unsigned char> frame) {
    if (frame.size() < kEthernetHeader + 20 || Read16(&frame[12]) != 0x0800) {
        return;
    }
    const unsigned char* ip = frame.data() + kEthernetHeader;
    const std::size_t ipHeader = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t ipLength = Read16(ip + 2);
    if (ip[9] != 6 || ipHeader < 20 || ipLength > frame.size() - kEthernetHeader ||
        ipLength < ipHeader + 20) {
        return;
    }
    const unsigned char* tcp = ip + ipHeader;
    const std::size_t tcpHeader = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (tcpHeader < 20 || ipHeader + tcpHeader > ipLength) {
        return;
    }
    const std::uint16_t from = Read16(tcp);
    const std::uint16_t to = Read16(tcp + 2);
    const std::size_t payload = ipLength - ipHeader - tcpHeader;
    if (payload == 0 || (from != controlPort_ && to != controlPort_)) {
        return;
    }
    const char* data = reinterpret_cast<const char*>(tcp + tcpHeader);

    const std::lock_guard lock(mutex_);
    if (to == controlPort_) {
        if (serverSpokeLast_) {
            ++exchanges_;
            serverSpokeLast_ = false;
        }
        clientBytes_.append(data, payload);
        TakeLines(clientBytes_, [&](std::string line) {
            record_.commands.push_back({at, std::move(line), exchanges_});
        });
    } else {
        serverSpokeLast_ = true;
        serverBytes_.append(data, payload);
        TakeLines(serverBytes_, [&](std::string line) {
            record_.replies.push_back({at, std::move(line)});
        });
    }
}

ControlTally::Record ControlTally::Take() {
    const std::lock_guard lock(mutex_);
    Record taken = std::move(record_);
    record_ = {};
    clientBytes_.clear();
    serverBytes_.clear();
    serverSpokeLast_ = true;
    exchanges_ = 0;
    return taken;
}

SessionCensus Summarize(const ControlTally::Record& record) {
    SessionCensus census;
    const auto& commands = record.commands;

    std::size_t firstPage = commands.size();
    std::size_t lastTransfer = commands.size();
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string verb = VerbOf(commands[i].text);
        if (IsPageVerb(verb) && firstPage == commands.size()) {
            firstPage = i;
        }
        if (IsTransferVerb(verb)) {
            lastTransfer = i;
        }
    }
    if (firstPage == commands.size() || lastTransfer == commands.size()) {
        return census;
    }

    // The page phase ends with the last final reply before the client's next command
    // after the last transfer (QUIT), or with the last final reply of all.
    const WireTime start = commands[firstPage].at;
    const bool nextCommand = lastTransfer + 1 < commands.size();
    WireTime end = start;
    for (const ControlTally::Reply& reply : record.replies) {
        if (IsFinalReplyLine(reply.line) && reply.at >= start &&
            (!nextCommand || reply.at <= commands[lastTransfer + 1].at)) {
            end = std::max(end, reply.at);
            ++census.pageReplies;
        }
    }
    census.pagePhase = end - start;

    std::set<std::size_t> pageExchanges;
    std::set<std::size_t> sessionExchanges;
    std::string pattern;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string verb = VerbOf(commands[i].text);
        if (!IsPageVerb(verb)) {
            sessionExchanges.insert(commands[i].exchange);
            pattern.clear();  // a file's commands do not run across session commands
            continue;
        }
        ++census.pageCommands;
        pageExchanges.insert(commands[i].exchange);
        const WireTime next = i + 1 < commands.size() ? commands[i + 1].at : end;
        SessionCensus::Cost& cost = census.costs[verb];
        ++cost.count;
        cost.total += next - commands[i].at;

        if (!pattern.empty()) {
            pattern += ", ";
        }
        pattern += verb == "TYPE" ? commands[i].text : verb;  // TYPE with its type
        if (IsTransferVerb(verb)) {
            ++census.files;
            ++census.patterns[pattern];
            pattern.clear();
        }
    }
    census.pageExchanges = pageExchanges.size();
    census.sessionExchanges = sessionExchanges.size();
    return census;
}

}  // namespace klv::bench
