// A window wired to the simulated adapter, with a small catalogue of test devices.
#pragma once

#include "adaptersim.h"
#include "scripteddialogs.h"
#include "uMain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QDir>
#include <QRegularExpression>
#include <functional>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace rig {

struct DeviceSpec {
    const char *file;
    QByteArray text;
};

// TestMega8 is the simulator's default chip: 1E 93 07, 8 KB, 64-byte pages, factory E1 D9,
// no extended fuse, two lock bits.
inline QList<DeviceSpec> testDevices()
{
    const QByteArray mega8Bits = "[fuse-bits]\n"
                                 "Low_0=CKSEL0|U\nLow_1=CKSEL1|P\nLow_2=CKSEL2|P\nLow_3=CKSEL3|P\n"
                                 "Low_4=SUT0|P\nLow_5=SUT1|U\nLow_6=BODEN|U\nLow_7=BODLEVEL|U\n"
                                 "High_0=BOOTRST|U\nHigh_1=BOOTSZ0|P\nHigh_2=BOOTSZ1|P\nHigh_3=EESAVE|U\n"
                                 "High_4=CKOPT|U\nHigh_5=SPIEN|P\nHigh_6=WDTON|U\nHigh_7=RSTDISBL|U\n"
                                 "[lock-bits]\nLock_0=LB1|U\nLock_1=LB2|U\n";
    auto config = [](const char *sig, const char *name, int page, int flash) {
        return QByteArray("[configuration]\n") + sig + "CPU_Name=" + name + "\nPage_Size=" + QByteArray::number(page)
               + "\nFlash_Size=" + QByteArray::number(flash) + "\n";
    };
    const char *sig8 = "Signature_000=$1E\nSignature_001=$93\nSignature_002=$07\n";
    const char *sigOther = "Signature_000=$1E\nSignature_001=$77\nSignature_002=$01\n";
    return {
        {"mega8.ini", config(sig8, "TestMega8", 64, 8192) + mega8Bits},
        {"big.ini", config("Signature_000=$1E\nSignature_001=$95\nSignature_002=$0F\n", "TestBig", 128, 32768)
                        + "[fuse-bits]\nLow_7=CKDIV8|P\nHigh_6=DWEN|U\nExt_0=BODLEVEL0|U\nExt_1=BODLEVEL1|P\n"},
        {"noflash.ini", config("Signature_000=$1E\nSignature_001=$78\nSignature_002=$02\n", "NoFlash", 64, 0)
                            + mega8Bits},
        {"page0.ini", config(sigOther, "Page0", 0, 4096) + mega8Bits},
        {"page256.ini", config(sigOther, "Page256", 256, 8192) + mega8Bits},
        {"f1000.ini", config(sigOther, "Flash1000", 64, 1000) + mega8Bits},
        {"f200.ini", config(sigOther, "Flash200", 64, 200) + mega8Bits},
        {"f100.ini", config(sigOther, "Flash100", 64, 100) + mega8Bits},
        {"huge.ini", config("Signature_000=$1E\nSignature_001=$7F\nSignature_002=$7F\n", "Huge", 128, 2147483647)
                         + mega8Bits},
    };
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

inline QString hexBytes(const std::uint8_t *data, int count)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QStringLiteral("%1").arg(data[i], 2, 16, QLatin1Char('0')).toUpper();
    return parts.join(' ');
}

inline QString hexBytes(const QByteArray &data)
{
    return hexBytes(reinterpret_cast<const std::uint8_t *>(data.constData()), int(data.size()));
}

class Rig {
public:
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<adaptersim::Simulator> sim;
    std::unique_ptr<TfmMain> w;

    explicit Rig(adaptersim::Options options = {})
    {
        QDir().mkpath(dir.filePath("cpu"));
        for (const DeviceSpec &d : testDevices())
            writeFile(dir.filePath(QStringLiteral("cpu/") + d.file), d.text);
        sim = std::make_unique<adaptersim::Simulator>(options);
        std::string error;
        if (!sim->start(&error))
            qFatal("simulator: %s", error.c_str());
        w = std::make_unique<TfmMain>(dir.path(), dialogs);
        w->PortName = port();
    }

    QString port() const { return QString::fromStdString(sim->devicePath()); }
    QString path(const QString &name) const { return dir.filePath(name); }

    QStringList wire() const
    {
        QStringList lines;
        for (const auto &l : sim->log())
            lines << QString::fromStdString(l);
        return lines;
    }
    // Only the blocks, without the page data.
    QStringList blocks() const { return wire().filter(QRegularExpression("^block ")); }

    QCheckBox *box(const QString &name) const { return w->findChild<QCheckBox *>(name); }
    QPushButton *findChild(const QString &name) const { return w->findChild<QPushButton *>(name); }

    // A choice in the chip list as the user makes it.
    void choose(const QString &text)
    {
        const int index = w->cbChips->findText(text);
        QVERIFY2(index >= 0, qPrintable(text));
        w->cbChips->setCurrentIndex(index);
        emit w->cbChips->activated(index);
    }

    void setChip(const std::function<void(adaptersim::Chip &)> &change)
    {
        auto chip = sim->chip();
        change(chip);
        sim->setChip(chip);
    }
    void setOptions(const std::function<void(adaptersim::Options &)> &change)
    {
        auto options = sim->options();
        change(options);
        sim->setOptions(options);
    }
};

}  // namespace rig
