#include "measure/measurement.h"

#include "window/window.h"
#include "modbus/fieldnum.h"

#include <QCoreApplication>
#include <QTimer>

#include <cmath>

namespace kv {
namespace {

// A tick refused by its own field checks would be refused again at every tick, each
// with a modal box, and the operator could never reach "停止"; it stops the cycle
// first. A box raised by a button leaves a running cycle alone.
void refuseFields(Window& w, const QString& text) {
    if (w.tickRunning) w.Timer2->stop();
    w.message(text);
}

} // namespace

void singleMeasurement(Window& w) {
    w.PictureShow->setVisible(true);
    w.SendBuf.clear();

    struct Check {
        QLineEdit* field;
        const char* message;
    };
    const Check checks[] = {
        {w.txtStationID, QT_TRANSLATE_NOOP("Measurement", "你输入的设备地址格式有误!")},
        {w.txtFunID, QT_TRANSLATE_NOOP("Measurement", "你输入的功能码格式有误!")},
        {w.txtDataLength, QT_TRANSLATE_NOOP("Measurement", "你输入的数据长度格式有误!")},
        {w.txtStartID, QT_TRANSLATE_NOOP("Measurement", "你输入的起始地址格式有误!")},
    };
    for (const Check& c : checks) {
        if (!num::readNumber(c.field->text())) {
            refuseFields(w, QCoreApplication::translate("Measurement", c.message));
            return;
        }
    }
    if (std::floor(*num::readNumber(w.txtDataLength->text())) > 7) {
        refuseFields(
            w, QCoreApplication::translate("Measurement", "你输入的数据长度格式有误,正确的值应该为1-7!"));
        return;
    }
    w.txtState->clear();

    if (!w.readyForRead())
        return;

    Frame frame = w.readRequest();
    frame[3] = num::byteOr0(num::floorOf(w.txtStartID->text()));
    frame[5] = num::byteOr0(num::floorOf(w.txtDataLength->text()));
    w.sendRead(frame, CmdMeasurement);
}

void startCycle(Window& w) {
    w.PictureShow->setVisible(true);
    w.lblCounter->setText(QStringLiteral("1"));
    w.RxCount = 1;
    w.lblErrCounter->setText(QStringLiteral("1"));

    const auto period = num::readNumber(w.txtTimerSet->text());
    if (!period) {
        w.message(QCoreApplication::translate("Measurement",
                                              "你输入的定时时长格式有误，应该为数字，值范围为100-60000!"));
        return;
    }
    const double whole = std::floor(*period);
    if (whole < 50 || whole > 60000) {
        w.message(QCoreApplication::translate("Measurement",
                                              "你输入的定时时长格式有误，应该为数字，值范围为50-60000!"));
        return;
    }
    w.Timer2->start(static_cast<int>(*num::roundEven(*period)));
}

void cycleTick(Window& w) {
    // A message box raised by a tick runs its own event loop, which still delivers
    // ticks; hold them back so that boxes never stack up under a running cycle.
    if (w.tickRunning)
        return;
    if (!num::readNumber(w.txtDataLength->text()))
        w.txtDataLength->setText(QStringLiteral("1"));
    if (num::readNumber(w.lblCounter->text()).value_or(0) > 65535)
        w.lblCounter->setText(QStringLiteral("0"));
    if (!w.CommReady)
        return;
    const long long counted = num::floorOf(w.lblCounter->text()).value_or(0);
    w.lblCounter->setText(QString::number(counted + 1));
    w.tickRunning = true;
    singleMeasurement(w);
    w.tickRunning = false;
}

void stopCycle(Window& w) {
    w.PictureShow->setVisible(true);
    w.Timer2->stop();
}

} // namespace kv
