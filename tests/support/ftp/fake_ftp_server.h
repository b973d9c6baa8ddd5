// FakeFtpServer: a scripted FTP server on 127.0.0.1 for tests that must see (or send)
// exact bytes, after Chromium's FtpSocketDataProvider and curl's test transcripts.
//
// Build a script, Start() it, drive the client, then Finish(): the script runs on the
// server's own thread, step by step, against one control connection. Every wait of the
// server is bounded, so a faulty client fails a test instead of hanging it; the
// destructor stops the thread and closes every socket.
//
//     FakeFtpServer server;
//     server.Reply("220 ready\r\n").Expect("USER klv").Reply("230 in\r\n").WaitForClose();
//     server.Start();
//     ... drive an FtpClient against server.port() ...
//     server.Finish();
//     EXPECT_THAT(server.errors(), IsEmpty());
//     EXPECT_EQ(server.transcript(), "USER klv\r\n");
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftp/socket_fd.h"

namespace klv::testing {

class FakeFtpServer {
public:
    FakeFtpServer();  // listens at once; throws std::runtime_error if it cannot
    ~FakeFtpServer();
    FakeFtpServer(const FakeFtpServer&) = delete;
    FakeFtpServer& operator=(const FakeFtpServer&) = delete;

    [[nodiscard]] unsigned port() const { return port_; }

    // --- the control connection --------------------------------------------------------
    // Sends `bytes` as they are (write the CR LF yourself).
    FakeFtpServer& Reply(std::string bytes);
    // Sends `bytes` one byte per write, so the client sees them arrive piecemeal.
    FakeFtpServer& ReplyByteByByte(std::string bytes);
    // The client's next line must be exactly `line` followed by CR LF.
    FakeFtpServer& Expect(std::string line);
    // The client's next line must start with `prefix` and end with CR LF.
    FakeFtpServer& ExpectStartingWith(std::string prefix);
    // Closes the control connection.
    FakeFtpServer& CloseControl();
    // Reads (and records) what the client sends until it closes the control connection.
    FakeFtpServer& WaitForClose();

    // --- the data connection -----------------------------------------------------------
    // Opens a listener for a passive data connection at once; returns its port.
    unsigned OpenPassiveListener();
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2).\r\n" for `port`.
    [[nodiscard]] static std::string PasvReply(unsigned port,
                                               const std::string& host = "127,0,0,1");
    // Accepts the client's connection on the passive listener.
    FakeFtpServer& AcceptData();
    // Connects to the address of the last PORT line the client sent, from `fromAddress`.
    FakeFtpServer& ConnectData(std::string fromAddress = "127.0.0.1");
    // Tries to connect to `address` at the port of the last PORT line and records in
    // probeResults() whether the connection was made; then closes it.
    FakeFtpServer& ProbePortAddress(std::string address);
    FakeFtpServer& SendData(std::string bytes);
    // Reads the data connection until the client ends it; the bytes go to receivedData().
    FakeFtpServer& ReceiveData();
    // Reads from the data connection until at least `count` bytes have come (kept in
    // receivedData()), then goes on with the script.
    FakeFtpServer& ReceiveSomeData(std::size_t count);
    // Reads the data connection until the client ends it and expects no byte at all.
    FakeFtpServer& ExpectDataClosedUnused();
    // Closes the data connection in order (FIN).
    FakeFtpServer& CloseData();
    // Resets the data connection (RST): the client's next receive or send fails.
    FakeFtpServer& ResetData();

    // Waits before the next step (to pace data, never to wait for the client).
    FakeFtpServer& Pause(std::chrono::milliseconds pause);

    void Start();
    // Waits for the script to end (every step is bounded).
    void Finish();
    // True when a client has connected (or tried to) but the script has not started.
    [[nodiscard]] bool HasPendingConnection() const;

    [[nodiscard]] std::string transcript() const;    // every byte the client sent on control
    [[nodiscard]] std::string receivedData() const;  // every byte ReceiveData read
    [[nodiscard]] std::vector<std::string> errors() const;
    [[nodiscard]] std::vector<bool> probeResults() const;

    // The longest any step waits for the client.
    static constexpr std::chrono::milliseconds kStepBound{10000};

private:
    using Step = std::function<bool()>;

    FakeFtpServer& Add(Step step);
    void Run();
    bool Fail(const std::string& error);
    // Waits until `fd` is readable (or writable); false when stopped or out of time.
    bool WaitFor(int fd, short events);
    bool ReadControlLine(std::string& line);
    bool SendAllTo(int fd, const std::string& bytes, bool byteByByte);
    bool LastPortAddress(std::string& host, unsigned& port);

    unsigned port_ = 0;
    ftp::UniqueFd listener_;
    ftp::UniqueFd control_;
    ftp::UniqueFd passiveListener_;
    ftp::UniqueFd data_;
    ftp::UniqueFd stopRead_;
    ftp::UniqueFd stopWrite_;
    std::string controlBuffer_;  // received but not yet consumed by a step
    std::vector<Step> steps_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::string transcript_;
    std::string receivedData_;
    std::vector<std::string> errors_;
    std::vector<bool> probeResults_;
};

}  // namespace klv::testing
