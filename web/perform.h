// Runs one prepared libcurl easy handle to its end on the calling thread.
#pragma once

#include <curl/curl.h>

namespace klv::web {

// curl_easy_perform, except inside a run (base/cancel.h): then the transfer goes
// through a multi handle whose wait also watches the run's cancel token, so Cancel ends
// it at once (CURLE_ABORTED_BY_CALLBACK) rather than at libcurl's next progress call.
// Every handle stays on the calling thread.
[[nodiscard]] CURLcode PerformCancellable(CURL* easy);

}  // namespace klv::web
