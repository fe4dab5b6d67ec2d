// Every command line dravik is tested with, run in-process (also on two workers copying inside the system) and as the
// program (also under Wine). A row: the files made first, what the command prints between the front end's lines, its
// status, the files it writes ("NAME=LENGTH:DIGEST", or "NAME<VHD": VHD's image by ExpectedImage) or removes ("-NAME"),
// its standard error; no other file may change. In outputs "|" ends a line, "X~N" is N lines X, "*" any text, "{E}"
// an injected error's text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include "ExpectedImage.h"
#include "FrontEnd.h"
#include "TestFiles.h"
#include "TestPlatform.h"

namespace {

// What a row's files are after any one fault (UnderFaults, below).
enum class Keeps {
    Nothing,  // not tried
    Sources,  // the files there before are as they were
    Either,   // every file is as before or as after a clean run
    Footer,   // a.vhd ends with a fixed footer of its size
    New,      // as Sources; a failed run adds no file, a stopped one none with a footer unless it is whole
    Partial,  // as Sources; a failed or stopped run adds no file with a footer unless it is whole
};

struct Options {
    Faults faults = {};     // injected: in-process only
    bool posix = false;     // for POSIX only
    int limitKiB = 0;       // a file size limit, as on a full disk: for the program on POSIX only
    bool terminal = false;  // standard error is a terminal
    bool fatal = false;     // the run ends without "done"
    bool workers = false;   // calls run on the workers where there are two, named faults too
    Keeps underFaults = Keeps::Nothing;
};

struct Case {
    const char* name;
    void (*setup)();      // makes files in the current folder
    const char* command;  // the arguments, split at blanks; '' is an empty one
    const char* out;
    int status;
    const char* files = "";
    const char* err = "";
    Options options = {};
};

// in.vhd of the given first and last records: kA finds a header of one entry at 512, kB one of two at 2048 (their
// tables at 4096), kFix a fixed disk of the 7,680 bytes before it.
const std::string kZeros(512, '\0'), kA = Footer(3, kBlock, 512), kB = Footer(3, 2 * kBlock, 2048),
                                     kFix = Footer(2, 7680);
void Records(const std::string& first, const std::string& last)
{
    Put("in.vhd", 0, first + Header(1, 4096) + kZeros + Header(2, 4096) + kZeros + kZeros + Entries({kFree, kFree}));
    Put("in.vhd", 7680, last);
}

void FixedA()
{
    Fixed("a.vhd", 10 * kMiB);
}
void FixedIn()
{
    Fixed("in.vhd", 1000448);
}
void Fixed4K()
{
    Fixed("in.vhd", 4096);
}
void Image4K()
{
    Raw("a.img", 4096);
}
void Source()
{
    Dynamic("src.vhd", 10 * kMiB, {3, 0});
}
void Blocks12()
{
    Dynamic("in.vhd", 3 * kBlock, {1, 2});
}

// Each makes what its row's name says.
void WrongChecksum()
{
    std::string footer = kFix;
    footer[64] ^= 0x5A;
    Records(kZeros, footer);
}
void DamagedTrailingFooter()
{
    const int64_t length = Dynamic("in.vhd", 2 * kBlock, {1}, {.bitmap = 0x80});
    Put("in.vhd", length - 512, "conectiX");
}
void FieldFormats()
{
    std::string f = Footer(2, 10 * kMiB);
    f.replace(8, 8, Be(0xFFFFFFFF, 4) + Be(0, 4));
    f.replace(28, 12, std::string("AB\0C", 4) + Be(0x12, 4) + "ABC ");
    f.replace(40, 8, Be(0x8000000000000005, 8));
    f[84] = '\xFF';
    Put("a.vhd", 0, SetChecksum(f, 64));
}
void ImageAndDestination()
{
    Raw("a.img", 2048);
    Put("b.vhd", 0, "precious");
}
void FixedAndOldImage()
{
    Fixed4K();
    Raw("out.img", 100000);
}
void FixedAndLinkToIt()
{
    Fixed4K();
    fs::create_symlink("in.vhd", "soft.img");
}
void FixedAndLinkElsewhere()
{
    Fixed4K();
    Raw("t", 9);
    fs::create_symlink("t", "l.img");
}
void FixedAndFolder()
{
    Fixed("in.vhd", 102400);
    fs::create_directory("sub");
}
// 48 MiB: more moves than workers.
void Fixed48MiB()
{
    Put("in.vhd", 0, Pattern(48 * kMiB, 1) + Footer(2, 48 * kMiB));
}

// Blocks of entries 4, 0, 2, 5 whose bitmaps give data sector 0; 31; all; 8 to 23 and 4088 to 4095.
void Bitmaps()
{
    Dynamic("in.vhd", 6 * kBlock, {4, 0, 2, 5}, {.bitmap = 0});
    const int64_t block = 512 + kBlock;
    Put("in.vhd", 2048, "\x80");
    Put("in.vhd", 2048 + block + 3, "\x01");
    Put("in.vhd", 2048 + 2 * block, std::string(512, '\xFF'));
    Put("in.vhd", 2048 + 3 * block + 1, "\xFF\xFF");
    Put("in.vhd", 2048 + 3 * block + 511, "\xFF");
}

// Entries 0xFFFFFE00 (none), 0xFFFFFDFF (a block at 2 TiB cut after 2 sectors), 0x00800000 (a block at 4 GiB).
void HighEntries()
{
    Dynamic("in.vhd", 3 * kBlock, {});
    Put("in.vhd", 1536, Entries({0xFFFFFE00, 0xFFFFFDFF, 0x00800000}));
    Put("in.vhd", int64_t{0x00800000} * 512, std::string(512, '\xFF') + Pattern(kBlock, 5));
    Put("in.vhd", int64_t{0xFFFFFDFF} * 512, "\x40" + std::string(511, '\0') + Pattern(1024, 6));
    Put("in.vhd", int64_t{0xFFFFFDFF} * 512 + 512 + kBlock, Footer(3, 3 * kBlock, 512));
}
void NoHeaderAndOldImage()
{
    Dynamic("in.vhd", kBlock, {});
    Put("in.vhd", 512, "cxsparsE");
    Put("out.img", 0, "old");
}

// 1,000 entries at 4088: two in the file, 998 past its end.
void TablePastEnd()
{
    std::string footer = Footer(3, 0, 512);
    footer.replace(504, 8, 8, '\xFF');
    Put("in.vhd", 0, footer + Header(1000, 4088) + std::string(2048, '\0') + footer);
}

// 2^32 - 1 entries and a Current Size of 2^64 - 1, in 4 KiB: the footer at its end is table too, its Features (2) and
// last bytes (0) naming blocks in the file, which the digest pins.
void ClaimsBeyondAnyFile()
{
    Put("in.vhd", 0, Footer(3, -1, 512) + Header(0xFFFFFFFF) + Entries({kFree, 9999}));
    Put("in.vhd", 1544, std::string(2040, '\xFF') + Footer(3, -1, 512));
}

void DataAndDifferencingFooter()
{
    Raw("a.vhd", 512);
    Put("a.vhd", 512, Footer(4, 512, 512));
}
void SourceInFolder()
{
    fs::create_directory("dir");
    Dynamic("dir/src.vhd", 10 * kMiB, {3, 0});
}
void SourceAndOldNewVhd()
{
    Dynamic("src.vhd", 10 * kMiB, {1});
    Put("new.vhd", 0, "earlier");
}
void SourceLinkedAsNewVhd()
{
    Dynamic("src.vhd", 4 * kMiB, {1});
    fs::create_hard_link("src.vhd", "new.vhd");
}

// src.vhd, 4 MiB with its block 0, with `bytes` at `at`.
void SourceWith(int64_t at, const std::string& bytes)
{
    Dynamic("src.vhd", 4 * kMiB, {0});
    Put("src.vhd", at, bytes);
}

// 2^32 - 1 entries, in 3.5 KiB.
void ClaimsBeyondItsFile()
{
    Put("src.vhd", 0, Footer(3, 6 * kMiB, 512) + Header(0xFFFFFFFF) + std::string(1536, '\0'));
    Put("src.vhd", 3072, Footer(3, 6 * kMiB, 512));
}

// Current Size from a geometry, a table after a gap, blocks out of order with a gap, the last cut after 1 MiB.
void OtherLayout()
{
    Dynamic("src.vhd", 21 * kMiB - 7 * 512, {7, 2, -1, 10, 0},
            {.tableOffset = 2048, .entries = 11, .firstBlock = 3072, .length = 3072 + 5 * (512 + kBlock) - kMiB});
}

// 20 blocks, 15 back to back, then 5 with a gap before each.
void TwentyBlocks()
{
    Dynamic("src.vhd", 40 * kMiB,
            {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, -1, 19, -1, 16, -1, 15, -1, 18, -1, 17});
}

// top.avhd over mid.vhd (named by W2ru; then a name of 2, 3 and 4 UTF-8 bytes, a lone surrogate, U+E000) over base.vhd,
// dynamic (named by a W2ku path's last part).
void ThreeDeep()
{
    Dynamic("base.vhd", 4 * kBlock, {3, 0, 1});
    SetUniqueId("base.vhd", 'B');
    Differencing("mid.vhd", 4 * kBlock, {1}, 0x0F, 'B', u"", {{"W2ku", u"C:\\old\\base.vhd"}});
    SetUniqueId("mid.vhd", 'M');
    Differencing("top.avhd", 4 * kBlock, {1, 2}, 0xF0, 'M', u"",
                 {{"W2ru", u".\\mid.vhd"}, {"Wi2r", u"?"}, {"W2ku", u"\u00e9\u20ac\U0001D11E\xD800\uE000"}});
}
void ThreeDeepWithoutBase()
{
    ThreeDeep();
    fs::remove("base.vhd");
}

// top.avhd of 512 KiB blocks over mid.vhd of 2 MiB ones over base.vhd, dynamic, of 512 KiB ones, each named by W2ru;
// each disk's bitmaps give some of the image's sectors.
void BlockSizesChain()
{
    Dynamic("base.vhd", 4 * kMiB, {7, 0, 2, 5}, {.blockSize = kMiB / 2, .bitmap = 0xF3});
    SetUniqueId("base.vhd", 'B');
    Differencing("mid.vhd", 4 * kMiB, {1}, 0x1E, 'B', u"", {{"W2ru", u".\\base.vhd"}});
    SetUniqueId("mid.vhd", 'M');
    Differencing("top.avhd", 4 * kMiB, {6, 1, 3}, 0x81, 'M', u"", {{"W2ru", u".\\mid.vhd"}}, kMiB / 2);
}

// child.avhd over fixed.vhd, half its size, named by its name.
void OverFixed()
{
    Fixed("fixed.vhd", 2 * kBlock);
    SetUniqueId("fixed.vhd", 'F');
    Differencing("child.avhd", 4 * kBlock, {3, 0}, 0x81, 'F', u"fixed.vhd", {});
}

// a.avhd over b.avhd over a.avhd again.
void Loop()
{
    Differencing("a.avhd", kBlock, {0}, 0xFF, 'B', u"", {{"W2ru", u".\\b.avhd"}});
    SetUniqueId("a.avhd", 'A');
    Differencing("b.avhd", kBlock, {}, 0, 'A', u"", {{"W2ru", u".\\a.avhd"}});
    SetUniqueId("b.avhd", 'B');
}

// 65 differencing disks, each over the next.
void TooDeep()
{
    for (int i = 0; i <= 64; ++i) {
        const std::string next = ".\\d" + std::to_string(i + 1) + ".vhd";
        Differencing("d" + std::to_string(i) + ".vhd", kBlock, {}, 0, char(i + 1), u"",
                     {{"W2ru", std::u16string(next.begin(), next.end())}});
        SetUniqueId("d" + std::to_string(i) + ".vhd", char(i));
    }
}

// a.avhd over base.vhd, of blocks of 512 MiB.
void LargeBlocks()
{
    Dynamic("base.vhd", 4 * kMiB, {}, {.blockSize = 512 * kMiB});
    SetUniqueId("base.vhd", 'B');
    Differencing("a.avhd", 4 * kMiB, {}, 0, 'B', u"base.vhd", {});
}

// a.avhd names ./gone.vhd, not there, then ./old.vhd, another disk; or a FIFO and a device.
void GoneAndAnotherId()
{
    Fixed("old.vhd", kBlock);
    Differencing("a.avhd", kBlock, {}, 0, 'P', u"", {{"W2ru", u".\\gone.vhd"}, {"W2ru", u".\\old.vhd"}});
}
void FifoAndDevice()
{
#ifndef _WIN32
    mkfifo("fifo", 0600);
#endif
    Differencing("a.avhd", kBlock, {}, 0, 'P', u"", {{"W2ru", u".\\fifo"}, {"MacX", u"file://localhost/dev/nul%6C"}});
}

// in.vhd of three blocks, cut short in the middle of the last: its trailing footer gone, its copy at the start left.
void CutShort()
{
    Dynamic("in.vhd", 3 * kBlock, {2, 0, 1});
    fs::resize_file("in.vhd", 2048 + 2 * (512 + kBlock) + kMiB);
}

// a.img of 5 MiB and 7 bytes: data, a hole, data.
void OddRaw()
{
    Put("a.img", 0, Pattern(3000, 1));
    Put("a.img", 5 * kMiB + 7, Pattern(1000, 2));
}

// d.vhd, 4 MiB: blocks of entries 1 and 0, a table covering its geometry; `bytes` at `at`.
void Dynamic4(int64_t at = 0, const std::string& bytes = "")
{
    Dynamic("d.vhd", 4 * kMiB, {1, 0}, {.entries = 3});
    if (!bytes.empty())
        Put("d.vhd", at, bytes);
}

#define USAGE                                                                                        \
    "dravik 0.2 by *|dravik conv2img source_file.vhd dest_file.img|dravik conv2vhd source_file.img " \
    "dest_file_fixed.vhd|dravik resize source_file_fixed.vhd size_in_Mbytes|"                        \
    "dravik info source_file.vhd|dravik conv2dyn source_file dest_file_dynamic.vhd|"                 \
    "dravik check source_file.vhd|dravik create dest_file.vhd size_in_Mbytes [fixed]|"               \
    "dravik child parent_file.vhd dest_file_child.vhd|dravik merge child_file.vhd|"                  \
    "dravik reparent child_file.vhd parent_file.vhd"
#define FIXED "disk_type=fixed"
#define FS10 "filesize=10486272"
#define DYNAMIC "disk_type=dynamic"
#define NOT_VHD "file is not a vhd file and/or a fixed hard disk"
#define SAME "destination is the source file"
#define RAW "disk_type=raw"
#define LAYOUT "filesize=*|unsupported dynamic disk layout"

#define D4 "disk_type=dynamic|note: geometry-size: *|note: cloud: *|"
#define E1 "|errors=1 warnings=0 notes="

const char *const kToImg = "conv2img in.vhd out.img", *const kToVhd = "conv2vhd a.img a.vhd",
                  *const kInfoA = "info a.vhd", *const kInfoD = "info d.vhd", *const kA20 = "resize a.vhd 20",
                  *const kSrc8 = "resize src.vhd 8", *const kSrc20 = "resize src.vhd 20",
                  *const kChild = "conv2img a.avhd out.img";
const char *const kCheck = "check d.vhd", *const kImage = "out.img<in.vhd";

const Case kCases[] = {
    // The front end
    {"usage", [] {}, "", USAGE, 0},
    {"unknown_word", [] {}, "conv2vhf a b", "", 1, "", "dravik: unknown command 'conv2vhf'|" USAGE},
    {"size_not_an_integer",
     [] { Fixed("a.vhd", kMiB); },
     "resize a.vhd ten",
     "",
     1,
     "",
     "*|'ten' is not a valid integer value.",
     {.fatal = true}},
    {"info_no_path", [] {}, "info", "filesize=-1|mod 512 <>0", 1, "", "dravik: cannot open : *"},
    {"version", [] {}, "--version", "dravik 0.2 by *", 0},
    // conv2vhd
    {"to_vhd",
     [] { Raw("a.img", kMiB); },
     kToVhd,
     "",
     0,
     "-a.img a.vhd=1049088:fcb48f8e",
     "",
     {.underFaults = Keeps::Either}},
    {"to_vhd_2040GiB", [] { Raw("a.img", int64_t{2040} << 30); }, kToVhd, "", 0, "-a.img a.vhd=2190433321472:6d932de8"},
    {"to_vhd_beyond_2040GiB", [] { Raw("a.img", (int64_t{2040} << 30) + 512); }, kToVhd, "", 0,
     "-a.img a.vhd=2190433321984:292c669f",
     "dravik: warning: the disk is 2190433321472 bytes, more than the 2190433320960 bytes (2040 GiB) the VHD format "
     "allows; Hyper-V and qemu-img will not open it"},
    {"to_vhd_no_source", [] { Raw("keep.img", 512); }, "conv2vhd '' x.vhd", "", 1, "", "dravik: no source file given"},
    {"to_vhd_destination_exists", ImageAndDestination, "conv2vhd a.img b.vhd", "", 1, "",
     "dravik: b.vhd exists; not replaced, and a.img is unchanged"},
    {"to_vhd_no_folder", Image4K, "conv2vhd a.img no/a.vhd", "", 1, "",
     "dravik: could not rename a.img to no/a.vhd: *; a.img is unchanged"},
    {"to_vhd_pads_1000000_bytes", [] { Raw("a.img", 1000000); }, kToVhd, "", 0, "-a.img a.vhd=1000960:d54f685a",
     "dravik: a.img was 1000000 bytes, not whole sectors: 448 zero bytes added"},
    // A VHD, or another format's image by the signature it begins with, is no raw image.
    {"to_vhd_of_fixed", FixedA, "conv2vhd a.vhd b.vhd", "", 1, "", "*a.vhd is already a fixed VHD"},
    {"to_vhd_of_dynamic", [] { Dynamic4(); }, "conv2vhd d.vhd b.vhd", "", 1, "", "*already a dynamic VHD"},
    {"to_vhd_of_differencing", OverFixed, "conv2vhd child.avhd b.vhd", "", 1, "", "*already a differencing VHD"},
    {"to_vhd_of_cut_dynamic", CutShort, "conv2vhd in.vhd b.vhd", "", 1, "", "*already a dynamic VHD"},
    {"to_vhd_of_vhdx", [] { Put("a.img", 0, "vhdxfile"); }, kToVhd, "", 1, "", "*a.img is a VHDX image, not a raw*"},
    {"to_vhd_of_qcow2", [] { Put("a.img", 0, "QFI\xFB" + Be(3, 4)); }, kToVhd, "", 1, "", "*a qcow2 image*"},
    {"to_vhd_of_vmdk", [] { Put("a.img", 0, "KDMV"); }, kToVhd, "", 1, "", "*a VMDK image*"},
    {"to_vhd_of_vdi", [] { Put("a.img", 64, "\x7F\x10\xDA\xBE"); }, kToVhd, "", 1, "", "*a VDI image*"},
    {"to_dyn_of_vhdx", [] { Put("a.img", 0, "vhdxfile"); }, "conv2dyn a.img a.vhd", "", 1, "", "*a VHDX image*"},
    {"to_vhd_no_destination", [] { Raw("a.img", 512); }, "conv2vhd a.img ''", "", 1, "a.img=1024:3ffd5873",
     "dravik: no destination given; a.img now ends with a footer and keeps its name"},
    {"to_vhd_disk_full",
     [] { Raw("a.img", kMiB); },
     kToVhd,
     "WriteFile failed",
     1,
     "",
     "dravik: footer not written to a.img: File too large; the file is unchanged and keeps its name",
     {.limitKiB = 1024}},
    {"to_vhd_cut_back_fails",
     Image4K,
     kToVhd,
     "WriteFile failed",
     1,
     "",
     "dravik: could not cut a.img back to its original length: {E}",
     {.faults = {.fail = "write 1,setlength 1"}}},
    // info
    {"info_dynamic",
     [] { Dynamic("d.vhd", 10 * kMiB, {}); },
     kInfoD,
     "filesize=2560|Infos found in header - dynamic|*|Data_offset=512|*|Current_Size=10485760|Checksum=$FFFFF801|"
     "saved_state=0||Table_Offset=1536|Header_Version=$10000|max_entries=5 -> 10485760 bytes|"
     "block_size=2097152|Checksum=$FFFFF472||BAT size=20|1st block offset=2048",
     0,
     "",
     "",
     {.underFaults = Keeps::Sources}},
    {"info_header_not_at_512", [] { Dynamic("d.vhd", 10 * kMiB, {}, {.headerAt = 1024}); }, kInfoD,
     "*|Data_offset=1024|*||Table_Offset=0|Header_Version=$0000|max_entries=0 -> 0 bytes|block_size=0|"
     "Checksum=$0000||BAT size=0|1st block offset=0",
     0},
    {"info_formats", FieldFormats, kInfoA,
     "filesize=512|Infos found in header - fixed|features=4294967295|Format=$0000|Data_offset=-1|"
     "Creator_Application=AB|Creator_Version=$0012|Creator_Host_OS=ABC |Original_Size=-9223372036854775803|"
     "Current_Size=10485760|Checksum=$*|saved_state=255",
     0},
    {"info_block_size", [] { Dynamic("d.vhd", 4 * kMiB, {}, {.blockSize = kMiB / 2}); }, kInfoD,
     "*|max_entries=8 -> 4194304 bytes|block_size=524288|*", 0},
    {"info_sizes_zero", [] { Put("z.vhd", 0, Footer(2, 0)); }, "info z.vhd",
     "filesize=512|Infos found in header - fixed|*|not a valid vhd", 1},
    {"info_no_header", [] { Put("d.vhd", 0, Footer(4, 512, 512)); }, kInfoD,
     "filesize=512|Infos found in header - differencing|*|Parent_Name=", 1, "",
     "dravik: d.vhd has no dynamic disk header"},
    // conv2img: recognition, by the first and the last record
    {"rec_dynamic_dynamic", [] { Records(kA, kB); }, kToImg, DYNAMIC, 0, kImage},
    {"rec_dynamic_differencing", [] { Records(kA, Footer(4, 7680, 2048)); }, kToImg, NOT_VHD, 1, "",
     "dravik: the parent of in.vhd was not found; its header names no path"},
    {"rec_fixed_zeros", [] { Records(kFix, kZeros); }, kToImg, NOT_VHD, 1},
    {"rec_cookie_cut", [] { Records(Footer(3, 0, 512, "conec\0ix"), Footer(2, 0, -1, "conec\0ix")); }, kToImg, NOT_VHD,
     1},
    {"rec_wrong_checksum", WrongChecksum, kToImg, FIXED, 0, kImage},
    {"rec_damaged_trailing_footer", DamagedTrailingFooter, kToImg, DYNAMIC, 0, kImage},
    // conv2img: the common part and fixed disks
    {"fixed",
     [] { Fixed("in.vhd", 10 * kMiB); },
     kToImg,
     FIXED,
     0,
     kImage,
     "",
     {.workers = true, .underFaults = Keeps::Sources}},
    {"img_missing", [] { Put("out.img", 0, "old"); }, "conv2img nothere.vhd out.img", "mod 512 <>0", 1, "",
     "dravik: cannot open nothere.vhd: *"},
    {"img_replaces", FixedAndOldImage, kToImg, FIXED, 0, kImage},
    {"img_swapped", [] { Raw("a.img", 4096), FixedA(); }, "conv2img a.img a.vhd", NOT_VHD, 1},
    {"img_cut_short", CutShort, kToImg, DYNAMIC, 1, kImage,
     "dravik: in.vhd is cut short: 1 of its blocks or its table lie past its end and read as zeros"},
    {"to_dyn_cut_short", CutShort, "conv2dyn in.vhd d.vhd", DYNAMIC, 1, "", "dravik: in.vhd is cut short: 1 of *"},
    {"chain_parent_cut_short", [] { ThreeDeep(), fs::resize_file("base.vhd", 4 * kMiB); }, "conv2img top.avhd out.img",
     NOT_VHD, 1, "", "dravik: the parent of ./mid.vhd, in * was not found; tried *./base.vhd (no VHD footer)"},
    {"img_onto_link", FixedAndLinkToIt, "conv2img in.vhd soft.img", SAME, 1, "", "", {.posix = true}},
    {"img_through_link",
     FixedAndLinkElsewhere,
     "conv2img in.vhd l.img",
     FIXED,
     0,
     "l.img<in.vhd",
     "",
     {.posix = true}},
    {"img_onto_folder", FixedAndFolder, "conv2img in.vhd sub", FIXED "|writefile error:*", 1, "",
     "dravik: could not create sub: *"},
    // The next four digests: out.img as the injected fault leaves it.
    {"fixed_first_chunk",
     FixedIn,
     kToImg,
     FIXED "|writefile error:{E}",
     1,
     "out.img=0:4fd0bfc1",
     "",
     {.faults = {.badWrite = 100}}},
    {"fixed_write_fails",
     FixedIn,
     kToImg,
     FIXED "|writefile error:{E}",
     1,
     "out.img=196608:552dbc55",
     "",
     {.faults = {.badWrite = 200000}}},
    {"fixed_stops_among_moves",
     Fixed48MiB,
     kToImg,
     FIXED "|readfile error:{E}",
     1,
     "out.img=5242880:08e19bbe",
     "",
     {.faults = {.badRead = 5 * kMiB + 3}}},
    {"img_no_buffer",
     Fixed4K,
     kToImg,
     FIXED,
     1,
     "out.img=0:4fd0bfc1",
     "*|Out of memory.",
     {.faults = {.fail = "alloc 1"}, .fatal = true}},
    {"img_progress",
     Fixed4K,
     kToImg,
     FIXED,
     0,
     kImage,
     "*\rconv2img:   0% *",
     {.posix = true, .terminal = true}},
    // conv2img: dynamic disks
    {"dyn_bitmaps", Bitmaps, kToImg, DYNAMIC, 0, kImage, "", {.underFaults = Keeps::Sources}},
    {"dyn_high_entries", HighEntries, kToImg, DYNAMIC, 0, kImage},
    {"dyn_no_header", NoHeaderAndOldImage, kToImg, "", 1, "",
     "dravik: no dynamic disk header (cookie \"cxsparse\") at byte 512 of the source"},
    // Blocks of 512 B to 8 MiB out of order, bitmaps of their own: 4 KiB ones cut by Current Size, a table of 512 KiB
    // ones shorter than it, of 8 MiB ones longer with absent sectors in a later bitmap sector.
    {"dyn_blocks_512B",
     [] {
         Dynamic("in.vhd", kMiB + 1536, {2050, 5, 1000, 6, 0}, {.blockSize = 512, .bitmaps = {0x80, 0x7F, 0xFF, 0x01}});
     },
     kToImg,
     DYNAMIC,
     0,
     kImage},
    {"dyn_blocks_4KiB",
     [] {
         Dynamic("in.vhd", 3 * kMiB + 1536, {768, 2, 9, 1},
                 {.blockSize = 4096, .entries = 769, .bitmaps = {0xA5, 0x0F, 0xE1}});
     },
     kToImg,
     DYNAMIC,
     0,
     kImage},
    {"dyn_blocks_512KiB",
     [] {
         Dynamic("in.vhd", 3 * kMiB, {3, -1, 0, 1},
                 {.blockSize = kMiB / 2, .entries = 4, .bitmaps = {0x0F, 0xFF, 0xE1, 0x38}});
     },
     kToImg,
     DYNAMIC,
     0,
     kImage},
    {"dyn_blocks_8MiB",
     [] {
         Dynamic("in.vhd", 16 * kMiB, {2, 1, 0}, {.blockSize = 8 * kMiB, .entries = 3, .bitmaps = {0xFF, 0xF0, 0x1E}});
         Put("in.vhd", 4096 + 8 * kMiB + 700, std::string(1000, '\0'));
     },
     kToImg,
     DYNAMIC,
     0,
     kImage},
    {"dyn_block_size_1000", [] { Dynamic("in.vhd", 3 * kBlock, {1}, {.blockSize = 1000}); }, kToImg, NOT_VHD, 1, "",
     "dravik: in.vhd has a Block Size of 1000 bytes, not a power of two from 512 bytes to 256 MiB"},
    {"dyn_table_past_end", TablePastEnd, kToImg, DYNAMIC, 1, kImage,
     "dravik: in.vhd is cut short: 998 of its blocks or its table lie past its end and read as zeros"},
    {"dyn_claims_beyond_any_file", ClaimsBeyondAnyFile, kToImg, DYNAMIC, 1, "out.img=1340083712:976b64a3",
     "dravik: could not give out.img its length of 18446744073709551615 bytes: beyond the largest file position|"
     "dravik: in.vhd is cut short: 4294966780 of its blocks or its table lie past its end and read as zeros"},
    {"dyn_no_table_memory",
     [] { Dynamic("in.vhd", 100 * kBlock, {}); },
     kToImg,
     DYNAMIC,
     1,
     "",
     "dravik: unhandled failure while reading the block allocation table:|Out of memory.",
     {.faults = {.allocLimit = 399}, .fatal = true}},
    // The digest: the image with that block as zeros.
    {"dyn_bitmap_unread",
     [] { Dynamic("in.vhd", kBlock, {0}); },
     kToImg,
     DYNAMIC,
     1,
     "out.img=2097152:960178c8",
     "dravik: could not read the sector bitmap at byte 2048 of the source ({E}); its block is zeros in the image",
     {.faults = {.badRead = 2048}}},
    {"dyn_table_read_redone",
     Blocks12,
     kToImg,
     DYNAMIC,
     0,
     kImage,
     "",
     {.faults = {.fail = "read 3"}}},
    // The digest: out.img as the injected faults leave it.
    {"dyn_sector_by_sector",
     [] {
         Dynamic("in.vhd", 2 * kBlock, {0, 1});
     },
     kToImg,
     DYNAMIC "|writefile error:{E}|readfile error:{E}",
     1,
     "out.img=4194304:51443eab",
     "",
     {.faults = {.badRead = 2048 + 2 * 512 + kBlock + 700 * 512, .badWrite = 10 * 512}}},
    // Differencing disks
    {"chain_info", ThreeDeep, "info top.avhd",
     "*|Infos found in header - differencing|*|1st block offset=2048|"
     "Parent_Unique_Id=4d4d4d4d-4d4d-4d4d-4d4d-4d4d4d4d4d4d|Parent_Time_Stamp=0|Parent_Name=|"
     "Parent_Locator=W2ru .\\mid.vhd|Parent_Locator=Wi2r (2 bytes at 1298)|"
     "Parent_Locator=W2ku "
     "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\xEF\xBF\xBD\xEE\x80\x80|Parent=./mid.vhd|Parent=./base.vhd",
     0},
    {"chain_conv2img", ThreeDeep, "conv2img top.avhd out.img", "disk_type=differencing", 0, "out.img<top.avhd"},
    {"chain_over_fixed", OverFixed, "conv2img child.avhd out.img", "disk_type=differencing", 0,
     "out.img<child.avhd"},
    {"chain_block_sizes", BlockSizesChain, "conv2img top.avhd out.img", "disk_type=differencing", 0,
     "out.img<top.avhd"},
    {"chain_onto_its_base", ThreeDeep, "conv2img top.avhd base.vhd", SAME, 1},
    {"chain_parent_missing", ThreeDeepWithoutBase, "info top.avhd", "*|Parent=./mid.vhd", 1, "",
     "dravik: the parent of ./mid.vhd, in the chain of top.avhd, was not found; tried *./base.vhd (*)"},
    {"chain_another_id", GoneAndAnotherId, kChild, NOT_VHD, 1, "",
     "dravik: the parent of a.avhd was not found; tried ./gone.vhd (*), ./old.vhd (another Unique Id)"},
    {"chain_loop", Loop, kChild, NOT_VHD, 1, "", "dravik: the chain of a.avhd comes back to ./a.avhd"},
    {"chain_parent_not_sectors", [] { OverFixed(), Put("fixed.vhd", 2 * kBlock + 512, "x"); }, "conv2img child.avhd o",
     NOT_VHD, 1, "", "dravik: the parent of child.avhd was not found; tried *fixed.vhd (not whole sectors)*"},
    {"chain_too_deep", TooDeep, "conv2img d0.vhd out.img", NOT_VHD, 1, "",
     "dravik: the chain of d0.vhd is longer than 64 disks"},
    {"chain_large_blocks", LargeBlocks, kChild, NOT_VHD, 1, "",
     "dravik: base.vhd has a Block Size of 536870912 bytes, not a power of two from 512 bytes to 256 MiB"},
    {"chain_fifo_and_device",
     FifoAndDevice,
     kChild,
     NOT_VHD,
     1,
     "",
     "dravik: the parent of a.avhd was not found; tried ./fifo (not a regular file), /dev/null (not a regular file)",
     {.posix = true}},
    // The digest: out.img as the injected fault leaves it.
    {"dyn_stops_among_tasks",
     TwentyBlocks,
     "conv2img src.vhd out.img",
     DYNAMIC "|writefile error:{E}",
     1,
     "out.img=29360128:cc95db40",
     "",
     {.faults = {.fail = "seek 15"}, .workers = true}},
    // conv2dyn
    {"to_dyn_raw", OddRaw, "conv2dyn a.img a.vhd", RAW, 0, "a.vhd=4203008:f610b83a"},
    {"to_dyn_written_zeros", [] { Put("z.img", 0, std::string(3 * kMiB, '\0') + "x"); }, "conv2dyn z.img z.vhd", RAW, 0,
     "z.vhd=2101760:f8c0fa94"},
    {"to_dyn_fixed",
     FixedA,
     "conv2dyn a.vhd d.vhd",
     FIXED,
     0,
     "d.vhd=10506752:36e4723a",
     "",
     {.underFaults = Keeps::New}},
    {"to_dyn_dynamic",
     Bitmaps,
     "conv2dyn in.vhd d.vhd",
     DYNAMIC,
     0,
     "d.vhd=8405504:cde80c81",
     "",
     {.workers = true, .underFaults = Keeps::New}},
    // Wine cannot tell the holes of a sparse file.
    {"to_dyn_beyond_2040GiB",
     [] { Raw("a.img", (int64_t{2040} << 30) + 512); },
     "conv2dyn a.img a.vhd",
     RAW,
     0,
     "a.vhd=10482176:f176c461",
     "dravik: warning: the disk is 2190433321472 bytes, more than *",
     {.posix = true}},
    {"to_dyn_exists", ImageAndDestination, "conv2dyn a.img b.vhd", "", 1, "",
     "dravik: b.vhd exists; conv2dyn writes a new file and never replaces one"},
    {"to_dyn_onto_its_base", ThreeDeep, "conv2dyn top.avhd base.vhd", SAME, 1, "", "dravik: base.vhd exists; *"},
    {"to_dyn_chain_broken", GoneAndAnotherId, "conv2dyn a.avhd d.vhd", NOT_VHD, 1, "",
     "dravik: the parent of a.avhd was not found; *"},
    {"to_dyn_disk_full",
     [] { Raw("a.img", 4 * kMiB); },
     "conv2dyn a.img a.vhd",
     RAW,
     1,
     "",
     "dravik: could not write a.vhd at byte *: File too large; a.vhd was removed",
     {.limitKiB = 2048}},
    {"to_dyn_read_fails",
     Fixed48MiB,
     "conv2dyn in.vhd d.vhd",
     FIXED,
     1,
     "",
     "dravik: could not read in.vhd at byte 41943040: {E}; d.vhd was removed",
     {.faults = {.badRead = 40 * kMiB + 3}, .workers = true}},
    // resize: fixed disks
    {"resize_fixed", FixedA, kA20, FS10, 0, "a.vhd=20972032:964a9c07", "", {.underFaults = Keeps::Footer}},
    {"resize_same_size", FixedA, "resize a.vhd 10", FS10, 0},
    {"resize_beyond_2040GiB", [] { Fixed("a.vhd", kMiB); }, "resize a.vhd 2088961", "filesize=1049088", 0,
     "a.vhd=2190434370048:1bf4bacb", "dravik: warning: the disk is 2190434369536 bytes, more than the 2190433320960 *"},
    {"resize_smaller", FixedA, "resize a.vhd 9", FS10 "|new size smaller than current size", 1},
    {"resize_missing", [] {}, "resize nothere.vhd 20", "filesize=-1|mod 512 <>0", 1, "",
     "dravik: cannot open nothere.vhd: *"},
    {"resize_differencing", DataAndDifferencingFooter, kA20, "filesize=1024", 1, "",
     "dravik: a.vhd does not end with the footer *"},
    {"resize_short_footer",
     FixedA,
     kA20,
     FS10 "|WriteFile failed",
     1,
     "",
     "dravik: new footer not written to a.vhd: {E}; the file is unchanged",
     {.faults = {.shorten = "write 1"}}},
    {"resize_short_footer_same",
     FixedA,
     "resize a.vhd 10",
     FS10 "|WriteFile failed",
     1,
     "",
     "dravik: new footer not written to a.vhd: {E}; the file is unchanged",
     {.faults = {.shorten = "write 1"}}},
    {"resize_blank_fails",
     FixedA,
     kA20,
     FS10,
     1,
     "a.vhd=20972032:964a9c07",
     "dravik: could not blank the old footer of a.vhd: {E}",
     {.faults = {.fail = "write 2"}}},
    {"resize_disk_full",
     [] { Fixed("a.vhd", kMiB); },
     "resize a.vhd 3",
     "filesize=1049088|WriteFile failed",
     1,
     "",
     "*File too large*",
     {.limitKiB = 2048}},
    // resize: dynamic disks, rebuilt into new.vhd
    {"rebuild",
     SourceInFolder,
     "resize dir/src.vhd 20",
     "filesize=4197888|block_cnt=2",
     0,
     "dir/new.vhd=4197888:77803929",
     "",
     {.underFaults = Keeps::Partial}},
    {"rebuild_keeps_earlier_new_vhd", SourceAndOldNewVhd, "resize src.vhd 10", "filesize=*", 1, "",
     "dravik: new.vhd exists; not replaced"},
    {"rebuild_no_entries",
     [] { Dynamic("src.vhd", kMiB, {}); },
     kSrc20,
     "filesize=*|block_cnt=0",
     0,
     "new.vhd=2560:f177cc90",
     "\rresize: 100% 0.0 B/s\r                    \r*",
     {.faults = {.fakeClock = true}, .terminal = true}},
    {"rebuild_other_layout", OtherLayout, "resize src.vhd 22", "filesize=*|block_cnt=4", 0, "new.vhd=8393216:b1001368"},
    {"rebuild_smaller", [] { Dynamic("src.vhd", 10 * kMiB, {1}); }, "resize src.vhd -1",
     "filesize=*|new size smaller than current size", 1},
    {"rebuild_linked_new_vhd", SourceLinkedAsNewVhd, kSrc8, "filesize=*|source file is new.vhd", 1},
    {"rebuild_block_size", [] { Dynamic("src.vhd", 4 * kMiB, {0}, {.blockSize = 2 * kBlock}); }, kSrc8, LAYOUT, 1},
    {"rebuild_table_far_away", [] { SourceWith(512 + 16, Be(uint64_t{1} << 63, 8)); }, kSrc8, LAYOUT, 1},
    {"rebuild_header_past_end", [] { SourceWith(2100224 - 512, Footer(3, 4 * kMiB, int64_t{1} << 40)); }, kSrc8, LAYOUT,
     1},
    {"rebuild_claims_beyond_file", ClaimsBeyondItsFile, "resize src.vhd 64",
     "filesize=3584|unsupported dynamic disk layout", 1},
    {"rebuild_blocks_overlap", [] { SourceWith(1540, Be(2048 / 512 + 8, 4)); }, kSrc8, LAYOUT, 1},
    {"rebuild_writes_redone",
     Source,
     kSrc20,
     "filesize=4197888|block_cnt=2",
     0,
     "new.vhd=4197888:77803929",
     "",
     {.faults = {.fail = "write 2,copy 1"}}},
    {"rebuild_stale_buffer",
     [] {
         Dynamic("src.vhd", 6 * kMiB, {0, 2}, {.length = 2048 + 512 + kBlock + kMiB});
     },
     kSrc8,
     "filesize=*|block_cnt=2",
     0,
     "new.vhd=4197888:32fb02f1",
     "",
     {.faults = {.fail = "copy 1"}}},
    {"rebuild_not_created",
     [] { Dynamic("src.vhd", 4 * kMiB, {1}); },
     "resize src.vhd 4",
     "filesize=*|WriteFile failed~3|block_cnt=1|WriteFile failed~129",
     1,
     "",
     "dravik: could not create new.vhd: {E}",
     {.faults = {.fail = "create 1"}}},
    {"rebuild_progress",
     TwentyBlocks,
     "resize src.vhd 44",
     "filesize=*|block_cnt=20",
     0,
     "new.vhd=41955840:43ba48ac",
     "\rresize:   0% 0.0 B/s\rresize:  80% 106.7 MiB/s\rresize:  95% 63.3 MiB/s \r                       \r*",
     {.faults = {.fakeClock = true}, .terminal = true}},
    {"rebuild_disk_full",
     [] {
         Dynamic("src.vhd", 10 * kMiB, {4, 1});
     },
     kSrc20,
     "filesize=*|block_cnt=2|*WriteFile failed",
     1,
     "new.vhd=3145728:04310408",
     "",
     {.limitKiB = 3072}},
    // create and child
    {"create_dynamic", [] {}, "create c.vhd 100", "", 0, "c.vhd=2560:04f606b4", "", {.underFaults = Keeps::New}},
    {"create_fixed", [] {}, "create f.vhd 64 fixed", "", 0, "f.vhd=67109376:3e33fb6d", "", {.underFaults = Keeps::New}},
    {"create_beyond_2040GiB", [] {}, "create c.vhd 2088961", "", 0, "c.vhd=4180480:41e6af44",
     "dravik: warning: the disk is 2190434369536 bytes, more than *"},
    {"create_exists", ImageAndDestination, "create b.vhd 10", "", 1, "", "dravik: b.vhd exists; not replaced"},
    {"create_size_zero", [] {}, "create c.vhd 0", "", 1, "", "dravik: the size '0' is not a whole number of MiB *"},
    {"create_kind", [] {}, "create c.vhd 10 sparse", "", 1, "", "dravik: the kind 'sparse' is neither *"},
    {"child_of_chain", ThreeDeep, "child top.avhd c.vhd", "disk_type=differencing", 0, "c.vhd=*"},
    {"child_onto_its_base", ThreeDeep, "child top.avhd base.vhd", "", 1, "", "dravik: base.vhd exists; not replaced"},
    {"child_of_no_vhd", Image4K, "child a.img c.vhd", "", 1, "", "dravik: a.img is no VHD"},
    {"child_chain_broken", ThreeDeepWithoutBase, "child top.avhd c.vhd", "", 1, "", "dravik: the parent of ./mid.vhd*"},
    // merge and reparent
    {"merge_nothing", FixedA, "merge a.vhd", "", 1, "", "dravik: a.vhd is no differencing disk; nothing to merge"},
    {"merge_sizes_differ", OverFixed, "merge child.avhd", "", 1, "",
     "dravik: the Current Size of child.avhd, 8388608 bytes, differs from that of fixed.vhd, 4194304 bytes"},
    {"merge_chain_broken", ThreeDeepWithoutBase, "merge top.avhd", "", 1, "", "dravik: the parent of ./mid.vhd*"},
    {"reparent_missing", [] {}, "reparent no.avhd p.vhd", "", 1, "", "dravik: cannot open no.avhd: *"},
    {"reparent_loop", Loop, "reparent a.avhd b.avhd", "", 1, "", "dravik: the chain of b.avhd holds a.avhd; *"},
    {"reparent_another_id", GoneAndAnotherId, "reparent a.avhd old.vhd", "", 1, "",
     "dravik: the Unique Id of old.vhd is 00000000-*, and the parent of a.avhd is 50505050-*; a.avhd is unchanged"},
    // check
    {"check_dynamic",
     [] { Dynamic4(); },
     kCheck,
     "disk_type=dynamic|note: geometry-size: * \"hack\" by its geometry 9 x 16 x 63, 4644864 bytes, more than "
     "Current Size 4194304 bytes|note: cloud: not a fixed disk: *|errors=0 warnings=0 notes=2",
     0,
     "",
     "",
     {.underFaults = Keeps::Sources}},
    {"check_missing", [] {}, kCheck, "error: not-vhd: the file cannot be opened" E1 "0", 1, "",
     "dravik: cannot open d.vhd: *"},
    {"check_odd_length", [] { Raw("d.vhd", 1000); }, kCheck, "*1000 bytes, not a*" E1 "0", 1},
    {"check_trailing_footer", DamagedTrailingFooter, "check in.vhd",
     "*: not-vhd: *\"conectiX\"*; the copy at the start*|errors=1 warnings=1*", 1},
    {"check_disk_type", [] { Put("d.vhd", 0, Footer(5, 0)); }, kCheck, "error: disk-type: *Type is 5, *" E1 "0", 1},
    {"check_footer_checksum", WrongChecksum, "check in.vhd",
     "*: footer-checksum: * 0xA5FFF124, its bytes give 0xFFFFF124|*" E1 "2", 1},
    {"check_footer_copy", [] { Dynamic4(40, Be(1, 8)); }, kCheck, D4 "error: footer-copy: *byte 45: *" E1 "2", 1},
    {"check_header_cookie", NoHeaderAndOldImage, "check in.vhd", "*: header-cookie: * 512 *\"cxsparsE\"*" E1 "2", 1},
    {"check_header_version", [] { Dynamic4(536, Be(0x20000, 4)); }, kCheck,
     D4 "error: header-checksum: * 0xFFFFF474, its bytes give 0xFFFFF473|error: header-version: Header Version is "
        "0x00020000, *",
     1},
    {"check_block_size", [] { Dynamic("d.vhd", 4 * kMiB, {0}, {.blockSize = 3 * kMiB}); }, kCheck,
     D4 "error: block-size: Block Size 3145728 *" E1 "2", 1},
    {"check_table_past_end", TablePastEnd, "check in.vhd",
     "*|error: table-place: the table at byte 4088, 4000 bytes: Table Offset is not a multiple of 512; it runs past "
     "the "
     "footer at byte 3584|errors=2*",
     1},
    {"check_table_size", [] { Dynamic("d.vhd", 4 * kMiB, {}, {.entries = 1}); }, kCheck,
     D4 "error: table-size: *, 1 x 2097152, cover 2097152 bytes, less than Current Size 4194304 bytes|warning: "
        "geometry: *",
     1},
    {"check_block_place",
     [] {
         Dynamic4(1536, Entries({1, 0x10000}));
     },
     kCheck,
     D4 "error: block-place: block 0 at byte 512, 2097664 bytes with its bitmap, lies over the dynamic disk header and "
        "the table|error: block-place: block 1 at byte 33554432, * runs past the footer at byte 4197376|warning: "
        "leaked: 1 run that no block uses, 2099200 bytes in all, *; the first at byte 2098176*",
     1},
    {"check_block_overlap",
     [] {
         Dynamic4(1536, Entries({5, 6, 5}));
     },
     kCheck,
     D4 "error: block-overlap: blocks 0 at byte 2560 and 2 at byte 2560 overlap*|error: block-overlap: blocks 0 at "
        "byte 2560 and 1 at byte 3072 overlap*",
     1},
    {"check_fixed_short",
     [] {
         FixedA();
         PatchFooters("a.vhd", 48, Be(11 * kMiB, 8) + Be(0, 4));
     },
     "check a.vhd",
     "*geometry: * 0 x 0 x 0, 0 bytes, less than * 11534336 bytes|error: fixed-length: * "
     "10485760 "
     "bytes, less *",
     1},
    {"check_fixed_long",
     [] {
         FixedA();
         PatchFooters("a.vhd", 48, Be(9 * kMiB, 8));
     },
     "check a.vhd", "*|warning: fixed-length: * leave 1048576 bytes unseen|errors=0 warnings=1 notes=1", 0},
    {"check_parent_missing", ThreeDeepWithoutBase, "check top.avhd",
     "*|note: cloud: parent ./mid.vhd: *|error: parent: the parent of ./mid.vhd, in the chain of top.avhd, was not "
     "found; tried *./base.vhd (*",
     1},
    {"check_locators_table",
     [] {
         GoneAndAnotherId();
         std::string h = ReadFile("a.avhd", 512, 1024);
         Put("a.avhd", 512, SetChecksum(h.replace(16, 8, Be(1024, 8)), 36));
     },
     "check a.avhd",
     "*|error: table-place: * 1024, 4 bytes: it runs into the dynamic disk header at byte 512|*, the table, parent "
     "locator 1's data and parent locator 2's data, and runs*|error: parent: *",
     1},
    {"check_parent_time",
     [] {
         OverFixed();
         PatchFooters("fixed.vhd", 24, Be(7, 4));
     },
     "check child.avhd",
     "*|warning: parent-time: Parent Time Stamp 0 differs from the Time Stamp 7 of the parent fixed.vhd: *", 0},
    {"check_large_saved",
     [] {
         Dynamic("d.vhd", int64_t{2041} << 30, {});
         PatchFooters("d.vhd", 56, "\xFF\xFF\x10\xFF");
         PatchFooters("d.vhd", 84, "\x01");
     },
     kCheck, "*saved-state: *|warning: too-large: Current Size 2191507062784 bytes *|errors=0 warnings=1 notes=2", 0},
};

std::vector<std::string> Args(const Case& c)
{
    std::vector<std::string> args;
    std::istringstream in(c.command);
    for (std::string word; in >> word;)
        args.push_back(word == "''" ? "" : word);
    return args;
}

// What a row's command prints with the front end's lines: the one naming the job, and "done".
std::string Framed(const Case& c)
{
    const std::vector<std::string> args = Args(c);
    const std::string word = args.empty() ? "" : args[0];
    std::string text =
        word == "conv2img"   ? "creating new img file"
        : word == "conv2dyn" ? "creating new dynamic vhd file"
        : word == "conv2vhd" ? "appending a 512bytes footer to the img file"
        : word == "resize"   ? "resizing vhd file to " + (args.size() > 2 ? args[2] : "")
        : word == "create"
            ? "creating new " + std::string(args.size() > 3 && args[3] == "fixed" ? "fixed" : "dynamic") + " vhd file"
        : word == "child"    ? "creating new differencing vhd file"
        : word == "merge"    ? "merging differencing vhd file into its parent"
        : word == "reparent" ? "setting the parent of a differencing vhd file"
                             : "";
    if (text.empty() && word != "info" && word != "check")
        return c.out;
    for (const std::string part : {c.out, c.options.fatal ? "" : "done"})
        text += part.empty() ? "" : (text.empty() ? "" : "|") + part;
    return text;
}

std::string Expand(const std::string& lines)
{
    std::string text;
    std::istringstream in(lines + "|");
    for (std::string line; !lines.empty() && std::getline(in, line, '|');) {
        const size_t tilde = std::min(line.rfind('~'), line.size());
        for (int n = tilde < line.size() ? std::atoi(&line[tilde + 1]) : 1; n > 0; --n)
            text += line.substr(0, tilde) + "\r\n";
    }
    if (!lines.empty() && lines.back() == '*')
        text.resize(text.size() - 2);
    for (size_t at; (at = text.find("{E}")) != std::string::npos;)
        text.replace(at, 3, InjectedErrorText());
    return text;
}

// The folder a row expects, in the current folder before the run: the one before, with the files it names.
Folder Expected(Folder folder, const std::string& named)
{
    std::istringstream in(named);
    for (std::string entry; in >> entry;) {
        const size_t at = entry.find_first_of("=<");
        if (entry[0] == '-')
            folder.erase(entry.substr(1));
        else
            folder[entry.substr(0, at)] =
                entry[at] == '=' ? entry.substr(at) : Described(ExpectedImage(entry.substr(at + 1)));
    }
    return folder;
}

bool Glob(const std::string& pattern, const std::string& text)
{
    size_t p = 0, star = std::string::npos, resume = 0;
    for (size_t t = 0; t < text.size();) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    return pattern.find_first_not_of('*', p) == std::string::npos;
}

struct Outcome {
    int status;  // -1: the seam stopped the program
    std::string out, err;
    TestCounters counted = {};
};

Outcome RunHere(const Case& c, const Faults& faults)
{
    std::ostringstream out, err;
    int status = -1;
    TestPlatformReset(faults);
    try {
        status = RunDravik(Args(c), out, err, c.options.terminal);
    } catch (const StopProgram&) {
    }
    const TestCounters counted = TestPlatformCounters();
    TestPlatformReset();
    EXPECT_EQ(counted.openFiles, 0);
    EXPECT_EQ(counted.allocated, 0);
    return {status, out.str(), err.str(), counted};
}

Outcome RunProgram(const Case& c, const fs::path& scratch)
{
    const auto quote = [](const std::string& text) { return "\"" + text + "\""; };
    const std::string out = (scratch / "stdout").string(), err = (scratch / "stderr").string();
    std::string command = quote(DRAVIK_EXE);
    for (const std::string& arg : Args(c))
        command += " " + quote(arg);
#ifdef _WIN32
    // cmd /c drops the first and the last quote of a line that starts with one.
    const int status = std::system(("\"" + command + " > " + quote(out) + " 2> " + quote(err) + "\"").c_str());
#else
    if (c.options.limitKiB > 0)
        command = "bash -c 'ulimit -f " + std::to_string(c.options.limitKiB) + "; exec " + command + "'";
    command = c.options.terminal ? "script -qec '" + command + " > " + quote(out) + "' /dev/null > " + quote(err)
                                 : command + " > " + quote(out) + " 2> " + quote(err);
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return {status, ReadFile(out), ReadFile(err)};
}

// Runs a row in a fresh folder; `files` gets the folder before and after, `expected` what the row expects.
Outcome RunRow(const Case& c, const fs::path& folder, const Faults& faults, bool program, Folder files[2],
               Folder* expected = nullptr)
{
    fs::remove_all(folder);
    fs::create_directories(folder);
    const InFolder in(folder);
    c.setup();
    files[0] = DescribeFolder(folder);
    if (expected)
        *expected = Expected(files[0], c.files);
    const Outcome got = program ? RunProgram(c, folder.parent_path()) : RunHere(c, faults);
    files[1] = DescribeFolder(folder);
    for (auto& [name, kind] : expected ? *expected : files[0])
        kind = expected && kind == "=*" && files[1].count(name) ? files[1][name] : kind;  // a file of any bytes
    return got;
}

bool EndsWithFooter(const fs::path& path)
{
    const auto size = int64_t(fs::file_size(path)) - 512;
    const std::string footer = ReadFile(path, size);
    return footer.starts_with("conectix") && footer.substr(48, 8) == Be(uint64_t(size), 8) &&
           footer.substr(60, 4) == Be(2, 4);
}

bool Holds(const Folder& folder, const std::string& kind)
{
    return std::any_of(folder.begin(), folder.end(), [&](const auto& entry) { return entry.second == kind; });
}

// Whether a new file is the whole disk of a clean run, footers aside (fresh Unique Ids, the copy at 0 written last),
// or has no footer for a reader to take it for one.
bool WholeOrNoFooter(const std::string& bytes, const std::string& clean)
{
    const auto body = [](const std::string& file) {
        return file.substr(512, file.size() - std::min<size_t>(file.size(), 1024));
    };
    const bool footer = bytes.starts_with("conectix") ||
                        bytes.substr(bytes.size() - std::min<size_t>(bytes.size(), 512)).starts_with("conectix");
    return !footer || (bytes.size() == clean.size() && bytes.size() >= 1024 && body(bytes) == body(clean));
}

// With any one call failing or coming back short, or the program dying after any write, on one worker and on two: a
// run that ends has done the whole job or says what failed, and no file is torn.
void UnderFaults(const Case& row, const fs::path& folder)
{
    const Keeps keeps = row.options.underFaults;
    for (const unsigned processors : {1u, 2u}) {
        Folder clean[2];
        const Outcome good = RunRow(row, folder, {.processors = processors}, false, clean);
        std::map<std::string, std::string> made;
        for (const auto& entry : clean[1])
            if (!clean[0].count(entry.first))
                made[entry.first] = ReadFile(folder / entry.first);
        for (const std::string fault : {"fail", "shorten", "stop"}) {
            for (int64_t n = 1; n <= (fault == "stop" ? good.counted.writes + 1 : good.counted.calls); ++n) {
                const std::string call = "call " + std::to_string(n);
                Faults faults = fault == "fail"      ? Faults{.fail = call.c_str()}
                                : fault == "shorten" ? Faults{.shorten = call.c_str()}
                                                     : Faults{.stopAfterWrites = n - 1};
                faults.processors = processors;
                Folder files[2];
                const Outcome got = RunRow(row, folder, faults, false, files);
                const std::string where = fault + " at " + std::to_string(n) + " on " + std::to_string(processors);
                EXPECT_TRUE(got.status != 0 || (got.out == good.out && files[1] == clean[1])) << where << ": not done";
                EXPECT_TRUE(got.status <= 0 || (got.status == 1 && (got.out != good.out || !got.err.empty())))
                    << where << ": no word";
                const bool sources = keeps == Keeps::Sources || keeps == Keeps::New || keeps == Keeps::Partial;
                for (const auto& entry : sources ? files[0] : files[1]) {
                    const bool kept = sources ? std::count(files[1].begin(), files[1].end(), entry) == 1
                                              : Holds(clean[0], entry.second) || Holds(clean[1], entry.second);
                    EXPECT_TRUE(kept) << where << ": " << entry.first << " torn";
                }
                for (const auto& [name, kind] : keeps >= Keeps::New && got.status != 0 ? files[1] : Folder{})
                    EXPECT_TRUE(files[0].count(name) || ((keeps == Keeps::Partial || got.status < 0) &&
                                                         WholeOrNoFooter(ReadFile(folder / name), made[name])))
                        << where << ": " << name << " left";
                EXPECT_FALSE(files[1].empty() && !files[0].empty()) << where;
                EXPECT_TRUE(keeps != Keeps::Footer || EndsWithFooter(folder / "a.vhd")) << where;
            }
        }
    }
}

class Commands : public testing::TestWithParam<Case> {};

TEST_P(Commands, InProcessAndAsTheProgram)
{
    const Case& c = GetParam();
#ifdef _WIN32
    if (c.options.posix || c.options.limitKiB > 0)
        GTEST_SKIP() << "for POSIX only";
#endif
    const Faults& f = c.options.faults;
    const struct {
        const char* how;
        unsigned processors;  // 0: the program
    } ways[] = {{"in-process", 1}, {"two workers copying inside the system", 2}, {"the program", 0}};
    const Scratch scratch;
    for (const auto& [how, processors] : ways) {
        const bool program = processors == 0;
        if (program ? f != Faults{}
                    : c.options.limitKiB > 0 || (processors > 1 && !c.options.workers && (f.fail || f.shorten)))
            continue;
        Faults faults = f;
        faults.processors = processors;
        faults.inSystem = processors > 1;
        Folder files[2], expected;
        const Outcome got = RunRow(c, scratch.path / "case", faults, program, files, &expected);
        EXPECT_EQ(got.status, c.status) << how;
        EXPECT_TRUE(Glob(Expand(Framed(c)), got.out)) << how << ", standard output:\n" << got.out;
        EXPECT_TRUE(Glob(Expand(c.err), got.err)) << how << ", standard error:\n" << got.err;
        EXPECT_EQ(files[1], expected) << how;
        EXPECT_TRUE(processors < 2 ? got.counted.workerCalls == 0 : !c.options.workers || got.counted.workerCalls > 0)
            << how;
    }
}

// Each row's fault sweep, a test of its own that CI leaves out under the sanitizers and Wine.
class FaultSweep : public testing::TestWithParam<Case> {};
TEST_P(FaultSweep, NoFileIsTornByAnyFault)
{
    const Scratch scratch;
    UnderFaults(GetParam(), scratch.path / "case");
}

int Quietly(const std::vector<std::string>& args)
{
    std::ostringstream out;
    return RunDravik(args, out, out);
}

// Every source of the conv2img and conv2vhd rows through conv2dyn and back: the same disk, of the same length.
TEST(RoundTrip, Conv2dynKeepsEveryDiskTheSuiteMakes)
{
    const Scratch scratch;
    int sources = 0;
    for (const Case& c : kCases) {
        const std::vector<std::string> args = Args(c);
        const bool raw = !args.empty() && args[0] == "conv2vhd";
        if (args.size() != 3 || (args[0] != "conv2img" && !raw) || c.status != 0 || c.options.posix ||
            c.options.faults != Faults{})
            continue;
        fs::create_directories(scratch.path / c.name);
        const InFolder in(scratch.path / c.name);
        c.setup();
        const std::string& source = args[1];
        const std::string image = raw ? source : "a.img";
        if ((!raw && Quietly({"conv2img", source, image}) != 0) || fs::file_size(image) > 64 * kMiB)
            continue;
        std::string disk = ReadFile(image), footer = ReadFile(source, int64_t(fs::file_size(source)) - 512);
        footer = footer.starts_with("conectix") ? footer : ReadFile(source, 0, 512);
        ++sources;
        disk.resize(raw ? (disk.size() + 511) / 512 * 512 : Number(footer, 48, 8));
        ASSERT_EQ(Quietly({"conv2dyn", source, "d.vhd"}) + Quietly({"conv2img", "d.vhd", "b.img"}), 0) << c.name;
        EXPECT_TRUE(ReadFile("b.img") == disk) << c.name;
    }
    EXPECT_EQ(sources, 16);
}

const auto kRowName = [](const testing::TestParamInfo<Case>& row) { return std::string(row.param.name); };
INSTANTIATE_TEST_SUITE_P(Table, Commands, testing::ValuesIn(kCases), kRowName);
INSTANTIATE_TEST_SUITE_P(Table, FaultSweep, testing::ValuesIn([] {
                             std::vector<Case> swept;
                             std::copy_if(std::begin(kCases), std::end(kCases), std::back_inserter(swept),
                                          [](const Case& c) { return c.options.underFaults != Keeps::Nothing; });
                             return swept;
                         }()),
                         kRowName);

#ifndef _WIN32
// Pages of zeros in an allocated block, as absent sectors and unallocated blocks, are holes in the raw image.
TEST(RoundTrip, ZerosInABlockAreHolesInTheImage)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    Dynamic("in.vhd", 2 * kBlock, {1});
    Put("in.vhd", 2560, std::string(kBlock, '\0'));
    struct stat image {};
    EXPECT_EQ(Quietly({"conv2img", "in.vhd", "out.img"}), 0);
    EXPECT_EQ(stat("out.img", &image), 0);
    EXPECT_EQ(image.st_blocks, 0);
}
#endif

// Every disk dravik writes up to 2040 GiB, at sizes about each geometry threshold, gets at most notes from check.
TEST(Check, EveryDiskDravikWritesGetsAtMostNotes)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    const auto run = [](const std::string& line) { return RunHere({"", [] {}, line.c_str(), "", 0}, {}).out; };
    for (const int64_t mib : {2, 21, 32255, 32257, 65536, 258050, 514081, 2088960}) {
        Raw("a.img", mib * kMiB - 1536);
        Dynamic("d.vhd", kBlock, {0});
        for (const char* made : {"c.vhd", "new.vhd", "e.vhd", "f.vhd", "g.vhd"})
            fs::remove(made);
        const std::string to = " " + std::to_string(mib);
        const std::string writes[][2] = {{"conv2dyn a.img c.vhd", "c.vhd"}, {"conv2vhd a.img a.vhd", "a.vhd"},
                                         {"resize a.vhd" + to, "a.vhd"},    {"resize d.vhd" + to, "new.vhd"},
                                         {"create e.vhd" + to, "e.vhd"},    {"create f.vhd" + to + " fixed", "f.vhd"},
                                         {"child f.vhd g.vhd", "g.vhd"}};
        for (const auto& [command, made] : writes) {
#ifdef _WIN32
            if (mib > 64 && command.starts_with("conv2dyn"))
                continue;  // as Wine cannot tell holes, it would read them
#endif
            run(command);
            const std::string found = run("check " + made);
            EXPECT_TRUE(found.find("errors=0 warnings=0") != std::string::npos) << command << ":\n" << found;
        }
    }
}

}  // namespace
