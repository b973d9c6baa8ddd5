// The batch on one libcurl multi handle: its connection cache serves every page, HTTP/2
// multiplexes them where the server offers it, and one wait watches every transfer, the
// run's Cancel and the gate.
// Reading list: libcurl-multi(3), curl_multi_poll(3), CURLMOPT_MAX_HOST_CONNECTIONS(3).
#include "web/fetch_many.h"

#include <curl/curl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>

#include "base/c_handle.h"
#include "base/cancel.h"
#include "web/file_sink.h"
#include "web/transfer.h"

namespace klv::web {

FetchGate::FetchGate(std::size_t slots)
    : free_(slots), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void FetchGate::Release() {
    free_.fetch_add(1, std::memory_order_acq_rel);
    if (wakeFd_) {
        const std::uint64_t one = 1;
        // Only fails when the counter is full, and then it is readable anyway.
        (void)!::write(wakeFd_.get(), &one, sizeof one);
    }
}

bool FetchGate::TryTake() {
    if (wakeFd_) {  // drained first: a Release after this wakes the next wait
        std::uint64_t count = 0;
        while (::read(wakeFd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
    std::size_t free = free_.load(std::memory_order_acquire);
    while (free > 0 && !free_.compare_exchange_weak(free, free - 1, std::memory_order_acq_rel)) {
    }
    return free > 0;
}

namespace {

using MultiHandle = CHandle<CURLM, curl_multi_cleanup>;

// The longest one wait lasts before the transfers are driven again; libcurl shortens it
// to its own timers.
constexpr int kLongestWaitMs = 1000;

// The transfers under way, by easy handle, with their index.
using Running = std::map<CURL*, std::pair<std::size_t, std::unique_ptr<Transfer>>>;

// Hands every request libcurl finished to its transfer and reports the transfers that are
// over; true when there were any.
bool TakeFinished(CURLM* multi, Running& running, const FetchDone& done) {
    bool ended = false;
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        const auto found = running.find(message->easy_handle);
        if (message->msg != CURLMSG_DONE || found == running.end()) {
            continue;
        }
        auto& [index, transfer] = found->second;
        if (!transfer->Step(message->data.result)) {
            done(index, transfer->Finish());
            running.erase(found);
            ended = true;
        }
    }
    return ended;
}

}  // namespace

void RunTransfers(std::size_t count, const MakeTransfer& make, std::size_t parallel,
                  FetchGate* gate, const FetchDone& done) {
    const CancelToken& token = CurrentCancelToken();
    const MultiHandle multi(CurlReady() ? curl_multi_init() : nullptr);
    CURLMcode failed = multi ? CURLM_OK : CURLM_OUT_OF_MEMORY;
    if (multi) {
        curl_multi_setopt(multi.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
        curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, kConnectionsPerHost);
    }
    Running running;
    std::size_t next = 0;
    while (failed == CURLM_OK && !token.cancelled() && (next < count || !running.empty())) {
        while (next < count && running.size() < parallel && (gate == nullptr || gate->TryTake())) {
            std::unique_ptr<Transfer> transfer = make(next);
            if (transfer->Start(multi.get())) {
                CURL* const easy = transfer->easy();
                running.emplace(easy, std::pair(next, std::move(transfer)));
            } else {
                done(next, transfer->Finish());
            }
            ++next;
        }
        // The next job is held back by the gate alone: its Release must wake the wait.
        const bool gated = next < count && running.size() < parallel;
        int alive = 0;
        failed = curl_multi_perform(multi.get(), &alive);
        if (failed != CURLM_OK || TakeFinished(multi.get(), running, done)) {
            continue;  // a finished job may make room for the next at once
        }
        curl_waitfd wakes[2] = {{token.wakeFd(), CURL_WAIT_POLLIN, 0},
                                {gated ? gate->wakeFd() : -1, CURL_WAIT_POLLIN, 0}};
        failed = curl_multi_poll(multi.get(), wakes, gated ? 2 : 1, kLongestWaitMs, nullptr);
    }
    // Cancelled, or libcurl failed: what is left ends now.
    const CURLcode ending = failed == CURLM_OK ? CURLE_ABORTED_BY_CALLBACK : CURLE_RECV_ERROR;
    for (auto& [easy, entry] : running) {
        done(entry.first, entry.second->Finish(ending));
    }
    const std::string unstarted = token.cancelled() ? kCancelled
                                  : multi           ? curl_easy_strerror(ending)
                                                    : "Cannot initialise libcurl";
    for (; next < count; ++next) {
        done(next, unstarted);
    }
}

void FetchMany(std::span<const FetchJob> jobs, FetchGate& gate, const FetchDone& done,
               const FetchOptions& options, std::size_t parallel) {
    const MakeTransfer make = [&](std::size_t index) {
        const FetchJob& job = jobs[index];
        auto transfer =
            std::make_unique<Transfer>(job.url, std::make_unique<FileSink>(job.localPath), options);
        transfer->reportsBytes = false;
        return transfer;
    };
    RunTransfers(jobs.size(), make, parallel, &gate, done);
}

}  // namespace klv::web
