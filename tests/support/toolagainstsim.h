#pragma once
// The real window and its QSerialPort component against the virtual sensor on a pty, in
// a folder of their own whose comm.set names COM4 at 19200 baud.

#include "app/mainwindow.h"
#include "serial/qtserialcomm.h"
#include "support/fakes.h"
#include "support/simprocess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace kv::test {

class ToolAgainstSim : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QFile f(QDir(dir.path()).filePath(QStringLiteral("comm.set")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("4,19200\r\n");
    }

    QString link() const { return QDir(dir.path()).filePath(QStringLiteral("COM4")); }
    void startSim(const QStringList& extra = {}) { ASSERT_TRUE(sim.start(link(), extra)) << sim.output(); }

    void startTool() {
        port = std::make_unique<QtSerialComm>(dir.path());
        window = std::make_unique<MainWindow>(*port, boxes, dir.path());
        w = &window->context();
        window->load();
        ASSERT_TRUE(port->portOpen()) << boxes.texts();
        ASSERT_EQ(port->device(), link());
    }

    QTemporaryDir dir;
    SimProcess sim;
    RecordingBoxes boxes;
    std::unique_ptr<QtSerialComm> port;
    std::unique_ptr<MainWindow> window;
    Window* w = nullptr;
};

} // namespace kv::test
