#include "app/finder.h"

#include <algorithm>
#include <chrono>

#include "app/event_log.h"
#include "app/languages.h"
#include "app/string_ids.h"
#include "filesystems/found_tree.h"
#include "platform/notify.h"
#include "platform/thread_priority.h"

namespace tl {

CFinder::CFinder(CEventLog* log, const CLanguages* texts) : log_(log), texts_(texts) {}

CFinder::~CFinder() {
    Stop();
    if (thread_.joinable()) thread_.join();
}

bool CFinder::Start(const CFoundTree& tree, bool reportNothingFound) {
    std::unique_lock lock(mutex_);
    if (running_.load()) return false;
    lock.unlock();
    if (thread_.joinable()) thread_.join();  // the previous search has ended
    lock.lock();
    results_.clear();
    resultCount_ = 0;
    stop_ = 0;
    stopped_ = 0;
    running_ = 1;
    lock.unlock();
    const auto body = [this, &tree, criteria = criteria_, reportNothingFound] {
        platform::SetCurrentThreadLowPriority();
        try {
            Search(tree, criteria, reportNothingFound);
        } catch (...) {
            if (log_) log_->LogError("CFinder::Search.FatalError");
        }
        {
            std::lock_guard end(mutex_);
            running_ = 0;
        }
        done_.notify_all();
    };
    try {
        thread_ = std::thread(body);
    } catch (...) {  // no thread to be had: nothing runs
        if (log_) log_->LogError("CFinder::Start.NoThread");
        running_ = 0;
        return false;
    }
    return true;
}

bool CFinder::Wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return running_.load() == 0; });
}

std::vector<CFoundObject*> CFinder::Results() const {
    std::lock_guard lock(mutex_);
    return results_;
}

void CFinder::Search(const CFoundTree& tree, const FindCriteria& criteria, bool reportNothingFound) {
    std::vector<CFoundObject*> records;
    std::uint64_t generation = 0;
    tree.WithLock([&] {
        records = tree.AllRecords();
        generation = tree.Generation();
    });
    bool cleared = false;
    std::size_t i = 0;
    while (i < records.size() && !stop_.load() && !cleared) {
        tree.WithLock([&] {
            if (tree.Generation() != generation) {
                cleared = true;
                return;
            }
            const std::size_t end = std::min(records.size(), i + kSlice);
            for (; i < end && !stop_.load(); ++i) {
                CFoundObject* o = records[i];
                if (o == tree.Root() || CFoundTree::IsContainerNode(*o)) continue;
                if (!tl::FindMatches(criteria, *o, log_)) continue;
                std::lock_guard lock(mutex_);
                results_.push_back(o);
                resultCount_ = results_.size();
            }
        });
    }
    if (cleared) {
        std::lock_guard lock(mutex_);
        results_.clear();
        resultCount_ = 0;
    }
    const bool stopped = cleared || i < records.size();
    stopped_ = stopped ? 1 : 0;
    if (!stopped && reportNothingFound && resultCount_.load() == 0) {
        const auto text = [&](unsigned id) { return texts_ ? texts_->GetString(id) : std::string(BuiltinString(id)); };
        platform::ShowMessageBox(0, text(ids::kNoFilesFound), text(ids::kSearch), platform::kMbOk);
    }
}

}  // namespace tl
