// SPDX-License-Identifier: GPL-3.0-or-later
// The one window of the program: owns every piece of run-time state and runs every
// operation inside the handler that started it.
#pragma once

#include "chipops.h"
#include "device.h"
#include "dialogs.h"
#include "protocol.h"

#include <QMainWindow>
#include <memory>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class WindowFaces;

class TfmMain : public QMainWindow, private avrlink::Reporter {
    Q_OBJECT

public:
    // baseDir is the folder the program runs from: the device folder "cpu", the settings
    // file and the HEX converter are found there.
    TfmMain(const QString &baseDir, Dialogs &dialogs, QWidget *parent = nullptr);
    ~TfmMain() override;

    // State, named as the rest of the program knows it.
    avrlink::Block CmdBlock{};
    avrlink::Page PageBuffer{};
    const TDevice *CurDevice = nullptr;
    const TDevice *AutoDevice = nullptr;
    QString PortName;
    QString ConfigFile;
    // "Fast transfers" (File menu): on, each operation opens the port once, verifies Flash by
    // blocks, checks an erase and uses our board's extensions; off, the original program's
    // exact command sequences. Kept in config.txt after its four lines.
    bool FastTransfers = true;
    // "Verify after writing" (File menu): a Flash write is followed by a verify of its image.
    bool VerifyAfterWriting = true;
    // A Chip Erase ran since the last Read Chip: a Flash write does not offer one first.
    bool ErasedSinceRead = false;
    // The EEPROM file last used; kept in config.txt after its four lines.
    QString EepromFile;
    // The last Read Chip the user asked for found our board (it answered the question).
    bool BoardIsOurs = false;

    QString statusText() const;
    // The window's face at the two sizes it uses: 11 px, and 13 px for the larger captions.
    static QFont windowFont(int pixelSize);
    QString baseDir() const { return BaseDir; }

    // Controls.
    QGroupBox *GroupBox1, *GroupBox2, *GroupBox3, *Fuses;
    QLineEdit *leSignature, *leDeviceName, *edReadFromFile, *edWriteToFile;
    QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6, *Label7;
    QLabel *lbFlashSize, *lbPageSize, *lbLowByte, *lbHighByte, *lbExtendedByte, *lbLockBits;
    QComboBox *cbChips;
    QPushButton *btRead, *btWriteFuses, *btWriteLocks, *btChipErase;
    QPushButton *btWriteFlash, *btVerifyFlash, *btReadFlash, *btOD, *btSD;
    QStatusBar *StatusBar1;
    QProgressBar *ProgressBar1;
    QAction *actFastTransfers;
    QAction *actVerifyAfterWriting;
    QAction *actFactoryValues;  // Edit menu and the Fuses group's context menu
    QAction *actWriteEeprom, *actVerifyEeprom, *actReadEeprom;  // EEPROM menu

public slots:
    // Programmer link
    bool ExchangeCommand();

    // Catalogue
    void LoadDeviceFiles();
    bool IdentifyDevice(std::uint8_t sig0, std::uint8_t sig1, std::uint8_t sig2);
    void cbChipsChange(int index);

    // Bit panel
    void ShowBitNames();
    void ShowBitStates(const QString &prefix, std::uint8_t value);
    void MarkBitGroup(std::uint8_t reference, const QString &prefix);
    void CollectBitGroup(const QString &prefix, std::uint8_t &target);
    void CollectFuseBytes(std::uint8_t &low, std::uint8_t &high, std::uint8_t &extended);
    void RefreshBitPanel();
    void HighByte_Bit6Click();
    // Ticks every named bit at its factory value; sends nothing.
    void FactoryValuesClick();

    // Chip operations
    void btReadClick();
    void btWriteFusesClick();
    void btWriteLocksClick();
    void btChipEraseClick();
    void SetControlsEnabled(bool enabled);

    // Flash transfer
    void btWriteFlashClick();
    void btVerifyFlashClick();
    void btReadFlashClick();
    void btODClick();
    void btSDClick();

    // EEPROM, on our own board
    void WriteEepromClick();
    void VerifyEepromClick();
    void ReadEepromClick();

    // Shell
    void LoadSettings();
    void SaveSettings();
    void Options1Click();
    void FastTransfersClick(bool on);
    void VerifyAfterWritingClick(bool on);
    void Exit1Click();
    void About1Click();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    friend class WindowFaces;
    // What the operations of bits/ and flash/ work on and report through.
    core::Session session() { return {CmdBlock, PageBuffer, PortName, FastTransfers}; }
    core::Faces faces();
    // Their closing Read Chip: a click on btRead, and what it found.
    core::ReadChipStep closingRead();
    // The bytes of the last Read Chip, when it was read under the device now in force.
    std::optional<core::ChipBytes> lastReadBytes() const;
    bool refuseLineBreak(const QString &name);
    std::optional<QString> chooseEepromFile(bool save);
    bool offerEepromBackup();
    bool ReadingToClose = false;  // the Read Chip that closes another operation
    void information(const QString &text) override;  // the link's failure reports
    void buildWindow();
    void buildBitPanel();
    void FormCreate();
    void FormClose();
    const TDevice *chipRecord(int index) const;
    QCheckBox *bitBox(const QString &prefix, int n) const;
    void showFieldMeanings();
    void setStatus(const QString &text);
    void setProgress(qint64 maximum, int step);
    void stepProgress();
    void resetProgress();
    void showSizes();

    QString BaseDir;
    Dialogs &dlg;
    std::unique_ptr<TDevice> UnknownDevice;
    std::vector<std::unique_ptr<TDevice>> Devices;
    std::unique_ptr<WindowFaces> Face;
    core::ChipRead LastChipRead;            // what the last Read Chip found
    const TDevice *LastReadDevice = nullptr;  // in force when it was read; null: no chip read
    qint64 ProgressMaximum = 0;  // the bar counts in units of 2^ProgressShift beyond int's range
    qint64 ProgressValue = 0;
    int ProgressShift = 0;
    int ProgressStep = 1;
    QString odFileName;  // each file dialog offers its own previous choice again
    QString sdFileName;
    bool SettingsUnread = false;  // the settings file exists but could not be read at start-up
    QString GoodReadFromFile;  // the edit boxes' last texts without a line break
    QString GoodWriteToFile;
};
