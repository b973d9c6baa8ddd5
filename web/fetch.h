// One HTTP(S) GET into one local file.
#pragma once

#include <cstddef>
#include <string>

namespace klv::web {

inline constexpr std::size_t kFetchChunkSize = 1024;  // the body reaches the file in pieces of this size at most
inline constexpr std::size_t kMaxErrorTextLength = 253;

// Fetches `url` into `localPath`. Returns the outcome text: empty when the whole body
// was stored, otherwise a description of the failure (at most 253 characters).
std::string FetchUrlToFile(const std::string& url, const std::string& localPath);

}  // namespace klv::web
