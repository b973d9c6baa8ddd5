#include "installer/upload_record.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/c_handle.h"
#include "base/posix_io.h"
#include "installer/server_address.h"

namespace klv {

namespace {

constexpr std::string_view kFirstLine = "klv upload record 1";
// A record of ten thousand pages is well below this; a larger file is no record of ours.
constexpr std::size_t kMaxRecordBytes = std::size_t{16} << 20;

using DigestContext = CHandle<EVP_MD_CTX, &EVP_MD_CTX_free>;

class Sha256 {
public:
    Sha256() : context_(EVP_MD_CTX_new()) {
        ok_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
    }
    void Add(std::string_view bytes) {
        ok_ = ok_ && EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) == 1;
    }
    std::optional<std::string> Hex() {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned length = 0;
        if (!ok_ || EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1) {
            return std::nullopt;
        }
        std::string hex;
        for (unsigned i = 0; i < length; ++i) {
            hex += "0123456789abcdef"[digest[i] >> 4];
            hex += "0123456789abcdef"[digest[i] & 15];
        }
        return hex;
    }

private:
    DigestContext context_;
    bool ok_ = false;
};

// A field of a line: names and directories may hold any byte but NUL, the separators too.
std::string Escaped(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
            escaped += '%';
            escaped += "0123456789ABCDEF"[static_cast<unsigned char>(c) >> 4];
            escaped += "0123456789ABCDEF"[c & 15];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::optional<std::string> Unescaped(std::string_view field) {
    std::string text;
    for (std::size_t at = 0; at < field.size(); ++at) {
        if (field[at] != '%') {
            text += field[at];
            continue;
        }
        unsigned value = 0;
        if (at + 2 >= field.size() ||
            std::from_chars(field.data() + at + 1, field.data() + at + 3, value, 16).ptr !=
                field.data() + at + 3) {
            return std::nullopt;
        }
        text += static_cast<char>(value);
        at += 2;
    }
    return text;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t end = text.find(separator);
        parts.push_back(text.substr(0, end));
        if (end == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(end + 1);
    }
}

// The lines that say whose record a file is.
std::string KeyLines(const RecordKey& key) {
    return "host\t" + Escaped(HostKey(key.host, key.port)) + "\nuser\t" + Escaped(key.user) +
           "\ndirectory\t" + Escaped(key.loginDirectory) + "\n";
}

// One file for each key, named by the key's digest: no user name or path in a file name.
std::string RecordPath(const std::string& directory, const RecordKey& key) {
    Sha256 digest;
    digest.Add(KeyLines(key));
    return directory + "/uploads-" + digest.Hex().value_or("") + ".record";
}

std::optional<RecordedPage> PageOf(const std::vector<std::string_view>& fields) {
    RecordedPage page;
    const std::string_view size = fields[3];
    const bool hex = fields[2].size() == 64 &&
                     fields[2].find_first_not_of("0123456789abcdef") == std::string_view::npos;
    const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), page.size);
    std::optional<std::string> modified = Unescaped(fields[4]);
    if (!hex || size.empty() || error != std::errc() || end != size.data() + size.size() ||
        !modified) {
        return std::nullopt;
    }
    page.sha256 = fields[2];
    page.modified = std::move(*modified);
    return page;
}

// Makes each missing directory of `path`, mode 0700; the last one is made 0700 whatever it
// was.
bool MakeDirectory(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            struct stat status {};
            return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
                   ::chmod(path.c_str(), 0700) == 0;
        }
    }
}

}  // namespace

std::string UploadRecordDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/klv";
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] == '/' ? std::string(home) + "/.local/state/klv" : "";
}

UploadRecord LoadUploadRecord(const std::string& directory, const RecordKey& key) {
    const UniqueFd file(
        ::open(RecordPath(directory, key).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::string text;
    std::array<char, 64 * 1024> buffer{};
    for (long got = 0; file && (got = ReadSome(file.get(), buffer.data(), buffer.size())) != 0;) {
        if (got < 0 || text.size() + static_cast<std::size_t>(got) > kMaxRecordBytes) {
            return {};
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    const std::string head = std::string(kFirstLine) + "\n" + KeyLines(key);
    if (!text.starts_with(head)) {
        return {};  // none, or another key's
    }
    std::string_view pages = std::string_view(text).substr(head.size());
    UploadRecord record;
    if (pages.empty()) {
        return record;
    }
    if (!pages.ends_with('\n')) {
        return {};  // cut short
    }
    pages.remove_suffix(1);
    for (const std::string_view line : Split(pages, '\n')) {
        const std::vector<std::string_view> fields = Split(line, '\t');
        std::optional<std::string> name;
        std::optional<RecordedPage> page;
        if (fields.size() != 5 || fields[0] != "page" || !(name = Unescaped(fields[1])) ||
            !(page = PageOf(fields))) {
            return {};
        }
        record[*name] = std::move(*page);
    }
    return record;
}

bool SaveUploadRecord(const std::string& directory, const RecordKey& key,
                      const UploadRecord& record, std::string& failure) {
    if (directory.empty()) {
        failure = "neither XDG_STATE_HOME nor HOME names a directory";
        return false;
    }
    std::string text = std::string(kFirstLine) + "\n" + KeyLines(key);
    for (const auto& [name, page] : record) {
        text += "page\t" + Escaped(name) + "\t" + page.sha256 + "\t" + std::to_string(page.size) +
                "\t" + Escaped(page.modified) + "\n";
    }
    const std::string path = RecordPath(directory, key);
    std::string temporary = path + ".XXXXXX";
    if (!MakeDirectory(directory)) {
        failure = directory + ": " + std::strerror(errno);
        return false;
    }
    // mkostemp makes the file 0600: the record takes that mode whatever the old one had.
    UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
    const bool written = file && WriteAll(file.get(), text.data(), text.size()) &&
                         ::fsync(file.get()) == 0 && file.Close() &&
                         ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!written) {
        failure = path + ": " + std::strerror(errno);
        (void)::unlink(temporary.c_str());
    }
    return written;
}

std::optional<std::string> Sha256OfFile(const std::string& path) {
    const UniqueFd file = OpenLocalFile(path);
    if (!file) {
        return std::nullopt;
    }
    Sha256 digest;
    std::array<char, 64 * 1024> buffer{};
    for (long got = 0; (got = ReadSome(file.get(), buffer.data(), buffer.size())) != 0;) {
        if (got < 0) {
            return std::nullopt;
        }
        digest.Add(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
    return digest.Hex();
}

bool NeedsSending(const RecordedPage* recorded, std::string_view sha256,
                  const ftp::ListedFile* listed) {
    return recorded == nullptr || listed == nullptr || recorded->sha256 != sha256 ||
           recorded->size != listed->size || recorded->modified != listed->modified;
}

}  // namespace klv
