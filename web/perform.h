// Runs one prepared libcurl easy handle to its end on the calling thread.
#pragma once

#include <curl/curl.h>

namespace klv::web {

// What curl_easy_perform does, through a multi handle whose wait also watches the
// calling thread's cancel token (base/cancel.h), so that Cancel ends the transfer at
// once (CURLE_ABORTED_BY_CALLBACK) rather than at libcurl's next progress call. Every
// handle stays on the calling thread.
[[nodiscard]] CURLcode PerformCancellable(CURL* easy);

}  // namespace klv::web
