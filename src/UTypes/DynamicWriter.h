// The records of every dynamic disk dravik writes, the rebuild's "new.vhd"
// and conv2dyn's: a footer at 0 and the same footer at the end, the header
// at 512, the table at 1536 with an entry for every 2 MiB of the disk and
// of its geometry, padded with unallocated entries to a whole sector. The
// blocks lie after the table. Each command writes the records and its
// blocks in its own order; the records come from here.
#pragma once

#include <cstdint>

#include "VhdRecords.h"

struct NewDynamicDisk {
    HardDiskFooter footer;
    DynamicDiskHeader header;
    uint32_t entries;  // Max Table Entries
    int64_t tableEnd;  // the table padded to a whole sector: where blocks may start
};

// The records of a disk of `size` bytes whose table has at least
// `leastEntries` entries. False when no table of 32-bit entries holds it.
bool PlanDynamicDisk(int64_t size, uint64_t leastEntries, NewDynamicDisk& disk);

// The entries of the padded table, unallocated ones after Max Table Entries.
int64_t PaddedEntries(const NewDynamicDisk& disk);
