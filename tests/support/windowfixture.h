#pragma once
// The real window, offscreen, over a fake port and recording message boxes.

#include "app/mainwindow.h"
#include "support/fakes.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace kv::test {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        window = std::make_unique<MainWindow>(port, boxes, dir.path());
        w = &window->context();
    }

    QString settingsPath() const { return QDir(dir.path()).filePath(QStringLiteral("comm.set")); }

    void writeSettings(const QByteArray& content) {
        QFile f(settingsPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }

    QByteArray readSettings() const {
        QFile f(settingsPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    void loadWith(const QByteArray& content) {
        writeSettings(content);
        window->load();
    }

    // Start-up from "4,19200" with the port open, and a clean record.
    void startOpen() {
        loadWith("4,19200\r\n");
        ASSERT_TRUE(port.open);
        port.ops.clear();
        boxes.shown.clear();
    }

    void click(QPushButton* b) { b->click(); }

    QStringList messages() const { return boxes.texts(); }

    QTemporaryDir dir;
    FakeComm port;
    RecordingBoxes boxes;
    std::unique_ptr<MainWindow> window;
    Window* w = nullptr;
};

} // namespace kv::test
