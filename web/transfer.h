// One GET of the web library on a libcurl multi handle, shared by the single fetch and
// the batch: the handle's set-up, the step after each response (a redirect is followed
// by hand, on the same handle) and the outcome text. Not for use outside web/.
#pragma once

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "base/c_handle.h"
#include "web/body_sink.h"
#include "web/fetch.h"
#include "web/fetch_many.h"

namespace klv::web {

// libcurl's global set-up, done once; false when it failed.
[[nodiscard]] bool CurlReady();

class Transfer {
public:
    Transfer(std::string url, BodySink& sink, const FetchOptions& options);
    Transfer(std::string url, std::unique_ptr<BodySink> sink, const FetchOptions& options)
        : Transfer(std::move(url), *sink, options) {
        ownedSink_ = std::move(sink);
    }
    ~Transfer();  // out of the multi handle first
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Sets the handle up and adds it to `multi`; false when that failed.
    [[nodiscard]] bool Start(CURLM* multi);
    // libcurl reported the request over with `result`. True when the request of a followed
    // redirect is under way; false when the transfer is over.
    [[nodiscard]] bool Step(CURLcode result);
    // The outcome text (empty: the whole body stored), once over; a transfer still under
    // way is ended with `ending`. Ends the sink.
    [[nodiscard]] std::string Finish(CURLcode ending = CURLE_ABORTED_BY_CALLBACK);

    [[nodiscard]] CURL* easy() const { return easy_.get(); }
    bool reportsBytes = true;  // hands its byte counts to the run's window

private:
    enum class Kind { kUnknown, kHeld, kToSink };

    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static int OnProgress(void* self, curl_off_t total, curl_off_t received, curl_off_t,
                          curl_off_t);
    bool SetUp();
    bool Attach(CURLM* multi);
    void Detach();
    const char* Complete();
    int CheckIdle(curl_off_t received);
    size_t TakeHeaderLine(std::string_view line);
    bool Decide();
    [[nodiscard]] std::string Reason(long status) const;
    bool Begin();
    size_t TakeBody(const char* data, size_t size);
    size_t Hand(const char* data, size_t size);

    std::string url_;
    std::unique_ptr<BodySink> ownedSink_;
    BodySink& sink_;
    std::chrono::milliseconds idleTimeout_;
    std::size_t maxBytes_;
    CHandle<CURL, curl_easy_cleanup> easy_;
    CHandle<CURLU, curl_url_cleanup> location_;  // the address of each request in turn
    CHandle<curl_slist, curl_slist_free_all> headers_;
    std::array<char, CURL_ERROR_SIZE> errorText_{};
    std::array<char, kFetchChunkSize> fetchChunk_;
    CURLM* multi_ = nullptr;  // while a request is under way
    CURLcode performed_ = CURLE_OK;
    long redirects_ = 0;
    Kind kind_ = Kind::kUnknown;
    std::string statusLine_;
    std::string held_;  // a 3xx's body, until its end shows whether it redirects
    bool begun_ = false;
    std::string failure_;
    std::size_t stored_ = 0;
    std::chrono::steady_clock::time_point lastArrival_ = std::chrono::steady_clock::now();
    curl_off_t lastReceived_ = -1;
};

using MakeTransfer = std::function<std::unique_ptr<Transfer>(std::size_t index)>;

// Runs the transfers 0 to count - 1 over one multi handle, started in order, at most
// `parallel` at once and, with a gate, each only once it gave a slot. Every index is
// reported once; after Cancel those not over are reported as kCancelled.
void RunTransfers(std::size_t count, const MakeTransfer& make, std::size_t parallel,
                  FetchGate* gate, const FetchDone& done);

}  // namespace klv::web
