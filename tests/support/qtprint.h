#pragma once
// Readable Qt values in test failure messages.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ostream>

inline std::ostream& operator<<(std::ostream& os, const QString& s) { return os << '"' << s.toStdString() << '"'; }
inline std::ostream& operator<<(std::ostream& os, const QByteArray& b) {
    return os << "bytes[" << b.toHex(' ').toStdString() << ']';
}
inline std::ostream& operator<<(std::ostream& os, const QStringList& l) {
    return os << '{' << l.join(QStringLiteral(" | ")).toStdString() << '}';
}
