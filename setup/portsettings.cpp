#include "setup/portsettings.h"

#include "window/window.h"
#include "modbus/fieldnum.h"
#include "serial/settingsfile.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kv {
namespace {

QString lineSettings(int rate) { return QStringLiteral("%1,N,8,1").arg(rate); }


void startUpFailed(Window& w) {
    w.message(
        QCoreApplication::translate("PortSettings", "请检查串口端口,串口端口%1无法打开!").arg(w.CommNum),
        QCoreApplication::translate("PortSettings", "VQRN系统出错提示"));
    w.CommReady = false;
}

// An entry's text as a whole number, as the baud list holds them.
int entryNumber(const QString& text) {
    const auto v = num::roundEven(text);
    return v && *v >= -32768 && *v <= 32767 ? static_cast<int>(*v) : 0;
}

// The first steps of a port choice and of a save: close the port, insist on a selected
// entry and take its port number.
bool closeAndTakeSelectedPort(Window& w) {
    SerialComm& port = *w.MSComm1;
    if (port.portOpen())
        (void)port.setPortOpen(false);
    if (w.Combo1->currentIndex() < 0) {
        w.message(QCoreApplication::translate("PortSettings", "请选择端口"));
        return false;
    }
    (void)port.setCommPort(w.Combo1->currentIndex() + 1);
    w.CommNum = static_cast<qint16>(port.commPort());
    return true;
}

} // namespace

void OpenOnComm(Window& w) {
    w.MSComm1->setRThreshold(1);
    w.MSComm1->setInputMode(1);
}

void startUp(Window& w) {
    w.PictureShow->setVisible(true);

    const CommSetValues stored = readCommSet(commSetReadPath(w.programDir, userConfigDir()));
    if (stored.port)
        w.CommNum = static_cast<qint16>(*stored.port);
    if (stored.rate)
        w.CommRate = static_cast<qint16>(*stored.rate);
    if (!stored.complete())
        return startUpFailed(w);

    w.txtStationID->setText(QStringLiteral("1"));

    if (!w.MSComm1->setCommPort(w.CommNum))
        return startUpFailed(w);

    SerialComm& port = *w.MSComm1;
    port.setInputMode(1);
    port.setInputLen(0);
    port.setInBufferCount(0);
    port.setOutBufferCount(0);
    port.setSThreshold(0);
    port.setRThreshold(1);
    port.setInputMode(1);

    if (w.CommRate == 0)
        w.CommRate = 9600;
    if (!port.setSettings(lineSettings(w.CommRate)))
        return startUpFailed(w);

    for (int i = 0; i < 4 && i < w.Combo2->count(); ++i) {
        if (entryNumber(w.Combo2->itemText(i)) == w.CommRate)
            w.Combo2->setCurrentIndex(i);
    }

    const QString wanted = QStringLiteral("COM") + QString::number(w.CommNum);
    for (int i = 0; i <= 24 && i < w.Combo1->count(); ++i) {
        if (w.Combo1->itemText(i) == wanted) {
            w.Combo1->setCurrentIndex(i);
            portChoice(w);
            break;
        }
    }
}

void portChoice(Window& w) {
    if (!closeAndTakeSelectedPort(w))
        return;
    SerialComm& port = *w.MSComm1;
    (void)port.setSettings(lineSettings(w.CommRate));
    if (port.portOpen())
        return;
    (void)port.setPortOpen(true);
    OpenOnComm(w);
    w.CommReady = true;
}

void saveSettings(Window& w) {
    if (!closeAndTakeSelectedPort(w))
        return;
    SerialComm& port = *w.MSComm1;

    // Text typed into the list's edit field is never used, only an entry.
    const int entry = w.Combo2->currentIndex() >= 0 ? w.Combo2->currentIndex() : 0;
    w.CommRate = static_cast<qint16>(entryNumber(w.Combo2->itemText(entry)));
    (void)port.setSettings(lineSettings(w.CommRate));

    if (port.portOpen()) {
        w.message(QCoreApplication::translate("PortSettings", "所选的串行端口已被其他设备所使用!"),
                  QCoreApplication::translate("PortSettings", "系统信息"), Icon::Warning);
        return;
    }
    (void)port.setPortOpen(true);
    OpenOnComm(w);
    w.CommReady = true;

    const QString path = commSetPaths(w.programDir, userConfigDir(), keepsSettingsBeside(w.programDir)).write;
    if (QFileInfo(path).absolutePath() == QDir(userConfigDir()).absolutePath())
        QDir().mkpath(userConfigDir()); // the user's folder may not exist yet
    const QString error = writeCommSet(path, w.CommNum, w.CommRate);
    if (!error.isEmpty()) {
        w.message(QCoreApplication::translate("PortSettings",
                                              "串口设置保存失败：无法写入文件 %1（%2），原有设置未改变。")
                      .arg(QDir::toNativeSeparators(path), error),
                  QCoreApplication::translate("PortSettings", "系统提示"), Icon::Critical);
        return;
    }
    w.message(QCoreApplication::translate("PortSettings", "串口设置保存成功"),
              QCoreApplication::translate("PortSettings", "系统提示"));
}

} // namespace kv
