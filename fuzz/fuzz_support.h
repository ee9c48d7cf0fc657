// What the fuzz targets share: volumes over the fuzzer's bytes, quiet
// settings and log, and a walk that reads back every found record the way a
// recovery would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "filesystems/found_file_reader.h"
#include "filesystems/found_tree.h"
#include "recovery/target_path.h"
#include "storage/analysis_busy.h"
#include "storage/sector_device.h"
#include "storage/volume.h"

namespace tl::fuzz {

// The fuzzer's bytes, followed by zeros up to `size`: a small input stands
// for a volume whose unwritten rest was never touched, so seeds are images
// with their trailing zeros cut off.
class ZeroTailDevice : public ISectorDevice {
public:
    ZeroTailDevice(std::span<const std::uint8_t> bytes, std::uint64_t size)
        : bytes_(bytes.begin(), bytes.end()), size_(std::max<std::uint64_t>(size, bytes.size())) {}
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer, std::unique_ptr<IPendingRead>&) override {
        DeviceReadResult r{DeviceReadResult::State::Done, 0, 0};
        if (offset >= size_) return r;
        r.bytes = std::min<std::uint64_t>(buffer.size(), size_ - offset);
        std::uint64_t copied = 0;
        if (offset < bytes_.size()) {
            copied = std::min<std::uint64_t>(r.bytes, bytes_.size() - offset);
            std::memcpy(buffer.data(), bytes_.data() + offset, static_cast<std::size_t>(copied));
        }
        std::memset(buffer.data() + copied, 0, static_cast<std::size_t>(r.bytes - copied));
        return r;
    }
    std::optional<std::uint64_t> Size() const override { return size_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t size_;
};

// A disk of `size` bytes whose every sector repeats the fuzzer's bytes:
// wherever a table points, it lands on bytes the fuzzer chose.
class WrappingDevice : public ISectorDevice {
public:
    WrappingDevice(std::span<const std::uint8_t> bytes, std::uint64_t size) : bytes_(bytes.begin(), bytes.end()), size_(size) {
        if (bytes_.empty()) bytes_.push_back(0);
    }
    DeviceReadResult Read(std::uint64_t offset, std::span<std::uint8_t> buffer, std::unique_ptr<IPendingRead>&) override {
        DeviceReadResult r{DeviceReadResult::State::Done, 0, 0};
        if (offset >= size_) return r;
        r.bytes = std::min<std::uint64_t>(buffer.size(), size_ - offset);
        for (std::uint64_t i = 0; i < r.bytes; ++i) buffer[i] = bytes_[(offset + i) % bytes_.size()];
        return r;
    }
    std::optional<std::uint64_t> Size() const override { return size_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t size_;
};

// Settings with their defaults and a log that writes nowhere; one per input,
// since the log keeps every line of its run.
struct Quiet {
    Quiet() {
        settings.Reset(SettingsDefaults{});
        log.SetDebugOutput({});
    }
    AppSettings settings;
    CEventLog log{settings, [] { return platform::WindowId{0}; }};
    VolumeContext Context(SignatureDatabase* signatures = nullptr) {
        return VolumeContext{&settings, &log, nullptr, signatures, {}};
    }
};

// Reads every found record of `volume` as a recovery would (runs, bounds,
// content) up to `budget` bytes, and makes its target path.
inline void ReadBackEverything(CVolume& volume, std::uint64_t budget) {
    CFoundTree& tree = volume.FoundTree();
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (CFoundObject* found : tree.AllRecords()) {
        const CFoundObject record = tree.Snapshot(*found);
        (void)RecoveryPath(tree, record);
        CFoundFileReader reader;
        if (!reader.Open(record)) continue;
        reader.CheckBounds();
        std::uint64_t left = std::min<std::uint64_t>(record.Size, 1 << 20);
        while (left > 0 && budget > 0) {
            const std::uint64_t want = std::min<std::uint64_t>({left, buffer.size(), budget});
            const std::uint64_t got = reader.ReadNext(buffer.data(), want);
            if (got == 0) break;
            left -= std::min(got, left);
            budget -= std::min(got, budget);
        }
    }
}

// The whole file-system stage of a volume of the input (zeros after it up to
// 64 MiB) when its boot sector names a file system of `family`, then every
// found file read back.
inline void AnalyseWholeVolume(std::span<const std::uint8_t> bytes, int family) {
    Quiet quiet;
    CVolume volume(VK_IMAGE, quiet.Context());
    volume.DevicePath = "/fuzz/volume.img";
    volume.SetDevice(std::make_shared<ZeroTailDevice>(bytes, 64 << 20));
    volume.QueryInformation();
    volume.Analyse_Boot();
    if (CFileSystem::FamilyOf(volume.FileSystem().TypeCode) != family) return;
    volume.AnalyseFileSystem();
    ReadBackEverything(volume, 8 << 20);
    AnalysisBusy() = 0;
}

}  // namespace tl::fuzz
