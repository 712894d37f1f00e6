#include "dialogs.h"
#include "uMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The version the executable carries, read back at run time by the about box.
    QApplication::setApplicationVersion(QStringLiteral(TARVANE_FILE_VERSION));
    WidgetDialogs dialogs;
    TfmMain fmMain(QApplication::applicationDirPath(), dialogs);
    fmMain.show();
    return app.exec();
}
