// SPDX-License-Identifier: GPL-3.0-or-later
// The benchmarks' dialog seam: Yes to every question, the file set in `file` chosen (none when
// empty), and a count of the boxes shown, with the last text, so a run can tell that an
// operation reported a failure.
#pragma once

#include "dialogs.h"
#include "paths.h"

#include <QFile>
#include <QString>
#include <optional>

struct BenchDialogs : Dialogs {
    int boxes = 0;
    QString last;
    void information(QWidget *, const QString &t) override { ++boxes, last = t; }
    void error(QWidget *, const QString &t) override { ++boxes, last = t; }
    bool confirm(QWidget *, const QString &) override { return true; }
    void applicationError(QWidget *, const QString &t) override { ++boxes, last = t; }
    std::optional<QString> inputText(QWidget *, const QString &, const QString &, const QString &) override
    {
        return std::nullopt;
    }
    QString file;
    std::optional<QString> openFile(QWidget *, const FileDialogRequest &) override { return chosen(); }
    std::optional<QString> saveFile(QWidget *, const FileDialogRequest &) override { return chosen(); }
    std::optional<QString> chosen() const { return file.isEmpty() ? std::nullopt : std::optional<QString>(file); }
};

// The window a benchmark drives saves its settings (its choices of files, Verify after
// writing off) where the program's own settings live, beside the programs of a build tree:
// put back as they were when the benchmark ends, so that a later test or run is not changed.
class KeptSettings {
public:
    explicit KeptSettings(const QString &programDir) : path_(settingsFilePath(programDir))
    {
        QFile f(path_);
        existed_ = f.open(QIODevice::ReadOnly);
        if (existed_)
            text_ = f.readAll();
    }
    ~KeptSettings()
    {
        if (!existed_) {
            QFile::remove(path_);
            return;
        }
        QFile f(path_);
        if (f.open(QIODevice::WriteOnly))
            f.write(text_);
    }
    KeptSettings(const KeptSettings &) = delete;
    KeptSettings &operator=(const KeptSettings &) = delete;

private:
    QString path_;
    QByteArray text_;
    bool existed_ = false;
};
