#include "tests/support/http/http_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace klv::testing {
namespace {

constexpr std::size_t kMaxHeadSize = 64 * 1024;
constexpr int kIdleMilliseconds = 10'000;  // a client that stalls longer is dropped

[[noreturn]] void ThrowSystemError(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

bool SendAll(int connection, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(connection, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool EqualsCaseless(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if ((a[i] | 0x20) != (b[i] | 0x20)) {
            return false;
        }
    }
    return true;
}

bool HasHeader(const std::vector<HeaderField>& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (EqualsCaseless(key, name)) {
            return true;
        }
    }
    return false;
}

std::string_view WithoutQuery(std::string_view target) {
    return target.substr(0, target.find_first_of("?#"));
}

std::string Head(int status, std::string_view reason, const std::vector<HeaderField>& headers) {
    std::string head = "HTTP/1.1 " + std::to_string(status);
    if (!reason.empty()) {
        head += ' ';
        head += reason;
    }
    head += "\r\n";
    for (const auto& [name, value] : headers) {
        head += name + ": " + value + "\r\n";
    }
    return head;
}

}  // namespace

HttpResponse HttpResponse::Ok(std::string body) {
    return Status(200, "OK", std::move(body));
}

HttpResponse HttpResponse::Status(int status, std::string reason, std::string body) {
    HttpResponse response;
    response.status = status;
    response.reason = std::move(reason);
    response.headers.emplace_back("Content-Type", "text/plain");
    if (!body.empty()) {
        response.bodyPieces.push_back(std::move(body));
    }
    return response;
}

HttpResponse HttpResponse::Redirect(int status, std::string location) {
    HttpResponse response =
        Status(status, status == 301 ? "Moved Permanently" : "Found", "moved\n");
    response.headers.emplace_back("Location", std::move(location));
    return response;
}

HttpResponse HttpResponse::Chunked(std::vector<std::string> pieces) {
    HttpResponse response = Ok({});
    response.bodyPieces = std::move(pieces);
    response.framing = Framing::kChunked;
    return response;
}

HttpResponse HttpResponse::CutOff(std::vector<std::string> pieces, std::size_t announcedLength) {
    HttpResponse response = Ok({});
    response.bodyPieces = std::move(pieces);
    response.announcedLength = announcedLength;
    return response;
}

HttpResponse HttpResponse::Stalled(std::vector<std::string> pieces, std::size_t announcedLength) {
    HttpResponse response = CutOff(std::move(pieces), announcedLength);
    response.stallAfterPieces = true;
    return response;
}

std::string RecordedRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (EqualsCaseless(key, name)) {
            return value;
        }
    }
    return {};
}

std::string PercentDecode(std::string_view text) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        c = static_cast<char>(c | 0x20);
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
            hex(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

HttpTestServer::HttpTestServer()
    : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!listener_.valid() || !wake_.valid()) {
        ThrowSystemError("HttpTestServer: socket");
    }
    const int on = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 16) != 0) {
        ThrowSystemError("HttpTestServer: bind");
    }
    socklen_t length = sizeof address;
    if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowSystemError("HttpTestServer: getsockname");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

HttpTestServer::~HttpTestServer() {
    stopping_ = true;
    const std::uint64_t one = 1;
    static_cast<void>(::write(wake_.get(), &one, sizeof one));
    thread_.join();
}

void HttpTestServer::Serve(std::string target, HttpResponse response) {
    const std::lock_guard lock(mutex_);
    scripted_.insert_or_assign(std::move(target), std::move(response));
}

void HttpTestServer::ServeDirectory(std::filesystem::path root) {
    const std::lock_guard lock(mutex_);
    root_ = std::move(root);
}

std::string HttpTestServer::Url(std::string_view target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(target);
}

std::vector<std::string> HttpTestServer::RequestLines() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (const RecordedRequest& request : requests_) {
        lines.push_back(request.requestLine);
    }
    return lines;
}

std::vector<RecordedRequest> HttpTestServer::Requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void HttpTestServer::Run() {
    // A client that hangs up mid-body makes sendfile raise SIGPIPE; blocked on this
    // thread, it turns into EPIPE without touching the rest of the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    while (!stopping_) {
        pollfd waits[2] = {{listener_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        if ((waits[0].revents & POLLIN) == 0) {
            continue;
        }
        web::UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.valid()) {
            continue;
        }
        const timeval idle{kIdleMilliseconds / 1000, 0};
        ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
        HandleConnection(connection.get());
    }
}

void HttpTestServer::HandleConnection(int connection) {
    RecordedRequest request;
    if (!ReadHead(connection, request)) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    Respond(connection, request);
    // One request per connection ("Connection: close"): let the client read the rest.
    ::shutdown(connection, SHUT_WR);
}

bool HttpTestServer::ReadHead(int connection, RecordedRequest& request) {
    std::string head;
    char buffer[4096];
    for (;;) {
        const std::size_t end = head.find("\r\n\r\n");
        if (end != std::string::npos) {
            head.resize(end + 2);
            break;
        }
        if (head.size() > kMaxHeadSize) {
            return false;
        }
        pollfd waits[2] = {{connection, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        const int ready = ::poll(waits, 2, kIdleMilliseconds);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || waits[1].revents != 0) {
            return false;
        }
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        head.append(buffer, static_cast<std::size_t>(got));
    }

    std::size_t lineEnd = head.find("\r\n");
    request.requestLine = head.substr(0, lineEnd);
    const std::size_t firstSpace = request.requestLine.find(' ');
    const std::size_t lastSpace = request.requestLine.rfind(' ');
    if (firstSpace == std::string::npos || lastSpace <= firstSpace) {
        return true;  // recorded, and answered 400
    }
    request.method = request.requestLine.substr(0, firstSpace);
    request.target = request.requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    std::size_t start = lineEnd + 2;
    while (start < head.size()) {
        lineEnd = head.find("\r\n", start);
        const std::string_view line(head.data() + start, lineEnd - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') {
                value.remove_prefix(1);
            }
            request.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
        }
        start = lineEnd + 2;
    }
    return true;
}

void HttpTestServer::Respond(int connection, const RecordedRequest& request) {
    if (request.method != "GET" && request.method != "HEAD") {
        SendStatus(connection, request.method.empty() ? 400 : 405,
                   request.method.empty() ? "Bad Request" : "Method Not Allowed");
        return;
    }
    const bool headOnly = request.method == "HEAD";
    std::optional<HttpResponse> scripted;
    std::optional<std::filesystem::path> root;
    {
        const std::lock_guard lock(mutex_);
        auto found = scripted_.find(request.target);
        if (found == scripted_.end()) {
            found = scripted_.find(WithoutQuery(request.target));
        }
        if (found != scripted_.end()) {
            scripted = found->second;
        }
        root = root_;
    }
    if (scripted) {
        SendScripted(connection, *scripted, headOnly);
        return;
    }
    if (root) {
        const std::string path = PercentDecode(WithoutQuery(request.target));
        const std::filesystem::path relative = std::filesystem::path(path).relative_path();
        bool inside = path.starts_with('/') && path.find('\0') == std::string::npos;
        for (const auto& part : relative) {
            inside = inside && part != "..";
        }
        if (inside && SendFile(connection, *root / relative, headOnly)) {
            return;
        }
    }
    SendStatus(connection, 404, "Not Found");
}

void HttpTestServer::SendScripted(int connection, const HttpResponse& response, bool headOnly) {
    std::size_t bodySize = 0;
    for (const std::string& piece : response.bodyPieces) {
        bodySize += piece.size();
    }
    std::string head = Head(response.status, response.reason, response.headers);
    using Framing = HttpResponse::Framing;
    if (response.framing == Framing::kContentLength &&
        !HasHeader(response.headers, "Content-Length")) {
        head += "Content-Length: " + std::to_string(response.announcedLength.value_or(bodySize)) +
                "\r\n";
    }
    if (response.framing == Framing::kChunked) {
        head += "Transfer-Encoding: chunked\r\n";
    }
    head += "Connection: close\r\n\r\n";
    if (headOnly) {
        SendAll(connection, head);
        return;
    }

    // The head goes out with the first piece, so that a client usually receives more
    // than one of its own reads' worth at once.
    std::string pending = std::move(head);
    for (const std::string& piece : response.bodyPieces) {
        if (response.framing == Framing::kChunked) {
            if (piece.empty()) {
                continue;  // an empty chunk would end the body
            }
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            pending += size;
            pending += piece;
            pending += "\r\n";
        } else {
            pending += piece;
        }
        if (!SendAll(connection, pending)) {
            return;
        }
        pending.clear();
    }
    if (response.stallAfterPieces) {
        WaitForHangUp(connection);
        return;
    }
    if (response.framing == Framing::kChunked && !response.chunkedCutOff) {
        pending += "0\r\n\r\n";
    }
    SendAll(connection, pending);
}

void HttpTestServer::WaitForHangUp(int connection) {
    char sink[512];
    for (;;) {
        pollfd waits[2] = {{connection, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        const int ready = ::poll(waits, 2, kIdleMilliseconds);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || waits[1].revents != 0) {
            return;
        }
        const ssize_t got = ::recv(connection, sink, sizeof sink, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;  // the client has given up
        }
    }
}

bool HttpTestServer::SendFile(int connection, const std::filesystem::path& path, bool headOnly) {
    web::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    const std::string head = Head(200, "OK",
                                  {{"Content-Type", "application/octet-stream"},
                                   {"Content-Length", std::to_string(status.st_size)},
                                   {"Connection", "close"}}) +
                             "\r\n";
    if (!SendAll(connection, head) || headOnly) {
        return true;
    }
    off_t offset = 0;
    while (offset < status.st_size) {
        const ssize_t sent = ::sendfile(connection, file.get(), &offset,
                                        static_cast<std::size_t>(status.st_size - offset));
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            break;  // the client went away or stalled
        }
    }
    return true;
}

void HttpTestServer::SendStatus(int connection, int status, std::string_view reason) {
    const std::string body = std::to_string(status) + " " + std::string(reason) + "\n";
    SendAll(connection, Head(status, reason,
                             {{"Content-Type", "text/plain"},
                              {"Content-Length", std::to_string(body.size())},
                              {"Connection", "close"}}) +
                            "\r\n" + body);
}

}  // namespace klv::testing
