// The fetch on libcurl: one easy handle per call, a plain GET, redirects followed over
// http and https on the same host only (never down from https), nothing from a cache.
// Reading list: libcurl-tutorial(3), CURLOPT_HEADERFUNCTION(3) (every header line of every
// response arrives, the blank line that ends a head included), CURLOPT_WRITEFUNCTION(3),
// CURLOPT_ERRORBUFFER(3).
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

using EasyHandle = CHandle<CURL, curl_easy_cleanup>;
using UrlHandle = CHandle<CURLU, curl_url_cleanup>;
using HeaderList = CHandle<curl_slist, curl_slist_free_all>;

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

bool StartsWithCaseless(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return (a | 0x20) == (b | 0x20); });
}

using CurlText = CHandle<char, curl_free>;

std::string UrlPart(CURLU* url, CURLUPart part) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, 0) != CURLUE_OK) {
        return {};
    }
    const CurlText text(raw);
    return text.get();
}

}  // namespace

// A redirect stays on the host asked for, so that a listed page cannot fetch a router's
// page or a service on the user's machine; it may go up from http to https, never down.
std::string RefusedRedirect(const char* from, std::string_view location) {
    const std::string pointed(location);
    UrlHandle url(curl_url());
    if (!url || from == nullptr || curl_url_set(url.get(), CURLUPART_URL, from, 0) != CURLUE_OK) {
        return "Redirect not followed: " + pointed;
    }
    const std::string fromScheme = UrlPart(url.get(), CURLUPART_SCHEME);
    const std::string fromHost = UrlPart(url.get(), CURLUPART_HOST);
    // Relative to the address it came from.
    if (curl_url_set(url.get(), CURLUPART_URL, pointed.c_str(),
                     CURLU_ALLOW_SPACE | CURLU_URLENCODE | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return "Redirect not followed: " + pointed;
    }
    const std::string target = UrlPart(url.get(), CURLUPART_URL);
    const std::string toHost = UrlPart(url.get(), CURLUPART_HOST);
    if (toHost.size() != fromHost.size() || !StartsWithCaseless(toHost, fromHost)) {
        return "Redirect to another host not followed: " + target;
    }
    if (fromScheme == "https" && UrlPart(url.get(), CURLUPART_SCHEME) != "https") {
        return "Redirect from https to http not followed: " + target;
    }
    return {};
}

namespace {

// Follows the heads of the responses as they arrive and starts the sink once the final
// one has begun. A head ends in a blank line; libcurl skips the body of a redirect it
// follows, and hands over every other body.
class Transfer {
public:
    Transfer(BodySink& sink, std::chrono::milliseconds idleTimeout, std::size_t maxBytes)
        : sink_(sink), idleTimeout_(idleTimeout), maxBytes_(maxBytes) {}

    void setHandle(CURL* easy) { easy_ = easy; }

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

    // After a transfer that libcurl reports as complete without a head we could read.
    bool BeginLate(long status) {
        if (status >= 400) {
            failure_ = "HTTP " + std::to_string(status);
            return false;
        }
        return Begin();
    }

    [[nodiscard]] bool begun() const { return begun_; }
    [[nodiscard]] const std::string& failure() const { return failure_; }

private:
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

    size_t TakeHeaderLine(std::string_view line) {
        lastArrival_ = std::chrono::steady_clock::now();
        if (begun_) {
            return line.size();  // trailers of a chunked body
        }
        if (line.starts_with("HTTP/")) {
            ReadStatusLine(line);
            return line.size();
        }
        const std::string_view trimmed = TrimmedLine(line);
        if (trimmed.empty()) {
            return EndOfHead() ? line.size() : 0;
        }
        // The rule libcurl follows by: a 3xx with a non-empty Location.
        if (status_ >= 300 && status_ < 400 && StartsWithCaseless(trimmed, "location:") &&
            !TrimmedLine(trimmed.substr(9)).empty()) {
            redirected_ = true;
            char* from = nullptr;
            curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &from);
            failure_ = RefusedRedirect(from, TrimmedLine(trimmed.substr(9)));
            if (!failure_.empty()) {
                return 0;  // aborts the transfer before libcurl follows
            }
        }
        return line.size();
    }

    // "HTTP/1.1 404 Not Found" or "HTTP/2 404".
    void ReadStatusLine(std::string_view line) {
        status_ = 0;
        reason_.clear();
        redirected_ = false;
        line = TrimmedLine(line);
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) {
            return;
        }
        std::string_view rest = line.substr(space + 1);
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), status_);
        if (error != std::errc()) {
            status_ = 0;
            return;
        }
        reason_ = TrimmedLine(rest.substr(static_cast<std::size_t>(end - rest.data())));
    }

    bool EndOfHead() {
        if (status_ < 200 || redirected_) {
            return true;  // an interim response or a redirect: another head follows
        }
        if (status_ >= 400) {
            // An error page is never taken for the file asked for.
            failure_ = "HTTP " + std::to_string(status_);
            if (!reason_.empty()) {
                failure_ += ' ';
                failure_ += reason_;
            }
            return false;
        }
        return Begin();
    }

    bool Begin() {
        if (!sink_.Begin()) {
            failure_ = sink_.FailureText();
            return false;
        }
        begun_ = true;
        return true;
    }

    size_t TakeBody(const char* data, size_t size) {
        lastArrival_ = std::chrono::steady_clock::now();
        if (!begun_) {
            return size;  // not the final response's body
        }
        if (size > maxBytes_ - stored_) {
            failure_ = TooLargeText(maxBytes_);
            return 0;  // aborts the transfer; the caller uploads nothing from it
        }
        stored_ += size;
        // Every piece passes through the one chunk buffer: the sink sees at most
        // kFetchChunkSize bytes at a time, however large libcurl's buffer is.
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

    BodySink& sink_;
    CURL* easy_ = nullptr;
    std::array<char, kFetchChunkSize> fetchChunk_;
    int status_ = 0;
    std::string reason_;
    bool redirected_ = false;
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
    // A blank (or another byte a URL may not hold) in a listed page name is
    // percent-encoded, as browsers do; nothing else changes.
    UrlHandle location(curl_url());
    if (!location) {
        return curl_easy_strerror(CURLE_OUT_OF_MEMORY);
    }
    const CURLUcode parsed =
        curl_url_set(location.get(), CURLUPART_URL, url.c_str(),
                     CURLU_ALLOW_SPACE | CURLU_URLENCODE | CURLU_NON_SUPPORT_SCHEME);
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
    Transfer transfer(sink, options.idleTimeout, options.maxBytes);
    EasyHandle easy(curl_easy_init());
    if (!easy) {
        return "Cannot initialise libcurl";
    }
    CURL* const handle = easy.get();
    transfer.setHandle(handle);
    CURLcode set = CURLE_OK;
    const auto option = [&set](CURLcode result) {
        if (set == CURLE_OK) {
            set = result;
        }
    };
    option(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText.data()));
    option(curl_easy_setopt(handle, CURLOPT_CURLU, location.get()));
    option(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kAllowedProtocols));
    // A fetch that began over https never continues in clear text.
    option(curl_easy_setopt(
        handle, CURLOPT_REDIR_PROTOCOLS_STR,
        StartsWithCaseless(TrimmedLine(url), "https:") ? "https" : kAllowedProtocols));
    // libcurl's defaults, stated: the certificate and the host name are always checked.
    option(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L));
    option(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L));
    option(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L));
    option(curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects));
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

    const CURLcode performed = PerformCancellable(handle);
    std::string outcome = transfer.failure();
    if (performed == CURLE_FILESIZE_EXCEEDED && outcome.empty()) {
        outcome = TooLargeText(options.maxBytes);
    }
    if (performed != CURLE_OK && outcome.empty()) {
        // libcurl's own words; its short code text when it left none.
        outcome = errorText[0] != '\0' ? errorText.data() : curl_easy_strerror(performed);
    }
    if (performed == CURLE_OK && !transfer.begun()) {
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (!transfer.BeginLate(status)) {
            outcome = transfer.failure();
        }
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
