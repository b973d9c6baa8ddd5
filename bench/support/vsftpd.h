// A vsftpd for the benchmarks: anonymous upload into pub/, in a scratch directory of
// its own, stopped and removed when its owner is destroyed. Needs /usr/sbin/vsftpd and
// root (the anonymous user is chrooted).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "bench/support/files.h"
#include "bench/support/process.h"

namespace klv::bench {

inline constexpr char kVsftpdPath[] = "/usr/sbin/vsftpd";

struct VsftpdOptions {
    std::string listenAddress = "127.0.0.1";
    unsigned port = 0;  // 0: a free port on 127.0.0.1
    // Not empty: vsftpd runs in this network namespace (`ip netns exec`). The readiness
    // check still connects from the calling thread's namespace, which must reach it.
    std::string networkNamespace;
};

class Vsftpd {
public:
    explicit Vsftpd(const VsftpdOptions& options = {});
    ~Vsftpd();
    Vsftpd(const Vsftpd&) = delete;
    Vsftpd& operator=(const Vsftpd&) = delete;

    [[nodiscard]] const std::string& address() const { return address_; }
    [[nodiscard]] unsigned port() const { return port_; }
    // The scratch directory; the served tree is below it.
    [[nodiscard]] const std::filesystem::path& dir() const { return scratch_.path(); }
    // Where a file stored as pub/<name> lands.
    [[nodiscard]] std::filesystem::path served(const std::string& name) const;
    // Removes everything stored in pub/.
    void ClearServed() const;

private:
    ScratchDirectory scratch_;
    std::string address_;
    unsigned port_ = 0;
    std::optional<Process> process_;
};

// A port on 127.0.0.1 that nothing listened on a moment ago.
[[nodiscard]] unsigned FreeLoopbackPort();

}  // namespace klv::bench
