// The fetch on libcurl: one easy handle per page, a plain GET, nothing from a cache.
// Redirects are followed here, one request after another on the same handle, and only on
// the same host and port (or up from http on 80 to https on 443, never down from https):
// libcurl says which response is a redirect and where it points, and the next connection
// is opened only once the rule allowed it. The single fetch is a batch of one.
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
#include "web/transfer.h"

namespace klv::web {
namespace {

constexpr char kUserAgent[] = "klv";
constexpr char kAllowedProtocols[] = "http,https";
// libcurl's receive buffer, as large as the curl tool's: fewer, larger reads.
constexpr long kReceiveBufferSize = 100 * 1024;
// A blank (or another byte a URL may not hold) in an address is percent-encoded, as
// browsers do; nothing else changes.
constexpr unsigned kUrlFlags = CURLU_ALLOW_SPACE | CURLU_URLENCODE | CURLU_NON_SUPPORT_SCHEME;

using UrlHandle = CHandle<CURLU, curl_url_cleanup>;
using CurlText = CHandle<char, curl_free>;

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

bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

std::string RefusedRedirect(const char* from, std::string_view location) {
    UrlHandle url(curl_url());
    if (!url || from == nullptr ||
        curl_url_set(url.get(), CURLUPART_URL, from, kUrlFlags) != CURLUE_OK) {
        return "Redirect not followed: " + std::string(location);
    }
    return CheckRedirect(url.get(), location);
}

Transfer::Transfer(std::string url, BodySink& sink, const FetchOptions& options)
    : url_(std::move(url)),
      sink_(sink),
      idleTimeout_(options.idleTimeout),
      maxBytes_(options.maxBytes) {}

Transfer::~Transfer() {
    Detach();
}

size_t Transfer::OnHeader(char* data, size_t size, size_t count, void* self) {
    return static_cast<Transfer*>(self)->TakeHeaderLine({data, size * count});
}

size_t Transfer::OnBody(char* data, size_t size, size_t count, void* self) {
    return static_cast<Transfer*>(self)->TakeBody(data, size * count);
}

int Transfer::OnProgress(void* self, curl_off_t total, curl_off_t received, curl_off_t,
                         curl_off_t) {
    auto* transfer = static_cast<Transfer*>(self);
    if (transfer->reportsBytes) {
        ReportBytes(static_cast<std::uint64_t>(received), static_cast<std::uint64_t>(total));
    }
    if (CancelRequested()) {
        return 1;  // aborts the transfer
    }
    return transfer->CheckIdle(received);
}

bool Transfer::Start(CURLM* multi) {
    if (!CurlReady()) {
        failure_ = "Cannot initialise libcurl";
        return false;
    }
    return SetUp() && Attach(multi);
}

bool Transfer::SetUp() {
    location_.reset(curl_url());
    if (!location_) {
        failure_ = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
        return false;
    }
    const CURLUcode parsed = curl_url_set(location_.get(), CURLUPART_URL, url_.c_str(), kUrlFlags);
    if (parsed != CURLUE_OK) {
        failure_ = curl_url_strerror(parsed);
        return false;
    }
    for (const char* header : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
        curl_slist* longer = curl_slist_append(headers_.get(), header);
        if (longer == nullptr) {
            failure_ = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
            return false;
        }
        (void)headers_.release();  // `longer` is the same list, grown
        headers_.reset(longer);
    }
    easy_.reset(curl_easy_init());
    if (!easy_) {
        failure_ = "Cannot initialise libcurl";
        return false;
    }
    CURL* const handle = easy_.get();
    CURLcode set = CURLE_OK;
    const auto option = [&set](CURLcode result) {
        if (set == CURLE_OK) {
            set = result;
        }
    };
    option(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText_.data()));
    option(curl_easy_setopt(handle, CURLOPT_CURLU, location_.get()));
    option(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, kAllowedProtocols));
    // libcurl's defaults, stated: the certificate and the host name are always checked.
    option(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L));
    option(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L));
    // Followed by Step instead: libcurl would connect to the new address before any of its
    // callbacks could refuse it.
    option(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L));
    option(curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L));
    option(curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_.get()));
    option(curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent));
    option(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L));
    // A cancelled fetch must not wait for a name lookup that is stuck: cleaning up leaves
    // libcurl's resolver thread to finish alone.
    option(curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L));
    option(curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
    option(curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferSize));
    // Several pages of one host share an HTTP/2 connection rather than each opening one.
    // Only https can offer HTTP/2 (ALPN); over http the wait would hold every other page
    // until the first one is over.
    const bool secure = EqualCaseless(UrlPart(location_.get(), CURLUPART_SCHEME), "https");
    option(curl_easy_setopt(handle, CURLOPT_PIPEWAIT, secure ? 1L : 0L));
    // A body announced as too large is refused before any of it is read.
    option(curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes_)));
    option(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader));
    option(curl_easy_setopt(handle, CURLOPT_HEADERDATA, this));
    option(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::OnBody));
    option(curl_easy_setopt(handle, CURLOPT_WRITEDATA, this));
    // libcurl counts the stall in whole seconds: under one byte a second for that long.
    const auto idleSeconds = std::max<long>(
        1, static_cast<long>(std::chrono::ceil<std::chrono::seconds>(idleTimeout_).count()));
    option(curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                            static_cast<long>(idleTimeout_.count())));
    option(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L));
    // Only a backstop: two seconds later than the idle check of the progress callback,
    // so that the user always reads the same text for a silent server.
    option(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, idleSeconds + 2));
    option(curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress));
    option(curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this));
    option(curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L));
    if (set != CURLE_OK) {
        failure_ = curl_easy_strerror(set);
    }
    return set == CURLE_OK;
}

// Each request starts afresh: nothing of the last response counts.
bool Transfer::Attach(CURLM* multi) {
    kind_ = Kind::kUnknown;
    statusLine_.clear();
    held_.clear();
    stored_ = 0;
    lastReceived_ = -1;  // the idle clock starts once libcurl drives the request
    const CURLMcode added = curl_multi_add_handle(multi, easy_.get());
    if (added != CURLM_OK) {
        failure_ = curl_multi_strerror(added);
        return false;
    }
    multi_ = multi;
    return true;
}

void Transfer::Detach() {
    if (multi_ != nullptr && easy_) {
        curl_multi_remove_handle(std::exchange(multi_, nullptr), easy_.get());
    }
}

bool Transfer::Step(CURLcode result) {
    CURLM* const multi = multi_;
    Detach();
    performed_ = result;
    if (result != CURLE_OK || !failure_.empty()) {
        return false;
    }
    const char* redirect = Complete();
    if (redirect == nullptr || !failure_.empty()) {
        return false;
    }
    if (redirects_++ == kMaxRedirects) {
        failure_ = "Maximum (" + std::to_string(kMaxRedirects) + ") redirects followed";
        return false;
    }
    failure_ = CheckRedirect(location_.get(), redirect);
    if (failure_.empty()) {
        // libcurl takes the address from the handle at the start of each request.
        const CURLcode pointed = curl_easy_setopt(easy_.get(), CURLOPT_CURLU, location_.get());
        failure_ = pointed == CURLE_OK ? "" : curl_easy_strerror(pointed);
    }
    return failure_.empty() && Attach(multi);
}

std::string Transfer::Finish(CURLcode ending) {
    if (multi_ != nullptr) {
        Detach();
        performed_ = ending;
    }
    std::string outcome = failure_;
    if (performed_ == CURLE_FILESIZE_EXCEEDED && outcome.empty()) {
        outcome = TooLargeText(maxBytes_);
    }
    if (performed_ != CURLE_OK && outcome.empty()) {
        // libcurl's own words; its short code text when it left none.
        outcome = errorText_[0] != '\0' ? errorText_.data() : curl_easy_strerror(performed_);
    }
    if (std::exchange(begun_, false) && !sink_.End() && outcome.empty()) {
        outcome = sink_.FailureText();
    }
    if (CancelRequested() && (performed_ != CURLE_OK || !outcome.empty())) {
        outcome = kCancelled;
    }
    return CutToMessageLength(outcome);
}

// The response came whole. Returns the address it redirects to, or null when it was the
// final one (its body then went to the sink) or failed.
const char* Transfer::Complete() {
    if (kind_ == Kind::kUnknown && !Decide()) {
        return nullptr;
    }
    if (kind_ != Kind::kHeld) {
        return nullptr;
    }
    char* redirect = nullptr;
    curl_easy_getinfo(easy_.get(), CURLINFO_REDIRECT_URL, &redirect);
    if (redirect == nullptr && Begin()) {  // a 3xx that points nowhere: the file after all
        Hand(held_.data(), held_.size());
    }
    return redirect;
}

// libcurl's low-speed limit averages over several seconds, so after a burst it lets a
// silent server hold the fetch for seconds beyond the bound; this counts from the last
// byte that arrived. libcurl calls it at least once a second.
int Transfer::CheckIdle(curl_off_t received) {
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
size_t Transfer::TakeHeaderLine(std::string_view line) {
    lastArrival_ = std::chrono::steady_clock::now();
    if (kind_ == Kind::kUnknown && line.starts_with("HTTP/")) {
        statusLine_ = line;
    }
    return line.size();
}

// The status libcurl read, and from there on where the body goes.
bool Transfer::Decide() {
    long status = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
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
std::string Transfer::Reason(long status) const {
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

bool Transfer::Begin() {
    if (!sink_.Begin()) {
        failure_ = sink_.FailureText();
        return false;
    }
    begun_ = true;
    kind_ = Kind::kToSink;
    return true;
}

size_t Transfer::TakeBody(const char* data, size_t size) {
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

// Every piece passes through the one chunk buffer: the sink sees at most kFetchChunkSize
// bytes at a time, however large libcurl's buffer is.
size_t Transfer::Hand(const char* data, size_t size) {
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

std::string FetchUrlToSink(const std::string& url, BodySink& sink, const FetchOptions& options) {
    std::string outcome;
    RunTransfers(
        1, [&](std::size_t) { return std::make_unique<Transfer>(url, sink, options); }, 1, nullptr,
        [&outcome](std::size_t, const std::string& text) { outcome = text; });
    return outcome;
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
