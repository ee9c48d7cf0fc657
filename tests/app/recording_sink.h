// A notification sink that records what it receives and answers message
// boxes with a fixed answer.
#pragma once

#include <algorithm>

#include <mutex>
#include <vector>

#include "platform/notify.h"

namespace tl::test {

class RecordingSink : public platform::NotificationSink {
public:
    explicit RecordingSink(std::int64_t answer = 0) : answer_(answer) {}
    void Post(platform::AppMessage m) override {
        std::lock_guard lock(mutex_);
        posted.push_back(std::move(m));
    }
    std::int64_t Send(const platform::AppMessage& m) override {
        std::lock_guard lock(mutex_);
        sent.push_back(m);
        return answer_;
    }
    // How many posted messages have `id`, safe while workers post.
    std::size_t PostedCount(std::uint32_t id) {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(posted.begin(), posted.end(), [id](const platform::AppMessage& m) { return m.id == id; }));
    }
    std::vector<platform::AppMessage> posted;
    std::vector<platform::AppMessage> sent;

private:
    std::int64_t answer_;
    std::mutex mutex_;
};

// Installs a sink for the lifetime of the object.
class SinkGuard {
public:
    explicit SinkGuard(std::shared_ptr<platform::NotificationSink> sink) { platform::InstallNotificationSink(sink); }
    ~SinkGuard() { platform::InstallNotificationSink(nullptr); }
};

}  // namespace tl::test
