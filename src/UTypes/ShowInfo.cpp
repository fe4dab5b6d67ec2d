// info: prints the footer of a VHD and, for a dynamic disk, the main fields
// of its dynamic disk header with the table size and the first block
// offset derived from them. The file is only ever read.
#include <cinttypes>
#include <cstdio>

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

// The header is always looked for at 512, whatever the footer's Data
// Offset says; a read that finds the end of the file leaves zeros, which
// are printed as they are, and a failed read is said on stderr.
void PrintHeaderLines(PlatformFile* file)
{
    DynamicDiskHeader header;
    if (ReadDynamicHeader(file, kHeaderOffset, header) < 0) {
        ReportProblem("could not read the dynamic disk header: " + PlatformErrorText());
    }

    const auto tableOffset = static_cast<int64_t>(Swap64(header.tableOffset));
    const uint32_t entries = Swap32(header.maxTableEntries);
    ReportLine("Table_Offset=" + std::to_string(tableOffset));
    ReportLine("Header_Version=$" + Hex4(Swap32(header.headerVersion)));
    ReportLine("max_entries=" + std::to_string(entries) + " -> " + std::to_string(uint64_t{entries} * 2097152) +
               " bytes");
    ReportLine("block_size=" + std::to_string(Swap32(header.blockSize)));
    ReportLine("Checksum=$" + Hex4(Swap32(header.checksum)));
    ReportLine("");

    // The table's size as a 32-bit byte count, not rounded to a sector.
    const uint32_t tableSize = entries * 4u;
    const int64_t firstBlock = FirstBlockOffset(tableOffset, tableSize);
    ReportLine("BAT size=" + std::to_string(tableSize));
    ReportLine("1st block offset=" + std::to_string(static_cast<uint32_t>(firstBlock)));
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
    HardDiskFooter footer{};
    // An empty file reads nothing, and is no VHD; a read that fails is said.
    if (file && size > 0 && ReadFooter(file.get(), size - kFooterSize, footer) < 0) {
        ReportProblem("could not read the footer of " + path + ": " + PlatformErrorText());
    }

    int64_t originalSize = 0;
    int64_t currentSize = 0;
    const uint32_t diskType = RecogniseFooter(footer);
    if (diskType != 0) {
        originalSize = static_cast<int64_t>(Swap64(footer.originalSize));
        currentSize = static_cast<int64_t>(Swap64(footer.currentSize));
        ReportLine(diskType == kDiskTypeFixed ? "Infos found in header - fixed" : "Infos found in header - dynamic");
        PrintFooterLines(footer);
    }
    if (diskType == kDiskTypeDynamic) {
        ReportLine("");
        PrintHeaderLines(file.get());
    }
    if (originalSize == 0 && currentSize == 0) {
        ReportFailure("not a valid vhd");
    }
}
