// Parameter registers, device address and calibration, through the real window.
#include "support/windowfixture.h"

using namespace kv;
using namespace kv::test;

class DeviceTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        startOpen();
    }
    QString sent() const { return hexText(port.lastWrite()); }
    QString writeOf(int i, const QString& text) {
        port.writes.clear();
        w->txtsetValue(i)->setText(text);
        click(w->cmdSet(i));
        return sent();
    }
};

class ParameterRead : public DeviceTest {};

TEST_F(ParameterRead, FramesAndExpectation) {
    click(w->cmdREAD(0));
    EXPECT_EQ(sent(), "01 03 00 02 00 01 25 CA");
    EXPECT_EQ(w->CmdType, 2);
    EXPECT_EQ(w->ReadTarget, 0);
    EXPECT_EQ(w->RecLen, 7);
    EXPECT_EQ(port.threshold, 7);
    EXPECT_EQ(w->lampInFront(), w->ImgYellow);
    EXPECT_EQ(w->txtCommand->text(), "01 03 00 02 00 01 25 CA ");
    click(w->cmdREAD(6));
    EXPECT_EQ(sent(), "01 03 00 08 00 01 05 C8");
    w->txtStartID->setText("7");
    click(w->cmdREAD(6));
    EXPECT_EQ(port.lastWrite()[3], 15);
    // The start register is rounded down after the offset is added: 1.5 + 2 is 3, not 4.
    w->txtStartID->setText("1.5");
    click(w->cmdREAD(0));
    EXPECT_EQ(port.lastWrite()[3], 3);
    w->txtStartID->setText("0");
    w->txtFunID->setText("3.5");
    click(w->cmdREAD(1));
    EXPECT_EQ(port.lastWrite()[1], 4);
    w->txtFunID->setText("2.5");
    click(w->cmdREAD(1));
    EXPECT_EQ(port.lastWrite()[1], 2);
    w->txtStationID->clear();
    click(w->cmdREAD(1));
    EXPECT_EQ(port.lastWrite()[0], 0);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(ParameterRead, ClosedPort) {
    port.open = false;
    w->txtCommand->setText("previous");
    w->txtState->setPlainText("old");
    click(w->cmdREAD(5));
    EXPECT_EQ(messages(), QStringList{"打开串口出错，请确定串口是否已被占用"});
    EXPECT_EQ(w->ReadTarget, 5);
    EXPECT_FALSE(w->CommReady);
    EXPECT_EQ(w->lampInFront(), w->imgNotConnected);
    EXPECT_EQ(w->txtCommand->text(), "previous");
    EXPECT_TRUE(w->txtState->toPlainText().isEmpty());
}

TEST_F(ParameterRead, RepliesLandInEveryTarget) {
    const char* expected[] = {"1.0000", "10000", "10000", "10000", "10000", "10000", "10000"};
    for (int i = 0; i <= 6; ++i) {
        click(w->cmdREAD(i));
        port.deliver(hex("01 03 02 27 10 A2 78"));
        EXPECT_EQ(w->txtsetValue(i)->text(), expected[i]) << i;
        EXPECT_EQ(w->lampInFront(), w->imgConnected);
    }
    click(w->cmdRead0);
    port.deliver(hex("01 03 02 27 10 A2 78"));
    EXPECT_EQ(w->txtRA->text(), "100.00");
    click(w->txtRead100);
    port.deliver(hex("01 03 02 36 1A 2E 2F"));
    EXPECT_EQ(w->txtRB->text(), "138.50");
}

class ParameterWrite : public DeviceTest {};

TEST_F(ParameterWrite, DesignedFrames) {
    EXPECT_EQ(writeOf(0, "1.0000"), "01 06 0A 00 27 10 90 2E");
    EXPECT_EQ(w->CmdType, 3);
    EXPECT_EQ(w->RecLen, 6);
    EXPECT_EQ(port.threshold, 6);
    EXPECT_EQ(w->lampInFront(), w->imgConnected);
    EXPECT_EQ(writeOf(4, "10000"), "01 06 0A 08 27 10 11 EC");
    EXPECT_EQ(writeOf(5, "5000"), "01 06 0A 0A 13 88 A7 46");
    EXPECT_EQ(writeOf(2, "-1"), "01 06 0A 04 FF FF CA 63");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(ParameterWrite, ScalingFoldingAndRounding) {
    EXPECT_EQ(writeOf(0, "0.2").mid(12, 5), "07 D0");
    EXPECT_EQ(writeOf(0, "6.5535").mid(12, 5), "FF FF");
    EXPECT_EQ(writeOf(0, "-6.5535").mid(12, 5), "00 01");
    EXPECT_EQ(writeOf(2, "-65535").mid(12, 5), "00 01");
    EXPECT_EQ(writeOf(2, "65535").mid(12, 5), "FF FF");
    EXPECT_EQ(writeOf(1, "2.5").mid(12, 5), "00 02");
    EXPECT_EQ(writeOf(1, "3.5").mid(12, 5), "00 04");
    EXPECT_EQ(writeOf(3, " 1e3 ").mid(12, 5), "03 E8");
    // Scaled and folded in single precision, as typed: the same steps in double would
    // give 00 03, 4E 21 and FF FF.
    EXPECT_EQ(writeOf(0, "0.00025").mid(12, 5), "00 02");
    EXPECT_EQ(writeOf(0, "2.00015").mid(12, 5), "4E 22");
    EXPECT_EQ(writeOf(2, "-1.4999999").mid(12, 5), "FF FE");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(ParameterWrite, RefusesWhatNoFrameCanCarry) {
    w->CmdType = 0;
    w->txtCommand->setText("previous");
    for (const auto& [i, text] : {std::pair{2, "65536"}, {2, "-65536"}, {2, "abc"}, {2, ""}, {0, "6.5536"},
                                  {0, "-6.6"}, {1, "-0.3"}, {1, "1e10"}}) {
        boxes.shown.clear();
        EXPECT_EQ(writeOf(i, QString::fromLatin1(text)), "") << text;
        EXPECT_EQ(messages(), QStringList{"你输入的值有误!"}) << text;
    }
    EXPECT_EQ(w->CmdType, 0);
    EXPECT_EQ(w->txtCommand->text(), "previous");
    EXPECT_FALSE(port.ops.contains("Output"));
}

TEST_F(ParameterWrite, RefusesAnAddressThatIsNotAByte) {
    for (const char* address : {"x", "256", "-1", ""}) {
        boxes.shown.clear();
        w->txtStationID->setText(address);
        EXPECT_EQ(writeOf(2, "100"), "") << address;
        EXPECT_EQ(messages(), QStringList{"你输入的设备地址格式有误!"}) << address;
    }
    w->txtStationID->setText("255.9");
    EXPECT_EQ(writeOf(2, "100").left(2), "FF");
}

TEST_F(ParameterWrite, ClosedPortShowsTheFrameAndTheRedLamp) {
    port.open = false;
    w->txtsetValue(1)->setText("7");
    click(w->cmdSet(1));
    EXPECT_EQ(w->txtCommand->text().left(18), "01 06 0A 02 00 07 ");
    EXPECT_EQ(w->lampInFront(), w->imgNotConnected);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(w->CmdType, 3);
    EXPECT_EQ(port.threshold, 6);
}

class Address : public DeviceTest {
protected:
    QString change(const QString& from, const QString& to) {
        port.writes.clear();
        w->txtSetID(0)->setText(from);
        w->txtSetID(1)->setText(to);
        click(w->cmdChangeID);
        return sent();
    }
};

TEST_F(Address, ReadGoesToDevice250) {
    w->txtStationID->setText("9");
    click(w->cmdReadAdd);
    EXPECT_EQ(sent(), "FA 03 00 00 00 01 91 81");
    EXPECT_EQ(w->CmdType, 6);
    EXPECT_EQ(w->RecLen, 7);
    // The event waits for the whole reply, CRC included.
    EXPECT_EQ(port.threshold, 7);
    EXPECT_EQ(w->lampInFront(), w->imgConnected);
    port.deliver(hex("05 03 02 00 05 89"));
    EXPECT_EQ(w->RxCount, 0);
    port.deliver(hex("87"));
    EXPECT_EQ(w->txtState->toPlainText(), " 05 03 02 00 05 89 87");
    EXPECT_EQ(w->txtSetID(0)->text(), "5");
    EXPECT_EQ(w->txtStationID->text(), "5");
}

TEST_F(Address, ChangeFramesAndReply) {
    EXPECT_EQ(change("1", "5"), "01 06 0B 00 00 05 4B ED");
    EXPECT_EQ(w->CmdType, 5);
    EXPECT_EQ(w->RecLen, 6);
    EXPECT_EQ(port.threshold, 6);
    port.deliver(hex("01 06 01 05 00 00"));
    EXPECT_EQ(w->txtSetID(0)->text(), "5");
    EXPECT_EQ(w->txtStationID->text(), "5");
    EXPECT_EQ(change("2", "35"), "02 06 0B 00 00 23 CA 04");
    EXPECT_EQ(change("2", "35.9"), "02 06 0B 00 00 23 CA 04");
    EXPECT_EQ(change("200", "5").left(2), "C8");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Address, ChangeAnsweredByTheStandardEcho) {
    const QByteArray echo = hex("01 06 0B 00 00 05 4B ED");
    // The event comes at six bytes, with or without the CRC behind them.
    for (int length : {6, 7, 8, 10}) {
        SCOPED_TRACE(length);
        w->txtStationID->setText("1");
        w->txtSetID(0)->setText("1");
        change("1", "5");
        port.deliver((echo + hex("FF FF")).left(length));
        EXPECT_EQ(w->txtSetID(0)->text(), "5");
        EXPECT_EQ(w->txtStationID->text(), "5");
        EXPECT_EQ(w->lampInFront(), w->imgConnected);
    }
    // The echo of another request is no confirmation; byte 3 is read as designed.
    change("1", "5");
    port.deliver(hex("01 06 0B 00 00 06 0B EC"));
    EXPECT_EQ(w->txtStationID->text(), "0");
    // Not a read reply, so not checked: the designed reply with a broken CRC still counts.
    change("1", "9");
    port.deliver(hex("01 06 01 09 00 00"));
    EXPECT_EQ(w->txtStationID->text(), "9");
}

TEST_F(Address, Validation) {
    const QString range = QStringLiteral("请指定正确的设备地址，正确值范围为1-35");
    struct Case {
        const char* from;
        const char* to;
        QString message;
    };
    const Case cases[] = {
        {"x", "y", "你输入的原设备地址格式有误!"},
        {"", "5", "你输入的原设备地址格式有误!"},
        {"1", "", "你输入的目标设备地址格式有误!"},
        {"1", "36", range + "!"},
        {"1", "0", range},
        {"0", "5", range},
        {"1", "0.5", range},
        {"-1", "5", range},
        {"256", "5", range},
        {"1", "-2", range},
    };
    w->CmdType = 0;
    for (const Case& c : cases) {
        boxes.shown.clear();
        EXPECT_EQ(change(c.from, c.to), "") << c.from << " " << c.to;
        EXPECT_EQ(messages(), QStringList{c.message}) << c.from << " " << c.to;
    }
    EXPECT_EQ(w->CmdType, 0);
}

TEST_F(Address, ClosedPortShowsFramesWithoutSending) {
    port.open = false;
    click(w->cmdReadAdd);
    EXPECT_EQ(w->txtCommand->text(), "FA 03 00 00 00 01 91 81 ");
    EXPECT_EQ(w->lampInFront(), w->imgNotConnected);
    change("1", "5");
    EXPECT_EQ(w->txtCommand->text(), "01 06 0B 00 00 05 4B ED ");
    EXPECT_TRUE(port.writes.empty());
    EXPECT_TRUE(boxes.shown.empty());
}

class Calibration : public DeviceTest {
protected:
    std::pair<QString, QString> compute(const char* RL, const char* RH, const char* RA, const char* RB) {
        w->txtsetValue(4)->setText("1");
        w->txtsetValue(5)->setText("1");
        w->txtRL->setText(RL);
        w->TXTRH->setText(RH);
        w->txtRA->setText(RA);
        w->txtRB->setText(RB);
        click(w->cmdCatalute);
        return {w->txtsetValue(4)->text(), w->txtsetValue(5)->text()};
    }
    using Result = std::pair<QString, QString>;
};

TEST_F(Calibration, SlopeAndOffsetRegisters) {
    EXPECT_EQ(compute("100", "138.5", "100.00", "138.50"), Result("10000", "5000"));
    EXPECT_EQ(compute("100", "138.5", "99.50", "138.00"), Result("10000", "5050"));
    // OF is a hair above -0.6; its binary32 value is a hair below.
    EXPECT_EQ(compute("100", "138.5", "100.60", "139.10"), Result("10000", "4939"));
    EXPECT_EQ(compute("100", "138.5", "101.20", "140.90"), Result("9697", "5185"));
    EXPECT_EQ(compute("138.5", "100", "100", "138.5"), Result("-10000", "28850"));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Calibration, RefusalsWriteNothing) {
    EXPECT_EQ(compute("100", "138.5", "100", "100"), Result("1", "1"));
    EXPECT_EQ(messages().last(), "除数不能为零");
    EXPECT_EQ(compute("100", "138.5", "120", "100"), Result("1", "1"));
    EXPECT_EQ(messages().last(), "除数不能为零");
    for (const auto& fields : {std::array{"", "138.5", "100", "138.5"}, std::array{"100", "x", "100", "138.5"},
                               std::array{"100", "138.5", "1,5", "138.5"}, std::array{"100", "138.5", "100", "-"}}) {
        boxes.shown.clear();
        EXPECT_EQ(compute(fields[0], fields[1], fields[2], fields[3]), Result("1", "1"));
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_TRUE(boxes.shown[0].text.contains(QStringLiteral("电阻值"))) << boxes.shown[0].text;
    }
    boxes.shown.clear();
    EXPECT_EQ(compute("1e300", "-1e300", "0", "1e-300"), Result("1", "1"));
    EXPECT_EQ(boxes.shown.size(), 1u);
    // An offset beyond what binary32 holds is refused too, not cast.
    boxes.shown.clear();
    EXPECT_EQ(compute("1e39", "2e39", "0", "1"), Result("1", "1"));
    EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(Calibration, BothResistanceReadsSendTheSameFrame) {
    click(w->cmdRead0);
    EXPECT_EQ(sent(), "01 03 00 08 00 01 05 C8");
    EXPECT_EQ(w->ReadTarget, 7);
    EXPECT_EQ(w->RecLen, 7);
    EXPECT_EQ(w->lampInFront(), w->ImgYellow);
    click(w->txtRead100);
    EXPECT_EQ(sent(), "01 03 00 08 00 01 05 C8");
    EXPECT_EQ(w->ReadTarget, 8);
    w->txtStartID->setText("2");
    click(w->txtRead100);
    EXPECT_EQ(port.lastWrite()[3], 10);
    port.open = false;
    click(w->cmdRead0);
    EXPECT_EQ(messages(), QStringList{"打开串口出错，请确定串口是否已被占用"});
    EXPECT_EQ(w->ReadTarget, 7);
    EXPECT_FALSE(w->CommReady);
}
