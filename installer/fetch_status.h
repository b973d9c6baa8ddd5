// The workflows' fetch: the download's outcome goes where they look for it.
#pragma once

#include <string>

#include "installer/shared_state.h"
#include "web/fetch.h"

namespace klv {

// Fetches `url` into `localPath` and leaves the outcome in `fetchErrorText` and then
// `statusText`: empty after a success (clearing an earlier failure), the failure's text
// otherwise.
void FetchUrlToFile(SharedState& shared, const std::string& url, const std::string& localPath,
                    std::chrono::milliseconds idleTimeout = web::kFetchIdleTimeout,
                    std::size_t maxBytes = web::kMaxDownloadBytes);

}  // namespace klv
