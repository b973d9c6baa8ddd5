// Process start-up for the socket layer.
#pragma once

namespace klv::ftp {

// Makes a write to a connection the peer has closed fail with EPIPE instead of ending
// the process (SIGPIPE is ignored). Returns false when that cannot be arranged.
[[nodiscard]] bool InitializeSocketLayer();

}  // namespace klv::ftp
