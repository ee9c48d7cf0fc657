// The list of everything the program can read: the computer's disks, their
// partitions and whole-disk file systems, the drive images the user loaded,
// and volumes found on disks. The list owns its volumes; a rebuild deletes
// disks, partitions and the volumes found on them, and keeps images, the
// volumes found on images, and virtual drives. A volume still in use when
// the list is rebuilt (its analysis runs or waits in the queue, the computer
// points at it, a thread shares its ownership) leaves the list but stays alive, with its disk and every
// volume on that disk, until a later rebuild finds them unused.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "storage/volume.h"

namespace tl {

class CLocalComputer;

class CVolumesList {
public:
    explicit CVolumesList(CLocalComputer& computer);
    ~CVolumesList();
    CVolumesList(const CVolumesList&) = delete;
    CVolumesList& operator=(const CVolumesList&) = delete;

    // background: rebuild on a thread of its own and return 0 at once;
    // otherwise rebuild now and return the new count.
    std::size_t Refresh(bool background);
    // Rebuilds in the background and waits for it up to 15 s.
    void RefreshAndWait();
    bool RefreshRunning() const { return refreshing_.load(); }

    CVolume* GetAt(std::size_t index) const;
    std::size_t GetCount() const;
    CVolume* FindById(std::uint64_t id) const;
    CVolume* FindByDevicePath(const std::string& path) const;
    std::vector<CVolume*> Snapshot() const;
    CVolume& Append(std::unique_ptr<CVolume> volume);
    // Shared ownership of a volume the list holds (listed, or off the list
    // and still alive), for a front end that keeps it past a rebuild; null
    // for any other. A volume leaving the list is sent as kVolumeRemoved
    // first, so that a front end lets go of it or shares it then.
    std::shared_ptr<CVolume> Share(const CVolume* volume) const;

private:
    void Rebuild();
    // Empties `volumes` into `kept` (images, their found volumes, virtual
    // drives), retired_ (in use, or holding up one in use) and `dropped`.
    // Called locked.
    void SortOut(std::vector<std::shared_ptr<CVolume>>& volumes, const std::vector<CVolume*>& queued,
                 std::vector<std::shared_ptr<CVolume>>& kept, std::vector<std::shared_ptr<CVolume>>& dropped);

    CLocalComputer& computer_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<CVolume>> items_;
    // Off the list, alive while they may be in use (see above).
    std::vector<std::shared_ptr<CVolume>> retired_;
    std::thread refreshThread_;
    std::atomic<bool> refreshing_{false};
};

}  // namespace tl
