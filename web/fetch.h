// One HTTP(S) GET into one local file.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "web/body_sink.h"

namespace klv::web {

inline constexpr std::size_t kFetchChunkSize =
    1024;  // the body reaches the file in pieces of this size at most
inline constexpr std::size_t kMaxErrorTextLength = 253;
inline constexpr long kMaxRedirects = 10;  // one more fails the fetch
// The outcome of a fetch that the run's Cancel ended.
inline constexpr char kCancelled[] = "Cancelled";

// How long a fetch may wait with nothing at all arriving (connecting, or between two
// pieces of the body) before it fails, so that a silent server cannot hold the window
// for ever; a slow body that keeps moving is never cut off.
inline constexpr std::chrono::milliseconds kFetchIdleTimeout = std::chrono::seconds(120);

// The largest body a fetch stores; a larger one fails with a text that says so, so that
// no server can fill the user's disk or bring an endless file to the FTP server.
inline constexpr std::size_t kMaxDownloadBytes = std::size_t{64} << 20;

struct FetchOptions {
    std::chrono::milliseconds idleTimeout = kFetchIdleTimeout;
    std::size_t maxBytes = kMaxDownloadBytes;
};

// "The file is larger than 64 MiB": the failure text of a body over `maxBytes`.
std::string TooLargeText(std::size_t maxBytes);

// Fetches `url` into `localPath`. Returns the outcome text: empty when the whole body
// was stored, otherwise a description of the failure (at most 253 characters).
//
// The file is created (or truncated) only once the final response has begun, so a
// failure before that leaves an existing file as it was; a body that breaks off leaves
// the bytes received so far. A final status of 400 or more is a failure named by its
// status line ("HTTP 404 Not Found") and leaves the file as it was.
std::string FetchUrlToFile(const std::string& url, const std::string& localPath,
                           const FetchOptions& options = {});

// Why a redirect from the address `from` to `location` (absolute, or relative to `from`)
// is not followed, or the empty text: it must stay on the same host and port, except
// from http on port 80 up to https on 443, and never leave https.
std::string RefusedRedirect(const char* from, std::string_view location);

// The same fetch with the body's destination left open: `sink` is begun once the final
// response has begun, receives the body in pieces of at most kFetchChunkSize bytes, and
// is ended on every path after a successful Begin.
std::string FetchUrlToSink(const std::string& url, BodySink& sink,
                           const FetchOptions& options = {});

}  // namespace klv::web
