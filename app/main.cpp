// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs.h"
#include "uMain.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <cstdio>

namespace {

// For the install test and the Windows test only: with TARVANE_STARTUP_CHECK set, the window
// closes as soon as it has started (saving its settings as every close does) and what start-up
// found is printed. With the value "read" it first waits until the window is on the screen
// (10 s at most), then clicks Read Chip, and the report tells what the read showed.
void printStartupReport(const TfmMain &fmMain, bool shown, bool read)
{
    QString report = QStringLiteral("settings: ") + fmMain.ConfigFile + QLatin1Char('\n');
    report += QStringLiteral("port: ") + fmMain.PortName + QLatin1Char('\n');
    for (int i = 0; i < fmMain.cbChips->count(); ++i)
        report += QStringLiteral("chip: ") + fmMain.cbChips->itemText(i) + QLatin1Char('\n');
    report += QStringLiteral("status: ") + fmMain.statusText() + QLatin1Char('\n');
    if (read) {
        report += QStringLiteral("shown: ") + (shown ? QStringLiteral("yes") : QStringLiteral("no")) + QLatin1Char('\n');
        report += QStringLiteral("signature: ") + fmMain.leSignature->text() + QLatin1Char('\n');
        report += QStringLiteral("device: ") + fmMain.leDeviceName->text() + QLatin1Char('\n');
    }
    std::fputs(report.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The version the executable carries, read back at run time by the about box.
    QApplication::setApplicationVersion(QStringLiteral(TARVANE_FILE_VERSION));
    WidgetDialogs dialogs;
    // The folder of the executable itself, links resolved: an installed /usr/bin/tarvane is a
    // link to the program beside its device folder and converter.
    TfmMain fmMain(QApplication::applicationDirPath(), dialogs);
    fmMain.show();
    const QString check = qEnvironmentVariable("TARVANE_STARTUP_CHECK");
    const bool readCheck = check == QLatin1String("read");
    bool shown = false;
    QTimer poll;
    QElapsedTimer waited;
    if (readCheck) {
        waited.start();
        QObject::connect(&poll, &QTimer::timeout, &fmMain, [&] {
            shown = fmMain.windowHandle() && fmMain.windowHandle()->isExposed();
            if (!shown && waited.elapsed() < 10000)
                return;
            poll.stop();
            if (shown)
                fmMain.btRead->click();
            fmMain.close();
        });
        poll.start(50);
    } else if (!check.isEmpty()) {
        QTimer::singleShot(0, &fmMain, &QWidget::close);
    }
    const int result = app.exec();
    if (!check.isEmpty())
        printStartupReport(fmMain, shown, readCheck);
    return result;
}
