// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up with a large device folder: writes N device files (10,000 unless given), then
// times the window's creation, which loads and sorts them all. Names come in an order that
// was the worst case for one sorted insertion after another.
#include "dialogs.h"
#include "uMain.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

namespace {

class SilentDialogs : public Dialogs {
public:
    void information(QWidget *, const QString &) override {}
    void error(QWidget *, const QString &) override {}
    bool confirm(QWidget *, const QString &) override { return false; }
    void applicationError(QWidget *, const QString &) override {}
    std::optional<QString> inputText(QWidget *, const QString &, const QString &, const QString &) override
    {
        return std::nullopt;
    }
    std::optional<QString> openFile(QWidget *, const FileDialogRequest &) override { return std::nullopt; }
    std::optional<QString> saveFile(QWidget *, const FileDialogRequest &) override { return std::nullopt; }
};

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int n = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10000;
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("cpu"));
    for (int i = 0; i < n; ++i) {
        QFile f(QDir(dir.path()).filePath(QStringLiteral("cpu/d%1.ini").arg(i)));
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        f.write("[configuration]\nSignature_000=$1E\nSignature_001=$93\nSignature_002=$07\nCPU_Name=ATmega"
                + QByteArray::number(n - i) + "\nPage_Size=64\nFlash_Size=8192\n");
    }
    SilentDialogs dialogs;
    QElapsedTimer timer;
    timer.start();
    TfmMain w(dir.path(), dialogs);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("device files: %d, list entries: %d, window created in %.3f s\n", n, w.cbChips->count(), seconds);
    return 0;
}
