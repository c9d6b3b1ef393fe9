// One window per user: a lock file in the runtime folder says who keeps the fleet's
// files, and a local socket beside it lets a second start ask the first to come forward.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QWidget;

namespace tavrix::ui {

// $XDG_RUNTIME_DIR (or Qt's private fallback for it).
QString default_runtime_dir();

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  explicit SingleInstance(QString dir = default_runtime_dir(), QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is now the only window of the user (and listens for
  // requests to raise); false when another one holds the lock.
  bool acquire();
  // The process that holds the lock (0 when unknown).
  qint64 owner_pid() const;
  // Asks the holder to raise its window; true once it acknowledged.
  bool ask_first_to_raise(int timeout_ms = 3000) const;

  QString lock_path() const;
  QString socket_path() const;

 signals:
  void raise_requested();

 private:
  QString dir_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer* server_ = nullptr;
};

// A second start: says so and offers to raise the first. Returns the process's exit code.
int report_second_instance(QWidget* parent, const SingleInstance& instance);

// Brings a window to the front (from the tray or a second start).
void raise_window(QWidget* window);

}  // namespace tavrix::ui
