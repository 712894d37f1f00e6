// SPDX-License-Identifier: GPL-3.0-or-later
#include "image.h"

#include <QFile>
#include <QFileInfo>
#include <utility>

namespace image {

Loaded load(const QString &path, qint64 memorySize, Memory memory)
{
    Loaded out;
    if (memorySize < 0 || memorySize > qint64(maxImageSize)) {
        out.error = QStringLiteral("a memory of %1 bytes is beyond 16 MiB").arg(memorySize);
        return out;
    }
    const QFileInfo info(path);
    if (!info.exists()) {
        out.error = QStringLiteral("cannot open the file: it does not exist");
        return out;
    }
    if (!info.isFile()) {
        out.error = QStringLiteral("not a regular file, refused");
        return out;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.isSequential()) {
        out.error = QStringLiteral("cannot open the file: ") + file.errorString();
        return out;
    }
    const QByteArray head = file.peek(4);
    out.format = formatToRead(info.fileName().toStdString(), std::string_view(head.constData(), head.size()));
    // A raw file one byte larger than the memory is enough to name the first address outside.
    const qint64 limit = out.format == Format::Raw ? memorySize : qint64(maxFileSize);
    const QString tooLarge = QStringLiteral("larger than %1 MiB, more than the file of any 16 MiB image takes; refused")
                                 .arg(maxFileSize >> 20);
    if (out.format != Format::Raw && file.size() > limit) {
        out.error = tooLarge;
        return out;
    }
    QByteArray content;
    char buffer[65536];
    qint64 n;
    while (content.size() <= limit
           && (n = file.read(buffer, qMin<qint64>(sizeof buffer, limit + 1 - content.size()))) > 0)
        content.append(buffer, n);
    if (file.error() != QFileDevice::NoError) {
        out.error = QStringLiteral("cannot read the file: ") + file.errorString();
        return out;
    }
    if (content.size() > limit && out.format != Format::Raw) {
        out.error = tooLarge;  // it grew while being read
        return out;
    }
    Decoded decoded = decode(std::string_view(content.constData(), std::size_t(content.size())), out.format, memory,
                             std::size_t(memorySize));
    out.ok = decoded.ok;
    out.error = QString::fromStdString(decoded.error);
    out.bytes = QByteArray(reinterpret_cast<const char *>(decoded.bytes.data()), qsizetype(decoded.bytes.size()));
    out.spans = std::move(decoded.spans);
    return out;
}

Format formatToWrite(const QString &path)
{
    return formatToWrite(path.toStdString());
}

QByteArray encode(const QByteArray &bytes, const QString &path, bool trimTrailingFF)
{
    const std::string text = encode(
        std::span(reinterpret_cast<const std::uint8_t *>(bytes.constData()), std::size_t(bytes.size())),
        encodingForName(path.toStdString(), trimTrailingFF));
    return QByteArray(text.data(), qsizetype(text.size()));
}

}  // namespace image
