// Many HTTP(S) GETs at once, each into its own local file, over one libcurl multi handle:
// the pages of Update Pages arrive ahead of their uploads, a bounded number ahead.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <span>
#include <string>

#include "base/unique_fd.h"
#include "web/fetch.h"

namespace klv::web {

// Each page costs a round trip or more, and over HTTP/1.1 only more connections carry
// more at once: a list of a few hundred small pages takes as many round trips as it has
// pages over this many.
inline constexpr std::size_t kParallelFetches = 16;
// Connections a batch opens to one host at most; HTTP/2 carries them all on one.
inline constexpr long kConnectionsPerHost = 16;

// How far the fetches may run ahead of whoever uses the pages: a count of free slots.
// Each job takes one as it starts; the user of a page gives one back. Thread-safe.
class FetchGate {
public:
    explicit FetchGate(std::size_t slots);
    FetchGate(const FetchGate&) = delete;
    FetchGate& operator=(const FetchGate&) = delete;

    // From any thread: one slot back, and a waiting batch wakes at once.
    void Release();
    // Takes a slot if one is free.
    [[nodiscard]] bool TryTake();
    // Readable (POLLIN) after a Release that TryTake has not seen yet; -1 if no eventfd
    // could be made (a waiting batch then looks again every second).
    [[nodiscard]] int wakeFd() const { return wakeFd_.get(); }

private:
    std::atomic<std::size_t> free_;
    UniqueFd wakeFd_;
};

struct FetchJob {
    std::string url;
    std::string localPath;
};

// Called on the fetching thread as each job ends: its index in the list and its outcome.
using FetchDone = std::function<void(std::size_t index, const std::string& outcome)>;

// Fetches every job as FetchUrlToFile would, at most `parallel` at once, started in list
// order and each only once it took a slot of `gate`. `done` hears every job exactly once,
// as soon as it ends, with the text FetchUrlToFile would return. Returns when every job
// was reported. After the run's Cancel every job not yet over is reported at once as
// kCancelled. Byte counts are not reported to the run: the pages' uploads report theirs.
void FetchMany(std::span<const FetchJob> jobs, FetchGate& gate, const FetchDone& done,
               const FetchOptions& options = {}, std::size_t parallel = kParallelFetches);

}  // namespace klv::web
