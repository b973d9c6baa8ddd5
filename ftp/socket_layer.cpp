#include "ftp/socket_layer.h"

#include <csignal>

namespace klv::ftp {

bool InitializeSocketLayer() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

}  // namespace klv::ftp
