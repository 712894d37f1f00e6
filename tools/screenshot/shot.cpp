// SPDX-License-Identifier: GPL-3.0-or-later
// Renders the main window to a PNG for the README: as it starts, or after a Read Chip
// against the simulated adapter with one bit changed by hand.
#include "dialogs.h"
#include "uMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace {

// Says Yes to the confirmation, so the "written" state needs no hand on the mouse.
struct YesDialogs : WidgetDialogs {
    bool confirm(QWidget *, const QString &) override { return true; }
    bool confirmDetails(QWidget *, const QString &, const QString &) override { return true; }
};

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(TARVANE_FILE_VERSION));
    QCommandLineParser parser;
    parser.addOption({"port", "serial port of the adapter", "path"});
    parser.addOption({"state", "start | read | edited | written", "state", "start"});
    parser.addOption({"out", "PNG file to write", "file", "window.png"});
    parser.addHelpOption();
    parser.process(app);

    YesDialogs dialogs;
    TfmMain window(QApplication::applicationDirPath(), dialogs);
    if (parser.isSet("port"))
        window.PortName = parser.value("port");
    window.show();
    const QString state = parser.value("state");
    QTimer::singleShot(300, [&] {
        if (state != "start")
            window.btRead->click();
        if (state == "edited" || state == "written") {
            if (auto *box = window.findChild<QCheckBox *>("HighByte_Bit6"))
                box->click();
        }
        if (state == "written")
            window.btWriteFuses->click();
        QTimer::singleShot(300, [&] {
            const QRect frame = window.frameGeometry();
            QPixmap shot = window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
            if (shot.isNull() || shot.size().isEmpty())
                shot = window.grab();
            shot.save(parser.value("out"));
            window.hide();  // keeps the saved settings as they were
            app.quit();
        });
    });
    return app.exec();
}
