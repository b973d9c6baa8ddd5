#include "installer/fetch_status.h"

#include "web/fetch.h"

namespace klv {

void FetchUrlToFile(SharedState& shared, const std::string& url, const std::string& localPath,
                    std::chrono::milliseconds idleTimeout, std::size_t maxBytes) {
    shared.fetchErrorText = web::FetchUrlToFile(url, localPath, {idleTimeout, maxBytes});
    shared.statusText = shared.fetchErrorText.view();
}

}  // namespace klv
