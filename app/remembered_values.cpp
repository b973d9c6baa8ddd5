#include "app/remembered_values.h"

#include "app/program_settings.h"
#include "app/ui_support.h"

namespace klv::app {

void SaveRememberedValues(const Window& form) {
    QSettings settings = ProgramSettings();
    for (const FormField& field : kFormFields) {
        if (!field.secret) {
            settings.setValue(FromUtf8(field.settingsKey), FromUtf8(form.FieldText(field.id)));
        }
    }
    WritePrivately(settings);
}

void RestoreRememberedValues(Window& form) {
    const QSettings settings = ProgramSettings();
    for (const FormField& field : kFormFields) {
        const QString key = FromUtf8(field.settingsKey);
        if (!field.secret && settings.contains(key)) {
            form.SetFieldText(field.id, ToUtf8(settings.value(key).toString()));
        }
    }
}

}  // namespace klv::app
