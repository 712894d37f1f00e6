// SPDX-License-Identifier: GPL-3.0-or-later
// What an operation says to its user and asks of him. The window answers with its boxes,
// status bar and progress bar; the command line with its streams; tests with a recorder.
#pragma once

#include "protocol.h"

#include <QString>
#include <QtGlobal>

namespace core {

// The question before a write or an erase. informative, when not empty, goes below it.
class Confirmation {
public:
    virtual ~Confirmation() = default;
    virtual bool confirm(const QString &question, const QString &informative) = 0;
};

// A transfer's progress: a maximum and a step, stepped along, back to 0 at the end.
class Progress {
public:
    virtual ~Progress() = default;
    virtual void start(qint64 maximum, int step) = 0;
    virtual void step() = 0;
    virtual void reset() = 0;
    // The user asked the transfer to stop (Ctrl+C on the command line): it ends at the next
    // page or block, with the adapter's stream closed.
    virtual bool stopRequested() const { return false; }
};

// The one-line result every operation leaves (the window's status bar).
class StatusText {
public:
    virtual ~StatusText() = default;
    virtual void status(const QString &text) = 0;
};

// Information (the link's failures), error (file and name problems), and the
// application's own failure box (a file that cannot be created).
class Messages : public avrlink::Reporter {
public:
    virtual void error(const QString &text) = 0;
    virtual void applicationError(const QString &text) = 0;
    // An error about one file: text is the box's words; a front end that can say more names
    // the file and the system's reason.
    virtual void fileError(const QString &text, const QString &file, const QString &reason)
    {
        Q_UNUSED(file);
        Q_UNUSED(reason);
        error(text);
    }
};

struct Faces {
    Confirmation &confirmation;
    Progress &progress;
    StatusText &statusText;
    Messages &messages;

    bool confirm(const QString &question, const QString &informative = QString()) const
    {
        return confirmation.confirm(question, informative);
    }
    void status(const QString &text) const { statusText.status(text); }
    void information(const QString &text) const { messages.information(text); }
    void error(const QString &text) const { messages.error(text); }
    void fileError(const QString &text, const QString &file, const QString &reason) const
    {
        messages.fileError(text, file, reason);
    }
};

}  // namespace core
