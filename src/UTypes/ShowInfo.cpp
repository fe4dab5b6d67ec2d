// info: prints the footer of a VHD and, for a dynamic or differencing disk,
// the main fields of its dynamic disk header with the table size and the
// first block offset derived from them; for a differencing disk also its
// parent fields and the disks of its chain. No file is ever written.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "DiskChain.h"
#include "Platform/Platform.h"
#include "Report.h"
#include "VhdCommands.h"
#include "VhdRecords.h"

namespace {

// Upper-case hexadecimal, at least four digits: 0x00010000 gives 10000.
std::string Hex4(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04" PRIX32, value);
    return text;
}

void PrintFooterLines(const HardDiskFooter& footer)
{
    ReportLine("features=" + std::to_string(Swap32(footer.features)));
    ReportLine("Format=$" + Hex4(Swap32(footer.fileFormatVersion)));
    ReportLine("Data_offset=" + std::to_string(static_cast<int64_t>(Swap64(footer.dataOffset))));
    ReportLine("Creator_Application=" + FieldText(footer.creatorApplication, 4));
    ReportLine("Creator_Version=$" + Hex4(Swap32(footer.creatorVersion)));
    ReportLine("Creator_Host_OS=" + FieldText(footer.creatorHostOs, 4));
    ReportLine("Original_Size=" + std::to_string(static_cast<int64_t>(Swap64(footer.originalSize))));
    ReportLine("Current_Size=" + std::to_string(static_cast<int64_t>(Swap64(footer.currentSize))));
    ReportLine("Checksum=$" + Hex4(Swap32(footer.checksum)));
    ReportLine("saved_state=" + std::to_string(footer.savedState));
}

// A Unique Id as hexadecimal in groups of 8-4-4-4-12 digits, lowercase,
// its bytes in stored order.
std::string UniqueIdText(const uint8_t* id)
{
    std::string text;
    for (int i = 0; i < 16; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", id[i]);
        text += (i == 4 || i == 6 || i == 8 || i == 10 ? "-" : "") + std::string(digits);
    }
    return text;
}

// The parent fields of a differencing disk's header and the disks of its
// chain, nearest first. A chain that cannot be read is said on standard
// error after the disks found.
void PrintParentLines(const std::string& path, PlatformFile* file, int64_t size, const DynamicDiskHeader& header)
{
    ReportLine("Parent_Unique_Id=" + UniqueIdText(header.parentUniqueId));
    ReportLine("Parent_Time_Stamp=" + std::to_string(Swap32(header.parentTimeStamp)));
    ReportLine("Parent_Name=" + Shown(ParentName(header)));
    for (const ParentLocator& locator : header.parentLocators) {
        if (std::all_of(std::begin(locator.platformCode), std::end(locator.platformCode),
                        [](char c) { return c == 0; })) {
            continue;  // no entry
        }
        const std::string code = FieldText(locator.platformCode, sizeof locator.platformCode);
        std::string text;
        if (!ReadLocatorText(file, size, locator, &text)) {
            text = "(" + std::to_string(Swap32(locator.dataLength)) + " bytes at " +
                   std::to_string(Swap64(locator.dataOffset)) + ")";
        }
        ReportLine("Parent_Locator=" + Shown(code) + " " + Shown(text));
    }
    const DiskChain chain = FindParents(path, file, size, header);
    for (const ChainDisk& disk : chain.parents) {
        ReportLine("Parent=" + Shown(disk.path));
    }
    if (!chain.failure.empty()) {
        ReportProblem(chain.failure);
    }
}

// The header is always looked for at 512, whatever the footer's Data
// Offset says; a read that finds the end of the file leaves zeros, which
// are printed as they are, and a failed read is said on stderr.
void PrintHeaderLines(const std::string& path, PlatformFile* file, int64_t size, bool differencing)
{
    DynamicDiskHeader header;
    if (ReadDynamicHeader(file, kHeaderOffset, header) < 0) {
        ReportProblem("could not read the dynamic disk header: " + PlatformErrorText());
    }

    const auto tableOffset = static_cast<int64_t>(Swap64(header.tableOffset));
    const uint32_t entries = Swap32(header.maxTableEntries);
    ReportLine("Table_Offset=" + std::to_string(tableOffset));
    ReportLine("Header_Version=$" + Hex4(Swap32(header.headerVersion)));
    // What the table covers: an entry for each block.
    ReportLine("max_entries=" + std::to_string(entries) + " -> " +
               std::to_string(uint64_t{entries} * Swap32(header.blockSize)) + " bytes");
    ReportLine("block_size=" + std::to_string(Swap32(header.blockSize)));
    ReportLine("Checksum=$" + Hex4(Swap32(header.checksum)));
    ReportLine("");

    // The table's size as a 32-bit byte count, not rounded to a sector.
    const uint32_t tableSize = entries * 4u;
    const int64_t firstBlock = FirstBlockOffset(tableOffset, tableSize);
    ReportLine("BAT size=" + std::to_string(tableSize));
    ReportLine("1st block offset=" + std::to_string(static_cast<uint32_t>(firstBlock)));
    if (differencing) {
        PrintParentLines(path, file, size, header);
    }
}

}  // namespace

void ShowInfo(const std::string& path)
{
    const int64_t size = QueryFileSize(path);
    ReportLine("filesize=" + std::to_string(size));
    if (size % kSectorSize != 0) {
        ReportFailure("mod 512 <>0");
        if (size < 0) {
            ReportCannotOpen(path, PlatformErrorText());
        }
        return;
    }

    // Shared for reading and writing, so a report can be taken of an image
    // that another program holds open.
    const FileHandle file(PlatformOpen(path, OpenMode::ReadExisting), PlatformClose);
    if (!file) {
        // The report goes on: with nothing read, no footer is recognised.
        ReportCannotOpen(path, PlatformErrorText());
    }
    // An empty file reads nothing, and is no VHD; a read that fails is said.
    const DiskRecords records = RecogniseDisk(file.get(), size, FooterAt::End);
    if (file && !records.readError.empty()) {
        ReportProblem("could not read the footer of " + path + ": " + records.readError);
    }

    int64_t originalSize = 0;
    int64_t currentSize = 0;
    const HardDiskFooter& footer = records.footer;
    const uint32_t diskType = records.type;
    if (diskType != 0) {
        originalSize = static_cast<int64_t>(Swap64(footer.originalSize));
        currentSize = static_cast<int64_t>(Swap64(footer.currentSize));
        ReportLine(diskType == kDiskTypeFixed     ? "Infos found in header - fixed"
                   : diskType == kDiskTypeDynamic ? "Infos found in header - dynamic"
                                                  : "Infos found in header - differencing");
        PrintFooterLines(footer);
    }
    if (diskType == kDiskTypeDynamic || diskType == kDiskTypeDifferencing) {
        ReportLine("");
        PrintHeaderLines(path, file.get(), size, diskType == kDiskTypeDifferencing);
    }
    if (originalSize == 0 && currentSize == 0) {
        ReportFailure("not a valid vhd");
    }
}
