#include "app/keyring.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>
#include <QTimer>

#include "app/program_settings.h"
#include "base/cancel.h"
#include "installer/server_address.h"

namespace klv::app {

namespace {

const QString kRememberKey = QStringLiteral("keyring/RememberPasswords");

QString Qt(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

KeyringAnswer AnswerOf(const QKeychain::Job& job) {
    KeyringAnswer answer;
    switch (job.error()) {
        case QKeychain::NoError:
            answer.status = KeyringStatus::Ok;
            if (const auto* read = qobject_cast<const QKeychain::ReadPasswordJob*>(&job)) {
                answer.secret = read->textData().toStdString();
            }
            break;
        case QKeychain::EntryNotFound:
            answer.status = KeyringStatus::NotFound;
            break;
        default:
            answer.status = KeyringStatus::Unavailable;
            answer.error = job.errorString().toStdString();
            if (answer.error.empty()) {
                answer.error = "the keyring failed";
            }
            break;
    }
    return answer;
}

// Starts `job` (deleted by itself once it has ended); `done` runs unless `context` has gone.
void Start(QKeychain::Job* job, QObject& context, KeyringDone done) {
    job->setAutoDelete(true);
    job->setInsecureFallback(false);  // never a file of ours
    QObject::connect(job, &QKeychain::Job::finished, &context,
                     [done = std::move(done)](QKeychain::Job* ended) { done(AnswerOf(*ended)); });
    job->start();
}

}  // namespace

std::string KeyringAccount(Control secretField, std::string_view user, std::string_view server,
                           unsigned ftpPort) {
    const ParsedServer parsed = ParseServer(server, ftpPort);
    const auto* address = std::get_if<ServerAddress>(&parsed);
    if (user.empty() || address == nullptr || address->host.empty()) {
        return {};
    }
    std::string account = secretField == Control::BlogPassword ? "blog:" : "ftp:";
    account += user;
    account += '@';
    account += HostKey(address->host, address->port);
    return account;
}

void ReadFromKeyring(const std::string& account, QObject& context, KeyringDone done) {
    auto* job = new QKeychain::ReadPasswordJob(Qt(kKeyringService));
    job->setKey(Qt(account));
    Start(job, context, std::move(done));
}

void WriteToKeyring(const std::string& account, const std::string& secret, QObject& context,
                    KeyringDone done) {
    auto* job = new QKeychain::WritePasswordJob(Qt(kKeyringService));
    job->setKey(Qt(account));
    job->setTextData(Qt(secret));
    Start(job, context, std::move(done));
}

void RemoveFromKeyring(const std::string& account, QObject& context, KeyringDone done) {
    auto* job = new QKeychain::DeletePasswordJob(Qt(kKeyringService));
    job->setKey(Qt(account));
    Start(job, context, std::move(done));
}

KeyringAnswer WaitForKeyring(const KeyringJob& job, std::chrono::milliseconds bound,
                             const CancelToken* cancel) {
    // The loop is the job's context: once this returns, a late answer goes nowhere.
    QEventLoop loop;
    KeyringAnswer answer;
    answer.error = "the keyring did not answer within " +
                   std::to_string(std::chrono::ceil<std::chrono::seconds>(bound).count()) + " s";
    bool ended = false;
    job(loop, [&](const KeyringAnswer& given) {
        answer = given;
        ended = true;
        loop.quit();
    });
    if (ended) {
        return answer;
    }
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(bound);
    QTimer watch;  // a cancelled run stops waiting within this
    if (cancel != nullptr) {
        QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
            if (cancel->cancelled()) {
                answer.error = "cancelled";
                loop.quit();
            }
        });
        watch.start(std::chrono::milliseconds(50));
    }
    loop.exec();
    if (!ended) {
        answer.status = KeyringStatus::Unavailable;
    }
    return answer;
}

bool RememberPasswordsInKeyring() {
    return ProgramSettings().value(kRememberKey, false).toBool();
}

void SetRememberPasswordsInKeyring(bool remember) {
    QSettings settings = ProgramSettings();
    settings.setValue(kRememberKey, remember);
    WritePrivately(settings);
}

}  // namespace klv::app
