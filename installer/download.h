// The workflows' downloads from the vendor's site: one address into one working file.
#pragma once

#include <string>

#include "installer/config.h"
#include "installer/result.h"
#include "web/fetch.h"

namespace klv {

// Fetches `url` into `localPath` within the configured idle bound and at most `maxBytes`;
// the failure's text is the fetch's own (at most 253 bytes).
[[nodiscard]] Result Download(const Config& config, const std::string& url,
                              const std::string& localPath,
                              std::size_t maxBytes = web::kMaxDownloadBytes);

}  // namespace klv
