#pragma once
// The language the window and the monitor speak, chosen once at start: Chinese as
// designed, or a translation compiled into the program. The command line and the Modbus
// exception names stay English whatever is chosen.

#include <QString>
#include <QStringList>

namespace kv {

// The codes --lang takes; the first is the designed language, which needs no translation.
[[nodiscard]] QStringList languages();

// Installs the translation for the language on the application, before any window is
// made. An empty result on success, otherwise why not (nothing is installed then).
[[nodiscard]] QString useLanguage(const QString& code);

} // namespace kv
