#include "platform/notify.h"

#include <mutex>

namespace tl::platform {
namespace {

std::mutex g_sinkMutex;
std::shared_ptr<NotificationSink> g_sink;

std::shared_ptr<NotificationSink> CurrentSink() {
    std::lock_guard lock(g_sinkMutex);
    return g_sink;
}

}  // namespace

void InstallNotificationSink(std::shared_ptr<NotificationSink> sink) {
    std::lock_guard lock(g_sinkMutex);
    g_sink = std::move(sink);
}

void PostAppMessage(WindowId target, unsigned id, std::uint64_t wparam, std::int64_t lparam, std::string text) {
    if (auto sink = CurrentSink())
        sink->Post(AppMessage{target, id, wparam, lparam, std::move(text), {}});
}

std::int64_t SendAppMessage(WindowId target, unsigned id, std::uint64_t wparam, std::int64_t lparam,
                            std::string text) {
    if (auto sink = CurrentSink()) return sink->Send(AppMessage{target, id, wparam, lparam, std::move(text), {}});
    return 0;
}

std::int64_t ShowMessageBox(WindowId owner, std::string text, std::string caption, std::uint64_t style) {
    if (auto sink = CurrentSink())
        return sink->Send(AppMessage{owner, kMessageBox, style, 0, std::move(text), std::move(caption)});
    return 0;
}

std::int64_t SendAppMessage(const AppMessage& message) {
    if (auto sink = CurrentSink()) return sink->Send(message);
    return 0;
}

std::string ChooseFolder(WindowId owner, std::string title) {
    std::string folder;
    AppMessage m{owner, kChooseFolder, 0, 0, std::move(title), {}};
    m.reply = &folder;
    SendAppMessage(m);
    return folder;
}

}  // namespace tl::platform
