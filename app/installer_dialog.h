// The main window: the form of twelve fields, the three buttons and the status line,
// laid out from template 102. It is the workflows' `Window`; each button hands the
// workflow the window, the shared state and the configuration it was given, and the
// workflow runs to its end on the window's thread.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <array>
#include <optional>
#include <string>

#include "app/utf8_length_validator.h"
#include "installer/config.h"
#include "installer/shared_state.h"
#include "installer/window.h"

namespace klv::app {

// Control 1008: the text centred in a sunken panel, inside a raised frame.
class StatusLine : public QFrame {
    Q_OBJECT

public:
    explicit StatusLine(QWidget* parent = nullptr);

    [[nodiscard]] QLabel& label() { return label_; }
    [[nodiscard]] const QLabel& label() const { return label_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel label_;
};

class InstallerDialog : public QDialog, public Window {
    Q_OBJECT

public:
    // `appDirectory` is where the working files live; left out, it is the directory of
    // the running executable. Either way it is stored in `shared.appDirectory`.
    InstallerDialog(SharedState& shared, const Config& config,
                    std::optional<std::string> appDirectory = std::nullopt,
                    QWidget* parent = nullptr);
    ~InstallerDialog() override;

    // Window
    [[nodiscard]] std::string FieldText(Control field) const override;
    void SetFieldText(Control field, std::string_view text) override;
    void SetStatusLine(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    void OpenUrl(std::string_view url) override;
    [[nodiscard]] bool TrustCertificate(const ftp::CertificateInfo& certificate) override;

    // The widgets of the controls, by identifier; null for an identifier that is not
    // of that kind.
    [[nodiscard]] QLineEdit* Field(Control id);
    [[nodiscard]] QPushButton* Button(Control id);
    [[nodiscard]] StatusLine& Status() { return status_; }

    // Opens the About box and returns when it has been closed.
    void ShowAbout();

    // Ends the modal run; the first time, it also deletes the working files.
    void done(int result) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void BuildFromTemplate();
    [[nodiscard]] const QLineEdit* FindField(Control id) const;

    SharedState& shared_;
    const Config& config_;
    Utf8LengthValidator fieldLimit_;
    std::array<QLineEdit, kFormFields.size()> fields_;
    std::array<Control, kFormFields.size()> fieldIds_{};
    std::array<QLabel, kFormFields.size()> labels_;
    std::array<QPushButton, 3> buttons_;
    std::array<Control, 3> buttonIds_{};
    StatusLine status_;
    bool workingFilesDeleted_ = false;
};

}  // namespace klv::app
