// SPDX-License-Identifier: GPL-3.0-or-later
// Renders the main window to a PNG for the README: as it starts, or after a Read Chip
// against the simulated adapter with one bit changed by hand; "rescue": the chip read, Factory
// values chosen, and the Write Fuses confirmation that shows what the fuses will mean.
#include "dialogs.h"
#include "uMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace {

// Says Yes to the confirmation, so the "written" state needs no hand on the mouse; with real
// set, the confirmation is the real box (the "rescue" state photographs it and closes it).
struct YesDialogs : WidgetDialogs {
    bool real = false;
    bool confirm(QWidget *, const QString &) override { return true; }
    bool confirmDetails(QWidget *parent, const QString &text, const QString &informative) override
    {
        return real ? WidgetDialogs::confirmDetails(parent, text, informative) : true;
    }
};

// The screen's pixels under rect; the widget's own rendering where the screen gives none.
QPixmap shoot(QWidget &widget, const QRect &rect)
{
    QPixmap shot = widget.screen()->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height());
    if (shot.isNull() || shot.size().isEmpty())
        shot = widget.grab();
    return shot;
}

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(TARVANE_FILE_VERSION));
    QCommandLineParser parser;
    parser.addOption({"port", "serial port of the adapter", "path"});
    parser.addOption({"state", "start | read | edited | written | rescue", "state", "start"});
    parser.addOption({"out", "PNG file to write", "file", "window.png"});
    parser.addHelpOption();
    parser.process(app);

    YesDialogs dialogs;
    TfmMain window(QApplication::applicationDirPath(), dialogs);
    if (parser.isSet("port"))
        window.PortName = parser.value("port");
    window.show();
    if (parser.value("state") == "rescue")
        window.move(0, 0);  // room on the right for the confirmation
    const QString state = parser.value("state");
    QTimer::singleShot(300, [&] {
        if (state != "start")
            window.btRead->click();
        if (state == "rescue") {
            window.actFactoryValues->trigger();
            dialogs.real = true;
            // Once the confirmation is up, it goes beside the window, so both show whole.
            QTimer::singleShot(300, [&] {
                QWidget *box = QApplication::activeModalWidget();
                if (box)
                    box->move(window.frameGeometry().right() + 12, window.frameGeometry().top());
                QTimer::singleShot(300, [&, box] {
                    const QRect frame = window.frameGeometry();
                    const QRect area = box ? frame.united(box->frameGeometry()) : frame;
                    // The two on the window's own background, not on the bare screen around them.
                    QPixmap picture(area.size());
                    picture.fill(window.palette().color(QPalette::Window));
                    QPainter painter(&picture);
                    painter.drawPixmap(frame.topLeft() - area.topLeft(), shoot(window, frame));
                    if (box)
                        painter.drawPixmap(box->frameGeometry().topLeft() - area.topLeft(),
                                           shoot(*box, box->frameGeometry()));
                    painter.end();
                    picture.save(parser.value("out"));
                    if (box)
                        box->close();  // counts as No: nothing is written
                });
            });
            window.btWriteFuses->click();
            window.hide();
            app.quit();
            return;
        }
        if (state == "edited" || state == "written") {
            if (auto *box = window.findChild<QCheckBox *>("HighByte_Bit6"))
                box->click();
        }
        if (state == "written")
            window.btWriteFuses->click();
        QTimer::singleShot(300, [&] {
            shoot(window, window.frameGeometry()).save(parser.value("out"));
            window.hide();  // keeps the saved settings as they were
            app.quit();
        });
    });
    return app.exec();
}
