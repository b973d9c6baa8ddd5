// The installer's process-wide values, all in one place: what the last Install Script
// captured, the outcome text of the last network operation, the program's directory,
// the transcript flag and the FTP client that Update Pages logs on once per run.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ftp/ftp_client.h"
#include "installer/form.h"
#include "installer/text_buffer.h"
#include "installer/trust_store.h"

namespace klv {

inline constexpr std::size_t kStatusTextSize = 4096;
using StatusText = TextBuffer<kStatusTextSize>;

struct SharedState {
    FormData formData;
    StatusText statusText;      // outcome of the last fetch or FTP session operation
    StatusText fetchErrorText;  // outcome of the last fetch, read by nothing else
    int showTranscript = 0;     // 1 only while Install Script's second upload runs
    std::string appDirectory;   // this run's private directory, without a trailing "/"
    ftp::FtpClient sharedClient;
    // Set once an upload over sharedClient's connection could not get an active data
    // connection; later uploads over it then use passive mode at once.
    bool sharedClientPassiveFirst = false;
    // Trusted certificates and the hosts that spoke TLS; the program puts its settings here.
    std::unique_ptr<TrustStore> trustStore = std::make_unique<MemoryTrustStore>();
};

// The directory part of an executable path: everything before its last "/", or the
// empty text when there is none.
std::string DirectoryOf(std::string_view executablePath);

// The running executable's full path (from /proc/self/exe), or empty if unknown.
std::string ExecutablePath();

// `directory` + "/" + `name`: where a working file lives.
std::string WorkingFile(std::string_view directory, std::string_view name);

}  // namespace klv
