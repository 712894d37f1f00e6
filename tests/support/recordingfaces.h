// SPDX-License-Identifier: GPL-3.0-or-later
// The operations' user, played by a recorder: every call is kept in order, questions are
// answered from a queue (an empty queue answers No).
#pragma once

#include "faces.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <QStringList>

class RecordingFaces : public core::Confirmation,
                       public core::Progress,
                       public core::StatusText,
                       public core::Messages {
public:
    struct Call {
        QString kind;  // "confirm", "status", "information", "error", "application", "start", "reset"
        QString text;
        QString details;  // a question's informative text; "maximum/step" for "start"
    };

    QList<Call> calls;
    QQueue<bool> answers;
    int steps = 0;  // progress steps since the last start

    core::Faces faces() { return {*this, *this, *this, *this}; }

    bool confirm(const QString &question, const QString &informative) override
    {
        calls.append({"confirm", question, informative});
        return !answers.isEmpty() && answers.dequeue();
    }
    void start(qint64 maximum, int step) override
    {
        calls.append({"start", QString(), QString::number(maximum) + "/" + QString::number(step)});
        steps = 0;
    }
    void step() override { ++steps; }
    void reset() override { calls.append({"reset", QString(), QString()}); }
    void status(const QString &text) override { calls.append({"status", text, QString()}); }
    void information(const QString &text) override { calls.append({"information", text, QString()}); }
    void error(const QString &text) override { calls.append({"error", text, QString()}); }
    void applicationError(const QString &text) override { calls.append({"application", text, QString()}); }

    QStringList texts(const QString &kind) const
    {
        QStringList out;
        for (const Call &c : calls)
            if (c.kind == kind)
                out << (kind == "start" ? c.details : c.text);
        return out;
    }
    QString lastStatus() const
    {
        const QStringList s = texts("status");
        return s.isEmpty() ? QString() : s.last();
    }
};
