#include "app/remembered_values.h"

#include "app/program_settings.h"
#include "app/ui_support.h"

namespace klv::app {

namespace {

QString KeyOf(const FormField& field) {
    return QStringLiteral("form/") + FromUtf8(field.label).remove(QLatin1Char(' '));
}

}  // namespace

bool IsPasswordField(Control field) {
    return field == Control::Password || field == Control::BlogPassword;
}

void SaveRememberedValues(const Window& form) {
    QSettings settings = ProgramSettings();
    for (const FormField& field : kFormFields) {
        if (!IsPasswordField(field.id)) {
            settings.setValue(KeyOf(field), FromUtf8(form.FieldText(field.id)));
        }
    }
    WritePrivately(settings);
}

void RestoreRememberedValues(Window& form) {
    const QSettings settings = ProgramSettings();
    for (const FormField& field : kFormFields) {
        const QString key = KeyOf(field);
        if (!IsPasswordField(field.id) && settings.contains(key)) {
            form.SetFieldText(field.id, ToUtf8(settings.value(key).toString()));
        }
    }
}

}  // namespace klv::app
