#include "installer/download.h"

namespace klv {

Result Download(const Config& config, const std::string& url, const std::string& localPath,
                std::size_t maxBytes) {
    std::string failure = web::FetchUrlToFile(url, localPath, {config.idleTimeout, maxBytes});
    return failure.empty() ? Result::Success() : Result::Failure(std::move(failure));
}

}  // namespace klv
