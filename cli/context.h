// SPDX-License-Identifier: GPL-3.0-or-later
// What every command of tarvane-cli works with: the catalogue, the link state, the device in
// force, and a user who is never asked anything.
#pragma once

#include "chipops.h"
#include "device.h"
#include "faces.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

namespace cli {

enum Exit {
    kDone = 0,         // done
    kDiffers = 1,      // verify found differences, or a write did not read back as sent
    kUsage = 2,        // usage error
    kLinkFailure = 3,  // port or adapter failure (a chip that cannot be read or identified too)
    kFileError = 4,    // file error
};

// The command line's face: questions are answered Yes (the command is the user's decision) and
// their informative text (the changes and warnings of a write) goes to standard error; the
// link's and the files' failures go to standard error; progress is drawn on standard error only
// while it is a terminal. The status text is kept for the command to print.
class Terminal : public core::Confirmation, public core::Progress, public core::StatusText, public core::Messages {
public:
    Terminal();
    bool confirm(const QString &question, const QString &informative) override;
    void start(qint64 maximum, int step) override;
    void step() override;
    void reset() override;
    void status(const QString &text) override { lastStatus = text; }
    void information(const QString &text) override;
    void error(const QString &text) override;
    void applicationError(const QString &text) override;
    void fileError(const QString &text, const QString &file, const QString &reason) override;
    bool stopRequested() const override;

    core::Faces faces() { return {*this, *this, *this, *this}; }

    QString lastStatus;
    bool linkFailed = false;  // the link reported a failure
    bool fileFailed = false;  // an error about a file or its name was reported

private:
    void draw();
    bool drawing_;
    qint64 maximum_ = 0, value_ = 0;
    int step_ = 0, shown_ = -1;
};

struct Context {
    QString baseDir;     // the program's folder: cpu/ and config.txt
    QString PortName;
    QString deviceName;  // --device, empty: identify by signature
    bool json = false;
    bool verifyAfterWriting = true;  // "Verify after writing" from the settings; --no-verify clears it
    QStringList arguments;  // the command's own
    QList<QByteArray> rawArguments;  // the same as the system handed them over

    avrlink::Block CmdBlock{};
    avrlink::Page PageBuffer{};
    Terminal terminal;
    core::Session session{CmdBlock, PageBuffer, PortName};

    TDevice unknown;
    std::vector<std::unique_ptr<TDevice>> devices;
    std::vector<const TDevice *> records;  // in chip-list order, the Unknown device first

    void loadCatalogue();
    const TDevice *deviceNamed(const QString &name) const;

    // Read Chip and identification, as the window's closing Read Chip does it.
    core::ChipRead readChip();
    core::ReadChipStep closingRead();

    // The device for a command that needs one: --device, or the chip identified by a Read Chip
    // (whose result goes to read). Returns an exit code other than kDone when there is none.
    int deviceInForce(const TDevice *&device, std::optional<core::ChipRead> *read = nullptr);

    // Prints the final status line and maps a result to an exit code.
    int finish(core::Result result);
};

// When the signature a Read Chip found is no chip's (three equal bytes): why, on standard error,
// as the window's status bar and box say it. Returns whether it printed.
bool explainNoChip(const core::ChipRead &read);

// One or two hex digits, with an optional "0x": "E1", "e1", "0xE1", "5"; nothing otherwise.
std::optional<std::uint8_t> parseByte(const QString &text);

// Takes the command's own option flag out of its arguments; true when it was there.
bool takeFlag(Context &c, const QString &flag);

// The command's argument i as a file name. A name whose bytes do not survive the conversion
// to text (not valid in the system's encoding) would name another file: it is refused on
// standard error, and nothing is returned.
std::optional<QString> fileArgument(const Context &c, int i);

// Ctrl+C: asks a transfer to stop at its next page or block; the command then exits 130.
void catchInterrupt();
bool interrupted();
inline constexpr int kInterrupted = 130;

void printOut(const QString &text);  // a line on standard output
void printErr(const QString &text);  // a line on standard error


// The commands, one file each.
int readChip(Context &c);
int writeFuses(Context &c);
int writeLock(Context &c);
int erase(Context &c);
int writeFlash(Context &c);
int verifyFlash(Context &c);
int readFlash(Context &c);
int devices(Context &c);
int writeEeprom(Context &c);
int verifyEeprom(Context &c);
int readEeprom(Context &c);
int boardTest(Context &c);
int program(Context &c);

}  // namespace cli
