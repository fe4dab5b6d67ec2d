// check: whether a VHD is sound, and what each reader will make of it.
//
// Only records are read: the footer at the end and, where the disk has
// them, the footer copy at the start, the dynamic disk header, the block
// allocation table and the parent locators, of the disk named and then of
// every disk of its chain. No block data is read and nothing is written.
//
// Every finding is one line "LEVEL: CODE: text", its text with the numbers
// involved. An error is a disk that a reader refuses or reads otherwise
// than it holds; a warning a disk that a named peer or service refuses or
// sizes otherwise; a note something worth knowing. The footer's findings
// come first (readers read it first; a dynamic disk's copy at the start
// holds the same), then those of the other records in the order they lie
// in the file. A parent's findings follow the child's, each naming the
// parent's path. The check never stops at the first finding.
//
// The blocks are taken in the order of their positions, so that overlaps
// and unused runs show between neighbours: one sort, never a comparison of
// every pair, and memory that grows with the table only.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "DiskChain.h"
#include "Platform/Platform.h"
#include "Report.h"
#include "VhdCommands.h"
#include "VhdRecords.h"

namespace {

enum class Level { Error, Warning, Note };

struct Counts {
    uint64_t errors = 0;
    uint64_t warnings = 0;
    uint64_t notes = 0;
};

// One disk under check: the disk named, or a parent of its chain.
struct Disk {
    std::string whose;  // put before each finding's text: empty, or "parent PATH: "
    PlatformFile* file;
    int64_t size;
    HardDiskFooter footer;  // the one its readers take
    uint32_t type;
    Counts& counts;
};

// One finding: an error line also marks the run failed.
void Say(const Disk& disk, Level level, const char* code, const std::string& text)
{
    const std::string line = std::string(level == Level::Error     ? "error: "
                                         : level == Level::Warning ? "warning: "
                                                                   : "note: ") +
                             code + ": " + disk.whose + text;
    switch (level) {
    case Level::Error:
        ++disk.counts.errors;
        ReportFailure(line);
        break;
    case Level::Warning:
        ++disk.counts.warnings;
        ReportLine(line);
        break;
    case Level::Note:
        ++disk.counts.notes;
        ReportLine(line);
        break;
    }
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
    return text;
}

std::string Bytes(uint64_t count)
{
    return std::to_string(count) + " bytes";
}

// The readers that size a disk by its geometry, and the geometry they go by.
std::string GeometryReader(const HardDiskFooter& footer)
{
    return "qemu-img sizes a disk of creator \"" + Shown(FieldText(footer.creatorApplication, 4)) +
           "\" by its geometry " + std::to_string(Swap16(footer.cylinders)) + " x " + std::to_string(footer.heads) +
           " x " + std::to_string(footer.sectorsPerTrack) + ", " + Bytes(static_cast<uint64_t>(GeometrySize(footer)));
}

// A range of file bytes [start, end) that a record or a block takes; the
// ends saturate, so a hostile position never wraps round.
struct Extent {
    uint64_t start;
    uint64_t end;
    const char* what;
};

Extent ExtentOf(uint64_t start, uint64_t length, const char* what)
{
    return {start, start > UINT64_MAX - length ? UINT64_MAX : start + length, what};
}

bool Overlap(const Extent& a, const Extent& b)
{
    return a.start < b.end && b.start < a.end && a.start < a.end && b.start < b.end;
}

// The findings of the footer that readers take.
void CheckFooter(const Disk& disk)
{
    const HardDiskFooter& footer = disk.footer;
    const uint32_t computed = FooterChecksum(footer);
    if (Swap32(footer.checksum) != computed) {
        Say(disk, Level::Error, "footer-checksum",
            "the footer's Checksum is " + Hex(Swap32(footer.checksum)) + ", its bytes give " + Hex(computed));
    }
    const uint64_t currentSize = Swap64(footer.currentSize);
    if (footer.savedState != 0) {
        Say(disk, Level::Note, "saved-state",
            "Saved State is " + std::to_string(footer.savedState) +
                ": the disk was left by a virtual machine in a saved state");
    }
    if (currentSize > static_cast<uint64_t>(kLargestDisk)) {
        Say(disk, Level::Warning, "too-large",
            "Current Size " + Bytes(currentSize) + " is more than the " + Bytes(static_cast<uint64_t>(kLargestDisk)) +
                " (2040 GiB) that Hyper-V and qemu-img open");
    }
    const int64_t geometrySize = GeometrySize(footer);
    if (geometrySize >= 0 && static_cast<uint64_t>(geometrySize) < currentSize) {
        Say(disk, Level::Warning, "geometry",
            GeometryReader(footer) + ", less than Current Size " + Bytes(currentSize));
    } else if (geometrySize >= 0 && static_cast<uint64_t>(geometrySize) > currentSize) {
        Say(disk, Level::Note, "geometry-size",
            GeometryReader(footer) + ", more than Current Size " + Bytes(currentSize));
    }
    const bool fixed = disk.type == kDiskTypeFixed;
    const bool wholeMiB = currentSize % (uint64_t{1} << 20) == 0;
    if (!fixed || !wholeMiB) {
        Say(disk, Level::Note, "cloud",
            std::string(fixed ? "" : "not a fixed disk") + (fixed || wholeMiB ? "" : ", and ") +
                (wholeMiB ? "" : "Current Size " + Bytes(currentSize) + " is not a whole number of MiB") +
                ": cloud services that take VHD uploads refuse it");
    }
    if (!fixed) {
        return;
    }
    const auto dataArea = static_cast<uint64_t>(disk.size - kFooterSize);
    if (dataArea < currentSize) {
        Say(disk, Level::Error, "fixed-length",
            "the data area before the footer holds " + Bytes(dataArea) + ", less than Current Size " +
                Bytes(currentSize) + ": readers read past it");
    } else if (dataArea > currentSize) {
        Say(disk, Level::Warning, "fixed-length",
            "the data area before the footer holds " + Bytes(dataArea) + ", more than Current Size " +
                Bytes(currentSize) + ": readers that go by Current Size leave " + Bytes(dataArea - currentSize) +
                " unseen");
    }
}

// The header's own findings. Gives false when there is no header to go on
// with.
bool CheckHeader(const Disk& disk, uint64_t headerAt, const DynamicDiskHeader& header)
{
    if (!IsDynamicHeader(header)) {
        Say(disk, Level::Error, "header-cookie",
            "no dynamic disk header at byte " + std::to_string(headerAt) + " (the footer's Data Offset): " +
                (headerAt >= static_cast<uint64_t>(disk.size)
                     ? "the file ends at byte " + std::to_string(disk.size)
                     : "its cookie is \"" + Shown(FieldText(header.cookie, sizeof header.cookie)) +
                           "\", not \"cxsparse\""));
        return false;
    }
    const uint32_t computed = HeaderChecksum(header);
    if (Swap32(header.checksum) != computed) {
        Say(disk, Level::Error, "header-checksum",
            "the dynamic disk header's Checksum is " + Hex(Swap32(header.checksum)) + ", its bytes give " +
                Hex(computed));
    }
    if (Swap32(header.headerVersion) != 0x00010000) {
        Say(disk, Level::Error, "header-version",
            "Header Version is " + Hex(Swap32(header.headerVersion)) + ", not 0x00010000");
    }
    const uint32_t blockSize = Swap32(header.blockSize);
    BlockGeometry blocks;
    if (!BlockGeometryFor(blockSize, &blocks)) {
        Say(disk, Level::Error, "block-size",
            "Block Size " + std::to_string(blockSize) + " is not a power of two from 512 bytes to 256 MiB");
    }
    return true;
}

// The table's findings, given the records it must keep clear of.
void CheckTablePlace(const Disk& disk, const Extent& table, const Extent& header, uint64_t footerAt)
{
    std::string why;
    auto add = [&why](const std::string& reason) { why += (why.empty() ? "" : "; ") + reason; };
    if (table.start % kSectorSize != 0) {
        add("Table Offset is not a multiple of 512");
    }
    if (Overlap(table, header)) {
        add("it runs into the dynamic disk header at byte " + std::to_string(header.start));
    }
    if (table.end > footerAt) {
        add("it runs past the footer at byte " + std::to_string(footerAt));
    }
    if (!why.empty()) {
        Say(disk, Level::Error, "table-place",
            "the table at byte " + std::to_string(table.start) + ", " + Bytes(table.end - table.start) + ": " + why);
    }
}

void CheckTableSize(const Disk& disk, uint32_t entries, uint32_t blockSize)
{
    const uint64_t covered = uint64_t{entries} * blockSize;
    const uint64_t currentSize = Swap64(disk.footer.currentSize);
    const std::string table = "Max Table Entries x Block Size, " + std::to_string(entries) + " x " +
                              std::to_string(blockSize) + ", cover " + Bytes(covered);
    if (covered < currentSize) {
        Say(disk, Level::Error, "table-size", table + ", less than Current Size " + Bytes(currentSize));
    }
    const int64_t geometrySize = GeometrySize(disk.footer);
    if (geometrySize >= 0 && covered < static_cast<uint64_t>(geometrySize)) {
        Say(disk, Level::Warning, "geometry", GeometryReader(disk.footer) + ", and refuses a table whose " + table);
    }
}

// An allocated block as one number that sorts by the block's position,
// then by its number: its table entry (a sector number) in the high half,
// its number in the low half.
using Block = uint64_t;

uint64_t PositionOf(Block block)
{
    return (block >> 32) * kSectorSize;
}

std::string NumberOf(Block block)
{
    return std::to_string(static_cast<uint32_t>(block));
}

// Each allocated block, in the order of its position: where it lies over a
// record or past the footer, where it overlaps a block before it; then the
// runs that neither a record nor a block uses and that could hold a block.
void CheckBlocks(const Disk& disk, std::vector<Block>& blocks, std::vector<Extent> records, uint64_t footerAt,
                 int64_t blockInFile)
{
    if (!std::is_sorted(blocks.begin(), blocks.end())) {
        std::sort(blocks.begin(), blocks.end());
    }
    std::sort(records.begin(), records.end(), [](const Extent& a, const Extent& b) { return a.start < b.start; });
    const auto length = static_cast<uint64_t>(blockInFile);

    uint64_t covered = records.front().start;  // the end of what the records and blocks so far take
    uint64_t leakedRuns = 0;
    uint64_t leakedBytes = 0;
    uint64_t firstLeak = 0;
    auto take = [&](const Extent& used) {
        const uint64_t start = std::min(used.start, footerAt);
        if (start > covered && start - covered >= length) {
            firstLeak = leakedRuns == 0 ? covered : firstLeak;
            ++leakedRuns;
            leakedBytes += start - covered;
        }
        covered = std::max(covered, std::min(used.end, footerAt));
    };

    size_t nextRecord = 0;
    Block reach{};  // of the blocks so far, the one that ends last
    uint64_t reachEnd{};
    for (const Block block : blocks) {
        const uint64_t position = PositionOf(block);
        const Extent extent = ExtentOf(position, length, "block");
        std::vector<const char*> under;
        for (const Extent& record : records) {
            if (Overlap(extent, record)) {
                under.push_back(record.what);
            }
        }
        std::string over;
        for (size_t i = 0; i < under.size(); ++i) {
            over += (i == 0 ? " lies over " : i + 1 < under.size() ? ", " : " and ") + std::string(under[i]);
        }
        if (extent.end > footerAt) {
            over += (over.empty() ? "" : ", and") + std::string(" runs past the footer at byte ") +
                    std::to_string(footerAt);
        }
        if (!over.empty()) {
            Say(disk, Level::Error, "block-place",
                "block " + NumberOf(block) + " at byte " + std::to_string(position) + ", " + Bytes(length) +
                    " with its bitmap," + over);
        }
        if (position < reachEnd) {
            Say(disk, Level::Error, "block-overlap",
                "blocks " + NumberOf(reach) + " at byte " + std::to_string(PositionOf(reach)) + " and " +
                    NumberOf(block) + " at byte " + std::to_string(position) + " overlap, each " + Bytes(length) +
                    " with its bitmap");
        }
        if (extent.end > reachEnd) {
            reach = block;
            reachEnd = extent.end;
        }
        while (nextRecord < records.size() && records[nextRecord].start <= position) {
            take(records[nextRecord++]);
        }
        take(extent);
    }
    while (nextRecord < records.size()) {
        take(records[nextRecord++]);
    }
    take({footerAt, footerAt, nullptr});
    if (leakedRuns > 0) {
        Say(disk, Level::Warning, "leaked",
            std::to_string(leakedRuns) + (leakedRuns == 1 ? " run" : " runs") + " that no block uses, " +
                Bytes(leakedBytes) + " in all, each room for a block of " + Bytes(length) +
                " with its bitmap; the first at byte " + std::to_string(firstLeak));
    }
}

// What lies after the records of a dynamic or differencing disk: its table
// and its blocks. `records` has a header and, when its blocks are known, a
// Block Size that places the blocks.
void CheckTableAndBlocks(const Disk& disk, uint64_t headerAt, const DiskRecords& records)
{
    const DynamicDiskHeader& header = records.header;
    const auto footerAt = static_cast<uint64_t>(disk.size - kFooterSize);
    const uint32_t entries = Swap32(header.maxTableEntries);
    const uint32_t blockSize = Swap32(header.blockSize);
    const Extent headerExtent = ExtentOf(headerAt, sizeof header, "the dynamic disk header");
    const Extent tableExtent = ExtentOf(Swap64(header.tableOffset), 4 * uint64_t{entries}, "the table");
    CheckTablePlace(disk, tableExtent, headerExtent, footerAt);
    CheckTableSize(disk, entries, blockSize);
    if (!records.blocksKnown) {
        return;  // no Block Size says where a block ends
    }

    // Only the entries before the footer are read, so no more than the
    // file holds is ever allocated; a table that runs on past the footer
    // has been said, and what lies beyond holds no entries a reader takes.
    const uint64_t present =
        tableExtent.start < footerAt ? std::min<uint64_t>(entries, (footerAt - tableExtent.start) / 4) : 0;
    std::vector<uint32_t> table(present);
    const uint64_t failed = ReadTable(disk.file, tableExtent.start, table.data(), present);
    if (failed > 0) {
        ReportProblem(disk.whose + "could not read " + std::to_string(failed) +
                      " entries of the block allocation table: " + PlatformErrorText());
    }
    std::vector<Block> blocks;
    blocks.reserve(present);
    for (uint64_t i = 0; i < present; ++i) {
        if (table[i] != kUnallocatedEntry) {
            blocks.push_back(uint64_t{table[i]} << 32 | i);
        }
    }
    table = {};

    std::vector<Extent> extents = {ExtentOf(0, kFooterSize, "the footer copy"), headerExtent, tableExtent};
    static const char* const kLocatorData[] = {
        "parent locator 1's data", "parent locator 2's data", "parent locator 3's data", "parent locator 4's data",
        "parent locator 5's data", "parent locator 6's data", "parent locator 7's data", "parent locator 8's data"};
    for (size_t i = 0; disk.type == kDiskTypeDifferencing && i < std::size(header.parentLocators); ++i) {
        const ParentLocator& locator = header.parentLocators[i];
        if (Swap32(locator.dataLength) != 0) {
            extents.push_back(ExtentOf(Swap64(locator.dataOffset), Swap32(locator.dataLength), kLocatorData[i]));
        }
    }
    CheckBlocks(disk, blocks, std::move(extents), footerAt, records.blocks.InFile());
}

// What the chain has to say of a disk with a dynamic disk header, said
// after the header's own findings: its parents are found from it, and its
// Parent Time Stamp is compared with its parent.
using ChainCheck = std::function<void(const DynamicDiskHeader&)>;

// All findings of one disk of records `records` but its footer's recognition.
void CheckDisk(const Disk& disk, const DiskRecords& records, const ChainCheck& chainCheck)
{
    CheckFooter(disk);
    if (disk.type == kDiskTypeFixed) {
        return;
    }
    HardDiskFooter copy;
    if (ReadFooter(disk.file, 0, copy) < 0) {
        ReportProblem(disk.whose + "could not read the footer copy: " + PlatformErrorText());
    }
    const auto* first = reinterpret_cast<const uint8_t*>(&copy);
    const auto* last = reinterpret_cast<const uint8_t*>(&disk.footer);
    const auto differs = std::mismatch(first, first + kFooterSize, last).first - first;
    if (!records.fromCopy && differs != kFooterSize) {
        Say(disk, Level::Error, "footer-copy",
            "the first 512 bytes differ from the footer at the end, first at byte " + std::to_string(differs) +
                ": qemu-img reads the copy at the start, dravik the footer");
    }

    const uint64_t headerAt = Swap64(disk.footer.dataOffset);
    if (!records.headerError.empty()) {
        ReportProblem(disk.whose + "could not read the dynamic disk header: " + records.headerError);
    }
    if (!CheckHeader(disk, headerAt, records.header)) {
        return;
    }
    chainCheck(records.header);
    CheckTableAndBlocks(disk, headerAt, records);
}

// Whether the Parent Time Stamp in the header of disk `index` of a chain (0
// the disk named, then its parents nearest first) is its parent's.
void CheckParentTime(const Disk& disk, const DynamicDiskHeader& header, const DiskChain& chain, size_t index)
{
    if (index < chain.parents.size()) {
        const ChainDisk& parent = chain.parents[index];
        const uint32_t expected = Swap32(header.parentTimeStamp);
        const uint32_t found = Swap32(parent.records.footer.timeStamp);
        if (expected != found) {
            Say(disk, Level::Warning, "parent-time",
                "Parent Time Stamp " + std::to_string(expected) + " differs from the Time Stamp " +
                    std::to_string(found) + " of the parent " + Shown(parent.path) +
                    ": readers that compare them take the parent to have changed since the child was made");
        }
    }
}

const char* TypeName(uint32_t type)
{
    return type == kDiskTypeFixed ? "fixed" : type == kDiskTypeDynamic ? "dynamic" : "differencing";
}

// Recognises the disk as conv2img does: by the footer at the end of the
// file, or, where the end holds none, the copy at the start of a dynamic or
// differencing disk, which conv2img and qemu-img read then. Gives the Disk
// Type, 0 for none.
//
// A file whose length is not a whole number of sectors is no VHD: dravik's
// readers refuse it ("mod 512 <>0") and qemu-img, which looks for the
// footer in the last whole sector, takes it for a raw image.
uint32_t Recognise(Disk& disk, DiskRecords& records)
{
    if (disk.size < kFooterSize || disk.size % kSectorSize != 0) {
        Say(disk, Level::Error, "not-vhd",
            "the file is " + Bytes(static_cast<uint64_t>(disk.size)) + ", " +
                (disk.size < kFooterSize ? "too short for a footer"
                                         : "not a whole number of 512-byte sectors: readers find no footer in "
                                           "its last sector"));
        return 0;
    }
    records = RecogniseDisk(disk.file, disk.size, FooterAt::EndOrStart);
    if (!records.readError.empty()) {
        ReportProblem("could not read the footer: " + records.readError);
    }
    disk.footer = records.footer;
    if (records.type != 0) {
        ReportLine(std::string("disk_type=") + TypeName(records.type));
    }
    if (records.type != 0 && !records.fromCopy) {
        return records.type;
    }
    const HardDiskFooter& trailing = records.trailing;
    const std::string then =
        records.type != 0 ? "; the copy at the start is read instead, as conv2img and qemu-img do" : "";
    if (FieldText(trailing.cookie, sizeof trailing.cookie) == "conectix") {
        Say(disk, Level::Error, "disk-type",
            "the footer's Disk Type is " + std::to_string(Swap32(trailing.diskType)) +
                ", none of 2 (fixed), 3 (dynamic) and 4 (differencing)" + then);
    } else {
        Say(disk, Level::Error, "not-vhd",
            "the last 512 bytes are no footer: their cookie is \"" +
                Shown(FieldText(trailing.cookie, sizeof trailing.cookie)) + "\", not \"conectix\"" + then);
    }
    return records.type;
}

}  // namespace

void CheckVhd(const std::string& path)
{
    Counts counts;
    const FileHandle file(PlatformOpen(path, OpenMode::ReadExisting), PlatformClose);
    Disk disk{{}, file.get(), {}, {}, {}, counts};
    if (!file || !PlatformSeekEnd(file.get(), &disk.size)) {
        ReportCannotOpen(path, PlatformErrorText());
        Say(disk, Level::Error, "not-vhd", "the file cannot be opened");
    } else {
        DiskRecords records;
        disk.type = Recognise(disk, records);
        DiskChain chain;
        if (disk.type != 0) {
            CheckDisk(disk, records, [&](const DynamicDiskHeader& header) {
                if (disk.type == kDiskTypeDifferencing) {
                    chain = FindParents(path, file.get(), disk.size, header);
                    CheckParentTime(disk, header, chain, 0);
                }
            });
        }
        for (size_t i = 0; i < chain.parents.size(); ++i) {
            const ChainDisk& parent = chain.parents[i];
            const Disk next{"parent " + Shown(parent.path) + ": ",
                            parent.file.get(),
                            parent.size,
                            parent.records.footer,
                            parent.records.type,
                            counts};
            CheckDisk(next, parent.records,
                      [&](const DynamicDiskHeader& header) { CheckParentTime(next, header, chain, i + 1); });
        }
        // After the findings of the last disk found, where the chain broke
        // off; its text names the disks.
        if (!chain.failure.empty()) {
            Say(disk, Level::Error, "parent", Shown(chain.failure));
        }
    }
    ReportLine("errors=" + std::to_string(counts.errors) + " warnings=" + std::to_string(counts.warnings) +
               " notes=" + std::to_string(counts.notes));
}
