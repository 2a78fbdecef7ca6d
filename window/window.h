#pragma once
// The window context every handler works on: the named controls (control arrays
// indexed by their member numbers, gaps included), the window-level variables, the
// serial-port component and the message boxes.

#include "modbus/codec.h"
#include "modbus/decode.h"
#include "modbus/fieldnum.h"
#include "serial/commport.h"
#include "window/lamppanel.h"
#include "window/replybox.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>

class QComboBox;
class QGroupBox;
class QPushButton;
class QTimer;

namespace kv {

class LineShape;

inline const QString kAppTitle = QStringLiteral("KV7702R");

enum class Icon { None, Information, Warning, Critical };

// Modal message boxes with a single OK button. An empty title means the
// application's title.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual void show(const QString& text, const QString& title = QString(), Icon icon = Icon::None) = 0;
};

template <class T, int N> class ControlArray {
public:
    // nullptr for a gap or an index outside the array.
    T* operator()(int i) const { return i >= 0 && i < N ? members_[static_cast<std::size_t>(i)] : nullptr; }
    void set(int i, T* control) { members_.at(static_cast<std::size_t>(i)) = control; }
    static constexpr int size() { return N; }

private:
    std::array<T*, N> members_{};
};

// The values of the window-level CmdType: what the last request was, so that the receiver
// decodes its reply accordingly. Plain numbers underneath (4 is never set), as CmdType
// is a signed 16-bit variable that may hold any of them.
enum CmdKind : qint16 {
    CmdMeasurement = 1,
    CmdRegisterRead = 2, // parameters and calibration resistances
    CmdParameterWrite = 3,
    CmdAddressChange = 5,
    CmdAddressRead = 6,
};

struct Window {
    QWidget* frmMain = nullptr;

    QGroupBox* Frame10 = nullptr; // MODBUS settings
    ControlArray<QLabel, 5> Label8;
    QLineEdit* txtStationID = nullptr;
    QLineEdit* txtFunID = nullptr;
    QLineEdit* txtStartID = nullptr;
    QLineEdit* txtDataLength = nullptr;

    QGroupBox* Frame5 = nullptr; // serial port settings
    QLabel* Label3 = nullptr;
    QComboBox* Combo1 = nullptr;
    ControlArray<QLabel, 3> Label5;
    QComboBox* Combo2 = nullptr;
    QPushButton* cmdCom = nullptr;

    QGroupBox* Frame2 = nullptr; // observation window
    QGroupBox* Frame6 = nullptr;
    LampPanel* Picture2 = nullptr;
    QLabel* imgConnected = nullptr;
    QLabel* ImgYellow = nullptr;
    QLabel* imgNotConnected = nullptr;
    QLabel* lblErrCounter = nullptr;
    QLabel* lblCounter = nullptr;
    ControlArray<LineShape, 3> Line1;
    QWidget* PictureShow = nullptr;
    ControlArray<QLabel, 11> lblDanWei;
    ControlArray<QLineEdit, 4> txtValue;
    QLineEdit* txtTimerSet = nullptr;
    QPushButton* comDoOnce = nullptr;
    QPushButton* cmdOneM = nullptr;
    QPushButton* cmdStopOnce = nullptr;

    QGroupBox* Frame7 = nullptr; // parameters
    ControlArray<QLabel, 5> lblsetValue;
    ControlArray<QLineEdit, 7> txtsetValue;
    ControlArray<QLabel, 14> Label2;
    ControlArray<QPushButton, 7> cmdREAD;
    ControlArray<QPushButton, 7> cmdSet;

    QGroupBox* Frame12 = nullptr; // device address
    ControlArray<QLineEdit, 2> txtSetID;
    QPushButton* cmdChangeID = nullptr;
    QPushButton* cmdReadAdd = nullptr;

    QGroupBox* Frame1 = nullptr; // command observation window
    QLabel* Label1 = nullptr;
    QLineEdit* txtCommand = nullptr;
    QLabel* Label7 = nullptr;
    ReplyBox* txtState = nullptr;

    QGroupBox* frame3 = nullptr; // temperature two-point calibration
    ControlArray<QLabel, 8> lblAlarm;
    QLabel* Label14 = nullptr;
    QLabel* Label9 = nullptr;
    QLabel* Label10 = nullptr;
    QLabel* Label12 = nullptr;
    QLabel* Label13 = nullptr;
    QLineEdit* txtRL = nullptr;
    QLineEdit* TXTRH = nullptr;
    QLineEdit* txtRA = nullptr;
    QLineEdit* txtRB = nullptr;
    QPushButton* cmdRead0 = nullptr;
    QPushButton* txtRead100 = nullptr;
    QPushButton* cmdCatalute = nullptr;
    LineShape* Line2 = nullptr;

    QLabel* Label4 = nullptr;
    QTimer* Timer2 = nullptr;

    SerialComm* MSComm1 = nullptr;
    MessageBoxes* messages = nullptr;
    QString programDir;

    // Window-level variables.
    qint16 CommNum = 0;
    qint16 CommRate = 0;
    bool CommReady = false;
    int HiByte = 0;
    quint8 LoByte = 0;
    QString SendBuf;
    qint16 CmdType = 0;
    qint16 RecLen = 0;
    qint16 ReadTarget = 0;
    qint32 RxCount = 0;
    // The last address-change request, so that its echo can be told from other replies.
    Frame AddressChangeSent{};
    // True while a cycle tick runs, including any message box it has open.
    bool tickRunning = false;

    // As QLineEdit::setText, without the relayout and repaint when the box already is
    // exactly what setText would leave: that text, cursor at its end, nothing selected,
    // no undo history, not modified.
    static void replaceText(QLineEdit* box, const QString& text) {
        if (box->hasFocus() || box->text() != text || box->cursorPosition() != text.size() ||
            box->hasSelectedText() || box->isUndoAvailable() || box->isRedoAvailable() || box->isModified())
            box->setText(text);
    }

    void message(const QString& text, const QString& title = QString(), Icon icon = Icon::None) const {
        messages->show(text, title, icon);
    }

    void bringToFront(QLabel* lamp) const { Picture2->bringToFront(lamp); }

    // The lamp seen: the one highest in the panel's stacking order.
    QLabel* lampInFront() const { return Picture2->front(); }

    // Discard what was received, read everything in binary, no receive events.
    void preparePort() const {
        MSComm1->setInBufferCount(0);
        MSComm1->setInputLen(0);
        MSComm1->setInputMode(1);
        MSComm1->setRThreshold(0);
    }

    // A read request that finds the port closed says so, shows the red lamp and stops
    // the cycle from sending; otherwise the yellow lamp and a port ready for the reply.
    [[nodiscard]] bool readyForRead() {
        if (!MSComm1->portOpen()) {
            message(QCoreApplication::translate("Window", "打开串口出错，请确定串口是否已被占用"));
            bringToFront(imgNotConnected);
            CommReady = false;
            return false;
        }
        bringToFront(ImgYellow);
        preparePort();
        return true;
    }

    // A read request with the device address and function code of the MODBUS fields;
    // a field that cannot become its byte leaves it at 0.
    [[nodiscard]] Frame readRequest() const {
        Frame frame{};
        frame[0] = num::byteOr0(num::floorOf(txtStationID->text()));
        frame[1] = num::byteOr0(num::roundEven(txtFunID->text()));
        return frame;
    }

    // Seals a read request, expects its reply (two bytes a register plus five) and sends it.
    void sendRead(Frame& frame, CmdKind cmdType) {
        seal(frame);
        RecLen = static_cast<qint16>(2 * frame[5] + 5);
        MSComm1->setRThreshold(RecLen);
        CmdType = cmdType;
        MSComm1->output(toBytes(frame));
        showRequest(frame);
    }

    // The CRC into bytes 6 and 7, through HiByte and LoByte.
    void seal(Frame& frame) {
        const CrcBytes crc = sealFrame(frame);
        HiByte = crc.HiByte;
        LoByte = crc.LoByte;
    }

    void showRequest(const Frame& frame) {
        SendBuf = requestText(frame);
        replaceText(txtCommand, SendBuf);
    }
};

} // namespace kv
