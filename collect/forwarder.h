#pragma once
// Where the spool's readings go (a broker, a database): sent in batches, each answered once,
// on the event loop of the thread that owns it.

#include "collect/record.h"

#include <QObject>
#include <QString>

#include <vector>

namespace kv::collect {

class Forwarder : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Its position's key in the spool: "mqtt", "influx".
    [[nodiscard]] virtual QString name() const = 0;
    // Connected, and no batch outstanding.
    [[nodiscard]] virtual bool canSend() const = 0;
    // Sends the records; answered later by exactly one of acknowledged() or failed().
    virtual void send(std::vector<Record> batch) = 0;

signals:
    // Every record of the last batch is taken by the destination.
    void acknowledged();
    // None of the last batch counts as taken; it is sent again later.
    void failed(const QString& why);
    // canSend() became true.
    void ready();
};

} // namespace kv::collect
