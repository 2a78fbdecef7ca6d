#include "app/mainwindow.h"

#include "app/appearance.h"
#include "app/backdrop.h"
#include "app/controls.h"

#include "measure/receiver.h"
#include "device/configuration.h"
#include "measure/measurement.h"
#include "setup/portsettings.h"
#include "serial/portinfo.h"

#include <QApplication>
#include <QCoreApplication>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace kv {

MainWindow::MainWindow(SerialComm& port, MessageBoxes& messages, const QString& programDir) {
    w_.frmMain = this;
    w_.MSComm1 = &port;
    w_.messages = &messages;
    w_.programDir = programDir;
    build();
    wire();
    scrollable();
}

void MainWindow::build() {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(tr("KV7702R可变量程水分传感器工具软件-VQRN www.vqrn.example.com"));
    // The program sets it for all its windows; a window built on its own makes it here.
    if (QApplication::windowIcon().isNull()) setWindowIcon(appIcon());
    // The designed colours assume this palette; the desktop's theme gives none of its own.
    setPalette(designedPalette());
    setAutoFillBackground(true);
    // Controls without a font of their own: the face the layout was drawn with.
    setFont(makeFont(kSongTi, 9, QFont::Normal));

    Window& w = w_;

    // Groups, in the order the window declares them.
    w.frame3 = group(this, QStringLiteral("frame3"), tr("温度两点法校准"), twips(1440, 11280, 12615, 3015));
    w.Frame12 = group(this, QStringLiteral("Frame12"), tr("设备地址修改操作"), twips(6840, 960, 8415, 1335));
    w.Frame7 = group(this, QStringLiteral("Frame7"), tr("参数"), twips(6840, 2400, 8415, 3495));
    w.Frame1 =
        group(this, QStringLiteral("Frame1"), tr("二次开发命令观察窗口"), twips(120, 6000, 15135, 1695));
    w.Frame5 = group(this, QStringLiteral("Frame5"), tr("串口设置"), twips(6840, 120, 5835, 780));
    w.Frame2 = group(this, QStringLiteral("Frame2"), tr("观察窗"), twips(120, 960, 6495, 4935));
    w.Frame10 = group(this, QStringLiteral("Frame10"), tr("MODBUS设置"), twips(120, 120, 6375, 735));

    w.Label4 =
        label(this, QStringLiteral("Label4"), tr("VQRN 电话：010-5550-0100  网址：www.vqrn.example.com"),
              twips(120, 10920, 12375, 255));

    // MODBUS settings.
    QWidget* f = w.Frame10;
    w.Label8.set(0, label(f, member("Label8", 0), tr("设备地址"), twips(120, 360, 855, 255)));
    w.txtStationID = textBox(f, QStringLiteral("txtStationID"), QStringLiteral("2"), twips(840, 360, 495, 270));
    w.Label8.set(3, label(f, member("Label8", 3), tr("功 能 码"), twips(1560, 360, 855, 255)));
    w.txtFunID = textBox(f, QStringLiteral("txtFunID"), QStringLiteral("3"), twips(2280, 360, 495, 270));
    w.Label8.set(1, label(f, member("Label8", 1), tr("超始地址"), twips(2880, 360, 855, 255)));
    w.txtStartID = textBox(f, QStringLiteral("txtStartID"), QStringLiteral("0"), twips(3600, 360, 495, 270));
    w.Label8.set(2, label(f, member("Label8", 2), tr("数据长度"), twips(4320, 360, 735, 255)));
    w.txtDataLength = textBox(f, QStringLiteral("txtDataLength"), QStringLiteral("2"), twips(5040, 360, 495, 270));

    // Serial port settings.
    f = w.Frame5;
    w.Label3 = label(f, QStringLiteral("Label3"), tr("串口号"), twips(120, 240, 615, 255));
    QStringList ports;
    for (int n = 1; n <= 16; ++n)
        ports << QStringLiteral("COM%1").arg(n);
    DropDown* portList = dropDown(f, QStringLiteral("Combo1"), ports, QStringLiteral("COM4"), twips(720, 240, 1095, 300));
    // The tips only show in the opened list, so they are gathered as it opens: links in
    // the program's folder may come and go, and asking udev about every serial device
    // would hold the window back at start-up.
    portList->beforePopup = [portList, dir = w.programDir] {
        const QStringList tips = portToolTips(portList->count(), dir);
        for (int i = 0; i < portList->count(); ++i)
            portList->setItemData(i, tips[i], Qt::ToolTipRole);
    };
    w.Combo1 = portList;
    w.Label5.set(2, label(f, member("Label5", 2), tr("波特率"), twips(2040, 240, 615, 255)));
    w.Combo2 = dropDown(f, QStringLiteral("Combo2"),
                        {QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("14400"), QStringLiteral("19200")},
                        QStringLiteral("19200"), twips(2640, 240, 1095, 300));
    w.cmdCom = button(f, QStringLiteral("cmdCom"), tr("保存设置"), twips(4080, 120, 1095, 495));

    // Observation window.
    f = w.Frame2;
    w.Frame6 = group(f, QStringLiteral("Frame6"), tr("运行状态指示"), twips(120, 240, 5895, 615));
    w.Picture2 = named(new LampPanel(w.Frame6), QStringLiteral("Picture2"));
    w.Picture2->setGeometry(twips(120, 240, 900, 255));
    w.Picture2->setAutoFillBackground(true);
    w.imgConnected = lamp(w.Picture2, QStringLiteral("imgConnected"), QColor(0, 200, 0), false, 240);
    w.ImgYellow = lamp(w.Picture2, QStringLiteral("ImgYellow"), QColor(240, 200, 0), false, 240);
    w.imgNotConnected = lamp(w.Picture2, QStringLiteral("imgNotConnected"), QColor(220, 0, 0), true, 225);
    for (QLabel* l : {w.imgConnected, w.ImgYellow, w.imgNotConnected})
        w.Picture2->addLamp(l);
    // The counters and the value boxes change at every reply; they repaint alone.
    w.lblErrCounter = label<Backdrop<QLabel>>(w.Frame6, QStringLiteral("lblErrCounter"), QStringLiteral("0"), twips(1200, 240, 855, 255));
    w.lblErrCounter->setToolTip(tr("误码率"));
    w.lblErrCounter->setAlignment(Qt::AlignRight | Qt::AlignTop);
    w.Line1.set(0, named(new LineShape(w.Frame6, {2160, 240}, {2040, 480}, Qt::black), member("Line1", 0)));
    w.lblCounter = label<Backdrop<QLabel>>(w.Frame6, QStringLiteral("lblCounter"), QStringLiteral("0"), twips(2280, 240, 735, 255));
    w.lblCounter->setToolTip(tr("测试统计"));

    w.PictureShow = named(new QWidget(f), QStringLiteral("PictureShow"));
    w.PictureShow->setGeometry(twips(120, 960, 5895, 2055));
    w.PictureShow->setAutoFillBackground(true);
    w.PictureShow->setVisible(false); // the load step shows it
    QWidget* ps = w.PictureShow;
    const QFont unitFont = makeFont(kTitling, 18, 300);
    const QFont valueFont = makeFont(kSongTi, 15, QFont::Normal);
    struct Unit {
        int index;
        const char* text; // the signs and the empty ones are the same in every language
        QRect geometry;
        QColor colour;
        bool visible;
    };
    const Unit units[] = {
        {2, QT_TRANSLATE_NOOP("MainWindow", "水  分"), twips(600, 360, 1455, 495), Qt::black, true},
        {0, "%", twips(5160, 360, 495, 375), kRed, true},
        {1, QT_TRANSLATE_NOOP("MainWindow", "温  度"), twips(600, 1200, 1335, 495), Qt::black, false},
        {3, "℃", twips(5160, 1200, 495, 495), kRed, false},
        {5, QT_TRANSLATE_NOOP("MainWindow", "水分量程缩放系数"), twips(240, 3240, 3015, 495), Qt::black,
         true},
        {10, "", twips(5400, 2880, 495, 495), kRed, true},
        {7, QT_TRANSLATE_NOOP("MainWindow", "气     压"), twips(240, 3960, 2535, 735), Qt::black, true},
        {4, "", twips(6240, 6000, 495, 495), kRed, true},
    };
    for (const Unit& u : units) {
        QLabel* l = label(ps, member("lblDanWei", u.index), tr(u.text), u.geometry, u.colour);
        l->setFont(unitFont);
        l->setWordWrap(false);
        l->setVisible(u.visible);
        w.lblDanWei.set(u.index, l);
    }
    const QRect valueBoxes[] = {twips(3120, 360, 1935, 420), twips(3120, 1200, 1935, 420),
                                twips(3240, 3240, 1935, 420), twips(1800, 3840, 2895, 780)};
    for (int i = 0; i < 4; ++i) {
        QLineEdit* t = textBox<Backdrop<QLineEdit>>(ps, member("txtValue", i), QStringLiteral("0"), valueBoxes[i]);
        t->setFont(valueFont);
        t->setVisible(i != 1);
        w.txtValue.set(i, t);
    }

    w.Label8.set(4, label(f, member("Label8", 4), tr("定时时长(ms)"), twips(960, 3360, 1215, 255)));
    w.txtTimerSet = textBox(f, QStringLiteral("txtTimerSet"), QStringLiteral("1000"), twips(2400, 3360, 615, 270));
    const QFont buttonFont = makeFont(kSongTi, 14.25, QFont::Bold);
    w.comDoOnce = button(f, QStringLiteral("comDoOnce"), tr("单次"), twips(600, 3840, 1440, 600));
    w.cmdOneM = button(f, QStringLiteral("cmdOneM"), tr("循环"), twips(2520, 3840, 1560, 600));
    w.cmdStopOnce = button(f, QStringLiteral("cmdStopOnce"), tr("停止"), twips(4560, 3840, 1320, 600));
    for (QPushButton* b : {w.comDoOnce, w.cmdOneM, w.cmdStopOnce})
        b->setFont(buttonFont);
    w.Timer2 = named(new QTimer(this), QStringLiteral("Timer2"));
    w.Timer2->setTimerType(Qt::PreciseTimer);

    // Parameters.
    f = w.Frame7;
    struct Row {
        int labelIndex, index, top, labelWidth, hintIndex, hintLeft, hintTop, buttonTop;
        const char* name;
        const char* initial;
        const char* hint;
    };
    const Row rows[] = {
        {0, 0, 360, 1455, 1, 2760, 360, 240, QT_TRANSLATE_NOOP("MainWindow", "水分量程缩放系数"), "1.0000",
         QT_TRANSLATE_NOOP("MainWindow", "值范围为：0.2000-5.0000")},
        {1, 1, 960, 1335, 3, 2880, 960, 840, QT_TRANSLATE_NOOP("MainWindow", "水分偏移校准值"), "0.00",
         QT_TRANSLATE_NOOP("MainWindow", "值范围为：1000到64535")},
        {2, 2, 1560, 975, 6, 2760, 1560, 1560, QT_TRANSLATE_NOOP("MainWindow", "水分最大值"), "100",
         QT_TRANSLATE_NOOP("MainWindow", "值范围为：1000-10000")},
        {3, 3, 2160, 975, 0, 2760, 2280, 2160, QT_TRANSLATE_NOOP("MainWindow", "水分最小值"), "0",
         QT_TRANSLATE_NOOP("MainWindow", "值范围为：0-1000")},
        {4, 6, 2760, 1215, 2, 240, 3120, 2760, QT_TRANSLATE_NOOP("MainWindow", "硬件量程设置"), "0",
         QT_TRANSLATE_NOOP("MainWindow", "值只有为1、2、3，1(0-100%) 2(0-50%) 3(0-25%)")},
    };
    for (const Row& r : rows) {
        w.lblsetValue.set(r.labelIndex, label(f, member("lblsetValue", r.labelIndex), tr(r.name),
                                              twips(240, r.top, r.labelWidth, 255)));
        w.txtsetValue.set(r.index, textBox(f, member("txtsetValue", r.index), QString::fromLatin1(r.initial),
                                           twips(1680, r.top, 975, 270)));
        w.Label2.set(r.hintIndex, label(f, member("Label2", r.hintIndex), tr(r.hint),
                                        QRect(px(r.hintLeft), px(r.hintTop), 0, 0), kRed));
        w.cmdREAD.set(r.index,
                      button(f, member("cmdREAD", r.index), tr("读出"), twips(5520, r.buttonTop, 1215, 495)));
        w.cmdSet.set(r.index,
                     button(f, member("cmdSet", r.index), tr("设置"), twips(6840, r.buttonTop, 1215, 495)));
    }

    // Device address.
    f = w.Frame12;
    w.Label2.set(7, label(f, member("Label2", 7), tr("将地址       改为"), twips(360, 480, 1575, 255)));
    spaceLikeTheDesignFace(w.Label2(7));
    w.txtSetID.set(0, textBox(f, member("txtSetID", 0), QStringLiteral("1"), twips(960, 480, 435, 270)));
    w.txtSetID.set(1, textBox(f, member("txtSetID", 1), QStringLiteral("1"), twips(2280, 480, 555, 270)));
    w.Label2.set(13,
                 label(f, member("Label2", 13), tr("地址值范围为：1-250"), twips(360, 840, 1815, 255), kRed));
    w.cmdChangeID = button(f, QStringLiteral("cmdChangeID"), tr("执行"), twips(4080, 240, 1215, 495));
    w.cmdReadAdd = button(f, QStringLiteral("cmdReadAdd"), tr("读地址"), twips(5520, 240, 1215, 495));

    // Command observation window.
    f = w.Frame1;
    w.Label1 = label(f, QStringLiteral("Label1"), tr("发送命令:"), twips(120, 240, 855, 255));
    w.txtCommand = textBox(f, QStringLiteral("txtCommand"), QString(), twips(960, 240, 4575, 315));
    w.Label7 = label(f, QStringLiteral("Label7"), tr("接收命令:"), twips(120, 600, 855, 255));
    w.txtState = named(new ReplyBox(f), QStringLiteral("txtState"));
    w.txtState->setGeometry(twips(960, 600, 14055, 855));
    w.txtState->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A screen reader names each box by the label before it, not by the group around it.
    w.Label1->setBuddy(w.txtCommand);
    w.Label7->setBuddy(w.txtState);

    // Temperature two-point calibration.
    f = w.frame3;
    w.lblAlarm.set(6, label(f, member("lblAlarm", 6), tr("低温点"), twips(120, 600, 615, 255), kRed));
    w.Line1.set(2, named(new LineShape(f, {720, 240}, {720, 1200}, kRed), member("Line1", 2)));
    w.Label2.set(5,
                 label(f, member("Label2", 5),
                       tr("1.将PT100放入低温环境中，比如度冰水混合物中，用精确的万用表量出此时的电阻值 RL="),
                       twips(840, 240, 5415, 615)));
    w.txtRL = textBox(f, QStringLiteral("txtRL"), QStringLiteral("100"), twips(2760, 480, 735, 270));
    w.Label14 =
        label(f, QStringLiteral("Label14"), tr("2.在相同的低温环境中，接到设备上，读出此时的电阻值 RA="),
              twips(840, 840, 4215, 495));
    w.txtRA = textBox(f, QStringLiteral("txtRA"), QStringLiteral("0"), twips(1680, 1080, 1095, 270));
    w.cmdRead0 = button(f, QStringLiteral("cmdRead0"), tr("读阻值", "RA"), twips(5160, 840, 1095, 375));
    w.lblAlarm.set(7, label(f, member("lblAlarm", 7), tr("高温点"), twips(120, 1920, 615, 255), kRed));
    w.Line1.set(1, named(new LineShape(f, {720, 1800}, {720, 2280}, kRed), member("Line1", 1)));
    w.Label9 = label(f, QStringLiteral("Label9"),
                     tr("1.将PT100放入高温环境中，比如60度，用精确万用表量出此时的电阻值  RH="),
                     twips(840, 1680, 5175, 495));
    w.TXTRH = textBox(f, QStringLiteral("TXTRH"), QStringLiteral("138.5"), twips(2160, 1920, 735, 270));
    w.Label10 =
        label(f, QStringLiteral("Label10"), tr("2.在相同的高温环境中，接到设备上，读出此时的电阻值 RB="),
              twips(840, 2280, 3375, 495));
    w.txtRB = textBox(f, QStringLiteral("txtRB"), QStringLiteral("0"), twips(2520, 2520, 1095, 270));
    w.txtRead100 = button(f, QStringLiteral("txtRead100"), tr("读阻值", "RB"), twips(5040, 2280, 1095, 375));
    w.Label12 = label(f, QStringLiteral("Label12"), tr("斜率计算公式：LA=(RH-RL)/(RA-RB)"),
                      twips(6720, 240, 3135, 255));
    w.Label13 =
        label(f, QStringLiteral("Label13"), tr("偏移量计算公式：OF=RH-RB*LA"), twips(6720, 480, 3135, 255));
    w.lblAlarm.set(0, label(f, member("lblAlarm", 0), tr("斜率   LA="), twips(6720, 840, 1095, 255)));
    w.txtsetValue.set(4, textBox(f, member("txtsetValue", 4), QStringLiteral("1"), twips(7680, 840, 975, 270)));
    w.cmdREAD.set(4, button(f, member("cmdREAD", 4), tr("读出"), twips(9120, 720, 975, 375)));
    w.cmdSet.set(4, button(f, member("cmdSet", 4), tr("设置"), twips(10440, 720, 975, 375)));
    w.lblAlarm.set(4, label(f, member("lblAlarm", 4),
                            tr("此值为10000时，实际系数为1，LA'=LA/10000(值范围为5000-15000)"),
                            twips(6720, 1200, 5655, 255)));
    w.lblAlarm.set(1, label(f, member("lblAlarm", 1), tr("偏移量 OF="), twips(6720, 1650, 975, 255)));
    w.txtsetValue.set(5, textBox(f, member("txtsetValue", 5), QStringLiteral("1"), twips(7680, 1560, 975, 270)));
    w.cmdREAD.set(5, button(f, member("cmdREAD", 5), tr("读出"), twips(9120, 1560, 975, 375)));
    w.cmdSet.set(5, button(f, member("cmdSet", 5), tr("设置"), twips(10440, 1560, 975, 375)));
    w.lblAlarm.set(5, label(f, member("lblAlarm", 5),
                            tr("此值为5000时实际偏移量为0欧，实际偏移量为LF'=(5000-LF)/100欧,值范围为0-9500"),
                            twips(6720, 2040, 4815, 495)));
    w.cmdCatalute = button(f, QStringLiteral("cmdCatalute"), tr("计数参数"), twips(10200, 2280, 1215, 495));
    w.Line2 = named(new LineShape(f, {6600, 720}, {6600, 2640}, Qt::black), QStringLiteral("Line2"));

    fullWordings();
}

void MainWindow::fullWordings() {
    // Captions that a translation shortens to fit their designed place: the full wording
    // becomes the tool tip. The designed window has no such tips, and a caption without a
    // translation of its full wording gets none.
    const Window& w = w_;
    struct Source {
        const char* text;
        const char* comment;
    };
    struct Caption {
        QWidget* control;
        Source source;
    };
    const Caption captions[] = {
        {w.Label8(0), QT_TRANSLATE_NOOP3("MainWindow", "设备地址", "full wording")},
        {w.Label8(3), QT_TRANSLATE_NOOP3("MainWindow", "功 能 码", "full wording")},
        {w.Label8(1), QT_TRANSLATE_NOOP3("MainWindow", "超始地址", "full wording")},
        {w.Label8(2), QT_TRANSLATE_NOOP3("MainWindow", "数据长度", "full wording")},
        {w.Label3, QT_TRANSLATE_NOOP3("MainWindow", "串口号", "full wording")},
        {w.Label5(2), QT_TRANSLATE_NOOP3("MainWindow", "波特率", "full wording")},
        {w.cmdCom, QT_TRANSLATE_NOOP3("MainWindow", "保存设置", "full wording")},
        {w.lblDanWei(2), QT_TRANSLATE_NOOP3("MainWindow", "水  分", "full wording")},
        {w.lblDanWei(1), QT_TRANSLATE_NOOP3("MainWindow", "温  度", "full wording")},
        {w.lblDanWei(5), QT_TRANSLATE_NOOP3("MainWindow", "水分量程缩放系数", "full wording")},
        {w.Label8(4), QT_TRANSLATE_NOOP3("MainWindow", "定时时长(ms)", "full wording")},
        {w.lblsetValue(0), QT_TRANSLATE_NOOP3("MainWindow", "水分量程缩放系数", "full wording")},
        {w.lblsetValue(1), QT_TRANSLATE_NOOP3("MainWindow", "水分偏移校准值", "full wording")},
        {w.lblsetValue(2), QT_TRANSLATE_NOOP3("MainWindow", "水分最大值", "full wording")},
        {w.lblsetValue(3), QT_TRANSLATE_NOOP3("MainWindow", "水分最小值", "full wording")},
        {w.lblsetValue(4), QT_TRANSLATE_NOOP3("MainWindow", "硬件量程设置", "full wording")},
        {w.Label2(7), QT_TRANSLATE_NOOP3("MainWindow", "将地址       改为", "full wording")},
        {w.Label2(13), QT_TRANSLATE_NOOP3("MainWindow", "地址值范围为：1-250", "full wording")},
        {w.cmdReadAdd, QT_TRANSLATE_NOOP3("MainWindow", "读地址", "full wording")},
        {w.Label1, QT_TRANSLATE_NOOP3("MainWindow", "发送命令:", "full wording")},
        {w.Label7, QT_TRANSLATE_NOOP3("MainWindow", "接收命令:", "full wording")},
        {w.lblAlarm(6), QT_TRANSLATE_NOOP3("MainWindow", "低温点", "full wording")},
        {w.lblAlarm(7), QT_TRANSLATE_NOOP3("MainWindow", "高温点", "full wording")},
        {w.Label2(5),
         QT_TRANSLATE_NOOP3("MainWindow",
                            "1.将PT100放入低温环境中，比如度冰水混合物中，用精确的万用表量出此时的电阻值 RL=",
                            "full wording")},
        {w.Label14, QT_TRANSLATE_NOOP3("MainWindow", "2.在相同的低温环境中，接到设备上，读出此时的电阻值 RA=",
                                       "full wording")},
        {w.cmdRead0, QT_TRANSLATE_NOOP3("MainWindow", "读阻值", "full wording")},
        {w.Label9, QT_TRANSLATE_NOOP3("MainWindow",
                                      "1.将PT100放入高温环境中，比如60度，用精确万用表量出此时的电阻值  RH=",
                                      "full wording")},
        {w.Label10, QT_TRANSLATE_NOOP3("MainWindow", "2.在相同的高温环境中，接到设备上，读出此时的电阻值 RB=",
                                       "full wording")},
        {w.txtRead100, QT_TRANSLATE_NOOP3("MainWindow", "读阻值", "full wording")},
        {w.Label12, QT_TRANSLATE_NOOP3("MainWindow", "斜率计算公式：LA=(RH-RL)/(RA-RB)", "full wording")},
        {w.Label13, QT_TRANSLATE_NOOP3("MainWindow", "偏移量计算公式：OF=RH-RB*LA", "full wording")},
        {w.lblAlarm(4),
         QT_TRANSLATE_NOOP3("MainWindow", "此值为10000时，实际系数为1，LA'=LA/10000(值范围为5000-15000)",
                            "full wording")},
        {w.lblAlarm(5),
         QT_TRANSLATE_NOOP3("MainWindow",
                            "此值为5000时实际偏移量为0欧，实际偏移量为LF'=(5000-LF)/100欧,值范围为0-9500",
                            "full wording")},
        {w.cmdCatalute, QT_TRANSLATE_NOOP3("MainWindow", "计数参数", "full wording")},
    };
    for (const Caption& c : captions) {
        const QString full = tr(c.source.text, c.source.comment);
        if (full != QString::fromUtf8(c.source.text)) c.control->setToolTip(full);
    }
}

void MainWindow::wire() {
    Window& w = w_;
    w.MSComm1->setOnComm([&w] { onComm(w); });
    connect(w.Combo1, &QComboBox::activated, this, [&w](int) { portChoice(w); });
    connect(w.cmdCom, &QPushButton::clicked, this, [&w] { saveSettings(w); });
    connect(w.comDoOnce, &QPushButton::clicked, this, [&w] { singleMeasurement(w); });
    connect(w.cmdOneM, &QPushButton::clicked, this, [&w] { startCycle(w); });
    connect(w.cmdStopOnce, &QPushButton::clicked, this, [&w] { stopCycle(w); });
    connect(w.Timer2, &QTimer::timeout, this, [&w] { cycleTick(w); });
    for (int i = 0; i < w.cmdREAD.size(); ++i) {
        if (QPushButton* b = w.cmdREAD(i))
            connect(b, &QPushButton::clicked, this, [&w, i] { readParameter(w, i); });
        if (QPushButton* b = w.cmdSet(i))
            connect(b, &QPushButton::clicked, this, [&w, i] { writeParameter(w, i); });
    }
    connect(w.cmdReadAdd, &QPushButton::clicked, this, [&w] { readAddress(w); });
    connect(w.cmdChangeID, &QPushButton::clicked, this, [&w] { changeAddress(w); });
    connect(w.cmdRead0, &QPushButton::clicked, this, [&w] { readResistance(w, kTargetRA); });
    connect(w.txtRead100, &QPushButton::clicked, this, [&w] { readResistance(w, kTargetRB); });
    connect(w.cmdCatalute, &QPushButton::clicked, this, [&w] { computeCalibration(w); });
}

void MainWindow::load() { startUp(w_); }

void MainWindow::scrollable() {
    // The designed controls move onto one page the size of the whole design; the window
    // opens on its designed client region with a scroll bar beside it for the rest.
    const QList<QWidget*> controls = findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    // A page inside the window from the start: the controls keep the window's font and
    // palette as they move, instead of losing them and getting them back, laid out twice.
    auto* page = named(new QWidget(this), QStringLiteral("page"));
    for (QWidget* child : controls)
        child->setParent(page);
    page->setAutoFillBackground(true);
    page->setMinimumSize(twips(0, 0, 15315, 14295).size());
    for (QWidget* control : page->findChildren<QWidget*>()) {
        // The reply box keeps the wheel even at its end.
        if (qobject_cast<QAbstractScrollArea*>(control))
            control->setAttribute(Qt::WA_NoMousePropagation);
        // A list turns with the wheel only once chosen, so that scrolling the window past
        // the port list never picks another port.
        if (auto* list = qobject_cast<QComboBox*>(control)) {
            list->setFocusPolicy(Qt::StrongFocus);
            wheelOnlyWhenFocused(list);
        }
    }
    scroll_ = named(new QScrollArea(this), QStringLiteral("scroll"));
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setWidget(page);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll_);
    const QSize designed = twips(0, 0, 15315, 7830).size();
    resize(designed.width() + scroll_->verticalScrollBar()->sizeHint().width(), designed.height());
}

} // namespace kv
