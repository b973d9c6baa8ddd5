// A small HTTP/1.1 server for the tests and the demo's vendor site: it listens on
// 127.0.0.1 on a port of the system's choosing, answers one request per connection on
// its own thread, and stops in its destructor.
//
// It answers a request with the scripted response registered for its target (checked
// as received, then without its query), else from the served directory, else 404. Every
// request it reads is recorded, so a test can assert what was asked for, or that
// nothing was.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "web/posix_file.h"

namespace klv::testing {

using HeaderField = std::pair<std::string, std::string>;

struct HttpResponse {
    enum class Framing {
        kContentLength,  // "Content-Length", the body's size unless announcedLength says otherwise
        kChunked,        // "Transfer-Encoding: chunked", one chunk per piece
        kUntilClose,     // no length: the body ends when the connection closes
    };

    int status = 200;
    std::string reason = "OK";
    std::vector<HeaderField> headers;
    std::vector<std::string> bodyPieces;  // each piece goes out in a send of its own
    Framing framing = Framing::kContentLength;
    // A length to announce instead of the body's: with more than is sent, the connection
    // closes after the last piece, so the body breaks off mid-way.
    std::optional<std::size_t> announcedLength;
    bool chunkedCutOff = false;  // chunked: close before the last (empty) chunk
    // After the last piece, send nothing more and keep the connection open until the
    // client gives up (or ten seconds pass): a server fallen silent in mid-body.
    bool stallAfterPieces = false;

    static HttpResponse Ok(std::string body);
    static HttpResponse Status(int status, std::string reason, std::string body);
    static HttpResponse Redirect(int status, std::string location);
    static HttpResponse Chunked(std::vector<std::string> pieces);
    // Announces `announcedLength` bytes, sends `pieces`, and closes the connection.
    static HttpResponse CutOff(std::vector<std::string> pieces, std::size_t announcedLength);
    // Announces `announcedLength` bytes, sends `pieces`, then falls silent.
    static HttpResponse Stalled(std::vector<std::string> pieces, std::size_t announcedLength);
};

struct RecordedRequest {
    std::string requestLine;  // "GET /klvsetup/list.txt HTTP/1.1"
    std::string method;
    std::string target;  // as received: percent-encoding and query kept
    std::vector<HeaderField> headers;

    // The value of the first header of that name (any case); empty when absent.
    [[nodiscard]] std::string Header(std::string_view name) const;
};

class HttpTestServer {
public:
    HttpTestServer();
    ~HttpTestServer();

    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Answers requests for `target` (e.g. "/a.txt" or "/a.txt?x=1") with `response`,
    // every time it is asked for.
    void Serve(std::string target, HttpResponse response);

    // Answers every other GET from the files under `root`: the target's path without
    // its query, percent-decoded; 404 for what is not a regular file there.
    void ServeDirectory(std::filesystem::path root);

    [[nodiscard]] std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `target`.
    [[nodiscard]] std::string Url(std::string_view target = "") const;

    [[nodiscard]] std::vector<std::string> RequestLines() const;
    [[nodiscard]] std::vector<RecordedRequest> Requests() const;

private:
    void Run();
    void HandleConnection(int connection);
    bool ReadHead(int connection, RecordedRequest& request);
    void Respond(int connection, const RecordedRequest& request);
    void SendScripted(int connection, const HttpResponse& response, bool headOnly);
    void WaitForHangUp(int connection);
    bool SendFile(int connection, const std::filesystem::path& path, bool headOnly);
    void SendStatus(int connection, int status, std::string_view reason);

    web::UniqueFd listener_;
    web::UniqueFd wake_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::map<std::string, HttpResponse, std::less<>> scripted_;
    std::optional<std::filesystem::path> root_;
    std::vector<RecordedRequest> requests_;

    std::thread thread_;  // last: started when everything it uses exists
};

// "%20" and the like decoded; a malformed escape is kept as it stands.
std::string PercentDecode(std::string_view text);

}  // namespace klv::testing
