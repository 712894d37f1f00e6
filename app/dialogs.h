// SPDX-License-Identifier: GPL-3.0-or-later
// Every modal question the window asks goes through here, so tests can answer from a script.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

struct FileDialogRequest {
    QStringList nameFilters;  // Qt filter strings, the first selected
    QString selectedFile;     // offered again: the dialog's own previous choice
    QString defaultSuffix;    // added to a name typed without extension (save dialog)
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual void information(QWidget *parent, const QString &text) = 0;    // "Information", OK
    // The same box with an informative text below the message (the causes of a failure).
    virtual void informationDetails(QWidget *parent, const QString &text, const QString &informative)
    {
        information(parent, informative.isEmpty() ? text : text + QStringLiteral("\n\n") + informative);
    }
    virtual void error(QWidget *parent, const QString &text) = 0;          // "Error", OK
    virtual bool confirm(QWidget *parent, const QString &text) = 0;        // "Confirm", &Yes / &No
    // The same box with an informative text below the question (what a write changes).
    virtual bool confirmDetails(QWidget *parent, const QString &text, const QString &informative)
    {
        Q_UNUSED(informative);
        return confirm(parent, text);
    }
    virtual void applicationError(QWidget *parent, const QString &text) = 0;  // caption: the title
    virtual std::optional<QString> inputText(QWidget *parent, const QString &caption, const QString &prompt,
                                             const QString &initial) = 0;
    // The same single-line input, offering choices in an editable list; free text stays possible.
    virtual std::optional<QString> inputTextChoice(QWidget *parent, const QString &caption, const QString &prompt,
                                                   const QString &initial, const QStringList &choices)
    {
        Q_UNUSED(choices);
        return inputText(parent, caption, prompt, initial);
    }
    virtual std::optional<QString> openFile(QWidget *parent, const FileDialogRequest &request) = 0;
    virtual std::optional<QString> saveFile(QWidget *parent, const FileDialogRequest &request) = 0;
};

// The real boxes and dialogs of the toolkit.
class WidgetDialogs : public Dialogs {
public:
    void information(QWidget *parent, const QString &text) override;
    // objectName "InformationDetails": the one information box that carries an informative text.
    void informationDetails(QWidget *parent, const QString &text, const QString &informative) override;
    void error(QWidget *parent, const QString &text) override;
    bool confirm(QWidget *parent, const QString &text) override;
    bool confirmDetails(QWidget *parent, const QString &text, const QString &informative) override;
    void applicationError(QWidget *parent, const QString &text) override;
    std::optional<QString> inputText(QWidget *parent, const QString &caption, const QString &prompt,
                                     const QString &initial) override;
    std::optional<QString> inputTextChoice(QWidget *parent, const QString &caption, const QString &prompt,
                                           const QString &initial, const QStringList &choices) override;
    std::optional<QString> openFile(QWidget *parent, const FileDialogRequest &request) override;
    std::optional<QString> saveFile(QWidget *parent, const FileDialogRequest &request) override;
};
