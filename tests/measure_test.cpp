// "单次", "循环", "停止" and the cycle's ticks, through the real window.
#include "measure/measurement.h"
#include "support/windowfixture.h"

#include <QTimer>
#include <QtTest/QTest>

using namespace kv;
using namespace kv::test;

class SingleMeasurement : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        startOpen();
    }
    void measure() { click(w->comDoOnce); }
};

TEST_F(SingleMeasurement, DefaultFieldsSendTheDesignedFrame) {
    measure();
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(hexText(port.lastWrite()), "01 03 00 00 00 02 C4 0B");
    EXPECT_EQ(w->txtCommand->text(), "01 03 00 00 00 02 C4 0B ");
    EXPECT_EQ(w->SendBuf, w->txtCommand->text());
    EXPECT_EQ(w->RecLen, 9);
    EXPECT_EQ(w->CmdType, 1);
    EXPECT_EQ(port.threshold, 9);
    EXPECT_EQ(w->HiByte, 0xC4);
    EXPECT_EQ(w->LoByte, 0x0B);
    EXPECT_EQ(w->lampInFront(), w->ImgYellow);
    const QStringList expected = {"InBufferCount=0", "InputLen=0", "InputMode=1", "RThreshold=0", "RThreshold=9",
                                  "Output"};
    EXPECT_EQ(port.ops, expected);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SingleMeasurement, FieldsAreCheckedInOrder) {
    w->txtStationID->setText("a");
    w->txtFunID->setText("b");
    w->txtDataLength->setText("");
    w->txtStartID->setText("d");
    w->txtState->setPlainText("kept");
    measure();
    EXPECT_EQ(messages(), QStringList{"你输入的设备地址格式有误!"});
    w->txtStationID->setText("1");
    measure();
    EXPECT_EQ(messages().last(), "你输入的功能码格式有误!");
    w->txtFunID->setText("3");
    measure();
    EXPECT_EQ(messages().last(), "你输入的数据长度格式有误!");
    w->txtDataLength->setText("2");
    measure();
    EXPECT_EQ(messages().last(), "你输入的起始地址格式有误!");
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(w->txtState->toPlainText(), "kept");
    EXPECT_EQ(boxes.shown.back().title, kAppTitle);
}

TEST_F(SingleMeasurement, DataLengthIsBoundedAboveOnly) {
    w->txtDataLength->setText("7.9");
    measure();
    EXPECT_EQ(static_cast<unsigned char>(port.lastWrite()[5]), 7);
    EXPECT_EQ(w->RecLen, 19);

    w->txtState->setPlainText("kept");
    w->txtDataLength->setText("8");
    measure();
    EXPECT_EQ(messages(), QStringList{"你输入的数据长度格式有误,正确的值应该为1-7!"});
    EXPECT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(w->txtState->toPlainText(), "kept");

    for (const char* length : {"0", "-3"}) {
        w->txtDataLength->setText(length);
        measure();
        EXPECT_EQ(static_cast<unsigned char>(port.lastWrite()[5]), 0) << length;
        EXPECT_EQ(w->RecLen, 5) << length;
    }
}

TEST_F(SingleMeasurement, OutOfRangeBytesGoOutAsZeroWithoutAMessage) {
    w->txtStationID->setText("300");
    w->txtStartID->setText("-1");
    measure();
    const QByteArray f = port.lastWrite();
    EXPECT_EQ(f[0], 0);
    EXPECT_EQ(f[3], 0);
    EXPECT_TRUE(boxes.shown.empty());
    w->txtStationID->setText("2");
    w->txtStartID->setText("0");
    measure();
    EXPECT_EQ(hexText(port.lastWrite()), "02 03 00 00 00 02 C4 38");
}

TEST_F(SingleMeasurement, AddressStartAndLengthAreRoundedDown) {
    w->txtStationID->setText("2.7");
    w->txtStartID->setText("1.5");
    w->txtDataLength->setText("2.7");
    measure();
    const QByteArray f = port.lastWrite();
    EXPECT_EQ(f[0], 2);
    EXPECT_EQ(f[3], 1);
    EXPECT_EQ(f[5], 2);
}

TEST_F(SingleMeasurement, FunctionCodeRoundsHalfToEven) {
    w->txtFunID->setText("3.5");
    measure();
    EXPECT_EQ(port.lastWrite()[1], 4);
    w->txtFunID->setText("2.5");
    measure();
    EXPECT_EQ(port.lastWrite()[1], 2);
    w->txtFunID->setText(" 4e0 ");
    measure();
    EXPECT_EQ(port.lastWrite()[1], 4);
}

TEST_F(SingleMeasurement, ClosedPortGivesTheRedLampAndClearsCommReady) {
    port.open = false;
    w->txtState->setPlainText("old");
    w->txtCommand->setText("previous");
    measure();
    EXPECT_EQ(messages(), QStringList{"打开串口出错，请确定串口是否已被占用"});
    EXPECT_EQ(w->lampInFront(), w->imgNotConnected);
    EXPECT_FALSE(w->CommReady);
    EXPECT_TRUE(w->txtState->toPlainText().isEmpty());
    EXPECT_EQ(w->txtCommand->text(), "previous");
    EXPECT_FALSE(port.ops.contains("Output"));
}

class Cycle : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        startOpen();
    }
};

TEST_F(Cycle, StartResetsCountersAndArmsTheTimer) {
    w->RxCount = 40;
    click(w->cmdOneM);
    EXPECT_EQ(w->lblCounter->text(), "1");
    EXPECT_EQ(w->lblErrCounter->text(), "1");
    EXPECT_EQ(w->RxCount, 1);
    EXPECT_TRUE(w->Timer2->isActive());
    EXPECT_EQ(w->Timer2->interval(), 1000);
    cycleTick(*w);
    EXPECT_EQ(w->lblCounter->text(), "2");
    EXPECT_EQ(port.writes.size(), 1u);
    click(w->comDoOnce); // a click during the cycle is not counted
    EXPECT_EQ(w->lblCounter->text(), "2");
    EXPECT_EQ(port.writes.size(), 2u);
    click(w->cmdStopOnce);
    EXPECT_FALSE(w->Timer2->isActive());
    EXPECT_EQ(w->lblCounter->text(), "2");
}

TEST_F(Cycle, PeriodChecks) {
    w->txtTimerSet->setText("49");
    click(w->cmdOneM);
    EXPECT_EQ(messages().last(), "你输入的定时时长格式有误，应该为数字，值范围为50-60000!");
    EXPECT_FALSE(w->Timer2->isActive());
    EXPECT_EQ(w->lblCounter->text(), "1"); // reset before the check
    w->txtTimerSet->setText("abc");
    click(w->cmdOneM);
    EXPECT_EQ(messages().last(), "你输入的定时时长格式有误，应该为数字，值范围为100-60000!");
    for (const auto& [text, period] : {std::pair{"50", 50}, {"60000", 60000}, {"60000.6", 60001}, {"50.5", 50}}) {
        w->txtTimerSet->setText(text);
        click(w->cmdOneM);
        EXPECT_TRUE(w->Timer2->isActive()) << text;
        EXPECT_EQ(w->Timer2->interval(), period) << text;
    }
    // A rejected period leaves a running cycle at its old period.
    w->txtTimerSet->setText("60001");
    click(w->cmdOneM);
    EXPECT_TRUE(w->Timer2->isActive());
    EXPECT_EQ(w->Timer2->interval(), 50);
    EXPECT_EQ(boxes.shown.size(), 3u);
}

TEST_F(Cycle, CounterWrapsAfter65535) {
    w->lblCounter->setText("65536");
    cycleTick(*w);
    EXPECT_EQ(w->lblCounter->text(), "1");
    w->CommReady = false;
    w->lblCounter->setText("65536");
    cycleTick(*w);
    EXPECT_EQ(w->lblCounter->text(), "0");
    w->lblCounter->setText("65535");
    w->CommReady = true;
    cycleTick(*w);
    EXPECT_EQ(w->lblCounter->text(), "65536");
}

TEST_F(Cycle, EmptiedDataLengthBecomesOneRegister) {
    w->txtDataLength->clear();
    cycleTick(*w);
    EXPECT_EQ(w->txtDataLength->text(), "1");
    EXPECT_EQ(hexText(port.lastWrite()).left(17), "01 03 00 00 00 01");
    EXPECT_EQ(w->RecLen, 7);
}

TEST_F(Cycle, TicksAreGatedByCommReady) {
    click(w->cmdOneM);
    port.open = false;
    cycleTick(*w);
    EXPECT_EQ(messages(), QStringList{"打开串口出错，请确定串口是否已被占用"});
    EXPECT_FALSE(w->CommReady);
    const QString counted = w->lblCounter->text();
    cycleTick(*w);
    cycleTick(*w);
    EXPECT_EQ(w->lblCounter->text(), counted);
    EXPECT_EQ(boxes.shown.size(), 1u);
    // The cycle keeps running, silent, until the port is chosen again.
    EXPECT_TRUE(w->Timer2->isActive());
    // A port choice makes the cycle send again.
    emit w->Combo1->activated(3);
    cycleTick(*w);
    EXPECT_EQ(w->lblCounter->text(), QString::number(counted.toInt() + 1));
    EXPECT_EQ(port.writes.size(), 1u);
}

TEST_F(Cycle, ATickRefusedByItsFieldsStopsTheCycleBeforeItsMessage) {
    struct Case {
        QLineEdit* field;
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {w->txtStationID, "x", "你输入的设备地址格式有误!"},
        {w->txtFunID, "x", "你输入的功能码格式有误!"},
        {w->txtStartID, "x", "你输入的起始地址格式有误!"},
        {w->txtDataLength, "9", "你输入的数据长度格式有误,正确的值应该为1-7!"},
    };
    bool runningWhileShown = true;
    boxes.holdUntil = [&] {
        runningWhileShown = w->Timer2->isActive();
        return true;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const QString good = c.field->text();
        click(w->cmdOneM);
        ASSERT_TRUE(w->Timer2->isActive());
        c.field->setText(QString::fromUtf8(c.text));
        boxes.shown.clear();
        cycleTick(*w);
        EXPECT_EQ(messages(), QStringList{QString::fromUtf8(c.message)});
        EXPECT_FALSE(runningWhileShown);
        EXPECT_FALSE(w->Timer2->isActive());
        // Counted as designed: the tick raised the request counter before its checks.
        EXPECT_EQ(w->lblCounter->text(), "2");
        EXPECT_EQ(w->lblErrCounter->text(), "1");
        c.field->setText(good);
    }
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(Cycle, MalformedLengthStopsTheRealCycleAfterOneMessageAndAFixedOneRuns) {
    w->txtTimerSet->setText("50");
    w->txtDataLength->setText("9");
    click(w->cmdOneM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 10000));
    EXPECT_FALSE(w->Timer2->isActive());
    EXPECT_EQ(messages(), QStringList{"你输入的数据长度格式有误,正确的值应该为1-7!"});
    EXPECT_EQ(w->lblCounter->text(), "2");
    EXPECT_TRUE(port.writes.empty());

    // The operator corrects the field and starts the cycle again.
    w->txtDataLength->setText("2");
    click(w->cmdOneM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return port.writes.size() >= 3; }, 10000));
    click(w->cmdStopOnce);
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(hexText(port.lastWrite()), "01 03 00 00 00 02 C4 0B");
}

TEST_F(Cycle, ClosedPortBoxNeverStacksUnderARunningCycle) {
    // Ticks that reach the window while a tick's box is open (its own event loop
    // delivers them) are held back: they neither count, send nor raise a box.
    QStringList countedWhileOpen;
    boxes.holdUntil = [&] {
        for (int i = 0; i < 5; ++i) {
            cycleTick(*w);
            countedWhileOpen << w->lblCounter->text();
        }
        return true;
    };
    click(w->cmdOneM);
    port.open = false;
    cycleTick(*w);
    EXPECT_EQ(messages(), QStringList{"打开串口出错，请确定串口是否已被占用"});
    EXPECT_EQ(boxes.mostOpenAtOnce, 1);
    EXPECT_EQ(countedWhileOpen, QStringList({"2", "2", "2", "2", "2"}));
    EXPECT_TRUE(w->Timer2->isActive());
}

TEST_F(Cycle, AFieldMessageFromTheButtonLeavesTheCycleRunning) {
    click(w->cmdOneM);
    w->txtStationID->setText("x");
    click(w->comDoOnce);
    EXPECT_EQ(messages(), QStringList{"你输入的设备地址格式有误!"});
    EXPECT_TRUE(w->Timer2->isActive());
}

TEST_F(Cycle, ABoxRaisedByAButtonDoesNotHoldTheCycle) {
    w->txtTimerSet->setText("50");
    click(w->cmdOneM);
    const int before = w->lblCounter->text().toInt();
    boxes.holdUntil = [&] { return w->lblCounter->text().toInt() >= before + 3; };
    w->txtsetValue(2)->setText("abc");
    click(w->cmdSet(2));
    click(w->cmdStopOnce);
    EXPECT_EQ(messages(), QStringList{"你输入的值有误!"});
    EXPECT_FALSE(boxes.heldToDeadline);
    EXPECT_GE(port.writes.size(), 3u);
}

TEST_F(Cycle, RunsOnTheRealTimerWithBothCountersMoving) {
    w->txtTimerSet->setText("50");
    click(w->cmdOneM);
    // Answer every request as a sensor would.
    int answered = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            while (answered < static_cast<int>(port.writes.size())) {
                port.deliver(hex("01 03 04 0B B8 09 C4 7F F1"));
                ++answered;
            }
            return answered >= 3;
        },
        10000));
    click(w->cmdStopOnce);
    EXPECT_GE(w->lblCounter->text().toInt(), 4);
    EXPECT_GE(w->lblErrCounter->text().toInt(), 4);
    EXPECT_EQ(w->txtValue(0)->text(), "30.00");
    EXPECT_EQ(w->txtValue(1)->text(), "25.00");
}
