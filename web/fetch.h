// One HTTP(S) GET into one local file.
#pragma once

#include <cstddef>
#include <string>

#include "web/body_sink.h"

namespace klv::web {

inline constexpr std::size_t kFetchChunkSize =
    1024;  // the body reaches the file in pieces of this size at most
inline constexpr std::size_t kMaxErrorTextLength = 253;
inline constexpr long kMaxRedirects = 10;

// Fetches `url` into `localPath`. Returns the outcome text: empty when the whole body
// was stored, otherwise a description of the failure (at most 253 characters).
//
// The file is created (or truncated) only once the final response has begun, so a
// failure before that leaves an existing file as it was; a body that breaks off leaves
// the bytes received so far. A final status of 400 or more is a failure named by its
// status line ("HTTP 404 Not Found") and leaves the file as it was.
std::string FetchUrlToFile(const std::string& url, const std::string& localPath);

// The same fetch with the body's destination left open: `sink` is begun once the final
// response has begun, receives the body in pieces of at most kFetchChunkSize bytes, and
// is ended on every path after a successful Begin.
std::string FetchUrlToSink(const std::string& url, BodySink& sink);

}  // namespace klv::web
