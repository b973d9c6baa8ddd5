// Reads one FTP control connection off the wire: which commands the client sent, in
// how many command/reply exchanges, and what each kind of command cost in time.
//
// An exchange is one turn of the client: the commands it sends before the server's
// next reply. A client that waits for each reply (as both benchmarked clients do)
// has one command per exchange; a pipelining client would have more. Frames come
// from a link tap or the delay line, as Ethernet frames carrying IPv4.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace klv::bench {

// Time at an observation point, from an arbitrary start: only differences count.
using WireTime = std::chrono::nanoseconds;

class ControlTally {
public:
    struct Command {
        WireTime at;  // when the segment that completed the line passed
        std::string text;
        std::size_t exchange = 0;  // counts from 1
    };
    struct Reply {
        WireTime at;
        std::string line;
    };
    struct Record {
        std::vector<Command> commands;
        std::vector<Reply> replies;
    };

    // The server's control port tells the directions apart.
    explicit ControlTally(std::uint16_t controlPort) : controlPort_(controlPort) {}

    // One Ethernet frame; anything but TCP over IPv4 to or from the control port, or a
    // segment without payload, is passed over. Safe to call from another thread.
    void Observe(WireTime at, std::span<const unsigned char> frame);

    // What was observed since the last Take, and a fresh start.
    [[nodiscard]] Record Take();

private:
    std::uint16_t controlPort_;
    std::mutex mutex_;
    Record record_;
    std::string clientBytes_;  // an incomplete line in each direction
    std::string serverBytes_;
    bool serverSpokeLast_ = true;  // the greeting comes first
    std::size_t exchanges_ = 0;
};

// The page uploads of one session, as the wire showed them. Page commands are those
// that serve one file's transfer (TYPE, PORT, EPRT, PASV, EPSV, ALLO, REST, PRET,
// SIZE, MDTM, MFMT, SITE, STOR, STOU, APPE); the rest (logon, CWD, QUIT) is the session.
struct SessionCensus {
    struct Cost {
        std::size_t count = 0;
        WireTime total{0};
    };
    std::size_t files = 0;  // STOR, STOU and APPE commands
    std::size_t pageCommands = 0;
    std::size_t pageExchanges = 0;
    std::size_t pageReplies = 0;       // final reply lines from the first page command on
    std::size_t sessionExchanges = 0;  // exchanges of the other commands
    WireTime pagePhase{0};             // first page command to the last transfer's reply
    // The commands of one file, e.g. "TYPE A, PORT, STOR", and how many files had them.
    std::map<std::string, std::size_t> patterns;
    // By command verb: the time from the command to the client's next command, which is
    // the exchange's round trip and any work the client does before its next command.
    std::map<std::string, Cost> costs;
};

[[nodiscard]] SessionCensus Summarize(const ControlTally::Record& record);

}  // namespace klv::bench
