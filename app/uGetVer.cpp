// SPDX-License-Identifier: GPL-3.0-or-later
#include "uGetVer.h"

#include <QCoreApplication>

QString GetVersionString()
{
    // The entry point stamps the executable's own version into the application object.
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("0.0.0.0") : version;
}
