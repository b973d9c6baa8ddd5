// What the form's "Server" may hold, read into one value, and the one name every memory
// of a host is kept under.
//
//   ftp.example.org              FTP (explicit TLS when offered), Config::ftpPort
//   ftp.example.org:2121         the same on port 2121
//   192.0.2.7, 2001:db8::1       an address; IPv6 bare or in brackets: [2001:db8::1]
//   [2001:db8::1]:2121           an IPv6 address with a port: brackets required
//   ftp://host                   as bare; Config::ftpPort
//   ftps://host                  implicit TLS, port 990 unless given
//   sftp://host                  SSH File Transfer Protocol, port 22 unless given
//
// A scheme is case-insensitive; one trailing "/" and blanks around the whole text are
// ignored. A path, a user ("user@host"), an unknown scheme, a port that is not 1 to 65535,
// an IPv6 zone ("%eth0") and characters no host name has are refused with a sentence that
// names what is wrong. No lookup is made here.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace klv {

enum class Scheme { Ftp, Ftps, Sftp };

inline constexpr unsigned kFtpsPort = 990;  // RFC 4217 §2: implicit TLS, "ftps"
inline constexpr unsigned kSftpPort = 22;

struct ServerAddress {
    Scheme scheme = Scheme::Ftp;
    // A host name as typed (ASCII letters keep their case; a trailing dot stays), or an
    // address: IPv4 dotted, IPv6 without brackets. Empty only for an empty "Server".
    std::string host;
    unsigned port = 0;       // as given, else the scheme's default
    bool portGiven = false;  // ":port" was written

    friend bool operator==(const ServerAddress&, const ServerAddress&) = default;
};

// Why "Server" cannot be used: a sentence for a message box.
struct ServerRefusal {
    std::string text;

    friend bool operator==(const ServerRefusal&, const ServerRefusal&) = default;
};

using ParsedServer = std::variant<ServerAddress, ServerRefusal>;

// Reads "Server". `ftpPort` is the port of ftp:// and of a bare name (Config::ftpPort). An
// empty text (or blanks alone) is an Ftp address with an empty host: the form's own check
// of empty fields speaks of it, or the connect fails as it always did.
[[nodiscard]] ParsedServer ParseServer(std::string_view text, unsigned ftpPort);

// The refusal the workflows show before any download when "Server" cannot be used, or
// empty when it can.
[[nodiscard]] std::string ServerFieldRefusal(std::string_view text, unsigned ftpPort);

// The one name under which anything is remembered about a host (trusted certificates,
// host keys, "spoke TLS"): the host with ASCII letters folded to lower case and one
// trailing dot dropped, an address in its canonical form (IPv4 dotted decimal as the
// resolver reads it, IPv6 as RFC 5952 writes it, in brackets), then ":" and the port.
// "FTP.Example.ORG." and 21 give "ftp.example.org:21"; "2001:DB8:0::1" and 990 give
// "[2001:db8::1]:990". HostKey of a key's own host and port is the key again.
[[nodiscard]] std::string HostKey(std::string_view host, unsigned port);

// The key an entry was stored under before keys were normalised (the host as typed, with
// ":port" unless the port was 21) as HostKey makes it now; a key already normalised comes
// back unchanged, and one that names no host (never written by the program) too.
[[nodiscard]] std::string RekeyStoredHost(std::string_view stored);

}  // namespace klv
