#include "app/monitormodule.h"

#include <QDir>
#include <QLibrary>

#include <memory>

namespace kv {

QStringList monitorModulePlaces(const QString& programDir) {
    QStringList places{QDir::cleanPath(programDir)};
#ifdef KV_MONITOR_MODULE_DIR
    places << QDir::cleanPath(programDir + QStringLiteral("/../") + QStringLiteral(KV_MONITOR_MODULE_DIR));
#endif
    return places;
}

mon::ViewMaker monitorModule(const QString& programDir) {
    using Make = mon::MonitorView* (*)();
    // QLibrary never unloads on destruction: the window's code stays while windows may exist.
    auto made = std::make_shared<Make>(nullptr);
    return [programDir, made](QString* error) -> mon::MonitorView* {
        const QString name = QStringLiteral("kv7702r-monitor");
        const QStringList places = monitorModulePlaces(programDir);
        for (auto place = places.cbegin(); !*made && place != places.cend(); ++place) {
            QLibrary module(QDir(*place).filePath(name));
            if (!module.load()) {
                // Not there: the next place. Present but unloadable: the loader's own words say why.
                if (QDir(*place).entryList({name + QStringLiteral(".*")}, QDir::Files).isEmpty()) continue;
                if (error) *error = module.errorString();
                return nullptr;
            }
            *made = reinterpret_cast<Make>(module.resolve("kv_make_monitor_window"));
            if (!*made) {
                if (error) *error = module.errorString();
                return nullptr;
            }
        }
        if (!*made) {
            if (error)
                *error = QStringLiteral("%1 is not in %2").arg(name, places.join(QStringLiteral(" or ")));
            return nullptr;
        }
        return (*made)();
    };
}

} // namespace kv
