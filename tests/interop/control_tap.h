// ControlTap: a relay on a control connection, between the client and a real FTP server.
//
// It listens on the server's own address (so that the client's data connections still
// go to and come from the host it is talking to), passes every byte on in both
// directions, and records each line the server sends, so that a test can see the replies
// the client reduced to their last line: a 125 or 150 before a transfer, the body of a
// multi-line 226.
//
// With joinPreliminaryReplies it holds a preliminary reply (class 1) back until the
// server's next reply has arrived, and sends both in one write, so that the client
// receives them in one read. A preliminary reply that nothing follows within half a
// second (an upload's, whose closing reply waits for the data) goes on alone.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftp/socket_fd.h"

namespace klv::testing {

class ControlTap {
public:
    ControlTap(std::string serverHost, unsigned serverPort, bool joinPreliminaryReplies);
    ~ControlTap();
    ControlTap(const ControlTap&) = delete;
    ControlTap& operator=(const ControlTap&) = delete;

    [[nodiscard]] const std::string& host() const { return host_; }
    [[nodiscard]] unsigned port() const { return port_; }

    // Every line the server sent, in order, without its line end.
    [[nodiscard]] std::vector<std::string> ServerLines() const;
    // Every line the client sent, in order, without its line end.
    [[nodiscard]] std::vector<std::string> ClientLines() const;
    // Waits until the server has sent a line starting with `prefix` (true), or `bound`
    // has passed. After the client hangs up, the tap still reads what the server says.
    [[nodiscard]] bool WaitForServerLine(const std::string& prefix,
                                         std::chrono::milliseconds bound) const;
    // How often a preliminary reply went out in one write with the reply after it.
    [[nodiscard]] int joinedWrites() const { return joinedWrites_; }

private:
    void Run();
    void Relay(int client, int server);
    struct Lines {
        std::string partial;
        std::vector<std::string> complete;
    };
    void Record(Lines& lines, const std::string& bytes);

    std::string host_;
    unsigned serverPort_;
    bool join_;
    unsigned port_ = 0;
    ftp::UniqueFd listener_;
    ftp::UniqueFd stop_;  // an eventfd: readable once the tap is to stop
    std::atomic<int> joinedWrites_{0};

    mutable std::mutex mutex_;
    Lines server_;
    Lines client_;

    std::thread thread_;  // last: started when everything it uses exists
};

}  // namespace klv::testing
