// The fetch on libcurl: one easy handle per call, a plain GET, nothing from a cache.
// Redirects are followed here, one request after another on the same handle, and only on
// the same host and port (or up from http on 80 to https on 443, never down from https):
// libcurl says which response is a redirect and where it points, and the next connection
// is opened only once the rule allowed it.
// Reading list: libcurl-tutorial(3), CURLOPT_HEADERFUNCTION(3), CURLOPT_WRITEFUNCTION(3),
// CURLINFO_REDIRECT_URL(3) (known only once the response is over), CURLOPT_ERRORBUFFER(3).
#include "web/fetch.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/c_handle.h"
#include "base/cancel.h"
#include "base/posix_io.h"
#include "web/file_sink.h"
#include "web/perform.h"

namespace klv::web {
namespace {

constexpr char kUserAgent[] = "klv";
constexpr char kAllowedProtocols[] = "http,https";
// libcurl's receive buffer, as large as the curl tool's: fewer, larger reads.
constexpr long kReceiveBufferSize = 100 * 1024;
// A blank (or another byte a URL may not hold) in an address is percent-encoded, as
// browsers do; nothing else changes.
constexpr unsigned kUrlFlags = CURLU_ALLOW_SPACE | CURLU_URLENCODE | CURLU_NON_SUPPORT_SCHEME;

using EasyHandle = CHandle<CURL, curl_easy_cleanup>;
using UrlHandle = CHandle<CURLU, curl_url_cleanup>;
using HeaderList = CHandle<curl_slist, curl_slist_free_all>;
using CurlText = CHandle<char, curl_free>;

bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

// The first 253 bytes at most, never ending inside a UTF-8 character.
std::string CutToMessageLength(std::string_view text) {
    return std::string(CutUtf8(text, kMaxErrorTextLength));
}

std::string_view TrimmedLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' ||
                             line.back() == '\t')) {
        line.remove_suffix(1);
    }
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
        line.remove_prefix(1);
    }
    return line;
}

bool EqualCaseless(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x | 0x20) == (y | 0x20);
           });
}

// Empty when the address has no such part.
std::string UrlPart(CURLU* url, CURLUPart part, unsigned flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, flags) != CURLUE_OK) {
        return {};
    }
    const CurlText text(raw);
    return text.get();
}

// Points `url`, which holds the address a response came from, at the address `location`
// redirects to, and says why that is not followed (or nothing).
//
// A redirect stays on the host and port asked for, so that a listed page cannot fetch a
// router's page or another service on the user's machine; it may go up from http to
// https, never down.
std::string CheckRedirect(CURLU* url, std::string_view location) {
    const std::string pointed(location);
    const std::string fromScheme = UrlPart(url, CURLUPART_SCHEME);
    const std::string fromHost = UrlPart(url, CURLUPART_HOST);
    const std::string fromPort = UrlPart(url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    const bool fromNamesPort = !UrlPart(url, CURLUPART_PORT).empty();
    // Relative to the address it came from.
    if (curl_url_set(url, CURLUPART_URL, pointed.c_str(), kUrlFlags) != CURLUE_OK) {
        return "Redirect not followed: " + pointed;
    }
    const std::string target = UrlPart(url, CURLUPART_URL);
    const std::string toScheme = UrlPart(url, CURLUPART_SCHEME);
    const std::string toPort = UrlPart(url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    const bool toNamesPort = !UrlPart(url, CURLUPART_PORT).empty();
    if (!EqualCaseless(UrlPart(url, CURLUPART_HOST), fromHost)) {
        return "Redirect to another host not followed: " + target;
    }
    if (EqualCaseless(fromScheme, "https") && !EqualCaseless(toScheme, "https")) {
        return "Redirect from https to http not followed: " + target;
    }
    bool portKept = toPort == fromPort;
    if (!EqualCaseless(toScheme, fromScheme)) {
        if (!EqualCaseless(fromScheme, "http") || !EqualCaseless(toScheme, "https")) {
            return "Redirect not followed: " + target;
        }
        // Up to https: from the one default port to the other, or on a port both name.
        portKept =
            (fromPort == "80" && toPort == "443") || (portKept && fromNamesPort && toNamesPort);
    }
    if (!portKept) {
        return "Redirect to another port not followed: " + target;
    }
    return {};
}

}  // namespace

std::string RefusedRedirect(const char* from, std::string_view location) {
    UrlHandle url(curl_url());
    if (!url || from == nullptr ||
        curl_url_set(url.get(), CURLUPART_URL, from, kUrlFlags) != CURLUE_OK) {
        return "Redirect not followed: " + std::string(location);
    }
    return CheckRedirect(url.get(), location);
}

namespace {

// One response after another on the same handle. What a response is, libcurl tells once
// its body begins or it is over: an error fails the fetch, a 3xx may be a redirect (known
// only at its end) and its body is held back, anything else begins the sink.
class Transfer {
public:
    Transfer(CURL* easy, BodySink& sink, std::chrono::milliseconds idleTimeout,
             std::size_t maxBytes)
        : easy_(easy), sink_(sink), idleTimeout_(idleTimeout), maxBytes_(maxBytes) {}

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->TakeHeaderLine({data, size * count});
    }
    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        return static_cast<Transfer*>(self)->TakeBody(data, size * count);
    }
    static int OnProgress(void* self, curl_off_t total, curl_off_t received, curl_off_t,
                          curl_off_t) {
        ReportBytes(static_cast<std::uint64_t>(received), static_cast<std::uint64_t>(total));
        if (CancelRequested()) {
            return 1;  // aborts the transfer
        }
        return static_cast<Transfer*>(self)->CheckIdle(received);
    }

    // Before each request: nothing of the last response counts.
    void Restart() {
        kind_ = Kind::kUnknown;
        statusLine_.clear();
        held_.clear();
        stored_ = 0;
        lastReceived_ = 0;
        lastArrival_ = std::chrono::steady_clock::now();
    }

    // The response came whole. Returns the address it redirects to, or null when it was
    // the final one (its body then went to the sink) or failed.
    const char* Complete() {
        if (kind_ == Kind::kUnknown && !Decide()) {
            return nullptr;
        }
        if (kind_ != Kind::kHeld) {
            return nullptr;
        }
        char* redirect = nullptr;
        curl_easy_getinfo(easy_, CURLINFO_REDIRECT_URL, &redirect);
        if (redirect == nullptr && Begin()) {  // a 3xx that points nowhere: the file after all
            Hand(held_.data(), held_.size());
        }
        return redirect;
    }

    [[nodiscard]] bool begun() const { return begun_; }
    [[nodiscard]] const std::string& failure() const { return failure_; }

private:
    enum class Kind { kUnknown, kHeld, kToSink };

    // libcurl's low-speed limit averages over several seconds, so after a burst it lets a
    // silent server hold the fetch for seconds beyond the bound; this counts from the
    // last byte that arrived. libcurl calls it at least once a second.
    int CheckIdle(curl_off_t received) {
        const auto now = std::chrono::steady_clock::now();
        if (received != lastReceived_) {
            lastReceived_ = received;
            lastArrival_ = now;
            return 0;
        }
        if (now - lastArrival_ < idleTimeout_) {
            return 0;
        }
        const long long milliseconds = idleTimeout_.count();
        const bool wholeSeconds = milliseconds % 1000 == 0;
        const long long count = wholeSeconds ? milliseconds / 1000 : milliseconds;
        failure_ = "Nothing received from the server for ";
        failure_ += std::to_string(count);
        failure_ += wholeSeconds ? " second" : " millisecond";
        if (count != 1) {
            failure_ += 's';
        }
        return 1;  // aborts the transfer
    }

    // Only the status line is kept, for the words of an error's text.
    size_t TakeHeaderLine(std::string_view line) {
        lastArrival_ = std::chrono::steady_clock::now();
        if (kind_ == Kind::kUnknown && line.starts_with("HTTP/")) {
            statusLine_ = line;
        }
        return line.size();
    }

    // The status libcurl read, and from there on where the body goes.
    bool Decide() {
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 400) {
            // An error page is never taken for the file asked for.
            failure_ = "HTTP " + std::to_string(status) + Reason(status);
            return false;
        }
        if (status >= 300) {
            kind_ = Kind::kHeld;
            return true;
        }
        return Begin();
    }

    // " Not Found" from "HTTP/1.1 404 Not Found", if that line is where `status` came from.
    [[nodiscard]] std::string Reason(long status) const {
        std::string_view line = TrimmedLine(statusLine_);
        line = TrimmedLine(line.substr(std::min(line.find(' '), line.size())));
        long code = 0;
        const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), code);
        const std::string_view reason =
            TrimmedLine(line.substr(static_cast<std::size_t>(end - line.data())));
        if (error != std::errc() || code != status || reason.empty()) {
            return {};
        }
        return " " + std::string(reason);
    }

    bool Begin() {
        if (!sink_.Begin()) {
            failure_ = sink_.FailureText();
            return false;
        }
        begun_ = true;
        kind_ = Kind::kToSink;
        return true;
    }

    size_t TakeBody(const char* data, size_t size) {
        lastArrival_ = std::chrono::steady_clock::now();
        if (kind_ == Kind::kUnknown && !Decide()) {
            return 0;  // aborts the transfer
        }
        if (size > maxBytes_ - stored_) {
            failure_ = TooLargeText(maxBytes_);
            return 0;  // aborts the transfer; the caller uploads nothing from it
        }
        stored_ += size;
        if (kind_ == Kind::kHeld) {
            held_.append(data, size);
            return size;
        }
        return Hand(data, size);
    }

    // Every piece passes through the one chunk buffer: the sink sees at most
    // kFetchChunkSize bytes at a time, however large libcurl's buffer is.
    size_t Hand(const char* data, size_t size) {
        size_t taken = 0;
        while (taken < size) {
            const size_t piece = std::min(size - taken, fetchChunk_.size());
            std::memcpy(fetchChunk_.data(), data + taken, piece);
            if (!sink_.Write({fetchChunk_.data(), piece})) {
                failure_ = sink_.FailureText();
                return taken;
            }
            taken += piece;
        }
        return taken;
    }

    CURL* easy_;
    BodySink& sink_;
    std::array<char, kFetchChunkSize> fetchChunk_;
    Kind kind_ = Kind::kUnknown;
    std::string statusLine_;
    std::string held_;  // a 3xx's body, until its end shows whether it redirects
    bool begun_ = false;
    std::string failure_;
    std::chrono::milliseconds idleTimeout_;
    std::size_t maxBytes_;
    std::size_t stored_ = 0;
    std::chrono::steady_clock::time_point lastArrival_ = std::chrono::steady_clock::now();
    curl_off_t lastReceived_ = 0;
};

}  // namespace

std::string FetchUrlToSink(const std::string& url, BodySink& sink, const FetchOptions& options) {
    if (!CurlReady()) {
        return "Cannot initialise libcurl";
    }
    // Holds the address of each request in turn.
    UrlHandle location(curl_url());
    if (!location) {
        return curl_easy_strerror(CURLE_OUT_OF_MEMORY);
    }
    const CURLUcode parsed = curl_url_set(location.get(), CURLUPART_URL, url.c_str(), kUrlFlags);
    if (parsed != CURLUE_OK) {
        return CutToMessageLength(curl_url_strerror(parsed));
    }

    HeaderList headers;
    for (const char* header : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
        curl_slist* longer = curl_slist_append(headers.get(), header);
        if (longer == nullptr) {
            return curl_easy_strerror(CURLE_OUT_OF_MEMORY);
        }
        headers.release();  // `longer` is the same list, grown
        headers.reset(longer);
    }

    std::array<char, CURL_ERROR_SIZE> errorText{};
    EasyHandle easy(curl_easy_init());
    if (!easy) {
        return "Cannot initialise libcurl";
    }
    CURL* const handle = easy.get();
    Transfer transfer(handle, sink, options.idleTimeout, options.maxBytes);
    CURLcode set = CURLE_OK;
    const auto option = [&set](CURLcode result) {
        if (set == CURLE_OK) {
            set = result;
        }
    };
    option(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText.data()));
    option(curl_easy_setopt(handle, CURLOPT_CURLU, location.get()));
    option(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kAllowedProtocols));
    // libcurl's defaults, stated: the certificate and the host name are always checked.
    option(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L));
    option(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L));
    // Followed below instead: libcurl would connect to the new address before any of its
    // callbacks could refuse it.
    option(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L));
    option(curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L));
    option(curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get()));
    option(curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent));
    option(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L));
    // A cancelled fetch must not wait for a name lookup that is stuck: cleaning up leaves
    // libcurl's resolver thread to finish alone.
    option(curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L));
    option(curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
    option(curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferSize));
    // A body announced as too large is refused before any of it is read.
    option(curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                            static_cast<curl_off_t>(options.maxBytes)));
    option(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader));
    option(curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer));
    option(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::OnBody));
    option(curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer));
    // libcurl counts the stall in whole seconds: under one byte a second for that long.
    const auto idleSeconds = std::max<long>(
        1, static_cast<long>(std::chrono::ceil<std::chrono::seconds>(options.idleTimeout).count()));
    option(curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                            static_cast<long>(options.idleTimeout.count())));
    option(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L));
    // Only a backstop: two seconds later than the idle check of the progress callback,
    // so that the user always reads the same text for a silent server.
    option(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, idleSeconds + 2));
    option(curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress));
    option(curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer));
    option(curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L));
    if (set != CURLE_OK) {
        return CutToMessageLength(curl_easy_strerror(set));
    }

    CURLcode performed = CURLE_OK;
    std::string outcome;
    for (long redirects = 0;; ++redirects) {
        transfer.Restart();
        performed = PerformCancellable(handle);
        outcome = transfer.failure();
        if (performed != CURLE_OK || !outcome.empty()) {
            break;
        }
        const char* redirect = transfer.Complete();
        outcome = transfer.failure();
        if (redirect == nullptr || !outcome.empty()) {
            break;
        }
        if (redirects == kMaxRedirects) {
            outcome = "Maximum (" + std::to_string(kMaxRedirects) + ") redirects followed";
            break;
        }
        outcome = CheckRedirect(location.get(), redirect);
        if (outcome.empty()) {
            // libcurl takes the address from the handle at the start of each request.
            const CURLcode pointed = curl_easy_setopt(handle, CURLOPT_CURLU, location.get());
            outcome = pointed == CURLE_OK ? "" : curl_easy_strerror(pointed);
        }
        if (!outcome.empty()) {
            break;
        }
    }
    if (performed == CURLE_FILESIZE_EXCEEDED && outcome.empty()) {
        outcome = TooLargeText(options.maxBytes);
    }
    if (performed != CURLE_OK && outcome.empty()) {
        // libcurl's own words; its short code text when it left none.
        outcome = errorText[0] != '\0' ? errorText.data() : curl_easy_strerror(performed);
    }
    if (transfer.begun() && !sink.End() && outcome.empty()) {
        outcome = sink.FailureText();
    }
    if (CancelRequested() && (performed != CURLE_OK || !outcome.empty())) {
        outcome = kCancelled;
    }
    return CutToMessageLength(outcome);
}

std::string TooLargeText(std::size_t maxBytes) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    return "The file is larger than " + (maxBytes % kMiB == 0
                                             ? std::to_string(maxBytes / kMiB) + " MiB"
                                             : std::to_string(maxBytes) + " bytes");
}

std::string FetchUrlToFile(const std::string& url, const std::string& localPath,
                           const FetchOptions& options) {
    FileSink file(localPath);
    return FetchUrlToSink(url, file, options);
}

}  // namespace klv::web
