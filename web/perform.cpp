#include "web/perform.h"

#include "base/c_handle.h"
#include "base/cancel.h"

namespace klv::web {

namespace {

using MultiHandle = CHandle<CURLM, curl_multi_cleanup>;

// The easy handle is taken out of the multi handle before either is cleaned up.
class Attached {
public:
    Attached(CURLM* multi, CURL* easy)
        : multi_(multi), easy_(easy), ok_(curl_multi_add_handle(multi, easy) == CURLM_OK) {}
    ~Attached() {
        if (ok_) {
            curl_multi_remove_handle(multi_, easy_);
        }
    }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    [[nodiscard]] bool ok() const { return ok_; }

private:
    CURLM* multi_;
    CURL* easy_;
    bool ok_;
};

// The longest one wait lasts before the transfer is driven again; libcurl shortens it
// to its own timers.
constexpr int kLongestWaitMs = 1000;

}  // namespace

CURLcode PerformCancellable(CURL* easy) {
    const CancelToken& token = CurrentCancelToken();
    const MultiHandle multi(curl_multi_init());
    if (!multi) {
        return CURLE_OUT_OF_MEMORY;
    }
    const Attached attached(multi.get(), easy);
    if (!attached.ok()) {
        return CURLE_FAILED_INIT;
    }
    for (;;) {
        if (token.cancelled()) {
            return CURLE_ABORTED_BY_CALLBACK;
        }
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            return CURLE_RECV_ERROR;
        }
        if (running == 0) {
            break;
        }
        curl_waitfd wake{token.wakeFd(), CURL_WAIT_POLLIN, 0};
        const unsigned wakeCount = token.wakeFd() >= 0 ? 1 : 0;
        if (curl_multi_poll(multi.get(), &wake, wakeCount, kLongestWaitMs, nullptr) != CURLM_OK) {
            return CURLE_RECV_ERROR;
        }
    }
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
            return message->data.result;
        }
    }
    return CURLE_RECV_ERROR;
}

}  // namespace klv::web
