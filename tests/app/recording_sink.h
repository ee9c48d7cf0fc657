// A notification sink that records what it receives and answers message
// boxes with a fixed answer.
#pragma once

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
