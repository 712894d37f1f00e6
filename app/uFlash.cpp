// Flash write, verify and read of the main window, and the choice of their files.
#include "uMain.h"

#include "filechoice.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>

namespace {

const QString kAborted = QStringLiteral("Operation aborted.");
const QString kTooLarge = QStringLiteral("File size is greater than size of Flash for target device.\r\n"
                                         "Operation aborted. Please select correct file.");

}  // namespace

bool TfmMain::openImage(const QString &name, QFile &file)
{
    file.setFileName(name);
    // Unbuffered: the image is taken from the file page by page, as it stands at that moment.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || QFileInfo(name).isDir()) {
        file.close();
        dlg.error(this, QStringLiteral("Can`t open file."));
        setStatus(kAborted);
        return false;
    }
    if (file.size() > qint64(CurDevice->FlashSize)) {
        file.close();
        dlg.error(this, kTooLarge);
        setStatus(QStringLiteral("Incorrect file size."));
        return false;
    }
    return true;
}

void TfmMain::endStream(bool clearByte1)
{
    CmdBlock[0] = avrlink::cmdEnd;
    if (clearByte1)
        CmdBlock[1] = 0;
}

bool TfmMain::fileNameGiven(const QString &name, const QString &missing)
{
    if (!name.isEmpty())
        return true;
    dlg.error(this, missing);
    setStatus(QStringLiteral("Incorrect file name."));
    return false;
}

// A Flash operation that cannot go on closes its file and the adapter's stream (quietly:
// the failure has been reported once already) and says so.
void TfmMain::abortOperation(QFile *file, bool clearByte1)
{
    endStream(clearByte1);
    if (file)
        file->close();
    resetProgress();
    ExchangeQuiet = true;
    ExchangeCommand();
    ExchangeQuiet = false;
    setStatus(kAborted);
}

void TfmMain::btWriteFlashClick()
{
    const QString name = edReadFromFile->text();
    if (!fileNameGiven(name, QStringLiteral("Input file name for Flash programming.")))
        return;
    const int pageSize = CurDevice->PageSize;
    CmdBlock[0] = avrlink::cmdWritePage;
    CmdBlock[1] = std::uint8_t(pageSize & 0xFF);
    QFile file;
    if (!openImage(name, file))
        return;
    // A page travels in the 128-byte buffer and its size in one byte of the block.
    if (CurDevice->FlashSize != 0 && (pageSize < 1 || pageSize > avrlink::kPageBufferSize)) {
        file.close();
        dlg.error(this, QStringLiteral("Page size of the selected device is not supported for Flash programming."));
        setStatus(kAborted);
        return;
    }
    setStatus(QStringLiteral("Programming Flash..."));
    setProgress(int(file.size()) + pageSize / 2, pageSize);
    const qint64 length = file.size();
    file.seek(0);
    const int chunk = std::clamp(pageSize, 0, avrlink::kPageBufferSize);
    do {
        std::fill_n(PageBuffer.begin(), chunk, std::uint8_t(0xFF));
        const qint64 got = file.read(reinterpret_cast<char *>(PageBuffer.data()), chunk);
        if (got < 0 || (got == 0 && chunk > 0 && file.pos() < length)) {
            dlg.error(this, QStringLiteral("Can`t read file."));
            abortOperation(&file, true);
            return;
        }
        if (!ExchangeCommand()) {
            abortOperation(&file, true);
            return;
        }
        stepProgress();
    } while (file.pos() < length);
    endStream(true);
    const bool closed = ExchangeCommand();
    file.close();
    resetProgress();
    setStatus(closed ? QStringLiteral("Flash programming completed.") : kAborted);
}

void TfmMain::btVerifyFlashClick()
{
    const QString name = edReadFromFile->text();
    if (!fileNameGiven(name, QStringLiteral("Input file name to verify Flash.")))
        return;
    CmdBlock[0] = avrlink::cmdReadWord;
    QFile file;
    if (!openImage(name, file))
        return;
    const QString live = QStringLiteral("Verifying Flash. Errors: ");
    setStatus(live + QStringLiteral("0"));
    const qint64 length = file.size();
    setProgress(int(length) + 2, 2);
    file.seek(0);
    std::int32_t errors = 0;
    do {
        PageBuffer[0] = PageBuffer[1] = 0;
        if (!ExchangeCommand()) {
            abortOperation(&file, true);
            return;
        }
        std::uint8_t pair[2];
        const qint64 got = file.read(reinterpret_cast<char *>(pair), 2);
        if (got < 0 || (got == 0 && file.pos() < length)) {
            dlg.error(this, QStringLiteral("Can`t read file."));
            abortOperation(&file, true);
            return;
        }
        for (qint64 i = 0; i < got; ++i) {
            if (pair[i] != PageBuffer[std::size_t(i)]) {
                ++errors;
                setStatus(live + QString::number(errors));
            }
        }
        stepProgress();
    } while (file.pos() < length);
    endStream(true);
    const bool closed = ExchangeCommand();
    file.close();
    resetProgress();
    if (!closed) {
        setStatus(kAborted);
        return;
    }
    btRead->click();
    if (errors != 0)
        setStatus(QStringLiteral("Flash verifying failed: ") + QString::number(errors) + QStringLiteral(" errors."));
    else
        setStatus(QStringLiteral("Flash verifying completed. No errors."));
}

void TfmMain::btReadFlashClick()
{
    const QString name = edWriteToFile->text();
    if (!fileNameGiven(name, QStringLiteral("Input file name to save Flash.")))
        return;
    CmdBlock[0] = avrlink::cmdReadBlock;
    setStatus(QStringLiteral("Reading Flash..."));
    const std::int32_t flashSize = CurDevice->FlashSize;
    setProgress(flashSize, avrlink::kReadBlockSize);
    // The blocks go to a temporary file beside the target, which replaces the target only
    // once every block has arrived: a failed read never destroys the file it was to replace.
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly)) {
        QString reason = file.errorString().trimmed();
        while (reason.endsWith(QLatin1Char('.')) || reason.endsWith(QLatin1Char(' ')))
            reason.chop(1);
        dlg.applicationError(this, QStringLiteral("Cannot create file \"%1\". %2.")
                                       .arg(QFileInfo(name).absoluteFilePath(), reason));
        resetProgress();
        setStatus(kAborted);
        return;
    }
    const std::int32_t blocks = flashSize / avrlink::kReadBlockSize;
    for (std::int32_t b = 0; b < blocks; ++b) {
        if (!ExchangeCommand()) {
            file.cancelWriting();
            abortOperation(nullptr, false);
            return;
        }
        if (file.write(reinterpret_cast<const char *>(PageBuffer.data()), avrlink::kReadBlockSize)
            != avrlink::kReadBlockSize) {
            file.cancelWriting();
            dlg.error(this, QStringLiteral("Can`t write file."));
            abortOperation(nullptr, false);
            return;
        }
        stepProgress();
    }
    endStream(false);
    if (!ExchangeCommand()) {
        file.cancelWriting();
        resetProgress();
        setStatus(kAborted);
        return;
    }
    if (!file.commit()) {
        dlg.error(this, QStringLiteral("Can`t write file."));
        resetProgress();
        setStatus(kAborted);
        return;
    }
    resetProgress();
    btRead->click();
    setStatus(QStringLiteral("Flash reading completed."));
}

void TfmMain::btODClick()
{
    const auto chosen = dlg.openFile(this, {openDialogFilters(), odFileName, QString()});
    if (!chosen)
        return;
    odFileName = *chosen;
    QString name = *chosen;
    if (isHexFileName(name)) {
        const ConversionResult converted = convertHexFile(converterPath(BaseDir), name);
        if (!converted.ok) {
            dlg.error(this, QStringLiteral("Error converting HEX to BIN."));
            setStatus(QStringLiteral("Error convert."));
            return;
        }
        setStatus(QStringLiteral("Converted ") + QFileInfo(name).fileName() + QStringLiteral(" to ")
                  + QFileInfo(converted.binaryName).fileName() + QStringLiteral(" successfuly."));
        name = converted.binaryName;
    }
    edReadFromFile->setText(name);
    SaveSettings();
}

void TfmMain::btSDClick()
{
    const auto chosen = dlg.saveFile(this, {saveDialogFilters(), sdFileName, QStringLiteral("bin")});
    if (!chosen)
        return;
    sdFileName = *chosen;
    edWriteToFile->setText(*chosen);
    SaveSettings();
}
