#include "measure/receiver.h"

#include "modbus/decode.h"
#include "window/window.h"

#include <limits>

namespace kv {
namespace {

// Each decoded text into the box that shows it; an answered slot's box turns black.
void applyWrites(Window& w, const FieldWrites& writes) {
    for (const FieldWrite& fw : writes) {
        QLineEdit* box = nullptr;
        switch (fw.field) {
        case Field::Measured:
            box = w.txtValue(fw.index);
            break;
        case Field::Answered:
            if (QLineEdit* v = w.txtValue(fw.index)) {
                QPalette pal = v->palette();
                pal.setColor(QPalette::Text, Qt::black);
                // Setting an equal palette still invalidates the box's cached backdrop and frame.
                if (pal != v->palette() || pal.resolveMask() != v->palette().resolveMask())
                    v->setPalette(pal);
            }
            continue;
        case Field::Parameter:
            box = w.txtsetValue(fw.index);
            break;
        case Field::RA:
            box = w.txtRA;
            break;
        case Field::RB:
            box = w.txtRB;
            break;
        case Field::Address:
            // Shown twice: as the address to change from, and as the address asked.
            if (QLineEdit* from = w.txtSetID(fw.index)) Window::replaceText(from, fw.text);
            box = w.txtStationID;
            break;
        }
        if (box) Window::replaceText(box, fw.text);
    }
}

} // namespace

void onComm(Window& w) {
    if (w.RxCount < std::numeric_limits<qint32>::max()) ++w.RxCount;
    w.lblErrCounter->setText(QString::number(w.RxCount));
    if (w.MSComm1->commEvent() != comEvReceive) return;

    const QByteArray reply = w.MSComm1->input();
    w.MSComm1->setInBufferCount(0);
    w.txtState->setPlainText(replyText(reply));

    // Read replies become values only when sound: a corrupted or exception reply is
    // shown and counted, writes no field, and leaves the lamp as it was so that green
    // keeps meaning a good reply.
    const bool readReply =
        w.CmdType == CmdMeasurement || w.CmdType == CmdRegisterRead || w.CmdType == CmdAddressRead;
    if (readReply && !replyIsSound(reply)) return;
    // A sound frame announcing fewer data bytes than a decoding reads must not have
    // its CRC or trailing bytes read as a value.
    const QByteArray frame = readReply ? reply.left(3 + static_cast<quint8>(reply.at(2))) : reply;

    switch (w.CmdType) {
    case CmdMeasurement:
        applyWrites(w, decodeMeasurement(frame, w.txtStartID->text()));
        break;
    case CmdRegisterRead:
        applyWrites(w, decodeRegisterRead(frame, w.ReadTarget));
        break;
    case CmdAddressChange:
        applyWrites(w, decodeAddressChange(reply, w.AddressChangeSent));
        break;
    case CmdAddressRead:
        applyWrites(w, decodeAddressRead(frame));
        break;
    default:
        break;
    }
    w.bringToFront(w.imgConnected);
}

} // namespace kv
