// SPDX-License-Identifier: GPL-3.0-or-later
// One copy of the program per user session. The first copy holds a lock file
// and listens on a local socket of the same name in the user's runtime folder;
// a later copy asks it there to bring its window to the front, then ends.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

namespace kestrane::app {

inline constexpr const char* kInstanceName = "__TORVELLINE_RUNONCE__600";

// kInstanceName, or KESTRANE_INSTANCE_NAME when set (so that tests and demos
// do not meet a copy the user is running), made safe as a file name.
QString InstanceName();

class SingleInstance : public QObject {
    Q_OBJECT

  public:
    explicit SingleInstance(const QString& name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this is the first copy: it now holds the marker and takes
    // raise requests. False only when another copy holds it; any other
    // failure counts as the first copy, so the program still starts.
    bool Claim();

    // Second copy: asks the first to raise its window and waits up to
    // timeoutMs for its answer. True when the first copy confirmed.
    bool AskFirstToRaise(int timeoutMs = 3000);

    // Raise requests received so far (first copy).
    int RaiseRequests() const { return raiseRequests_; }
    QString SocketPath() const { return socketPath_; }

  signals:
    void RaiseRequested();

  private:
    void OnConnection();

    QString lockPath_;
    QString socketPath_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
    int raiseRequests_ = 0;
};

}  // namespace kestrane::app
