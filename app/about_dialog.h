// The About box, laid out from its dialog template: the icon, "KLV Version 1.0" and OK.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

namespace klv::app {

class AboutDialog : public QDialog {
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);

private:
    QLabel icon_;
    QLabel version_;
    QPushButton ok_;
};

}  // namespace klv::app
