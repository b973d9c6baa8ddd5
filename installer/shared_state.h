// The installer's process-wide values, all in one place: what the last Install Script
// captured, the program's directory and what it remembers about hosts.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "installer/form.h"
#include "installer/trust_store.h"

namespace klv {

struct SharedState {
    FormData formData;
    std::string appDirectory;  // this run's private directory, without a trailing "/"
    // Where Update Pages keeps its record of what it put on each host (UploadRecordDirectory,
    // installer/upload_record.h); empty: no record, every page goes up each time.
    std::string stateDirectory;
    // Trusted certificates and the hosts that spoke TLS; the program puts its settings here.
    std::unique_ptr<TrustStore> trustStore = std::make_unique<MemoryTrustStore>();
};

// `directory` + "/" + `name`: where a working file lives.
std::string WorkingFile(std::string_view directory, std::string_view name);

}  // namespace klv
