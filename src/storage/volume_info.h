// What the interface shows about a volume: the rows of the drive pane's
// information list, the size text, and the values of the three pages of the
// volume properties. Pure functions of a volume; the CLI prints them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tl {

class CLanguages;
class CVolume;

using InfoRow = std::pair<std::string, std::string>;  // label, value; an empty label is a spacer

// "2 GB (2 147 483 648 bytes)": the largest unit the size exceeds, then the
// exact count grouped in threes.
std::string SizeText(std::uint64_t bytes, const CLanguages* texts);
// Upper-case hexadecimal, the high part (when not 0) written before the low.
std::string SerialText(std::uint32_t high, std::uint32_t low);
std::string StateText(std::int32_t state, const CLanguages* texts);
std::string DriveTypeText(std::uint32_t driveType, const CLanguages* texts);
std::string CategoryText(std::uint32_t kind, const CLanguages* texts);

std::vector<InfoRow> VolumeInformationRows(CVolume& volume, const CLanguages* texts);

struct VolumeProperties {
    // General
    std::string name, fileSystem, status, label, serial, totalSpace, freeSpace;
    // Capabilities: the thirteen rows, "Yes" or "No"
    std::vector<InfoRow> capabilities;
    // Information
    std::uint64_t offsetFromPhysical = 0;
    std::uint32_t sectorsPerCluster = 0, bytesPerSector = 0, bytesPerCluster = 0;
};
VolumeProperties GetVolumeProperties(CVolume& volume, const CLanguages* texts);

}  // namespace tl
