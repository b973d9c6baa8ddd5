// The form's values that are kept between runs: the ten fields that are not passwords,
// in klv/klv.conf under $XDG_CONFIG_HOME (~/.config when it is not set). The two
// password fields are never written anywhere.
#pragma once

#include "installer/window.h"

namespace klv::app {

// Writes the ten values of `form` as they are now.
void SaveRememberedValues(const Window& form);

// Puts every saved value back into its field; fields with nothing saved keep their text.
void RestoreRememberedValues(Window& form);

}  // namespace klv::app
