// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcInstance, "kestrane.instance", QtWarningMsg)

namespace kestrane::app {

namespace {

const QByteArray kRaise = "raise\n";
const QByteArray kRaised = "raised\n";

QString RuntimeFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder;
}

}  // namespace

QString InstanceName() {
    QString name = qEnvironmentVariable("KESTRANE_INSTANCE_NAME");
    if (name.isEmpty())
        return QString::fromLatin1(kInstanceName);
    // The name becomes a file name: keep it inside the runtime folder.
    for (QChar& c : name) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.';
        if (!plain)
            c = u'_';
    }
    if (name.startsWith(u'.'))
        name.prepend(u'_');
    return name;
}

SingleInstance::SingleInstance(const QString& name, QObject* parent) : QObject(parent) {
    const QString folder = RuntimeFolder();
    lockPath_ = folder + u'/' + name + QStringLiteral(".lock");
    socketPath_ = folder + u'/' + name + QStringLiteral(".socket");
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::Claim() {
    lock_ = std::make_unique<QLockFile>(lockPath_);
    // Held for the life of the process, however long: only a lock whose owner
    // has died counts as stale.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        if (lock_->error() == QLockFile::LockFailedError)
            return false;
        qCWarning(lcInstance) << "cannot take" << lockPath_ << "- starting anyway";
        return true;
    }
    // We hold the lock, so a socket file left here belongs to a copy that died.
    QLocalServer::removeServer(socketPath_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
    if (!server_->listen(socketPath_)) {
        qCWarning(lcInstance) << "cannot listen on" << socketPath_ << server_->errorString();
    } else {
        qCInfo(lcInstance) << "listening on" << socketPath_;
    }
    return true;
}

void SingleInstance::OnConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                // A peer that never ends its line is not a copy of ours.
                if (socket->bytesAvailable() > 64)
                    socket->abort();
                return;
            }
            if (socket->readLine() == kRaise) {
                ++raiseRequests_;
                qCInfo(lcInstance) << "raise request" << raiseRequests_;
                emit RaiseRequested();
                socket->write(kRaised);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

bool SingleInstance::AskFirstToRaise(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(kRaise);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine() == kRaised;
}

}  // namespace kestrane::app
