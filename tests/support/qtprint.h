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

// gtest prefers PrintTo over its container printer, which would print QString char by char.
inline void PrintTo(const QString& s, std::ostream* os) { *os << s; }
inline void PrintTo(const QByteArray& b, std::ostream* os) { *os << b; }
inline void PrintTo(const QStringList& l, std::ostream* os) { *os << l; }
