// SPDX-License-Identifier: GPL-3.0-or-later
// Answers the window's questions from a script and records every box it shows.
#pragma once

#include "dialogs.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>

class ScriptedDialogs : public Dialogs {
public:
    struct Shown {
        QString kind;  // "information", "error", "confirm", "application", "input", "open", "save"
        QString text;
        QString details = QString();  // the informative text of a confirmation or an information
        bool operator==(const Shown &o) const { return kind == o.kind && text == o.text; }
    };

    QList<Shown> shown;
    QQueue<bool> confirmAnswers;               // an empty queue answers No
    QQueue<std::optional<QString>> fileAnswers;  // an empty queue cancels
    QQueue<std::optional<QString>> inputAnswers;
    QList<FileDialogRequest> fileRequests;

    void information(QWidget *, const QString &text) override { shown.append({"information", text}); }
    void informationDetails(QWidget *, const QString &text, const QString &informative) override
    {
        shown.append({"information", text, informative});
    }
    void error(QWidget *, const QString &text) override { shown.append({"error", text}); }
    bool confirm(QWidget *, const QString &text) override
    {
        shown.append({"confirm", text});
        return !confirmAnswers.isEmpty() && confirmAnswers.dequeue();
    }
    bool confirmDetails(QWidget *, const QString &text, const QString &informative) override
    {
        shown.append({"confirm", text, informative});
        return !confirmAnswers.isEmpty() && confirmAnswers.dequeue();
    }
    void applicationError(QWidget *, const QString &text) override { shown.append({"application", text}); }
    std::optional<QString> inputText(QWidget *, const QString &caption, const QString &prompt,
                                     const QString &initial) override
    {
        shown.append({"input", caption + "|" + prompt + "|" + initial});
        return inputAnswers.isEmpty() ? std::nullopt : inputAnswers.dequeue();
    }
    std::optional<QString> openFile(QWidget *, const FileDialogRequest &request) override
    {
        shown.append({"open", request.selectedFile});
        fileRequests.append(request);
        return fileAnswers.isEmpty() ? std::nullopt : fileAnswers.dequeue();
    }
    std::optional<QString> saveFile(QWidget *, const FileDialogRequest &request) override
    {
        shown.append({"save", request.selectedFile});
        fileRequests.append(request);
        return fileAnswers.isEmpty() ? std::nullopt : fileAnswers.dequeue();
    }

    QStringList texts(const QString &kind) const
    {
        QStringList out;
        for (const Shown &s : shown)
            if (s.kind == kind)
                out << s.text;
        return out;
    }
};
