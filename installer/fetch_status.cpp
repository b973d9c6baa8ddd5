#include "installer/fetch_status.h"

#include "web/fetch.h"

namespace klv {

void FetchUrlToFile(SharedState& shared, const std::string& url, const std::string& localPath,
                    std::chrono::milliseconds idleTimeout) {
    shared.fetchErrorText = web::FetchUrlToFile(url, localPath, {idleTimeout});
    shared.statusText = shared.fetchErrorText.view();
}

}  // namespace klv
