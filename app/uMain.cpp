// SPDX-License-Identifier: GPL-3.0-or-later
#include "uMain.h"

#include "chiplist.h"
#include "exchange.h"
#include "loader.h"
#include "paths.h"
#include "portdevice_list.h"
#include "settings.h"
#include "uGetVer.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <limits>

namespace {

constexpr int kClientWidth = 556;
constexpr int kClientHeight = 357;

template <typename W>
W *place(QWidget *parent, const char *name, int left, int top, int width, int height)
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    w->setGeometry(left, top, width, height);
    return w;
}

QLabel *label(QWidget *parent, const char *name, const QString &text, int left, int top, int width, int height,
              Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter)
{
    auto *l = place<QLabel>(parent, name, left, top, width, height);
    l->setText(text);
    l->setAlignment(align);
    return l;
}

void fitLabel(QLabel *l)
{
    const int width = l->fontMetrics().horizontalAdvance(l->text());
    if (width <= l->width())
        return;
    QRect r = l->geometry();
    if (l->alignment() & Qt::AlignRight)
        r.setLeft(r.right() + 1 - width);
    else
        r.setWidth(width);
    l->setGeometry(r);
}

QPushButton *button(QWidget *parent, const char *name, const QString &text, int left, int top, int width,
                    int height, bool enabled)
{
    auto *b = place<QPushButton>(parent, name, left, top, width, height);
    b->setText(text);
    b->setEnabled(enabled);
    b->setAutoDefault(false);
    return b;
}

QLineEdit *labelledEdit(QWidget *parent, const char *name, const QString &caption, int left, int top, int width,
                        int height)
{
    auto *edit = place<QLineEdit>(parent, name, left, top, width, height);
    edit->setReadOnly(true);
    // Read-only boxes wear the button face, as the information fields they are.
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    edit->setPalette(palette);
    auto *l = label(parent, (QByteArray(name) + "Label").constData(), caption, left, top - 16, width, 13);
    l->setBuddy(edit);
    return edit;
}

}  // namespace

// The window's answers to the operations: its boxes, its status bar, its progress bar.
class WindowFaces : public core::Confirmation, public core::Progress, public core::StatusText, public core::Messages {
public:
    explicit WindowFaces(TfmMain &w) : w(w) {}
    bool confirm(const QString &question, const QString &informative) override
    {
        return informative.isEmpty() ? w.dlg.confirm(&w, question) : w.dlg.confirmDetails(&w, question, informative);
    }
    void start(qint64 maximum, int step) override { w.setProgress(maximum, step); }
    void step() override { w.stepProgress(); }
    void reset() override { w.resetProgress(); }
    void status(const QString &text) override { w.setStatus(text); }
    void information(const QString &text) override { w.dlg.information(&w, text); }
    void error(const QString &text) override { w.dlg.error(&w, text); }
    void applicationError(const QString &text) override { w.dlg.applicationError(&w, text); }

private:
    TfmMain &w;
};

QFont TfmMain::windowFont(int pixelSize)
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    return font;
}

TfmMain::TfmMain(const QString &baseDir, Dialogs &dialogs, QWidget *parent)
    : QMainWindow(parent), BaseDir(QDir(baseDir).absolutePath()), dlg(dialogs),
      Face(std::make_unique<WindowFaces>(*this))
{
    setObjectName(QStringLiteral("fmMain"));
    buildWindow();
    FormCreate();
}

TfmMain::~TfmMain() = default;

void TfmMain::buildWindow()
{
    setWindowTitle(QStringLiteral("AVR Tarvane"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    setFont(windowFont(11));

    auto *menu = new QMenuBar(this);
    menu->setObjectName(QStringLiteral("MainMenu1"));
    QMenu *file = menu->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("File1"));
    QAction *options = file->addAction(QStringLiteral("Options"), this, &TfmMain::Options1Click);
    options->setObjectName(QStringLiteral("Options1"));
    actFastTransfers = file->addAction(QStringLiteral("Fast transfers"), this, &TfmMain::FastTransfersClick);
    actFastTransfers->setObjectName(QStringLiteral("actFastTransfers"));
    actFastTransfers->setCheckable(true);
    actFastTransfers->setChecked(FastTransfers);
    actVerifyAfterWriting = file->addAction(QStringLiteral("Verify after writing"), this, &TfmMain::VerifyAfterWritingClick);
    actVerifyAfterWriting->setObjectName(QStringLiteral("actVerifyAfterWriting"));
    actVerifyAfterWriting->setCheckable(true);
    actVerifyAfterWriting->setChecked(VerifyAfterWriting);
    file->addSeparator();
    QAction *exit = file->addAction(QStringLiteral("Exit"), this, &TfmMain::Exit1Click);
    exit->setObjectName(QStringLiteral("Exit1"));
    QMenu *edit = menu->addMenu(QStringLiteral("Edit"));
    edit->setObjectName(QStringLiteral("Edit1"));
    actFactoryValues = edit->addAction(QStringLiteral("Factory values"), this, &TfmMain::FactoryValuesClick);
    actFactoryValues->setObjectName(QStringLiteral("actFactoryValues"));
    actFactoryValues->setEnabled(false);  // until a device is in force
    QMenu *eeprom = menu->addMenu(QStringLiteral("EEPROM"));
    eeprom->setObjectName(QStringLiteral("Eeprom1"));
    actWriteEeprom = eeprom->addAction(QStringLiteral("Write EEPROM..."), this, &TfmMain::WriteEepromClick);
    actWriteEeprom->setObjectName(QStringLiteral("actWriteEeprom"));
    actVerifyEeprom = eeprom->addAction(QStringLiteral("Verify EEPROM..."), this, &TfmMain::VerifyEepromClick);
    actVerifyEeprom->setObjectName(QStringLiteral("actVerifyEeprom"));
    actReadEeprom = eeprom->addAction(QStringLiteral("Read EEPROM..."), this, &TfmMain::ReadEepromClick);
    actReadEeprom->setObjectName(QStringLiteral("actReadEeprom"));
    for (QAction *a : {actWriteEeprom, actVerifyEeprom, actReadEeprom})
        a->setEnabled(false);  // with the operation controls
    QMenu *help = menu->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("Help1"));
    QAction *about = help->addAction(QStringLiteral("About"), this, &TfmMain::About1Click);
    about->setObjectName(QStringLiteral("About1"));
    setMenuBar(menu);

    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);

    // The boxes are made in the window's tab order: Fuses, ProgressBar1, GroupBox1,
    // GroupBox2, GroupBox3.
    // Bit panel
    Fuses = place<QGroupBox>(client, "Fuses", 144, 0, 409, 249);
    Fuses->setTitle(QStringLiteral(" Fuses "));
    buildBitPanel();
    Fuses->setContextMenuPolicy(Qt::ActionsContextMenu);
    Fuses->addAction(actFactoryValues);

    ProgressBar1 = place<QProgressBar>(client, "ProgressBar1", 310, 342, 244, 13);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    // Chip
    GroupBox1 = place<QGroupBox>(client, "GroupBox1", 0, 0, 141, 189);
    GroupBox1->setTitle(QStringLiteral(" Chip "));
    leSignature = labelledEdit(GroupBox1, "leSignature", QStringLiteral("Signature:"), 8, 34, 125, 21);
    leDeviceName = labelledEdit(GroupBox1, "leDeviceName", QStringLiteral("Detected device:"), 8, 80, 125, 21);
    Label1 = label(GroupBox1, "Label1", QStringLiteral("Manual selection:"), 8, 111, 83, 13);
    cbChips = place<QComboBox>(GroupBox1, "cbChips", 8, 126, 125, 21);
    cbChips->setEditable(false);
    cbChips->setMaxVisibleItems(12);
    // Styles that open the list as a menu (Fusion among them) show every entry otherwise.
    cbChips->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
    Label7 = label(GroupBox1, "Label7", QStringLiteral("Flash size:"), 9, 152, 49, 13, Qt::AlignRight | Qt::AlignVCenter);
    lbFlashSize = label(GroupBox1, "lbFlashSize", QStringLiteral("0"), 60, 152, 6, 13);
    Label6 = label(GroupBox1, "Label6", QStringLiteral("Page size:"), 8, 168, 50, 13, Qt::AlignRight | Qt::AlignVCenter);
    lbPageSize = label(GroupBox1, "lbPageSize", QStringLiteral("0"), 60, 168, 6, 13);
    // These labels size themselves to their text, as the original's did: our face runs a
    // pixel or two wider, so they grow, the right-aligned ones to the left.
    for (QLabel *l : {Label1, Label6, Label7})
        fitLabel(l);

    // Fuses & Locks
    GroupBox2 = place<QGroupBox>(client, "GroupBox2", 0, 192, 141, 145);
    GroupBox2->setTitle(QStringLiteral(" Fuses && Locks "));
    btRead = button(GroupBox2, "btRead", QStringLiteral("Read Chip"), 6, 20, 128, 25, true);
    btWriteFuses = button(GroupBox2, "btWriteFuses", QStringLiteral("Write Fuses"), 6, 52, 128, 25, false);
    btWriteLocks = button(GroupBox2, "btWriteLocks", QStringLiteral("Write Lock Bits"), 6, 80, 128, 25, false);
    btChipErase = button(GroupBox2, "btChipErase", QStringLiteral("Chip Erase"), 6, 112, 128, 25, false);

    // Flash
    GroupBox3 = place<QGroupBox>(client, "GroupBox3", 144, 252, 409, 85);
    GroupBox3->setTitle(QStringLiteral(" Flash "));
    btWriteFlash = button(GroupBox3, "btWriteFlash", QStringLiteral("Write FLASH"), 8, 20, 77, 25, false);
    edReadFromFile = place<QLineEdit>(GroupBox3, "edReadFromFile", 88, 20, 285, 25);
    btOD = button(GroupBox3, "btOD", QStringLiteral("..."), 376, 20, 25, 25, false);
    btVerifyFlash = button(GroupBox3, "btVerifyFlash", QStringLiteral("Verify FLASH"), 8, 52, 77, 25, false);
    btReadFlash = button(GroupBox3, "btReadFlash", QStringLiteral("Read FLASH"), 88, 52, 81, 25, false);
    edWriteToFile = place<QLineEdit>(GroupBox3, "edWriteToFile", 172, 52, 201, 25);
    btSD = button(GroupBox3, "btSD", QStringLiteral("..."), 376, 52, 25, 25, false);
    for (QLineEdit *e : {edReadFromFile, edWriteToFile}) {
        e->setFont(windowFont(13));
        e->setEnabled(false);
    }

    StatusBar1 = place<QStatusBar>(client, "StatusBar1", 0, 338, 556, 19);
    StatusBar1->setSizeGripEnabled(false);
    ProgressBar1->raise();  // it lies over the right part of the status bar

    // Tab order within each box, then between the boxes.
    setTabOrder(leSignature, leDeviceName);
    setTabOrder(leDeviceName, cbChips);
    setTabOrder(btRead, btWriteFuses);
    setTabOrder(btWriteFuses, btWriteLocks);
    setTabOrder(btWriteLocks, btChipErase);
    setTabOrder(btWriteFlash, btVerifyFlash);
    setTabOrder(btVerifyFlash, btReadFlash);
    setTabOrder(btReadFlash, edReadFromFile);
    setTabOrder(edReadFromFile, edWriteToFile);
    setTabOrder(edWriteToFile, btOD);
    setTabOrder(btOD, btSD);

    connect(btRead, &QPushButton::clicked, this, &TfmMain::btReadClick);
    connect(btWriteFuses, &QPushButton::clicked, this, &TfmMain::btWriteFusesClick);
    connect(btWriteLocks, &QPushButton::clicked, this, &TfmMain::btWriteLocksClick);
    connect(btChipErase, &QPushButton::clicked, this, &TfmMain::btChipEraseClick);
    connect(btWriteFlash, &QPushButton::clicked, this, &TfmMain::btWriteFlashClick);
    connect(btVerifyFlash, &QPushButton::clicked, this, &TfmMain::btVerifyFlashClick);
    connect(btReadFlash, &QPushButton::clicked, this, &TfmMain::btReadFlashClick);
    connect(btOD, &QPushButton::clicked, this, &TfmMain::btODClick);
    connect(btSD, &QPushButton::clicked, this, &TfmMain::btSDClick);
    // A name with a line break could not live in the line-based settings file.
    connect(edReadFromFile, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (refuseLineBreak(text))
            edReadFromFile->setText(GoodReadFromFile);
        else
            GoodReadFromFile = text;
    });
    connect(edWriteToFile, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (refuseLineBreak(text))
            edWriteToFile->setText(GoodWriteToFile);
        else
            GoodWriteToFile = text;
    });
    // Only a choice by the user runs the change handler, never a selection from code.
    connect(cbChips, &QComboBox::activated, this, &TfmMain::cbChipsChange);

    adjustSize();
    setFixedSize(sizeHint());
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TfmMain::FormCreate()
{
    // The task bar shows the window's own title. No application display name is set: the
    // window system would append it to every caption, "Confirm" included.
    ConfigFile = settingsFilePath(BaseDir);

    UnknownDevice = std::make_unique<TDevice>();
    UnknownDevice->PageSize = 0;
    UnknownDevice->FlashSize = 0;
    UnknownDevice->Name = QStringLiteral("Unknown");
    CurDevice = UnknownDevice.get();
    AutoDevice = UnknownDevice.get();
    cbChips->addItem(kAutoEntry, QVariant::fromValue(quintptr(UnknownDevice.get())));
    cbChips->setCurrentIndex(0);

    LoadDeviceFiles();
    btRead->setFocus();
    LoadSettings();
}

void TfmMain::FormClose()
{
    SaveSettings();
}

void TfmMain::closeEvent(QCloseEvent *event)
{
    FormClose();
    event->accept();
}

void TfmMain::Exit1Click()
{
    close();
}

QString TfmMain::statusText() const
{
    return StatusBar1->currentMessage();
}

void TfmMain::setStatus(const QString &text)
{
    StatusBar1->showMessage(text);
    // Operations keep the GUI thread; paint now so the user sees where they are.
    StatusBar1->repaint();
}

void TfmMain::setProgress(qint64 maximum, int step)
{
    // The bar counts in int; a Flash of 2 GB counts in larger units.
    ProgressMaximum = std::max<qint64>(maximum, 0);
    ProgressShift = 0;
    while ((ProgressMaximum >> ProgressShift) > std::numeric_limits<int>::max())
        ++ProgressShift;
    ProgressValue = 0;
    ProgressBar1->setMaximum(int(ProgressMaximum >> ProgressShift));
    ProgressBar1->setValue(0);
    ProgressStep = step;
    ProgressBar1->repaint();
}

void TfmMain::stepProgress()
{
    // Paint only when the bar visibly moves: a verify steps 16384 times for 32 KB.
    const auto filled = [this](int value) {
        const int maximum = ProgressBar1->maximum();
        return maximum > 0 ? qint64(value) * ProgressBar1->width() / maximum : 0;
    };
    const int before = ProgressBar1->value();
    ProgressValue = std::min(ProgressValue + ProgressStep, ProgressMaximum);
    ProgressBar1->setValue(int(ProgressValue >> ProgressShift));
    if (filled(ProgressBar1->value()) != filled(before))
        ProgressBar1->repaint();
}

void TfmMain::resetProgress()
{
    ProgressValue = 0;
    ProgressBar1->setValue(0);
    ProgressBar1->repaint();
}

bool TfmMain::refuseLineBreak(const QString &name)
{
    if (!name.contains(QLatin1Char('\n')) && !name.contains(QLatin1Char('\r')))
        return false;
    dlg.error(this, QStringLiteral("A file name must not hold a line break."));
    setStatus(QStringLiteral("Incorrect file name."));
    return true;
}

// --- The operations' side ------------------------------------------------------------

core::Faces TfmMain::faces()
{
    return {*Face, *Face, *Face, *Face};
}

core::ReadChipStep TfmMain::closingRead()
{
    return [this] {
        ReadingToClose = true;
        btRead->click();
        ReadingToClose = false;
        return LastChipRead;
    };
}

std::optional<core::ChipBytes> TfmMain::lastReadBytes() const
{
    if (!LastReadDevice || LastReadDevice != CurDevice)
        return std::nullopt;
    return LastChipRead.bytes();
}

// --- Programmer link ---------------------------------------------------------------

void TfmMain::information(const QString &text)
{
    dlg.information(this, text);
}

bool TfmMain::ExchangeCommand()
{
    avrlink::LinkState state{CmdBlock, PageBuffer, PortName};
    const bool ok = avrlink::exchangeCommand(state, CurDevice->PageSize, *this);
    CmdBlock = state.CmdBlock;
    PageBuffer = state.PageBuffer;
    return ok;
}

// --- Settings ------------------------------------------------------------------------

void TfmMain::LoadSettings()
{
    SettingsValues values{PortName, edWriteToFile->text(), edReadFromFile->text(), FastTransfers, VerifyAfterWriting,
                          EepromFile};
    SettingsUnread = !readSettingsFile(ConfigFile, values);
    EepromFile = values.EepromFile;
    PortName = values.PortName;
    FastTransfers = values.FastTransfers;
    actFastTransfers->setChecked(FastTransfers);
    VerifyAfterWriting = values.VerifyAfterWriting;
    actVerifyAfterWriting->setChecked(VerifyAfterWriting);
    edWriteToFile->setText(values.WriteToFile);
    edReadFromFile->setText(values.ReadFromFile);
    if (SettingsUnread)
        setStatus(QStringLiteral("Can`t read settings file; it will not be overwritten."));
}

void TfmMain::SaveSettings()
{
    // What could not be read may still hold the user's settings: defaults never replace it.
    if (SettingsUnread) {
        setStatus(QStringLiteral("Settings not saved: the settings file could not be read at start-up."));
        return;
    }
    if (!writeSettingsFile(ConfigFile,
                           {PortName, edWriteToFile->text(), edReadFromFile->text(), FastTransfers, VerifyAfterWriting,
                            EepromFile}))
        setStatus(QStringLiteral("Can`t write settings file; the old one is kept."));
}

void TfmMain::Options1Click()
{
    // The ports found are offered in the same line, each with what tells it apart; a choice
    // stands for its path, and any other text is taken as typed.
    const QList<avrlink::PortListing> ports = avrlink::listSerialPorts();
    if (const auto port = dlg.inputTextChoice(this, QStringLiteral("Настройки"), QStringLiteral("COM-порт: "),
                                              PortName, avrlink::portChoiceLabels(ports)))
        PortName = avrlink::portFromChoice(*port, ports);
    SaveSettings();
}

void TfmMain::FastTransfersClick(bool on)
{
    FastTransfers = on;
    SaveSettings();
}

void TfmMain::VerifyAfterWritingClick(bool on)
{
    VerifyAfterWriting = on;
    SaveSettings();
}

// --- About ---------------------------------------------------------------------------

void TfmMain::About1Click()
{
    const QString crlf = QStringLiteral("\r\n");
    const QString text = QStringLiteral("Параллельный программатор для МК AVR") + crlf + QStringLiteral("Версия: ")
                         + GetVersionString() + crlf + crlf + crlf
                         + QStringLiteral("(c) " TARVANE_AUTHOR_1 ", " TARVANE_WEB_1) + crlf + crlf
                         + QStringLiteral("Дополнения:") + crlf
                         + QStringLiteral("(c) " TARVANE_AUTHOR_2 ", " TARVANE_WEB_2);
    dlg.information(this, text);
}
