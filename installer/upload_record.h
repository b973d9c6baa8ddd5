// What a run of Update Pages put on a host, kept so that the next run sends only the pages
// that changed here or there.
//
// One record for each host, port, account and logon directory (as the host names it), in a
// file of its own under $XDG_STATE_HOME/klv (~/.local/state/klv when unset): the folder mode
// 0700, the file 0600, replaced whole (a temporary file renamed over it), so a run that dies
// halfway leaves the last record. The key is written into the file as well and checked when
// it is read: a record is never taken for another host's. No password is ever in it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "ftp/listing.h"

namespace klv {

// Whose record it is: the host and port (kept under HostKey, installer/server_address.h, so
// every spelling of the host finds it), the user and the logon directory.
struct RecordKey {
    std::string host;
    unsigned port = 0;
    std::string user;
    std::string loginDirectory;
};

// One page as it was sent: the SHA-256 of the local file's bytes (lower-case hex), and the
// size and modification time the host listed for it afterwards.
struct RecordedPage {
    std::string sha256;
    std::uint64_t size = 0;
    std::string modified;

    friend bool operator==(const RecordedPage&, const RecordedPage&) = default;
};

// The pages by their name in the directory.
using UploadRecord = std::map<std::string, RecordedPage>;

// $XDG_STATE_HOME/klv when that is absolute, else $HOME/.local/state/klv; empty when
// neither names a directory.
[[nodiscard]] std::string UploadRecordDirectory();

// The record of `key` in `directory`; empty when there is none, it is damaged or unreadable,
// or it belongs to another key.
[[nodiscard]] UploadRecord LoadUploadRecord(const std::string& directory, const RecordKey& key);

// Writes the record of `key` into `directory` (made, mode 0700, when missing), replacing the
// one there. False with the reason in `failure`.
[[nodiscard]] bool SaveUploadRecord(const std::string& directory, const RecordKey& key,
                                    const UploadRecord& record, std::string& failure);

// The SHA-256 of the file at `path` in lower-case hex; nothing when it cannot be read.
[[nodiscard]] std::optional<std::string> Sha256OfFile(const std::string& path);

// Whether a page goes up again: unless the record has it (`recorded`), with the same
// content as now (`sha256`) and with the size and time the host lists now (`listed`), it
// does. A page edited, replaced or removed on the host is sent again.
[[nodiscard]] bool NeedsSending(const RecordedPage* recorded, std::string_view sha256,
                                const ftp::ListedFile* listed);

}  // namespace klv
