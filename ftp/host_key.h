// What the user is shown about an SSH host key that is not known, and how the client asks
// whether to trust it. No libssh here: the window's side sees only these values.
#pragma once

#include <functional>
#include <string>

namespace klv::sftp {

struct HostKeyInfo {
    std::string host;  // as the user typed it
    unsigned port = 22;
    std::string keyType;      // "ssh-ed25519", "ecdsa-sha2-nistp256", "ssh-rsa", ...
    std::string fingerprint;  // "SHA256:" and unpadded base64, as ssh-keygen -l shows it
    // Another key is known for this host (in a known_hosts file or the program's store):
    // the host's key has changed, or someone is in the middle.
    bool changed = false;
};

// True: trust this key for this host; false: cancel the logon before any password is sent.
using HostKeyQuestion = std::function<bool(const HostKeyInfo&)>;

// Where a host key is looked up before the user is asked. The files are read, never
// written; a file that is missing knows no host.
struct HostKeyTrust {
    std::string knownHostsFile{};        // the user's: $HOME/.ssh/known_hosts
    std::string globalKnownHostsFile{};  // the system's: /etc/ssh/ssh_known_hosts
    std::string trustedFingerprint{};    // the one the program's own store holds for the host
    HostKeyQuestion askTrust{};          // unset: a key that is not known is refused
};

}  // namespace klv::sftp
