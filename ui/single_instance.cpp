// The lock file and the raise request of a second start.
#include "ui/single_instance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

#include "ui/message_box.h"

namespace tavrix::ui {

namespace {
const QByteArray kRaise = "raise\n";
const QByteArray kAck = "ok\n";
}  // namespace

QString default_runtime_dir() {
  return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::SingleInstance(QString dir, QObject* parent)
    : QObject(parent), dir_(std::move(dir)) {}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();
}

QString SingleInstance::lock_path() const {
  return dir_ + QStringLiteral("/tavrix-monitor.lock");
}

QString SingleInstance::socket_path() const {
  return dir_ + QStringLiteral("/tavrix-monitor.socket");
}

bool SingleInstance::acquire() {
  QDir().mkpath(dir_);
  lock_ = std::make_unique<QLockFile>(lock_path());
  // A lock left by a process that died is taken over (QLockFile checks its owner).
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(100)) return false;
  server_ = new QLocalServer(this);
  QLocalServer::removeServer(socket_path());  // ours to remove: we hold the lock
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(socket_path()))
    qWarning("tavrix-monitor: %s: %s", qPrintable(socket_path()),
             qPrintable(server_->errorString()));
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_->nextPendingConnection()) {
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (!peer->canReadLine()) return;
        if (peer->readLine(64) == kRaise) {
          peer->write(kAck);
          peer->flush();
          emit raise_requested();
        }
        peer->disconnectFromServer();
      });
    }
  });
  return true;
}

qint64 SingleInstance::owner_pid() const {
  qint64 pid = 0;
  QString host, app;
  if (lock_ && lock_->getLockInfo(&pid, &host, &app)) return pid;
  return 0;
}

bool SingleInstance::ask_first_to_raise(int timeout_ms) const {
  QLocalSocket socket;
  socket.connectToServer(socket_path());
  if (!socket.waitForConnected(timeout_ms)) return false;
  socket.write(kRaise);
  if (!socket.waitForBytesWritten(timeout_ms)) return false;
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(timeout_ms)) return false;
  return socket.readLine(64) == kAck;
}

int report_second_instance(QWidget* parent, const SingleInstance& instance) {
  const qint64 pid = instance.owner_pid();
  const QString who = pid > 0 ? QStringLiteral(" (process %1)").arg(pid) : QString();
  const QString text = QStringLiteral(
                           "Tavrix Monitor Utility is already running for this user%1; only one "
                           "window keeps the server list. Bring that window to the front?")
                           .arg(who);
  qWarning("tavrix-monitor: already running%s", qPrintable(who));
  if (message_box(parent, text, MsgIcon::Warning, MsgButtons::YesCancel) != MsgResult::Yes)
    return 1;
  if (instance.ask_first_to_raise()) return 0;
  message_box(parent, QStringLiteral("The running window did not answer."), MsgIcon::Error,
              MsgButtons::Ok);
  return 1;
}

void raise_window(QWidget* window) {
  if (!window) return;
  if (window->isMinimized()) window->showNormal();
  window->show();
  window->raise();
  window->activateWindow();
}

}  // namespace tavrix::ui
