// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs.h"
#include "uMain.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <cstdio>

namespace {

// For the install test only: with TARVANE_STARTUP_CHECK set, the window closes as soon as it
// has started (saving its settings as every close does) and what start-up found is printed.
void printStartupReport(const TfmMain &fmMain)
{
    QString report = QStringLiteral("settings: ") + fmMain.ConfigFile + QLatin1Char('\n');
    report += QStringLiteral("port: ") + fmMain.PortName + QLatin1Char('\n');
    for (int i = 0; i < fmMain.cbChips->count(); ++i)
        report += QStringLiteral("chip: ") + fmMain.cbChips->itemText(i) + QLatin1Char('\n');
    report += QStringLiteral("status: ") + fmMain.statusText() + QLatin1Char('\n');
    std::fputs(report.toLocal8Bit().constData(), stdout);
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
    const bool startupCheck = !qEnvironmentVariableIsEmpty("TARVANE_STARTUP_CHECK");
    if (startupCheck)
        QTimer::singleShot(0, &fmMain, &QWidget::close);
    const int result = app.exec();
    if (startupCheck)
        printStartupReport(fmMain);
    return result;
}
