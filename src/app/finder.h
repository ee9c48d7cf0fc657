// The search of the find bar: one worker thread that tests every found
// object of a volume's tree against the bar's criteria and collects the
// matches for the result list.
//
// The thread reads the tree while analysis threads may still add to it. It
// takes the tree's lock for a slice of records at a time, so the views and
// the analysis are never held up for long, and reads each record under it.
// A Clear of the tree between two slices (the volume analysed again) ends
// the search with an empty result list: the records it had are gone.
//
// The interface polls Running() and ResultCount() on its timers; the result
// list holds the tree's own records (stable until the tree's next Clear).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "app/find_criteria.h"

namespace tl {

class CEventLog;
class CFoundTree;
class CLanguages;
struct CFoundObject;

class CFinder {
public:
    // `log` takes the warnings of the name test, `texts` give the message
    // box's texts (either may be null: no log, the built-in English texts).
    CFinder(CEventLog* log, const CLanguages* texts);
    // A running search is stopped and waited for.
    ~CFinder();
    CFinder(const CFinder&) = delete;
    CFinder& operator=(const CFinder&) = delete;

    // The criteria of the next search, as the find bar last stored them.
    // A running search works on the copy it started with.
    FindCriteria& Criteria() { return criteria_; }
    const FindCriteria& Criteria() const { return criteria_; }
    bool FindMatches(const CFoundObject& object) const { return tl::FindMatches(criteria_, object, log_); }

    // Empties the result list, clears the stop flag and starts the search
    // thread over every found object of `tree` in identifier order (its
    // root and container nodes are not found objects; `tree` must outlive
    // the search). When it ends without a match and was not stopped, message box
    // "No files found" is shown unless `reportNothingFound` is false. False,
    // and nothing done, while a search runs (or when no thread can be made).
    bool Start(const CFoundTree& tree, bool reportNothingFound = true);
    // Sets the stop flag: the search ends after the object in hand.
    void Stop() { stop_ = 1; }
    // Waits up to `timeoutMs` for the search to end; true when none runs.
    bool Wait(std::uint32_t timeoutMs);
    bool Running() const { return running_.load() != 0; }
    // Whether the last search ended on the stop flag (or on a Clear of its tree).
    bool Stopped() const { return stopped_.load() != 0; }

    std::vector<CFoundObject*> Results() const;
    std::size_t ResultCount() const { return resultCount_.load(); }

    // Records tested under one hold of the tree's lock.
    static constexpr std::size_t kSlice = 256;

private:
    void Search(const CFoundTree& tree, const FindCriteria& criteria, bool reportNothingFound);

    CEventLog* log_;
    const CLanguages* texts_;
    FindCriteria criteria_;

    std::atomic<std::uint32_t> stop_{0};
    std::atomic<std::uint32_t> stopped_{0};
    std::atomic<std::uint32_t> running_{0};
    std::atomic<std::size_t> resultCount_{0};
    mutable std::mutex mutex_;  // the result list, and running_ for Wait
    std::condition_variable done_;
    std::vector<CFoundObject*> results_;
    std::thread thread_;
};

}  // namespace tl
