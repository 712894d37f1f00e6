// SPDX-License-Identifier: GPL-3.0-or-later
#include "porthold.h"

#include "portdevice.h"
#include "portdevice_diagnosis.h"
#include "portdevice_list.h"

#include <cerrno>

#include <algorithm>
#include <mutex>
#include <vector>

namespace avrlink {

struct PortHold::Shared {
    QString portName;
    bool fast = false;
    bool taken = false;
    int lockHandle = -1;
    std::unique_ptr<SerialLine> line;
    int latencyMs = 0;
    bool quietDue = false;
    BoardInfo board;
};

namespace {

std::mutex registryMutex;
// The outer holds alive in this process.
std::vector<PortHold *> &registry()
{
    static std::vector<PortHold *> holds;
    return holds;
}

}  // namespace

QString openFailureText(const QString &port, const SerialLine::OpenReport &report)
{
    QString first;
    switch (report.result) {
    case SerialLine::OpenResult::Ok:
        return {};
    case SerialLine::OpenResult::CantOpen:
        first = QStringLiteral("Can`t open ") + port + QStringLiteral(" port.");
        break;
    case SerialLine::OpenResult::CantReadStatus:
        first = QStringLiteral("Can`t read status of ") + port + QStringLiteral(" port.");
        break;
    case SerialLine::OpenResult::CantSetup:
        first = QStringLiteral("Can`t setup ") + port + QStringLiteral(" port.");
        break;
    }
    const QString help = openFailureHelp(report.path, report.failedStep, report.savedErrno, listSerialPorts());
    return help.isEmpty() ? first : first + QStringLiteral("\n\n") + help;
}

PortHold::PortHold(const QString &portName, bool fast)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    for (PortHold *h : registry()) {
        if (h->shared_->portName == portName) {
            shared_ = h->shared_;
            return;
        }
    }
    outer_ = true;
    shared_ = new Shared;
    shared_->portName = portName;
    shared_->fast = fast;
    registry().push_back(this);
}

PortHold::~PortHold()
{
    if (!outer_)
        return;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        auto &holds = registry();
        holds.erase(std::remove(holds.begin(), holds.end(), this), holds.end());
    }
    if (shared_->line)
        shared_->line->close();
    releasePortLock(shared_->lockHandle);
    delete shared_;
}

PortHold *PortHold::active(const QString &portName)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    for (PortHold *h : registry())
        if (h->shared_->portName == portName)
            return h;
    return nullptr;
}

bool PortHold::fast() const
{
    return shared_->fast;
}

bool PortHold::take(Reporter &reporter)
{
    Shared &s = *shared_;
    if (s.taken)
        return true;
    if (s.fast) {
        auto line = std::make_unique<SerialLine>();
        if (line->open(s.portName) != SerialLine::OpenResult::Ok) {
            reporter.information(openFailureText(s.portName, line->lastOpen()));
            return false;
        }
        line->purge();
        s.line = std::move(line);
        adopt(*s.line);
    } else {
        SerialLine::OpenReport report;
        report.path = systemPortPath(s.portName);
        int handle = -1;
        if (s.portName.isEmpty()) {
            report.result = SerialLine::OpenResult::CantOpen;
            report.failedStep = SerialLine::OpenStep::Open;
            report.savedErrno = ENOENT;
        } else {
            handle = takePortLock(report.path, report);
        }
        if (handle == -1) {
            reporter.information(openFailureText(s.portName, report));
            return false;
        }
        s.lockHandle = handle;
    }
    s.taken = true;
    return true;
}

SerialLine *PortHold::line()
{
    return shared_->line.get();
}

void PortHold::adopt(SerialLine &line)
{
    // Read after the open's low-latency request, which ftdi_sio answers by lowering the timer.
    shared_->latencyMs = bridgeLatencyMs(line.lastOpen().path);
    line.setLatencyMs(shared_->latencyMs);
}

int PortHold::latencyMs() const
{
    return shared_->latencyMs;
}

const BoardInfo &PortHold::board() const
{
    return shared_->board;
}

void PortHold::setBoard(const BoardInfo &board)
{
    shared_->board = board;
}

void PortHold::replyBroken()
{
    shared_->quietDue = true;
}

bool PortHold::takeQuietDue()
{
    const bool due = shared_->quietDue;
    shared_->quietDue = false;
    return due;
}

}  // namespace avrlink
