#include "ui/main/qt_notification_sink.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QThread>

namespace tl::ui {

CQtNotificationSink::CQtNotificationSink(QObject* parent) : QObject(parent) {}

platform::WindowId CQtNotificationSink::RegisterWindow(QWidget* window, Handler handler) {
    std::lock_guard lock(mutex_);
    const platform::WindowId id = nextId_++;
    windows_[id] = Registered{window, std::move(handler)};
    return id;
}

void CQtNotificationSink::UnregisterWindow(platform::WindowId id) {
    std::lock_guard lock(mutex_);
    windows_.erase(id);
    if (topWindow_ == id) topWindow_ = 0;
}

void CQtNotificationSink::SetTopWindow(platform::WindowId id) {
    std::lock_guard lock(mutex_);
    topWindow_ = id;
}

CQtNotificationSink::Registered CQtNotificationSink::Find(platform::WindowId id) const {
    std::lock_guard lock(mutex_);
    const auto it = windows_.find(id == 0 ? topWindow_ : id);
    return it == windows_.end() ? Registered{} : it->second;
}

QWidget* CQtNotificationSink::Window(platform::WindowId id) const { return Find(id).window.data(); }

void CQtNotificationSink::Post(platform::AppMessage message) {
    // Queued on the GUI thread: delivered after what was posted before it.
    QMetaObject::invokeMethod(
        this, [this, message = std::move(message)] { Deliver(message); }, Qt::QueuedConnection);
}

void CQtNotificationSink::Waiting::Answer(std::int64_t value) {
    {
        std::lock_guard lock(mutex);
        if (done) return;
        done = true;
        result = value;
    }
    answered.notify_all();
}

std::int64_t CQtNotificationSink::Send(const platform::AppMessage& message) {
    if (QThread::currentThread() == thread()) return Deliver(message);
    // A worker waits for the answer, or for the end of the GUI thread's loop.
    auto waiting = std::make_shared<Waiting>();
    {
        std::lock_guard lock(mutex_);
        if (shutDown_) return 0;
        std::erase_if(waiting_, [](const auto& w) {
            std::lock_guard answered(w->mutex);
            return w->done;
        });
        waiting_.push_back(waiting);
    }
    QMetaObject::invokeMethod(
        this, [this, waiting, message] { waiting->Answer(Deliver(message)); }, Qt::QueuedConnection);
    std::unique_lock lock(waiting->mutex);
    waiting->answered.wait(lock, [&] { return waiting->done; });
    return waiting->result;
}

void CQtNotificationSink::Shutdown() {
    std::vector<std::shared_ptr<Waiting>> waiting;
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
        waiting.swap(waiting_);
    }
    for (const auto& w : waiting) w->Answer(0);
}

std::int64_t CQtNotificationSink::Deliver(const platform::AppMessage& message) {
    switch (message.id) {
    case platform::kQuit:
        QApplication::exit(static_cast<int>(message.wparam));
        return 0;
    case platform::kMessageBox:
        return AskMessageBox(message);
    case platform::kChooseFolder: {
        const QString folder =
            QFileDialog::getExistingDirectory(Window(message.target), QString::fromStdString(message.text));
        if (message.reply) *message.reply = folder.toStdString();
        return folder.isEmpty() ? 0 : 1;
    }
    default:
        break;
    }
    const Registered to = Find(message.target);
    if (!to.window || !to.handler) return 0;  // the window is gone: nobody answers
    return to.handler(message);
}

std::int64_t CQtNotificationSink::AskMessageBox(const platform::AppMessage& message) {
    const std::uint64_t style = message.wparam;
    QMessageBox box(Window(message.target));
    box.setWindowTitle(QString::fromStdString(message.caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(message.text));
    switch (style & 0xF0) {
    case platform::kMbIconError: box.setIcon(QMessageBox::Critical); break;
    case platform::kMbIconQuestion: box.setIcon(QMessageBox::Question); break;
    case platform::kMbIconWarning: box.setIcon(QMessageBox::Warning); break;
    case platform::kMbIconInformation: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    switch (style & 0x0F) {
    case platform::kMbOkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case platform::kMbYesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    case platform::kMbYesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    default: box.setStandardButtons(QMessageBox::Ok); break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok: return platform::kIdOk;
    case QMessageBox::Yes: return platform::kIdYes;
    case QMessageBox::No: return platform::kIdNo;
    case QMessageBox::Cancel: return platform::kIdCancel;
    default: return (style & 0x0F) == platform::kMbOk ? platform::kIdOk : platform::kIdCancel;
    }
}

}  // namespace tl::ui
