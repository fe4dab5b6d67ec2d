// The one writer of dynamic disks: the records of every dynamic or
// differencing disk dravik writes, where its blocks go, the table writer,
// the limit of what a table entry can name, and the rule that the footers
// come last.
//
// A new disk is the footer copy at 0, the header at 512, the table at 1536
// with an entry for every 2 MiB of the disk and of its geometry, padded with
// unallocated entries to a whole sector, then the blocks, each a sector of
// bitmap and 2 MiB of data, then the footer. The blocks go by one of two
// layouts, which the command chooses. Its writer writes the header first,
// the table and blocks next, and the footers last, each only when every
// write before it succeeded: the one at the end, then the copy at 0. A file
// cut short before them has no footer at either end, and no reader takes it
// for a whole disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VhdRecords.h"

struct PlatformFile;

// Where a new disk's blocks go.
enum class BlockLayout {
    Packed,  // each block right after the table or the block before
    // each block's data on the first 4 KiB boundary after the table or the
    // data before, its bitmap in the sector just before: a guest's pages
    // fall on pages of the file, and file systems can share them
    Aligned,
};

struct NewDynamicDisk {
    HardDiskFooter footer;
    DynamicDiskHeader header;
    uint32_t entries;                  // Max Table Entries
    int64_t tableEnd;                  // the table padded to a whole sector
    std::vector<uint8_t> locatorData;  // a differencing disk's parent locators' data, from tableEnd on
    int64_t blocksFrom;                // after the table and that data: where blocks may start
};

// The records of a dynamic disk of `size` bytes whose table has at least
// `leastEntries` entries. False when no table of 32-bit entries holds it.
bool PlanDynamicDisk(int64_t size, uint64_t leastEntries, NewDynamicDisk& disk);

// The records of a differencing disk over the disk whose footer is
// `parent`: its size and stored geometry, a table that covers both, the
// parent named by `name` (its absolute path) and by a W2ku locator of
// `absolute` and, unless it is empty, a W2ru locator of `relative`, each
// in whole sectors after the table.
bool PlanDifferencingDisk(const HardDiskFooter& parent, const std::string& name, const std::string& absolute,
                          const std::string& relative, NewDynamicDisk& disk);

// The data of a locator `code` naming `path`, to lie at `offset`: the path
// in UTF-16 little-endian, padded to whole sectors, appended to `data`.
LocatorEntry AddLocatorData(const char* code, const std::string& path, uint64_t offset, std::vector<uint8_t>& data);

// The entries of the padded table, unallocated ones after Max Table Entries.
int64_t PaddedEntries(const NewDynamicDisk& disk);

// Where the first block's bitmap goes, and each next one after the one at
// `place`. The footer goes where the next block would start in the file:
// FooterPlace of the last block's place, or the table's end with no block.
int64_t FirstBlockPlace(const NewDynamicDisk& disk, BlockLayout layout);
int64_t NextBlockPlace(int64_t place, BlockLayout layout);
int64_t FooterPlace(int64_t lastPlace);

// The table entry, as stored, that names a block whose bitmap lies at
// `place`. False where no entry can name it: every sector from
// kFirstUnallocatedEntry on reads as no block.
bool EntryFor(int64_t place, uint32_t* stored);

// Table entries in one write: `count` stored entries for entries `first`
// on of the table at `tableOffset`. Gives PlatformWriteAt's count.
constexpr uint32_t kEntriesPerWrite = 4u << 20;  // 16 MiB of table: every real disk's table in one write
int64_t WriteEntries(PlatformFile* file, int64_t tableOffset, uint64_t first, const uint32_t* stored, uint32_t count);

// The footers, last: `footer` at `end`, then its copy at 0, only once the
// one at the end is written. Gives false, with the error saved, at the
// first write that fails.
bool WriteFooters(PlatformFile* file, const HardDiskFooter& footer, int64_t end);

// A disk that grows gets its footer at its new end first, before anything
// is written where the footer was: the file always ends with a footer.
bool WriteFooterAt(PlatformFile* file, const HardDiskFooter& footer, int64_t end);

// A header, in one write: a stop before it leaves the old one whole.
bool WriteHeader(PlatformFile* file, int64_t at, const DynamicDiskHeader& header);

// A whole new disk without blocks, in the writer's order: the header and
// the locators' data, the table of unallocated entries in large pieces,
// the footers. Gives false, with the error saved, at the first write that
// fails.
bool WriteEmptyDisk(PlatformFile* file, const NewDynamicDisk& disk);
