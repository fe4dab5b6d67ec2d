// The chain behind a differencing disk: its parent, the parent's parent if
// that is a differencing disk too, and so on to a fixed or dynamic base.
//
// A parent is looked for where the child's header says: its W2ru locators
// (relative to the child's folder), its W2ku locators (as they stand on
// Windows, then their last component in the child's folder on every
// system), its MacX locators (the file URL's path), then its Parent
// Unicode Name (as it stands where this system can use it, then its last
// component in the child's folder). The first of these that is a regular
// file of whole sectors ending with a VHD footer whose Unique Id is the
// child's Parent Unique Id is the parent. Candidates are only opened as
// regular files and only read.
#pragma once

#include <string>
#include <vector>

#include "Platform/Platform.h"
#include "VhdRecords.h"

// The most disks a chain may have, the child counted.
constexpr size_t kLongestChain = 64;

struct ChainDisk {
    std::string path;  // as dravik opened it
    FileHandle file{nullptr, PlatformClose};
    int64_t size = 0;
    DiskRecords records;  // by its trailing footer
};

struct DiskChain {
    std::vector<ChainDisk> parents;  // nearest first
    // Empty when the chain ends with a fixed or dynamic disk; else why it
    // cannot be read: a parent not found (and every path tried), a loop, a
    // chain of more than 64 disks, or a disk whose blocks dravik cannot read.
    std::string failure;
};

// The parents of the differencing disk at `childPath`, open as `child`
// (`childSize` bytes), whose header is `childHeader`.
DiskChain FindParents(const std::string& childPath, PlatformFile* child, int64_t childSize,
                      const DynamicDiskHeader& childHeader);

// Why a dynamic or differencing disk named `name`, of header `header`,
// cannot be read: it has no header, or a Block Size that dravik does not
// read. Empty when it can.
std::string WhyUnreadable(const std::string& name, const DynamicDiskHeader& header);
