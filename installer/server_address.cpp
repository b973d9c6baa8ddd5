#include "installer/server_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <optional>

namespace klv {

namespace {

constexpr std::size_t kLongestName = 253;  // RFC 1035 §2.3.4, without a trailing dot
constexpr std::size_t kLongestLabel = 63;
constexpr std::size_t kLongestPortText = 5;  // "65535"

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(std::string_view text) {
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), Lower);
    return folded;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

ServerRefusal Refuse(std::string text) {
    return ServerRefusal{std::move(text)};
}

// The canonical text of an IPv6 address, or nothing when `text` is none.
std::optional<std::string> CanonicalIpv6(std::string_view text) {
    const std::string terminated(text);
    in6_addr address{};
    std::array<char, INET6_ADDRSTRLEN> canonical{};
    if (terminated.size() != std::string_view(terminated.c_str()).size() ||
        ::inet_pton(AF_INET6, terminated.c_str(), &address) != 1 ||
        ::inet_ntop(AF_INET6, &address, canonical.data(), canonical.size()) == nullptr) {
        return std::nullopt;
    }
    return std::string(canonical.data());
}

// The dotted text of an IPv4 address in any form the resolver takes for one ("127.1",
// "0x7f.0.0.1"), or nothing when `text` is a name.
std::optional<std::string> CanonicalIpv4(std::string_view text) {
    const bool numeric = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return IsDigit(c) || c == '.' || c == 'x' || c == 'X' ||
               (Lower(c) >= 'a' && Lower(c) <= 'f');
    });
    const std::string terminated(text);
    in_addr address{};
    std::array<char, INET_ADDRSTRLEN> dotted{};
    if (!numeric || ::inet_aton(terminated.c_str(), &address) == 0 ||
        ::inet_ntop(AF_INET, &address, dotted.data(), dotted.size()) == nullptr) {
        return std::nullopt;
    }
    return std::string(dotted.data());
}

// A host name the resolver could be asked for: labels of letters, digits, "-" and "_"
// (and bytes of UTF-8 beyond ASCII), joined by dots, a trailing dot allowed.
bool IsHostName(std::string_view name) {
    if (name.size() > 1 && name.back() == '.') {
        name.remove_suffix(1);
    }
    if (name.empty() || name.size() > kLongestName) {
        return false;
    }
    std::size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0) {
                return false;  // an empty label: "..", or a leading dot
            }
            label = 0;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        const bool allowed = IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'z') || c == '-' ||
                             c == '_' || byte >= 0x80;
        if (!allowed || ++label > kLongestLabel) {
            return false;
        }
    }
    return label > 0;
}

std::optional<Scheme> SchemeNamed(std::string_view name) {
    const std::string folded = Folded(name);
    if (folded == "ftp") {
        return Scheme::Ftp;
    }
    if (folded == "ftps") {
        return Scheme::Ftps;
    }
    if (folded == "sftp") {
        return Scheme::Sftp;
    }
    return std::nullopt;
}

// "host:port" or "[v6]:port" after the scheme, the user part and the path are gone.
ParsedServer ParseHostAndPort(std::string_view authority, ServerAddress address) {
    std::string_view host = authority;
    std::optional<std::string_view> portText;
    bool bracketed = false;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return Refuse(
                "\"Server\" has \"[\" without \"]\": an IPv6 address with a port is "
                "written [2001:db8::1]:2121.");
        }
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (!after.starts_with(':')) {
                return Refuse("\"Server\" holds " + Quoted(after) +
                              " after \"]\": only \":port\" may follow an IPv6 address.");
            }
            portText = after.substr(1);
        }
        bracketed = true;
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        if (authority.find(':', colon + 1) == std::string_view::npos) {
            host = authority.substr(0, colon);
            portText = authority.substr(colon + 1);
        } else {
            bracketed = true;  // two colons or more: an IPv6 address, which takes no port
        }
    }

    if (bracketed) {
        if (const std::size_t percent = host.find('%'); percent != std::string_view::npos) {
            return Refuse("\"Server\" holds an IPv6 zone (" + Quoted(host.substr(percent)) +
                          "), which cannot be used: give the address without it.");
        }
        std::optional<std::string> canonical = CanonicalIpv6(host);
        if (!canonical) {
            return Refuse("\"Server\" holds " + Quoted(host) +
                          ", which is not an IPv6 address (an IPv6 address with a port is "
                          "written [2001:db8::1]:2121).");
        }
    } else if (host.empty()) {
        return Refuse("\"Server\" holds no server name, only " + Quoted(authority) + ".");
    } else if (!IsHostName(host)) {
        return Refuse("\"Server\" holds " + Quoted(host) +
                      ", which is neither a host name nor an IP address.");
    }

    if (portText) {
        const bool number = !portText->empty() && portText->size() <= kLongestPortText &&
                            std::all_of(portText->begin(), portText->end(), IsDigit);
        const unsigned port =
            number ? static_cast<unsigned>(std::stoul(std::string(*portText))) : 0;
        if (portText->empty()) {
            return Refuse(
                "\"Server\" has no port after \":\": a port is a number from 1 to 65535.");
        }
        if (port < 1 || port > 65535) {
            return Refuse("\"Server\" has the port " + Quoted(*portText) +
                          ": a port is a number from 1 to 65535.");
        }
        address.port = port;
        address.portGiven = true;
    }
    address.host.assign(host);
    return address;
}

}  // namespace

ParsedServer ParseServer(std::string_view text, unsigned ftpPort) {
    text = Trimmed(text);
    ServerAddress address;
    address.port = ftpPort;
    if (text.empty()) {
        return address;
    }

    if (const std::size_t separator = text.find("://"); separator != std::string_view::npos) {
        const std::string_view name = text.substr(0, separator);
        const std::optional<Scheme> scheme = SchemeNamed(name);
        if (!scheme) {
            // Only the scheme is named: what precedes "://" might hold a user's password.
            const bool plain = !name.empty() && name.find_first_of("@:/") == std::string_view::npos;
            return Refuse("\"Server\" starts with " +
                          (plain ? Quoted(std::string(name) + "://") : "an unknown scheme") +
                          ": only ftp://, ftps:// and sftp:// can be used.");
        }
        address.scheme = *scheme;
        address.port = *scheme == Scheme::Ftps   ? kFtpsPort
                       : *scheme == Scheme::Sftp ? kSftpPort
                                                 : ftpPort;
        text.remove_prefix(separator + 3);
        if (text.empty()) {
            return Refuse("\"Server\" names no server after " + Quoted(Folded(name) + "://") + ".");
        }
    }

    const std::size_t slash = text.find('/');
    const std::string_view authority = text.substr(0, slash);
    // The user part is looked for before the path: "user@host/x" names the user first.
    if (authority.find('@') != std::string_view::npos) {
        return Refuse(
            "\"Server\" holds a user name (the part up to \"@\"): put the user in "
            "\"Username\", and only the server here.");
    }
    if (slash != std::string_view::npos && text.substr(slash) != "/") {
        return Refuse("\"Server\" holds a path (" + Quoted(text.substr(slash)) +
                      "): give the server alone, with \":port\" if needed; the directory goes "
                      "in \"CGI Path\".");
    }
    if (authority.empty()) {
        return Refuse("\"Server\" holds no server name.");
    }
    return ParseHostAndPort(authority, std::move(address));
}

std::string ServerFieldRefusal(std::string_view text, unsigned ftpPort) {
    const ParsedServer parsed = ParseServer(text, ftpPort);
    if (const auto* refusal = std::get_if<ServerRefusal>(&parsed)) {
        return refusal->text;
    }
    return {};
}

std::string HostKey(std::string_view host, unsigned port) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const std::string portText = ":" + std::to_string(port);
    if (std::optional<std::string> ipv6 = CanonicalIpv6(host)) {
        return "[" + *ipv6 + "]" + portText;
    }
    std::string name = Folded(host);
    if (name.size() > 1 && name.back() == '.') {
        name.pop_back();
    }
    if (std::optional<std::string> ipv4 = CanonicalIpv4(name)) {
        return *ipv4 + portText;
    }
    return name + portText;
}

std::string RekeyStoredHost(std::string_view stored) {
    if (stored.find("://") != std::string_view::npos) {
        return std::string(stored);
    }
    // The port the program always had before "Server" could name one.
    constexpr unsigned kStoredDefaultPort = 21;
    const ParsedServer parsed = ParseServer(stored, kStoredDefaultPort);
    const auto* address = std::get_if<ServerAddress>(&parsed);
    if (address == nullptr || address->host.empty() || Trimmed(stored) != stored) {
        return std::string(stored);
    }
    return HostKey(address->host, address->port);
}

}  // namespace klv
