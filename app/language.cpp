#include "app/language.h"

#include <QCoreApplication>
#include <QTranslator>

namespace kv {

QStringList languages() {
    return {QStringLiteral("zh"), QStringLiteral("en")};
}

QString useLanguage(const QString& code) {
    if (!languages().contains(code))
        return QStringLiteral("unknown language '%1' (choose %2)")
            .arg(code, languages().join(QStringLiteral(" or ")));
    if (code == languages().constFirst()) return QString();
    // The translations are built from i18n/*.ts into the program's resources.
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral(":/i18n/kv7702r-tool_%1.qm").arg(code))) {
        delete translator;
        return QStringLiteral("the translation for '%1' is missing from the program").arg(code);
    }
    QCoreApplication::installTranslator(translator);
    return QString();
}

} // namespace kv
