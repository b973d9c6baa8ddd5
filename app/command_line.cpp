#include "app/command_line.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app/installer_app.h"
#include "app/keyring.h"
#include "app/password_sources.h"
#include "app/program_settings.h"
#include "app/remembered_values.h"
#include "app/settings_trust_store.h"
#include "app/ui_support.h"
#include "base/cancel.h"
#include "installer/run_directory.h"
#include "installer/upload_record.h"
#include "installer/window.h"
#include "installer/workflows.h"
#include "klv/build_config.h"

extern char** environ;

namespace klv::app {

namespace {

using namespace std::chrono_literals;

// The longest the command line waits for the keyring: time enough to answer a prompt
// that unlocks it, not so long that a run from cron seems to hang.
constexpr auto kKeyringBound = 30s;
// After a signal, the longest the run may take to end before the program ends anyway
// (every wait of a run ends within a second of Cancel).
constexpr auto kCancelBound = 1500ms;

constexpr std::string_view kFillInAllFields = "You MUST Fill In ALL Fields Before Uploading!";

// One option per field of the form that is not a password.
struct FieldOption {
    std::string_view name;
    Control field;
    std::string_view value;  // the value's name in the usage
};

// clang-format off
constexpr std::array<FieldOption, 10> kFieldOptions{{
    {"--username", Control::Username, "USER"},
    {"--server", Control::Server, "HOST"},
    {"--cgi-path", Control::CgiPath, "PATH"},
    {"--http-cgi-path", Control::HttpCgiPath, "URL"},
    {"--blog-title", Control::BlogTitle, "TEXT"},
    {"--main-email", Control::MainEmail, "ADDRESS"},
    {"--paypal-email", Control::PayPalEmail, "ADDRESS"},
    {"--stormpay-email", Control::StormPayEmail, "ADDRESS"},
    {"--ad-pricing", Control::AdPricing, "PRICE"},
    {"--clickbank-nickname", Control::ClickBankNickName, "NAME"},
}};
// clang-format on
static_assert(std::count_if(kFormFields.begin(), kFormFields.end(), [](const FormField& field) {
                  return !field.secret;
              }) == static_cast<std::ptrdiff_t>(kFieldOptions.size()));

// The fields besides the password that Install Script refuses to go without.
constexpr std::array<Control, 5> kNeededFields{Control::Username, Control::Server, Control::CgiPath,
                                               Control::HttpCgiPath, Control::MainEmail};

// The four steps of Install Script, as its progress counts them.
constexpr std::array<std::string_view, 4> kInstallSteps{
    "Downloading Current KLV Script From Kolvane", "Uploading KLV Script (klvcfg.cgi)",
    "Downloading the main KLV script", "Uploading the main KLV script (klv.cgi)"};

struct CommandName {
    std::string_view name;
    Command command;
};
constexpr std::array<CommandName, 2> kCommands{{
    {"install-script", Command::InstallScript},
    {"update-pages", Command::UpdatePages},
}};

// ---- Signals --------------------------------------------------------------------------

// SIGINT and SIGTERM, taken by a thread of their own: the first cancels the run, whose
// waits all end within a second; should the run not have ended within kCancelBound, its
// working files are removed and the program ends all the same. Process-wide, never
// destroyed: a signal may come while the program is ending.
class SignalWatch {
public:
    // Blocks both signals in the calling thread, and so in every thread made after it.
    static SignalWatch& Start() {
        static SignalWatch* watch = new SignalWatch();
        return *watch;
    }

    [[nodiscard]] CancelToken& token() { return token_; }
    [[nodiscard]] int received() const { return received_.load(); }

    void SetRunDirectory(const std::string& path) {
        const std::lock_guard lock(mutex_);
        runDirectory_ = path;
    }
    // The run is over: nothing more for the watch to clean up.
    void Finished() {
        {
            const std::lock_guard lock(mutex_);
            finished_ = true;
        }
        ended_.notify_all();
    }

private:
    SignalWatch() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        (void)::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        std::thread([this] { Watch(); }).detach();
    }

    void Watch() {
        int signal = 0;
        while (::sigwait(&signals_, &signal) != 0 || signal == 0) {
        }
        received_ = signal;
        token_.Cancel();
        std::unique_lock lock(mutex_);
        if (!ended_.wait_for(lock, kCancelBound, [this] { return finished_; })) {
            if (!runDirectory_.empty()) {
                RemoveWorkingDirectory(runDirectory_);
            }
            std::_Exit(128 + signal);
        }
        // Ended in time: a second signal is left to the program's end.
    }

    sigset_t signals_{};
    CancelToken token_;
    std::atomic<int> received_{0};
    std::mutex mutex_;
    std::condition_variable ended_;
    bool finished_ = false;
    std::string runDirectory_;
};

// Runs `argv` without waiting for it, with the signals as a new program expects them and
// its standard output away from ours (which holds only the run's result).
void Spawn(const std::vector<std::string>& argv) {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    (void)posix_spawnattr_init(&attributes);
    (void)posix_spawn_file_actions_init(&actions);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    (void)posix_spawnattr_setsigmask(&attributes, &none);
    (void)posix_spawnattr_setsigdefault(&attributes, &defaults);
    (void)posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    (void)posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, args[0], &actions, &attributes, args.data(), environ) != 0) {
        std::fprintf(stderr, "klv: could not start %s\n", args[0]);
    }
    (void)posix_spawn_file_actions_destroy(&actions);
    (void)posix_spawnattr_destroy(&attributes);
}

// ---- Progress -------------------------------------------------------------------------

// What the run prints on standard error: on a terminal, one progress line redrawn in
// place; otherwise one line per step and per page, for logs. Quiet: only failures.
class Reporter {
public:
    Reporter(bool quiet, bool terminal, std::span<const std::string_view> steps)
        : quiet_(quiet), terminal_(terminal), steps_(steps) {}

    // A line of its own, whatever `quiet` says: a failure, or what the user must read.
    void Line(std::string_view text) {
        ClearBar();
        std::string line = "klv: ";
        line += text;
        line += '\n';
        std::fputs(line.c_str(), stderr);
    }
    // A line that --quiet leaves out.
    void Info(std::string_view text) {
        if (!quiet_) {
            Line(text);
        }
    }

    void Status(std::string_view text) {
        if (text.empty() || text == status_) {
            return;
        }
        status_ = std::string(text);
        if (terminal_) {
            Draw();
        } else if (steps_.empty()) {
            Info(Counter() + status_);
        }
    }
    void Progress(int done, int total) {
        const bool newStep = done != done_ || total != total_;
        done_ = done;
        total_ = total;
        bytesDone_ = bytesTotal_ = 0;
        if (terminal_) {
            Draw();
        } else if (newStep && !steps_.empty() && done >= 0 && done < total &&
                   static_cast<std::size_t>(done) < steps_.size()) {
            Info(Counter() + std::string(steps_[static_cast<std::size_t>(done)]));
        }
    }
    void Bytes(std::uint64_t done, std::uint64_t total) {
        bytesDone_ = done;
        bytesTotal_ = total;
        if (terminal_) {
            const auto now = std::chrono::steady_clock::now();
            if (now - lastDraw_ >= 100ms) {
                Draw();
            }
        }
    }
    // Before the closing lines: the bar gives way.
    void End() { ClearBar(); }

private:
    // "[3/7] " while a step of a known count is under way.
    [[nodiscard]] std::string Counter() const {
        if (total_ <= 0 || done_ >= total_) {
            return {};
        }
        return "[" + std::to_string(done_ + 1) + "/" + std::to_string(total_) + "] ";
    }

    void Draw() {
        if (quiet_) {
            return;
        }
        lastDraw_ = std::chrono::steady_clock::now();
        winsize size{};
        const std::size_t width =
            ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
        constexpr int kBarWidth = 24;
        double part = 0;
        if (total_ > 0) {
            part = std::clamp(done_, 0, total_);
            if (done_ < total_ && bytesTotal_ > 0) {
                part += static_cast<double>(std::min(bytesDone_, bytesTotal_)) /
                        static_cast<double>(bytesTotal_);
            }
            part /= total_;
        }
        const int filled = static_cast<int>(part * kBarWidth);
        std::string line = "\r\033[K[";
        line.append(static_cast<std::size_t>(filled), '#');
        line.append(static_cast<std::size_t>(kBarWidth - filled), total_ > 0 ? '-' : '.');
        line += "] ";
        std::string label = Counter();
        if (!steps_.empty() && done_ >= 0 && done_ < total_ &&
            static_cast<std::size_t>(done_) < steps_.size()) {
            label += steps_[static_cast<std::size_t>(done_)];
        } else {
            label += status_;
        }
        const std::size_t room = width - 1 - (kBarWidth + 3);
        if (label.size() > room) {
            label = CutUtf8(label, room);
        }
        line += label;
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        barShown_ = true;
    }
    void ClearBar() {
        if (barShown_) {
            std::fputs("\r\033[K", stderr);
            barShown_ = false;
        }
    }

    bool quiet_;
    bool terminal_;
    std::span<const std::string_view> steps_;
    std::string status_;
    int done_ = 0;
    int total_ = 0;
    std::uint64_t bytesDone_ = 0;
    std::uint64_t bytesTotal_ = 0;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// ---- The window of the command line ---------------------------------------------------

class CommandLineWindow final : public Window {
public:
    CommandLineWindow(Reporter& reporter, const CommandLine& line)
        : reporter_(reporter), line_(line) {}

    [[nodiscard]] std::string FieldText(Control field) const override {
        const auto found = fields_.find(field);
        return found == fields_.end() ? std::string() : found->second;
    }
    void SetFieldText(Control field, std::string_view text) override {
        fields_[field] = std::string(text);
    }
    void SetStatusLine(std::string_view text) override { reporter_.Status(text); }
    void ShowMessage(std::string_view text) override { reporter_.Line(text); }
    // Printed from the run's result, with the rest of its closing lines.
    void ShowTranscript(std::string_view) override {}
    void OpenUrl(std::string_view url) override { Spawn({"xdg-open", std::string(url)}); }
    void SetProgress(int done, int total) override { reporter_.Progress(done, total); }
    void SetStepBytes(std::uint64_t done, std::uint64_t total) override {
        reporter_.Bytes(done, total);
    }

    // Never asks: trusts only a certificate whose fingerprint --trust names.
    [[nodiscard]] bool TrustCertificate(const CertificateInfo& certificate) override {
        const std::string openssh = OpenSshFingerprint(certificate.sha256Fingerprint);
        for (const std::string& given : line_.trusted) {
            if (SameFingerprint(given, certificate.sha256Fingerprint)) {
                reporter_.Info("trusting the certificate of " + certificate.host + " (" + openssh +
                               (certificate.changed ? "), which has CHANGED, " : ") ") +
                               "as --trust says");
                return true;
            }
        }
        const std::string why =
            certificate.verifiedBefore
                ? " has CHANGED: this server's certificate was issued by a trusted authority "
                  "before, and this one could not be verified: "
            : certificate.changed ? " has CHANGED since you trusted it, and it could not be "
                                    "verified: "
                                  : " could not be verified: ";
        reporter_.Line("the certificate of " + certificate.host + why + certificate.reason +
                       "; refused");
        reporter_.Line("  subject: " + certificate.subject);
        reporter_.Line("  issuer: " + certificate.issuer);
        reporter_.Line("  valid from " + certificate.notBefore + " to " + certificate.notAfter);
        reporter_.Line("  SHA-256 fingerprint: " + openssh);
        reporter_.Line("                       " + certificate.sha256Fingerprint);
        reporter_.Line("to trust exactly this certificate, run again with --trust " + openssh +
                       " (or trust it once in the window)");
        return false;
    }

    [[nodiscard]] bool TrustHostKey(const sftp::HostKeyInfo& key) override {
        const std::string where = key.host + " port " + std::to_string(key.port);
        for (const std::string& given : line_.trusted) {
            if (given == key.fingerprint) {
                reporter_.Info("trusting the " + key.keyType + " host key of " + where + " (" +
                               key.fingerprint + (key.changed ? "), which has CHANGED, " : ") ") +
                               "as --trust says");
                return true;
            }
        }
        reporter_.Line("the " + key.keyType + " host key of " + where +
                       (key.changed ? " has CHANGED from the one known for it"
                                    : " is not in known_hosts nor trusted before") +
                       "; refused");
        reporter_.Line("  SHA-256 fingerprint: " + key.fingerprint);
        reporter_.Line("to trust exactly this key, run again with --trust " + key.fingerprint +
                       " (or trust it once in the window)");
        return false;
    }

private:
    Reporter& reporter_;
    const CommandLine& line_;
    std::map<Control, std::string> fields_;
};

// How far a cancelled run got. The step or page under way is not counted.
std::string CancelledText(const RunResult& result, bool update) {
    if (result.total == 0) {
        return update ? "cancelled before any page was uploaded" : "cancelled";
    }
    std::string text = "cancelled after " + std::to_string(result.done) + " of " +
                       std::to_string(result.total) + (update ? " pages" : " steps");
    if (!result.failedFiles.empty()) {
        text += "; " + std::to_string(result.failedFiles.size()) + " of them did not land";
    }
    return text;
}

// The closing lines of a run: its transcript, what failed, warnings; the set-up page on
// standard output.
void Report(const RunResult& result, const CommandLine& line, Reporter& reporter) {
    const bool update = line.command == Command::UpdatePages;
    const bool done = result.outcome == RunOutcome::Done;
    if (!result.replies.empty() && (!line.quiet || !done)) {
        reporter.Line("the server's replies:");
        for (const std::string& reply : result.replies) {
            std::size_t start = 0;
            while (start < reply.size()) {
                std::size_t end = reply.find('\n', start);
                if (end == std::string::npos) {
                    end = reply.size();
                }
                std::string_view text(reply.data() + start, end - start);
                while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
                    text.remove_suffix(1);
                }
                reporter.Line("  " + std::string(text));
                start = end + 1;
            }
        }
    }
    switch (result.outcome) {
        case RunOutcome::Done:
            if (result.chmodRefusal) {
                reporter.Info("warning: The host did not make the script executable: " +
                              *result.chmodRefusal);
            }
            reporter.Info(update ? "Update Pages Is Now Complete! (" +
                                       std::to_string(result.total) + " pages)"
                                 : std::string("the scripts are on the host"));
            break;
        case RunOutcome::FilesFailed:
            if (!result.text.empty() && result.replies.empty()) {
                reporter.Line(result.text);
            }
            if (!result.failedFiles.empty()) {
                reporter.Line(std::to_string(result.failedFiles.size()) + " of " +
                              std::to_string(result.total) + (update ? " pages" : " files") +
                              " did not land:");
            }
            for (const FailedFile& file : result.failedFiles) {
                reporter.Line("  " + file.name + ": " + file.reason);
            }
            break;
        case RunOutcome::Cancelled:
            reporter.Line(CancelledText(result, update));
            break;
        case RunOutcome::LocalFailure:
            reporter.Line(result.text.empty() ? std::string("a working file could not be read")
                                              : result.text);
            break;
        case RunOutcome::Invalid:
        case RunOutcome::Refused:
        case RunOutcome::VendorFailed:
            reporter.Line(result.text);
            break;
    }
    if (result.setupPage) {
        std::printf("%s\n", result.setupPage->c_str());
        std::fflush(stdout);
        if (line.open) {
            Spawn({"xdg-open", *result.setupPage});
        }
    }
}

int RunCommand(const CommandLine& line, const Config& config, char* programName) {
    SignalWatch& watch = SignalWatch::Start();  // before any other thread is made
    struct Finish {
        SignalWatch& watch;
        ~Finish() { watch.Finished(); }
    } finish{watch};
    // The keyring's jobs answer through an event loop; nothing here needs a display.
    int qtArgc = 1;
    std::array<char*, 2> qtArgv{programName, nullptr};
    const QCoreApplication application(qtArgc, qtArgv.data());
    QCoreApplication::setApplicationName(FromUtf8(kApplicationTitle));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(build::kVersion));

    const bool update = line.command == Command::UpdatePages;
    Reporter reporter(line.quiet, ::isatty(STDERR_FILENO) != 0,
                      update ? std::span<const std::string_view>() : kInstallSteps);
    CommandLineWindow window(reporter, line);
    SetFormDefaults(window);
    RestoreRememberedValues(window);
    for (const auto& [field, value] : line.fields) {
        window.SetFieldText(field, value);
    }
    const std::string user = window.FieldText(Control::Username);
    const std::string server = window.FieldText(Control::Server);
    if (update && (user.empty() || server.empty())) {
        reporter.Line(kFillInAllFields);
        return kExitUsage;
    }

    // A form Install Script refuses whatever the password is: no need to ask for one.
    const bool refusedAnyway =
        !update && std::any_of(kNeededFields.begin(), kNeededFields.end(),
                               [&](Control field) { return window.FieldText(field).empty(); });

    const auto interrupted = [&watch] { return 128 + watch.received(); };
    PasswordSources sources(watch.token(), kKeyringBound);
    const auto account = [&](Control field) {
        return KeyringAccount(field, user, server, config.ftpPort);
    };

    std::string failure;
    const std::optional<std::string> password =
        refusedAnyway ? std::optional<std::string>("")
                      : sources.Get({Control::Password, line.passwordFile, "KLV_PASSWORD",
                                     account(Control::Password),
                                     "FTP password for " + user + "@" + server + ": "},
                                    failure);
    if (!password) {
        if (watch.received() != 0) {
            return interrupted();
        }
        reporter.Line(failure);
        return kExitUsage;
    }
    window.SetFieldText(Control::Password, *password);
    // Install Script does not use the blog password: it is asked for only when given.
    if (update || line.blogPasswordFile) {
        const std::optional<std::string> blogPassword = sources.Get(
            {Control::BlogPassword, line.blogPasswordFile, "KLV_BLOG_PASSWORD",
             account(Control::BlogPassword), "Blog password for " + user + "@" + server + ": "},
            failure);
        if (!blogPassword) {
            if (watch.received() != 0) {
                return interrupted();
            }
            reporter.Line(failure);
            return kExitUsage;
        }
        window.SetFieldText(Control::BlogPassword, *blogPassword);
    }
    if (update && password->empty()) {
        reporter.Line(kFillInAllFields);
        return kExitUsage;
    }

    if (!InitializeNetworking()) {
        reporter.Line("could not prepare the network");
        return kExitFilesFailed;
    }
    std::optional<RunDirectory> directory = RunDirectory::Make(failure);
    if (!directory) {
        reporter.Line("could not make a private folder for the working files (" + failure + ")");
        return kExitFilesFailed;
    }
    SharedState shared;
    shared.trustStore = std::make_unique<SettingsTrustStore>();
    shared.appDirectory = directory->path();
    shared.stateDirectory = UploadRecordDirectory();
    watch.SetRunDirectory(directory->path());
    if (update) {
        // The window's Update Pages works with what Install Script captured; here the
        // values are this run's.
        CaptureForm(window, shared.formData, config.affiliateHopUrl);
    }

    RunResult result;
    if (watch.received() == 0) {
        const RunScope scope(watch.token(), [&window](std::uint64_t done, std::uint64_t total) {
            window.SetStepBytes(done, total);
        });
        const InstallerContext context{window, shared, config};
        result = update ? UpdatePages(context) : InstallScript(context);
    } else {
        result.outcome = RunOutcome::Cancelled;
    }
    reporter.End();
    const int signal = watch.received();
    Report(result, line, reporter);
    directory.reset();  // the working files go
    return ExitStatusOf(result, signal);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    if (args.empty()) {
        return line;
    }
    const std::string& first = args.front();
    if (first == "--help" || first == "-h") {
        line.command = Command::Help;
        return line;
    }
    if (first == "--version") {
        line.command = Command::Version;
        return line;
    }
    const auto command = std::find_if(kCommands.begin(), kCommands.end(),
                                      [&](const CommandName& c) { return c.name == first; });
    if (command == kCommands.end()) {
        line.command = Command::Help;
        line.error = first.starts_with("-") ? "unknown option " + first
                                            : "unknown command \"" + first + "\"";
        return line;
    }
    line.command = command->command;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const std::size_t equals = name.find('=');
            name.starts_with("--") && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        // The option's value: after "=", or the next argument.
        const auto takeValue = [&]() -> std::optional<std::string> {
            if (value) {
                return value;
            }
            if (i + 1 < args.size()) {
                return args[++i];
            }
            line.error = name + " needs a value";
            return std::nullopt;
        };
        const auto flag = [&](bool& set) {
            if (value) {
                line.error = name + " takes no value";
                return;
            }
            set = true;
        };
        if (name == "--help" || name == "-h") {
            flag(line.commandHelp);
        } else if (name == "--quiet" || name == "-q") {
            flag(line.quiet);
        } else if (name == "--open" && line.command == Command::InstallScript) {
            flag(line.open);
        } else if (name == "--password" || name == "--blog-password") {
            line.error = "passwords are never taken on the command line: give " + name +
                         "-file FILE (mode 0600), or " +
                         (name == "--password" ? "KLV_PASSWORD" : "KLV_BLOG_PASSWORD") +
                         " in the environment, or keep it in the desktop keyring";
        } else if (name == "--password-file" || name == "--blog-password-file") {
            if (std::optional<std::string> file = takeValue()) {
                (name == "--password-file" ? line.passwordFile : line.blogPasswordFile) = *file;
            }
        } else if (name == "--trust") {
            if (std::optional<std::string> fingerprint = takeValue()) {
                // Either form as printed: OpenSSH's base64, or 32 bytes of hex.
                std::string hex;
                for (char c : *fingerprint) {
                    if (c != ':') {
                        hex += c;
                    }
                }
                std::string base64 =
                    fingerprint->starts_with("SHA256:") ? fingerprint->substr(7) : std::string();
                while (base64.ends_with('=')) {
                    base64.pop_back();
                }
                const auto inBase64 = [](char c) {
                    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '/';
                };
                const auto isHex = [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                };
                const bool wellFormed =
                    fingerprint->starts_with("SHA256:")
                        ? base64.size() == 43 && std::all_of(base64.begin(), base64.end(), inBase64)
                        : hex.size() == 64 && std::all_of(hex.begin(), hex.end(), isHex);
                if (wellFormed) {
                    line.trusted.push_back(*fingerprint);
                } else {
                    line.error = "--trust " + *fingerprint +
                                 ": not a SHA-256 fingerprint (SHA256:... or AB:CD:... as printed)";
                }
            }
        } else if (const auto option =
                       std::find_if(kFieldOptions.begin(), kFieldOptions.end(),
                                    [&](const FieldOption& o) { return o.name == name; });
                   option != kFieldOptions.end()) {
            if (std::optional<std::string> text = takeValue()) {
                line.fields.emplace_back(option->field, *text);
            }
        } else {
            line.error =
                (name.starts_with("-") ? "unknown option " : "unexpected argument ") + name;
        }
        if (!line.error.empty()) {
            break;
        }
    }
    return line;
}

std::string Usage(Command command) {
    std::string text;
    if (command == Command::InstallScript) {
        text =
            "Usage: klv install-script [OPTIONS]\n"
            "Fetches the KLV scripts, fills in the form's values, uploads them into the CGI\n"
            "path and makes them executable, then prints the set-up page's address.\n";
    } else if (command == Command::UpdatePages) {
        text =
            "Usage: klv update-pages [OPTIONS]\n"
            "Uploads the KLV pages into www/klv/ on the host, the blog's title and password\n"
            "filled in.\n";
    } else {
        text =
            "Usage: klv                             open the window\n"
            "       klv install-script [OPTIONS]    install the KLV scripts on the host\n"
            "       klv update-pages [OPTIONS]      upload the KLV pages to the host\n"
            "       klv COMMAND --help | --help | --version\n";
    }
    text +=
        "\nOptions, one per field of the window's form (a value not given is the one the\n"
        "window remembers, else the window's default):\n";
    for (const FieldOption& option : kFieldOptions) {
        std::string left = "  " + std::string(option.name) + " " + std::string(option.value);
        left.resize(std::max<std::size_t>(left.size() + 1, 32), ' ');
        text += left + std::string(FieldOf(option.field).label) + "\n";
    }
    text +=
        "\nPasswords, never on the command line; taken from the first of:\n"
        "  --password-file FILE          the FTP password: FILE's first line (FILE must\n"
        "                                be yours and mode 0600 or stricter)\n"
        "  --blog-password-file FILE     the blog password, the same way\n"
        "  KLV_PASSWORD, KLV_BLOG_PASSWORD in the environment\n"
        "  the desktop keyring (the window's \"Remember Passwords in Keyring\")\n"
        "  a prompt, when standard input is a terminal\n"
        "\nOther options:\n"
        "  --trust FINGERPRINT           trust the server certificate or SSH host key with\n"
        "                                this SHA-256 fingerprint (SHA256:... or AB:CD:...,\n"
        "                                as printed)\n";
    if (command != Command::UpdatePages) {
        text += "  --open                        install-script: open the set-up page\n";
    }
    text +=
        "  -q, --quiet                   print only failures\n"
        "  -h, --help                    print this help\n"
        "\nExit status: 0 every file landed, 1 some did not, 2 usage or validation error or no\n"
        "password, 3 connection, logon, TLS or trust refused, 4 the vendor's site failed,\n"
        "130 after SIGINT, 143 after SIGTERM.\n";
    return text;
}

std::string OpenSshFingerprint(const std::string& colonHex) {
    std::string hex;
    for (char c : colonHex) {
        if (c != ':') {
            hex += c;
        }
    }
    if (hex.size() != 64 || !std::all_of(hex.begin(), hex.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return {};
    }
    const QByteArray digest = QByteArray::fromHex(QByteArray::fromStdString(hex));
    return "SHA256:" + digest.toBase64(QByteArray::OmitTrailingEquals).toStdString();
}

bool SameFingerprint(const std::string& given, const std::string& colonHex) {
    if (given.starts_with("SHA256:")) {
        std::string base64 = given;
        while (base64.ends_with('=')) {
            base64.pop_back();
        }
        const std::string expected = OpenSshFingerprint(colonHex);
        return !expected.empty() && base64 == expected;
    }
    const auto plainHex = [](const std::string& text) {
        std::string hex;
        for (char c : text) {
            if (c != ':') {
                hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
        }
        return hex;
    };
    const std::string hex = plainHex(given);
    return hex.size() == 64 && hex == plainHex(colonHex);
}

int ExitStatusOf(const RunResult& result, int signal) {
    if (signal != 0) {
        return 128 + signal;
    }
    switch (result.outcome) {
        case RunOutcome::Done:
            return kExitDone;
        case RunOutcome::FilesFailed:
        case RunOutcome::LocalFailure:
            return kExitFilesFailed;
        case RunOutcome::Invalid:
            return kExitUsage;
        case RunOutcome::Refused:
            return kExitRefused;
        case RunOutcome::VendorFailed:
            return kExitVendorFailed;
        case RunOutcome::Cancelled:
            return kExitInterrupted;
    }
    return kExitFilesFailed;
}

int Main(int argc, char** argv, const Config& builtIn) {
    Config config = builtIn;
    config.connections = ConnectionsSetting(
        ProgramSettings().value(QStringLiteral("connections")).toString().toStdString());
    char fallbackName[] = "klv";  // for a start with an empty argument list
    char* programName = argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName;
    if (argc <= 1) {
        InstallerApp app(programName, config);
        return app.Run();
    }
    const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!line.error.empty()) {
        // A command's own options get a hint; anything else the whole usage.
        std::string hint = "\n" + Usage(Command::Help);
        if (const auto named =
                std::find_if(kCommands.begin(), kCommands.end(),
                             [&](const CommandName& c) { return c.command == line.command; });
            named != kCommands.end()) {
            hint = "Try 'klv " + std::string(named->name) + " --help'.\n";
        }
        std::fprintf(stderr, "klv: %s\n%s", line.error.c_str(), hint.c_str());
        return kExitUsage;
    }
    switch (line.command) {
        case Command::Help:
            std::fputs(Usage(Command::Help).c_str(), stdout);
            return kExitDone;
        case Command::Version:
            std::printf("klv %s\n", build::kVersion);
            return kExitDone;
        default:
            break;
    }
    if (line.commandHelp) {
        std::fputs(Usage(line.command).c_str(), stdout);
        return kExitDone;
    }
    return RunCommand(line, config, programName);
}

}  // namespace klv::app
