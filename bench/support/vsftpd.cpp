#include "bench/support/vsftpd.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ftp/tcp_socket.h"

namespace klv::bench {

namespace fs = std::filesystem;

unsigned FreeLoopbackPort() {
    const ftp::UniqueFd probe = ftp::tcp::OpenStreamSocket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("no free port");
    }
    return ntohs(ftp::tcp::LocalAddress(probe.get())->sin_port);
}

Vsftpd::Vsftpd(const VsftpdOptions& options)
    : scratch_("klv-vsftpd"),
      address_(options.listenAddress),
      port_(options.port != 0 ? options.port : FreeLoopbackPort()) {
    fs::create_directories(dir() / "root" / "pub");
    fs::permissions(dir() / "root" / "pub", fs::perms::all, fs::perm_options::replace);
    const fs::path configPath = dir() / "vsftpd.conf";
    std::ofstream config(configPath);
    config << "listen=YES\nlisten_ipv6=NO\nlisten_address=" << address_ << "\n"
           << "listen_port=" << port_ << "\n"
           << "background=NO\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\n"
           << "anon_upload_enable=YES\nanon_other_write_enable=YES\nno_anon_password=YES\n"
           << "anon_root=" << (dir() / "root").string() << "\n"
           << "allow_writeable_chroot=YES\nseccomp_sandbox=NO\nisolate=NO\n"
           << "isolate_network=NO\nconnect_from_port_20=NO\nport_enable=YES\n"
           << "pasv_enable=YES\nxferlog_enable=NO\nanon_umask=022\nuse_sendfile=YES\n"
           << "secure_chroot_dir=/var/run/vsftpd/empty\n"
           // Sessions left behind by an interrupted benchmark (whose peer is gone without
           // a word, as behind a stopped delay line) end within a minute.
           << "idle_session_timeout=60\ndata_connection_timeout=60\n";
    config.close();
    fs::create_directories("/var/run/vsftpd/empty");

    std::vector<std::string> command;
    if (!options.networkNamespace.empty()) {
        // `ip netns exec` execs vsftpd in place: the pid is vsftpd's own.
        command = {"/usr/sbin/ip", "netns", "exec", options.networkNamespace};
    }
    command.push_back(kVsftpdPath);
    command.push_back(configPath.string());
    process_.emplace(command, (dir() / "vsftpd.log").string());

    // Ready once it accepts a connection.
    const auto addresses = ftp::tcp::Resolve(address_, port_);
    if (addresses.empty()) {
        throw std::runtime_error("bad listen address " + address_);
    }
    for (int attempt = 0; attempt < 200; ++attempt) {
        const ftp::UniqueFd probe = ftp::tcp::OpenStreamSocket();
        if (ftp::tcp::ConnectWithin(probe.get(), addresses.front(),
                                    std::chrono::milliseconds(200))) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    throw std::runtime_error("vsftpd did not start: " + ReadWholeFile(dir() / "vsftpd.log"));
}

Vsftpd::~Vsftpd() {
    process_.reset();  // stopped before its directory goes
}

fs::path Vsftpd::served(const std::string& name) const {
    return dir() / "root" / "pub" / name;
}

void Vsftpd::ClearServed() const {
    for (const fs::directory_entry& entry : fs::directory_iterator(dir() / "root" / "pub")) {
        fs::remove_all(entry.path());
    }
}

}  // namespace klv::bench
