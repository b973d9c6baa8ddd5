#include "app/installer_dialog.h"

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>

#include "app/about_dialog.h"
#include "app/dialog_template.h"
#include "app/keyring.h"
#include "app/remembered_values.h"
#include "app/ui_support.h"
#include "installer/form.h"
#include "installer/run_directory.h"
#include "installer/workflows.h"

namespace klv::app {

namespace {

struct ButtonAction {
    Control id;
    Workflow workflow;
    bool onWorker;  // waits on the network: runs on the worker thread
};

constexpr std::array<ButtonAction, 3> kButtonActions{{
    {Control::ReadDocs, &OnReadDocs, false},
    {Control::InstallScript, &OnInstallScript, true},
    {Control::UpdatePages, &OnUpdatePages, true},
}};

const ButtonAction* ActionOf(int id) {
    for (const ButtonAction& action : kButtonActions) {
        if (Id(action.id) == id) {
            return &action;
        }
    }
    return nullptr;
}

// The progress bar counts steps in these parts, so that a file's bytes move it within
// its step.
constexpr int kPartsPerStep = 1000;

bool IsEnter(const QKeyEvent& event) {
    const bool plain = event.modifiers() == Qt::NoModifier ||
                       (event.modifiers() == Qt::KeypadModifier && event.key() == Qt::Key_Enter);
    return plain && (event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter);
}

}  // namespace

// ---- StatusLine -----------------------------------------------------------------------

StatusLine::StatusLine(QWidget* parent) : QFrame(parent) {
    // Two-pixel bevels as the classic dialog frame and client edge draw them, with a
    // pixel of the window's face between the two.
    setFrameStyle(QFrame::WinPanel | QFrame::Raised);
    setContentsMargins(1, 1, 1, 1);
    label_.setParent(this);
    label_.setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    label_.setAlignment(Qt::AlignCenter);
    label_.setTextFormat(Qt::PlainText);
    label_.setAccessibleDescription(QStringLiteral("Status"));
}

void StatusLine::SetText(const QString& text) {
    label_.setText(text);
    label_.setAccessibleName(text);  // sends QAccessible::NameChanged
}

void StatusLine::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    label_.setGeometry(contentsRect());
}

// ---- InstallerDialog ------------------------------------------------------------------

InstallerDialog::InstallerDialog(SharedState& shared, const Config& config,
                                 std::string appDirectory, QWidget* parent)
    : QDialog(parent), shared_(shared), config_(config), fieldLimit_(kFormFields.front().maxBytes) {
    // A fixed frame with a close button: no minimise, maximise or help button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(FromUtf8(kMainDialog.caption));
    setWindowIcon(ApplicationIcon());
    BuildFromTemplate();

    // Centred on the screen. The window manager may still place it as it likes.
    if (const QScreen* screen = this->screen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    shared_.appDirectory = std::move(appDirectory);
    SetFormDefaults(*this);
    RestoreRememberedValues(*this);
    if (RememberPasswordsInKeyring()) {
        FillPasswordsFromKeyring();
    }
    fields_.front().setFocus();
}

InstallerDialog::~InstallerDialog() {
    StopRun();
}

void InstallerDialog::BuildFromTemplate() {
    const BaseUnits units = BaseUnitsOf(font());
    FixDialogSize(*this, kMainDialog, units);

    std::size_t field = 0;
    std::size_t button = 0;
    QWidget* previousTabStop = nullptr;
    auto chainTabStop = [&](QWidget& widget) {
        if (previousTabStop != nullptr) {
            setTabOrder(previousTabStop, &widget);
        }
        previousTabStop = &widget;
    };

    for (const ControlTemplate& control : kMainDialog.controls) {
        switch (control.kind) {
            case ControlKind::Edit: {
                QLineEdit& edit = fields_.at(field);
                fieldIds_.at(field) = static_cast<Control>(control.id.value());
                ++field;
                edit.setParent(this);
                edit.setObjectName(QStringLiteral("control%1").arg(control.id.value()));
                edit.setEchoMode(QLineEdit::Normal);  // the passwords are shown in clear too
                edit.setValidator(&fieldLimit_);
                Place(edit, control.rect, units);
                chainTabStop(edit);
                break;
            }
            case ControlKind::Button:
            case ControlKind::DefaultButton: {
                QPushButton& push = buttons_.at(button);
                buttonIds_.at(button) = static_cast<Control>(control.id.value());
                ++button;
                push.setParent(this);
                push.setObjectName(QStringLiteral("control%1").arg(control.id.value()));
                push.setText(FromUtf8(control.text));
                // Enter presses the focused button (keyPressEvent); no button is the
                // dialog's default, so Enter in a field ends the dialog instead.
                push.setAutoDefault(false);
                push.setDefault(false);
                Place(push, control.rect, units);
                chainTabStop(push);
                if (const ButtonAction* action = ActionOf(control.id.value())) {
                    connect(&push, &QPushButton::clicked, this, [this, action] {
                        if (action->onWorker) {
                            StartRun(action->workflow, action->id);
                        } else {
                            action->workflow(InstallerContext{*this, shared_, config_});
                        }
                    });
                }
                break;
            }
            case ControlKind::StatusLine:
                status_.setParent(this);
                status_.setObjectName(QStringLiteral("control%1").arg(control.id.value()));
                status_.SetText(FromUtf8(control.text));
                Place(status_, control.rect, units);
                break;
            case ControlKind::Label: {
                const auto index = static_cast<std::size_t>(
                    std::find_if(kFormFields.begin(), kFormFields.end(),
                                 [&](const FormField& f) { return f.id == control.buddy; }) -
                    kFormFields.begin());
                QLabel& label = labels_.at(index);
                label.setParent(this);
                label.setText(FromUtf8(control.text));
                label.setTextFormat(Qt::PlainText);
                label.setAlignment(Qt::AlignLeft | Qt::AlignTop);
                label.setWordWrap(true);
                Place(label, control.rect, units);
                break;
            }
            case ControlKind::Icon:
                break;
        }
    }

    // Shown only while a workflow runs: the progress under the status line, Cancel
    // beside it.
    progress_.setParent(this);
    progress_.setObjectName(QStringLiteral("progress"));
    progress_.setAccessibleName(QStringLiteral("Progress"));
    progress_.setTextVisible(false);
    Place(progress_, kProgressBarRect, units);
    progress_.hide();
    cancelButton_.setParent(this);
    cancelButton_.setObjectName(QStringLiteral("cancel"));
    cancelButton_.setText(QStringLiteral("Cancel"));
    cancelButton_.setAutoDefault(false);
    Place(cancelButton_, kCancelButtonRect, units);
    cancelButton_.hide();
    connect(&cancelButton_, &QPushButton::clicked, this, &InstallerDialog::CancelRun);

    // Each label names its field for screen readers and for AT-SPI clients that look a
    // field up by its label.
    for (std::size_t i = 0; i < kFormFields.size(); ++i) {
        QLineEdit* edit = Field(kFormFields[i].id);
        labels_[i].setBuddy(edit);
        edit->setAccessibleName(FromUtf8(kFormFields[i].label));
    }
}

const QLineEdit* InstallerDialog::FindField(Control id) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (fieldIds_[i] == id) {
            return &fields_[i];
        }
    }
    return nullptr;
}

QLineEdit* InstallerDialog::Field(Control id) {
    return const_cast<QLineEdit*>(std::as_const(*this).FindField(id));
}

QPushButton* InstallerDialog::Button(Control id) {
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        if (buttonIds_[i] == id) {
            return &buttons_[i];
        }
    }
    return nullptr;
}

std::string InstallerDialog::FieldText(Control field) const {
    const QLineEdit* edit = FindField(field);
    return edit != nullptr ? ToUtf8(edit->text()) : std::string();
}

void InstallerDialog::SetFieldText(Control field, std::string_view text) {
    if (QLineEdit* edit = Field(field)) {
        edit->setText(FromUtf8(text));  // the validator keeps it within 255 bytes
    }
}

void InstallerDialog::SetStatusLine(std::string_view text) {
    status_.SetText(FromUtf8(text));
    // Painted now: a caller on this thread may keep it busy before the next paint.
    status_.label().repaint();
}

void InstallerDialog::SetProgress(int done, int total) {
    stepsDone_ = done;
    stepsTotal_ = total;
    bytesDone_ = 0;
    bytesTotal_ = 0;
    ShowProgress();
}

void InstallerDialog::SetStepBytes(std::uint64_t done, std::uint64_t total) {
    bytesDone_ = done;
    bytesTotal_ = total;
    ShowProgress();
}

void InstallerDialog::ShowProgress() {
    // Until a workflow knows how many steps it has, the bar only shows that it works.
    constexpr int kMostSteps = std::numeric_limits<int>::max() / kPartsPerStep - 1;
    const int total = std::min(stepsTotal_, kMostSteps);
    if (total <= 0) {
        progress_.setRange(0, 0);
        return;
    }
    const int done = std::clamp(stepsDone_, 0, total);
    int parts = done * kPartsPerStep;
    if (done < total && bytesTotal_ > 0) {
        parts += static_cast<int>(std::min(bytesDone_, bytesTotal_) * kPartsPerStep / bytesTotal_);
    }
    progress_.setRange(0, total * kPartsPerStep);
    progress_.setValue(parts);
}

void InstallerDialog::StartRun(Workflow workflow, Control button) {
    if (Running()) {
        return;
    }
    // The run works with the form as it is now; the fields stay open for editing.
    std::map<Control, std::string> form;
    for (const FormField& field : kFormFields) {
        form[field.id] = FieldText(field.id);
    }
    if (workflow == &OnInstallScript) {
        SaveRememberedValues(*this);  // Install Script is where the form is captured
        if (RememberPasswordsInKeyring()) {
            StorePasswordsInKeyring(form);
        }
    }

    runButton_ = button;
    for (QPushButton& push : buttons_) {
        push.setEnabled(false);
    }
    stepsDone_ = stepsTotal_ = 0;
    bytesDone_ = bytesTotal_ = 0;
    ShowProgress();
    progress_.show();
    cancelButton_.setEnabled(true);
    cancelButton_.show();
    cancelButton_.setFocus();

    cancel_.Reset();
    bridge_ = std::make_unique<WindowBridge>(*this, *this, std::move(form));
    const std::uint64_t run = ++runNumber_;
    std::promise<void> finished;
    workerFinished_ = finished.get_future();
    worker_ = std::thread(
        [this, workflow, run, &bridge = *bridge_, finished = std::move(finished)]() mutable {
            {
                const RunScope scope(cancel_, [&bridge](std::uint64_t done, std::uint64_t total) {
                    bridge.SetStepBytes(done, total);
                });
                workflow(InstallerContext{bridge, shared_, config_});
            }
            finished.set_value();
            // A run that StopRun has already finished must not end a later one.
            QMetaObject::invokeMethod(
                this,
                [this, run] {
                    if (run == runNumber_) {
                        FinishRun();
                    }
                },
                Qt::QueuedConnection);
        });
}

void InstallerDialog::FinishRun() {
    if (!worker_.joinable()) {
        return;  // already finished by StopRun
    }
    worker_.join();
    bridge_.reset();
    progress_.hide();
    cancelButton_.hide();
    for (QPushButton& push : buttons_) {
        push.setEnabled(true);
    }
    if (QPushButton* button = Button(runButton_); button != nullptr && isVisible()) {
        button->setFocus();
    }
}

void InstallerDialog::CancelRun() {
    if (!Running()) {
        return;
    }
    cancel_.Cancel();
    bridge_->Release();
    cancelButton_.setEnabled(false);
}

void InstallerDialog::StopRun() {
    if (!Running()) {
        return;
    }
    CancelRun();
    // A box the worker asked for may be open, with this very call running inside its
    // event loop: it is closed, and its loop ends once this call has returned.
    for (QMessageBox* box : findChildren<QMessageBox*>()) {
        box->reject();
    }
    // Every wait of a run ends within a second of Cancel. Should one ever fail to, the
    // user who closed the window still gets the program ended, without the working
    // files, rather than a window that hangs.
    if (workerFinished_.wait_for(kWorkerEndBound) != std::future_status::ready) {
        RemoveWorkingDirectory(shared_.appDirectory);
        std::_Exit(EXIT_FAILURE);
    }
    FinishRun();
}

void InstallerDialog::ShowMessage(std::string_view text) {
    ShowWarningBox(this, FromUtf8(text));
}

bool InstallerDialog::TrustCertificate(const CertificateInfo& certificate) {
    // Laid out like FileZilla's question: what failed first, then the certificate.
    const QString text =
        certificate.verifiedBefore
            ? QStringLiteral(
                  "The certificate of %1 has CHANGED: this server's certificate was "
                  "issued by a trusted authority before, and this one could not be "
                  "verified: %2.")
                  .arg(FromUtf8(certificate.host), FromUtf8(certificate.reason))
        : certificate.changed
            ? QStringLiteral(
                  "The certificate of %1 has CHANGED since you trusted it, and it "
                  "could not be verified: %2.")
                  .arg(FromUtf8(certificate.host), FromUtf8(certificate.reason))
            : QStringLiteral("The certificate of %1 could not be verified: %2.")
                  .arg(FromUtf8(certificate.host), FromUtf8(certificate.reason));
    const QString details =
        QStringLiteral(
            "Subject: %1\nIssuer: %2\nValid from: %3\nValid to: %4\n"
            "SHA-256 fingerprint:\n%5\n\nTrust this certificate for %6 from now on?")
            .arg(FromUtf8(certificate.subject), FromUtf8(certificate.issuer),
                 FromUtf8(certificate.notBefore), FromUtf8(certificate.notAfter),
                 FromUtf8(certificate.sha256Fingerprint), FromUtf8(certificate.host));
    // One plain-text label: a certificate's names come from the server and are never markup.
    QMessageBox box(QMessageBox::Warning, FromUtf8(kApplicationTitle),
                    text + QStringLiteral("\n\n") + details, QMessageBox::NoButton, this);
    box.setTextFormat(Qt::PlainText);
    QPushButton* trust =
        box.addButton(QStringLiteral("Trust this certificate"), QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    box.exec();
    return box.clickedButton() == trust;
}

bool InstallerDialog::TrustHostKey(const sftp::HostKeyInfo& key) {
    // The certificate's question, for a key: OpenSSH's words and fingerprint form, so that
    // the user can compare it with what the host's provider publishes.
    const QString host = FromUtf8(key.host) + QStringLiteral(" port %1").arg(key.port);
    const QString text =
        key.changed ? QStringLiteral(
                          "The host key of %1 has CHANGED: it is not the key known for this "
                          "host. Someone may be in the middle, or the host's key was "
                          "replaced.")
                          .arg(host)
                    : QStringLiteral("The host key of %1 is not known.").arg(host);
    const QString details =
        QStringLiteral(
            "Key type: %1\nSHA-256 fingerprint:\n%2\n\nTrust this key for %3 from now on?")
            .arg(FromUtf8(key.keyType), FromUtf8(key.fingerprint), host);
    QMessageBox box(QMessageBox::Warning, FromUtf8(kApplicationTitle),
                    text + QStringLiteral("\n\n") + details, QMessageBox::NoButton, this);
    box.setTextFormat(Qt::PlainText);
    QPushButton* trust = box.addButton(QStringLiteral("Trust this key"), QMessageBox::AcceptRole);
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    box.exec();
    return box.clickedButton() == trust;
}

void InstallerDialog::OpenUrl(std::string_view url) {
    // Tolerant parsing percent-encodes what an address may not hold as it stands, such
    // as a blank or a non-ASCII character typed into "HTTP CGI Path".
    QDesktopServices::openUrl(QUrl(FromUtf8(url), QUrl::TolerantMode));
}

void InstallerDialog::ShowAbout() {
    AboutDialog about(this);
    about.exec();
}

void InstallerDialog::done(int result) {
    StopRun();
    if (!workingFilesDeleted_) {
        workingFilesDeleted_ = true;
        RemoveWorkingDirectory(shared_.appDirectory);
    }
    QDialog::done(result);
}

void InstallerDialog::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier && Running()) {
        CancelRun();  // while a workflow runs, Escape is Cancel
        return;
    }
    if (IsEnter(*event)) {
        // A field ignores Enter and lets it through to here: Enter ends the dialog,
        // unless a button has the focus, which it then presses.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);  // Escape ends the dialog
}

void InstallerDialog::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(FromUtf8(kAboutMenuText), this, &InstallerDialog::ShowAbout);
    QAction* remember = menu.addAction(QStringLiteral("Remember Passwords in Keyring"));
    remember->setObjectName(QStringLiteral("rememberPasswords"));
    remember->setCheckable(true);
    remember->setChecked(RememberPasswordsInKeyring());
    connect(remember, &QAction::toggled, this, &InstallerDialog::SetRememberPasswords);
    menu.exec(event->globalPos());
}

void InstallerDialog::SetRememberPasswords(bool remember) {
    SetRememberPasswordsInKeyring(remember);
    if (!remember) {
        RemovePasswordsFromKeyring();
    }
}

namespace {

constexpr std::array<Control, 2> kSecretFields{Control::Password, Control::BlogPassword};

// A keyring that cannot be reached is said once, on standard error: the window goes on
// without it.
void ComplainOnce(const KeyringAnswer& answer) {
    static bool said = false;
    if (answer.status == KeyringStatus::Unavailable && !std::exchange(said, true)) {
        std::fprintf(stderr, "klv: the desktop keyring is not available (%s)\n",
                     answer.error.c_str());
    }
}

// Calls `use(field, account)` for the keyring entry of each password of `user` on
// `server`; none when the form names no account.
template <typename Use>
void ForEachKeyringAccount(const std::string& user, const std::string& server, unsigned port,
                           Use use) {
    for (const Control field : kSecretFields) {
        const std::string account = KeyringAccount(field, user, server, port);
        if (account.empty()) {
            return;
        }
        use(field, account);
    }
}

}  // namespace

void InstallerDialog::FillPasswordsFromKeyring() {
    const std::string user = FieldText(Control::Username);
    const std::string server = FieldText(Control::Server);
    ForEachKeyringAccount(
        user, server, config_.ftpPort, [&](Control field, const std::string& account) {
            ReadFromKeyring(
                account, *this, [this, field, user, server](const KeyringAnswer& answer) {
                    ComplainOnce(answer);
                    // Only into an empty field, and only while the form still
                    // names the account the password belongs to.
                    if (answer.status == KeyringStatus::Ok && FieldText(field).empty() &&
                        FieldText(Control::Username) == user &&
                        FieldText(Control::Server) == server) {
                        SetFieldText(field, answer.secret);
                    }
                });
        });
}

void InstallerDialog::StorePasswordsInKeyring(const std::map<Control, std::string>& form) {
    const std::string& user = form.at(Control::Username);
    const std::string& server = form.at(Control::Server);
    ForEachKeyringAccount(user, server, config_.ftpPort,
                          [&](Control field, const std::string& account) {
                              if (form.at(field).empty()) {
                                  RemoveFromKeyring(account, *this, [](const KeyringAnswer&) {});
                              } else {
                                  WriteToKeyring(account, form.at(field), *this, ComplainOnce);
                              }
                          });
}

void InstallerDialog::RemovePasswordsFromKeyring() {
    const std::string user = FieldText(Control::Username);
    const std::string server = FieldText(Control::Server);
    ForEachKeyringAccount(user, server, config_.ftpPort, [&](Control, const std::string& account) {
        RemoveFromKeyring(account, *this, ComplainOnce);
    });
}

}  // namespace klv::app
