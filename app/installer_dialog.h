// The main window: the form of twelve fields, the three buttons and the status line,
// laid out from its dialog template (app/dialog_template.h). Install Script and Update Pages run on
// a worker thread and reach this window through a WindowBridge; meanwhile the window shows their
// progress and offers Cancel, and stays responsive. Read Docs only hands an address to
// the desktop and runs on the window's thread. The window is the workflows' `Window`
// on its own thread.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <array>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/utf8_length_validator.h"
#include "app/window_bridge.h"
#include "base/cancel.h"
#include "installer/config.h"
#include "installer/shared_state.h"
#include "installer/window.h"
#include "installer/workflows.h"

namespace klv::app {

// The status line: the text centred in a sunken panel, inside a raised frame.
class StatusLine : public QFrame {
    Q_OBJECT

public:
    explicit StatusLine(QWidget* parent = nullptr);

    [[nodiscard]] QLabel& label() { return label_; }
    [[nodiscard]] const QLabel& label() const { return label_; }

    // Shows `text`. A screen reader hears it: the label's accessible name is its text,
    // and a change reaches assistive technology as a name change.
    void SetText(const QString& text);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel label_;
};

class InstallerDialog : public QDialog, public Window {
    Q_OBJECT

public:
    // How long closing the window waits for a cancelled run to end.
    static constexpr std::chrono::milliseconds kWorkerEndBound{1500};

    // `appDirectory` is where the working files live (the run's private directory); it is
    // stored in `shared.appDirectory`, and closing the window removes it.
    InstallerDialog(SharedState& shared, const Config& config, std::string appDirectory,
                    QWidget* parent = nullptr);
    ~InstallerDialog() override;

    // Window
    [[nodiscard]] std::string FieldText(Control field) const override;
    void SetFieldText(Control field, std::string_view text) override;
    void SetStatusLine(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    void OpenUrl(std::string_view url) override;
    void SetProgress(int done, int total) override;
    void SetStepBytes(std::uint64_t done, std::uint64_t total) override;
    [[nodiscard]] bool TrustCertificate(const CertificateInfo& certificate) override;
    [[nodiscard]] bool TrustHostKey(const sftp::HostKeyInfo& key) override;

    // The widgets of the controls, by identifier; null for an identifier that is not
    // of that kind.
    [[nodiscard]] QLineEdit* Field(Control id);
    [[nodiscard]] QPushButton* Button(Control id);
    [[nodiscard]] StatusLine& Status() { return status_; }
    [[nodiscard]] QProgressBar& Progress() { return progress_; }
    [[nodiscard]] QPushButton& CancelButton() { return cancelButton_; }

    // True from a press of Install Script or Update Pages until its run has ended and
    // the window has taken the buttons back.
    [[nodiscard]] bool Running() const { return worker_.joinable(); }
    // Asks the run to stop; its workflow then says in the status line what was done.
    void CancelRun();

    // Opens the About box and returns when it has been closed.
    void ShowAbout();

    // "Remember Passwords in Keyring" of the context menu: on, Install Script stores both
    // passwords in the desktop keyring (per server and user) and the next start fills them
    // in; turned off, the form's entries are removed from the keyring. Kept in klv.conf.
    void SetRememberPasswords(bool remember);

    // Ends the modal run, after cancelling a workflow that is still running; the first
    // time, it also deletes the working files and their directory.
    void done(int result) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void BuildFromTemplate();
    [[nodiscard]] const QLineEdit* FindField(Control id) const;
    void StartRun(Workflow workflow, Control button);
    // On the window's thread once the worker has ended (or is sure to end at once).
    void FinishRun();
    // Cancels a run, releases its worker from any wait for the window, and joins it.
    void StopRun();
    void ShowProgress();
    // The keyring's entries for the form's user and server: filled into the empty
    // password fields once they arrive, stored, or removed. None waits for the keyring.
    void FillPasswordsFromKeyring();
    void StorePasswordsInKeyring(const std::map<Control, std::string>& form);
    void RemovePasswordsFromKeyring();

    SharedState& shared_;
    const Config& config_;
    Utf8LengthValidator fieldLimit_;  // every field takes the same number of bytes
    static_assert(std::all_of(kFormFields.begin(), kFormFields.end(), [](const FormField& field) {
        return field.maxBytes == kFormFields.front().maxBytes;
    }));
    std::array<QLineEdit, kFormFields.size()> fields_;
    std::array<Control, kFormFields.size()> fieldIds_{};
    std::array<QLabel, kFormFields.size()> labels_;
    std::array<QPushButton, 3> buttons_;
    std::array<Control, 3> buttonIds_{};
    StatusLine status_;
    QProgressBar progress_;
    QPushButton cancelButton_;
    bool workingFilesDeleted_ = false;

    // The run, if any. The worker is joined before any of these go.
    CancelToken cancel_;
    std::unique_ptr<WindowBridge> bridge_;
    Control runButton_ = Control::InstallScript;
    std::uint64_t runNumber_ = 0;
    int stepsDone_ = 0;
    int stepsTotal_ = 0;
    std::uint64_t bytesDone_ = 0;
    std::uint64_t bytesTotal_ = 0;
    std::future<void> workerFinished_;  // ready once the worker's workflow has returned
    std::thread worker_;
};

}  // namespace klv::app
