// Every command line dravik is tested with, one row each: the files made
// first, the arguments, the exact standard output, the exit status, the
// standard error and the files the command wrote, changed or removed
// ("-NAME", as DescribeFolder shows them); every other file must stay as it
// was. After the table, chains against a model of what they hold. Each row runs
// in-process over the test seam and, unless it injects faults, as the built
// program, natively and under Wine, expecting the same. Outputs are lines
// joined by "|", each ending in CR LF; "X~N" is N lines X; "*" is any text
// (at the end, also none); "{E}" is the system's text for an injected failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include "FrontEnd.h"
#include "TestFiles.h"
#include "TestPlatform.h"

namespace {

// What a row's files must be after any one fault (UnderFaults, below).
enum class Keeps {
    Nothing,  // not tried under faults
    Sources,  // every file there before stays as it was
    Either,   // every file is as before or as after a run without faults
    Footer,   // a.vhd ends with a fixed footer, of the old size or the new, after its old data
};

struct Options {
    Faults faults = {};     // injected: the row runs in-process only
    const char* only = "";  // "posix" or "windows"
    int limitKiB = 0;       // a file size limit, as on a full disk: for the program only, on POSIX
    bool terminal = false;  // standard error is a terminal
    Keeps underFaults = Keeps::Nothing;
};

struct Case {
    const char* name;
    void (*setup)();          // makes the files in the current folder
    std::vector<std::string> args;
    const char* out;
    int status;
    const char *err, *files;  // what standard error matches; the folder afterwards
    Options options = {};
};

void MakeFifo([[maybe_unused]] const char* name)
{
#ifndef _WIN32
    mkfifo(name, 0600);
#endif
}

// A file whose first and last records are the given ones. Dynamic footer
// kA finds a header of one entry at 512, kB one of two at 2048, both with
// their table at 4096; a fixed footer takes the 7,680 bytes before it.
const std::string kZeros(512, '\0');
const std::string kA = Footer(3, kBlock, 512);
const std::string kB = Footer(3, 2 * kBlock, 2048);
const std::string kFix = Footer(2, 7680);
void Records(const std::string& first, const std::string& last)
{
    Put("in.vhd", 0, first + Header(1, 4096) + kZeros + Header(2, 4096) + kZeros + kZeros + Entries({kFree, kFree}));
    Put("in.vhd", 7680, last);
}

// A fixed disk of 48 MiB, with data throughout: moves for several workers and more.
void FixedFull48MiB()
{
    Put("in.vhd", 0, Pattern(48 * kMiB, 1) + Footer(2, 48 * kMiB));
}

// top.avhd over mid.vhd (named by W2ru) over base.vhd, dynamic (named by a W2ku path's last part).
void ThreeDeep()
{
    Dynamic("base.vhd", 4 * kBlock, {3, 0, 1});
    SetUniqueId("base.vhd", 'B');
    Differencing("mid.vhd", 4 * kBlock, {1}, 0x0F, 'B', "", {{"W2ku", "C:\\old\\base.vhd"}});
    SetUniqueId("mid.vhd", 'M');
    Differencing("top.avhd", 4 * kBlock, {1, 2}, 0xF0, 'M', "", {{"W2ru", ".\\mid.vhd"}, {"Wi2r", "?"}});
}

// child.avhd over fixed.vhd, named by its name.
void OverFixed()
{
    Fixed("fixed.vhd", 4 * kBlock);
    SetUniqueId("fixed.vhd", 'F');
    Differencing("child.avhd", 4 * kBlock, {3, 0}, 0x81, 'F', "fixed.vhd", {});
}

// a.avhd over b.avhd over a.avhd again.
void Loop()
{
    Differencing("a.avhd", kBlock, {0}, 0xFF, 'B', "", {{"W2ru", ".\\b.avhd"}});
    SetUniqueId("a.avhd", 'A');
    Differencing("b.avhd", kBlock, {}, 0, 'A', "", {{"W2ru", ".\\a.avhd"}});
    SetUniqueId("b.avhd", 'B');
}

// 65 differencing disks, each over the next.
void TooDeep()
{
    for (int i = 0; i <= 64; ++i) {
        const std::string next = ".\\d" + std::to_string(i + 1) + ".vhd";
        Differencing("d" + std::to_string(i) + ".vhd", kBlock, {}, 0, static_cast<char>(i + 1), "", {{"W2ru", next}});
        SetUniqueId("d" + std::to_string(i) + ".vhd", static_cast<char>(i));
    }
}

// a.avhd over a parent of 1 MiB blocks.
void SmallBlocks()
{
    Dynamic("base.vhd", 4 * kMiB, {}, {.blockSize = kMiB});
    SetUniqueId("base.vhd", 'B');
    Differencing("a.avhd", 4 * kMiB, {}, 0, 'B', "base.vhd", {});
}

// ThreeDeep() without its base.
void ThreeDeepWithoutBase()
{
    ThreeDeep();
    fs::remove("base.vhd");
}

// a.avhd names ./gone.vhd, which is not there, then ./old.vhd, another disk.
void GoneAndAnotherId()
{
    Fixed("old.vhd", kBlock);
    Differencing("a.avhd", kBlock, {}, 0, 'P', "", {{"W2ru", ".\\gone.vhd"}, {"W2ru", ".\\old.vhd"}});
}

// a.avhd names a FIFO, then the device /dev/null by a URL.
void FifoAndDevice()
{
    MakeFifo("fifo");
    Differencing("a.avhd", kBlock, {}, 0, 'P', "", {{"W2ru", ".\\fifo"}, {"MacX", "file://localhost/dev/nul%6C"}});
}

#define NOT_VHD "file is not a vhd file and/or a fixed hard disk|done"
#define USAGE "dravik 0.2 by *|dravik conv2img source_file.vhd dest_file.img|dravik conv2vhd source_file.img " \
              "dest_file_fixed.vhd|dravik resize source_file_fixed.vhd size_in_Mbytes|dravik info source_file.vhd"
#define C2V "appending a 512bytes footer to the img file|"
#define C2I "creating new img file|"
#define CREATOR "Creator_Application=hack|Creator_Version=$10000|Creator_Host_OS=Wi2k|"
#define SIZE10 "Original_Size=10485760|Current_Size=10485760|"

// clang-format off
const Case kCases[] = {
    // ---- the front end ----
    {"usage", [] {}, {}, USAGE, 0, "", ""},
    {"unknown_typo", [] {}, {"conv2vhf", "a", "b"}, "", 1, "dravik: unknown command 'conv2vhf'|" USAGE, ""},
    {"unknown_help", [] {}, {"--help"}, "", 1, "dravik: unknown command '--help'|" USAGE, ""},
    {"empty_word", [] {}, {""}, "", 1, "dravik: unknown command ''|" USAGE, ""},
    {"resize_hex_size", [] {Fixed("a.vhd", kMiB);}, {"resize", "a.vhd", " +0x10"}, "resizing vhd file to  +0x10|filesize=1049088|done", 0, "", "a.vhd=16777728:5c2f50ed6dcfcc00"},
    {"resize_size_not_an_integer", [] {Fixed("a.vhd", kMiB);}, {"resize", "a.vhd", "ten"}, "resizing vhd file to ten", 1, "*|'ten' is not a valid integer value.", "a.vhd=1049088:6d68b08e91dc3f00"},
    {"resize_size_missing", [] {}, {"resize", "a.vhd"}, "resizing vhd file to ", 1, "*|'' is not a valid integer value.", ""},
    {"info_no_path", [] {}, {"info"}, "filesize=-1|mod 512 <>0|done", 1, "dravik: cannot open : *", ""},
    // ---- conv2vhd ----
    {"conv2vhd_1MiB", [] {Raw("a.img", kMiB);}, {"conv2vhd", "a.img", "a.vhd"}, C2V "done", 0, "", "-a.img a.vhd=1049088:6d68b08e91dc3f00", {.underFaults = Keeps::Either}},
    {"conv2vhd_empty", [] {Raw("e.img", 0);}, {"conv2vhd", "e.img", "e.vhd"}, C2V "done", 0, "", "-e.img e.vhd=512:a46361a12033177e"},
    {"conv2vhd_4GiB_less_1", [] {Raw("a.img", 0xFFFFFFFF);}, {"conv2vhd", "a.img", "a.vhd"}, C2V "done", 0, "", "-a.img a.vhd=4294967807:7306f64be946018b"},
    {"conv2vhd_2040GiB", [] {Raw("a.img", int64_t{2040} << 30);}, {"conv2vhd", "a.img", "a.vhd"}, C2V "done", 0, "", "-a.img a.vhd=2190433321472:535740c741eb4f5b"},
    {"conv2vhd_beyond_2040GiB", [] {Raw("a.img", (int64_t{2040} << 30) + 512);}, {"conv2vhd", "a.img", "a.vhd"}, C2V "done", 0, "dravik: warning: the disk is 2190433321472 bytes, more than the 2190433320960 bytes (2040 GiB) the VHD format allows; Hyper-V and qemu-img will not open it", "-a.img a.vhd=2190433321984:76b28b5bbdeb4f5b"},
    {"conv2vhd_into_folder", [] {Raw("a.img", 512), fs::create_directory("out");}, {"conv2vhd", "a.img", "out/a.vhd"}, C2V "done", 0, "", "-a.img out/ out/a.vhd=1024:0c54bb7233a9e301"},
    {"conv2vhd_missing", [] {}, {"conv2vhd", "nothere.img", "x.vhd"}, C2V "could not createfile|done", 1, "dravik: cannot open nothere.img: *", ""},
    {"conv2vhd_no_source", [] {Raw("keep.img", 512);}, {"conv2vhd", "", "x.vhd"}, C2V "done", 1, "dravik: no source file given", "keep.img=512:3ed1dfbf70eb59aa"},
    {"conv2vhd_destination_exists", [] {Raw("a.img", 2048), Put("b.vhd", 0, "precious");}, {"conv2vhd", "a.img", "b.vhd"}, C2V "done", 1, "dravik: could not rename a.img to b.vhd: *", "a.img=2560:e4bb8083fb25ca21 b.vhd=8:d6542f1ffe2f336f"},
    {"conv2vhd_no_destination", [] {Raw("a.img", 512);}, {"conv2vhd", "a.img", ""}, C2V "done", 1, "dravik: no destination given; a.img now ends with a footer and keeps its name", "a.img=1024:0c54bb7233a9e301"},
    {"conv2vhd_folder", [] {fs::create_directory("sub");}, {"conv2vhd", "sub", "x.vhd"}, C2V "could not createfile|done", 1, "dravik: cannot open sub: *", "sub/"},
    {"conv2vhd_fifo", [] {MakeFifo("fifo");}, {"conv2vhd", "fifo", "x.vhd"}, C2V "could not createfile|done", 1, "dravik: cannot open fifo: not a regular file", "fifo?", {.only = "posix"}},
    {"conv2vhd_device", [] {}, {"conv2vhd", "/dev/null", "x.vhd"}, C2V "could not createfile|done", 1, "dravik: cannot open /dev/null: not a regular file", "", {.only = "posix"}},
    {"conv2vhd_disk_full", [] {Raw("a.img", kMiB);}, {"conv2vhd", "a.img", "a.vhd"}, C2V "WriteFile failed|done", 1, "dravik: footer not written to a.img: File too large; the file is unchanged and keeps its name", "a.img=1048576:d9b0d48183cac2ab", {.only = "posix", .limitKiB = 1024}},
    {"conv2vhd_short_footer", [] {Raw("a.img", 4096);}, {"conv2vhd", "a.img", "a.vhd"}, C2V "WriteFile failed|done", 1, "dravik: footer not written to a.img: {E}; the file is unchanged and keeps its name", "a.img=4096:7e97a60cfb4c54ba", {.faults = {.shorten = "write 1"}}},
    {"conv2vhd_cut_back_fails", [] {Raw("a.img", 4096);}, {"conv2vhd", "a.img", "a.vhd"}, C2V "WriteFile failed|done", 1, "dravik: could not cut a.img back to its original length: {E}", "a.img=4096:7e97a60cfb4c54ba", {.faults = {.fail = "write 1,setlength 1"}}},
    {"conv2vhd_end_unknown", [] {Raw("a.img", 4096);}, {"conv2vhd", "a.img", "a.vhd"}, C2V "SetFilePointer failed,{E}|done", 1, "", "a.img=4096:7e97a60cfb4c54ba", {.faults = {.fail = "seekend 1"}}},
    // ---- info ----
    {"info_fixed_10MiB", [] {Fixed("a.vhd", 10 * kMiB);}, {"info", "a.vhd"}, "filesize=10486272|Infos found in header - fixed|features=2|Format=$10000|Data_offset=-1|" CREATOR SIZE10 "Checksum=$FFFFF00C|saved_state=0|done", 0, "", "a.vhd=10486272:beb43ff5927773c1"},
    {"info_dynamic_10MiB", [] {Dynamic("d.vhd", 10 * kMiB, {});}, {"info", "d.vhd"}, "filesize=2560|Infos found in header - dynamic|features=2|Format=$10000|Data_offset=512|" CREATOR SIZE10 "Checksum=$FFFFF801|saved_state=0||Table_Offset=1536|Header_Version=$10000|max_entries=5 -> 10485760 bytes|block_size=2097152|Checksum=$FFFFF472||BAT size=20|1st block offset=2048|done", 0, "", "d.vhd=2560:4a1021701d670637", {.underFaults = Keeps::Sources}},
    {"info_5120_entries", [] {Dynamic("d.vhd", 10240 * kMiB, {});}, {"info", "d.vhd"}, "*|max_entries=5120 -> 10737418240 bytes|*||BAT size=20480|1st block offset=22016|done", 0, "", "d.vhd=22528:fa56f9a02e4e8b8f"},
    {"info_header_not_at_512", [] {Dynamic("d.vhd", 10 * kMiB, {}, {.headerAt = 1024});}, {"info", "d.vhd"}, "*|Data_offset=1024|*||Table_Offset=0|Header_Version=$0000|max_entries=0 -> 0 bytes|block_size=0|Checksum=$0000||BAT size=0|1st block offset=0|done", 0, "", "d.vhd=2560:418c8f59e81d3437"},
    {"info_header_past_end", [] {Put("d.vhd", 0, Footer(3, 10 * kMiB, 512));}, {"info", "d.vhd"}, "*||Table_Offset=0|Header_Version=$0000|max_entries=0 -> 0 bytes|block_size=0|Checksum=$0000||BAT size=0|1st block offset=0|done", 0, "", "d.vhd=512:8935c4ec24bf34d9"},
    {"info_field_formats", [] {std::string f = Footer(2, 10 * kMiB); f.replace(8, 8, Be(0xFFFFFFFF, 4) + Be(0, 4)); f.replace(28, 12, std::string("AB\0C", 4) + Be(0x12, 4) + "ABC "); f.replace(40, 8, Be(0x8000000000000005, 8)); f[84] = '\xFF'; SetChecksum(f, 64); Put("a.vhd", 0, f);}, {"info", "a.vhd"}, "filesize=512|Infos found in header - fixed|features=4294967295|Format=$0000|Data_offset=-1|Creator_Application=AB|Creator_Version=$0012|Creator_Host_OS=ABC |Original_Size=-9223372036854775803|Current_Size=10485760|Checksum=$*|saved_state=255|done", 0, "", "a.vhd=512:e762b6d97e7be0f7"},
    {"info_5GiB", [] {Fixed("a.vhd", int64_t{5} << 30);}, {"info", "a.vhd"}, "filesize=5368709632|*|Original_Size=5368709120|Current_Size=5368709120|*", 0, "", "a.vhd=5368709632:0e8862d175c7c423"},
    {"info_sizes_zero", [] {Put("z.vhd", 0, Footer(2, 0));}, {"info", "z.vhd"}, "filesize=512|Infos found in header - fixed|*|not a valid vhd|done", 1, "", "z.vhd=512:a46361a12033177e"},
    {"info_differencing_no_header", [] {Put("d.vhd", 0, Footer(4, 512, 512));}, {"info", "d.vhd"},
     "filesize=512|Infos found in header - differencing|*|Parent_Name=|done", 1,
     "dravik: d.vhd has no dynamic disk header", "d.vhd=512:927d8a2d89d0b0d9"},
    {"info_empty", [] {Raw("e.vhd", 0);}, {"info", "e.vhd"}, "filesize=0|not a valid vhd|done", 1, "", "e.vhd=0:cbf29ce484222325"},
    {"info_odd_size", [] {Raw("a.vhd", 1000);}, {"info", "a.vhd"}, "filesize=1000|mod 512 <>0|done", 1, "", "a.vhd=1000:ffd7d01ef2751621"},
    {"info_open_fails", [] {Fixed("a.vhd", 512);}, {"info", "a.vhd"}, "filesize=1024|not a valid vhd|done", 1, "dravik: cannot open a.vhd: {E}", "a.vhd=1024:0c54bb7233a9e301", {.faults = {.fail = "open 1"}}},
    {"info_header_read_fails", [] {Dynamic("d.vhd", 10 * kMiB, {});}, {"info", "d.vhd"}, "*|block_size=0|*", 1, "dravik: could not read the dynamic disk header: {E}", "d.vhd=2560:4a1021701d670637", {.faults = {.fail = "read 2"}}},
    // ---- conv2img: recognition, by the first and the last record ----
    {"records_dynamic_dynamic", [] {Records(kA, kB);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=8192:dc4a8c4e1db1ccde out.img=4194304:fc31bff590c22325"},
    {"records_dynamic_fixed", [] {Records(kA, kFix);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|done", 0, "", "in.vhd=8192:5ed70f8b997c3979 out.img=7680:b877192952b05c22"},
    {"records_dynamic_differencing", [] {Records(kA, Footer(4, 7680, 2048));}, {"conv2img", "in.vhd", "out.img"},
     C2I "file is not a vhd file and/or a fixed hard disk|done", 1,
     "dravik: the parent of in.vhd was not found; its header names no path", "in.vhd=8192:95114f1d82bc34de"},
    {"records_zeros_dynamic", [] {Records(kZeros, kB);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=8192:f252beb2c78fa66a out.img=4194304:fc31bff590c22325"},
    {"records_fixed_zeros", [] {Records(kFix, kZeros);}, {"conv2img", "in.vhd", "out.img"}, C2I "file is not a vhd file and/or a fixed hard disk|done", 1, "", "in.vhd=8192:9de029a5cfd66685"},
    {"records_capital_cookie", [] {Records(kA, Footer(2, 7680, -1, "Conectix"));}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=8192:ececb7a473497799 out.img=2097152:9c735bed0a722325"},
    {"records_cookie_cut", [] {Records(Footer(3, 0, 512, "conec\0ix"), Footer(2, 0, -1, "conec\0ix"));}, {"conv2img", "in.vhd", "out.img"}, C2I "file is not a vhd file and/or a fixed hard disk|done", 1, "", "in.vhd=8192:aef3302776b10579"},
    {"records_checksum_wrong", [] {std::string f = kFix; f[64] ^= 0x5A; Records(kZeros, f);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|done", 0, "", "in.vhd=8192:75912c966917fef7 out.img=7680:b3edf3fcdf4c50d6"},
    {"records_trailing_footer_damaged", [] {const int64_t length = Dynamic("in.vhd", 2 * kBlock, {1}, {.bitmap = 0x80}); Put("in.vhd", length - 512, "conectiX");}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=2100224:e16fe911d41aa99a out.img=4194304:4c5a1a7a55c0513a"},
    // ---- conv2img: the common part and fixed disks ----
    {"conv2img_fixed_10MiB", [] {Fixed("in.vhd", 10 * kMiB);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|done", 0, "", "in.vhd=10486272:beb43ff5927773c1 out.img=10485760:6434592ae00b4cea", {.underFaults = Keeps::Sources}},
    {"conv2img_fixed_sparse_1GiB", [] {Fixed("in.vhd", 1 << 30);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|done", 0, "", "in.vhd=1073742336:0b390e7b69e25fc3 out.img=1073741824:f0f486be41ce7290"},
    {"conv2img_footer_only", [] {Fixed("in.vhd", 0);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|done", 0, "", "in.vhd=512:a46361a12033177e out.img=0:cbf29ce484222325"},
    {"conv2img_empty", [] {Raw("in.vhd", 0);}, {"conv2img", "in.vhd", "out.img"}, C2I "file is not a vhd file and/or a fixed hard disk|done", 1, "", "in.vhd=0:cbf29ce484222325"},
    {"conv2img_missing", [] {Put("out.img", 0, "old");}, {"conv2img", "nothere.vhd", "out.img"}, C2I "mod 512 <>0|done", 1, "dravik: cannot open nothere.vhd: *", "-out.img"},
    {"conv2img_source_folder", [] {fs::create_directory("in.vhd");}, {"conv2img", "in.vhd", "out.img"}, C2I "file is not a vhd file and/or a fixed hard disk|done", 1, "dravik: cannot open in.vhd: *", "in.vhd/"},
    {"conv2img_replaces", [] {Fixed("in.vhd", 4096), Raw("out.img", 100000);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|done", 0, "", "in.vhd=4608:3815be51a4c09e11 out.img=4096:7e97a60cfb4c54ba"},
    {"conv2img_onto_itself", [] {Fixed("in.vhd", 4096);}, {"conv2img", "in.vhd", "./in.vhd"}, C2I "destination is the source file|done", 1, "", "in.vhd=4608:3815be51a4c09e11"},
    {"conv2img_onto_hard_link", [] {Fixed("in.vhd", 4096), fs::create_hard_link("in.vhd", "hard.img");}, {"conv2img", "in.vhd", "hard.img"}, C2I "destination is the source file|done", 1, "", "hard.img=4608:3815be51a4c09e11 in.vhd=4608:3815be51a4c09e11"},
    {"conv2img_onto_symlink", [] {Fixed("in.vhd", 4096), fs::create_symlink("in.vhd", "soft.img");}, {"conv2img", "in.vhd", "soft.img"}, C2I "destination is the source file|done", 1, "", "in.vhd=4608:3815be51a4c09e11 soft.img@", {.only = "posix"}},
    {"conv2img_through_symlink", [] {Fixed("in.vhd", 4096), Raw("t", 9), fs::create_symlink("t", "l.img");}, {"conv2img", "in.vhd", "l.img"}, C2I "disk_type=fixed|done", 0, "", "in.vhd=4608:3815be51a4c09e11 l.img=4096:7e97a60cfb4c54ba t=9:4b7306ca0a867e45", {.only = "posix"}},
    {"conv2img_onto_folder", [] {Fixed("in.vhd", 102400), fs::create_directory("sub");}, {"conv2img", "in.vhd", "sub"}, C2I "disk_type=fixed|writefile error:*|done", 1, "dravik: could not create sub: *", "in.vhd=102912:0e23f032daa9e8ef sub/"},
    {"conv2img_onto_fifo", [] {Fixed("in.vhd", 4096), MakeFifo("fifo");}, {"conv2img", "in.vhd", "fifo"}, C2I "disk_type=fixed|writefile error:*|done", 1, "dravik: could not create fifo: *", "fifo? in.vhd=4608:3815be51a4c09e11", {.only = "posix"}},
    {"conv2img_fixed_copy_fails", [] {Fixed("in.vhd", 1000448);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|writefile error:{E}|done", 1, "", "in.vhd=1000960:b179c39b65fdd78c out.img=196608:93a6ba58c68b060d", {.faults = {.badWrite = 200000}}},
    {"conv2img_fixed_first_chunk_fails", [] {Fixed("in.vhd", 1000448);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|writefile error:{E}|done", 1, "", "in.vhd=1000960:b179c39b65fdd78c out.img=0:cbf29ce484222325", {.faults = {.badWrite = 100}}},
    {"conv2img_fixed_last_chunk_fails", [] {Fixed("in.vhd", 1000448);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|readfile error:{E}|done", 1, "", "in.vhd=1000960:b179c39b65fdd78c out.img=983040:57d7eddbccfc81c2", {.faults = {.badRead = 983040}}},
    {"conv2img_fixed_stops_among_moves", FixedFull48MiB, {"conv2img", "in.vhd", "out.img"},
     C2I "disk_type=fixed|readfile error:{E}|done", 1, "",
     "in.vhd=50332160:a6f8fd1ca4a50bf0 out.img=5242880:63bebb6a6b5f20d4", {.faults = {.badRead = 5 * kMiB + 3}}},
    {"conv2img_fixed_move_redone", [] { Fixed("in.vhd", 1000448); }, {"conv2img", "in.vhd", "out.img"},
     C2I "disk_type=fixed|done", 0, "", "in.vhd=1000960:b179c39b65fdd78c out.img=1000448:8c1443e2086c0837",
     {.faults = {.fail = "copy 1"}}},
    {"conv2img_fixed_short_chunk", [] {Fixed("in.vhd", 1000448);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|writefile error:{E}|done", 1, "", "in.vhd=1000960:b179c39b65fdd78c out.img=32768:d175038c3af44408", {.faults = {.fail = "copy 1", .shorten = "write 1"}}},
    {"conv2img_length_fails", [] {Fixed("in.vhd", 4096);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|done", 1, "dravik: could not give out.img its length of 4096 bytes: {E}", "in.vhd=4608:3815be51a4c09e11 out.img=4096:7e97a60cfb4c54ba", {.faults = {.fail = "setlength 1"}}},
    {"conv2img_no_copy_buffer", [] {Fixed("in.vhd", 4096);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed", 1, "*|Out of memory.", "in.vhd=4608:3815be51a4c09e11 out.img=0:cbf29ce484222325", {.faults = {.fail = "alloc 1"}}},
    {"conv2img_progress", [] {Fixed("in.vhd", 4096);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=fixed|done", 0, "*\rconv2img:   0% *", "in.vhd=4608:3815be51a4c09e11 out.img=4096:7e97a60cfb4c54ba", {.only = "posix", .terminal = true}},
    // ---- conv2img: dynamic disks ----
    {"conv2img_dynamic_empty", [] {Dynamic("in.vhd", 10 * kMiB, {});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=2560:4a1021701d670637 out.img=10485760:96deca0f23b22325"},
    {"conv2img_bitmaps", [] {Dynamic("in.vhd", 6 * kBlock, {4, 0, 2, 5}, {.bitmap = 0}); const int64_t block = 512 + kBlock; Put("in.vhd", 2048, "\x80");  /*data sector 0*/Put("in.vhd", 2048 + block + 3, "\x01");  /*sector 31*/Put("in.vhd", 2048 + 2 * block, std::string(512, '\xFF')); Put("in.vhd", 2048 + 3 * block + 1, "\xFF\xFF");  /*runs: sectors 8 to 23 and 4088 to 4095*/Put("in.vhd", 2048 + 3 * block + 511, "\xFF");}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=8393216:ffdb65312ac098a1 out.img=12582912:14b1c14f4b1e2c33", {.underFaults = Keeps::Sources}},
    {"conv2img_high_entries", [] {Dynamic("in.vhd", 3 * kBlock, {}); Put("in.vhd", 1536, Entries({0xFFFFFE00, 0xFFFFFDFF, 0x00800000})); Put("in.vhd", int64_t{0x00800000} * 512, std::string(512, '\xFF') + Pattern(kBlock, 5)); Put("in.vhd", int64_t{0xFFFFFDFF} * 512, "\x40"+ std::string(511, '\0') + Pattern(1024, 6)); Put("in.vhd", int64_t{0xFFFFFDFF} * 512 + 512 + kBlock, Footer(3, 3 * kBlock, 512));}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=2199025091072:1396bc5415a3390c out.img=6291456:7556752ec46c2249"},
    {"conv2img_no_header", [] {Dynamic("in.vhd", kBlock, {}), Put("in.vhd", 512, "cxsparsE"), Put("out.img", 0, "old");}, {"conv2img", "in.vhd", "out.img"}, C2I "done", 1, "dravik: no dynamic disk header (cookie \"cxsparse\") at byte 512 of the source", "-out.img in.vhd=2560:2e9836a5b9d06637"},
    {"conv2img_header_past_end", [] {Put("in.vhd", 0, Footer(3, kBlock, 1 << 30));}, {"conv2img", "in.vhd", "out.img"}, C2I "done", 1, "dravik: no dynamic disk header (cookie \"cxsparse\") at byte 1073741824 of the source", "in.vhd=512:7918825b808c64d9"},
    {"conv2img_no_entries", [] {Dynamic("in.vhd", 0, {});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=2048:dbe1a39cbf84e977 out.img=0:cbf29ce484222325"},
    {"conv2img_3MiB_2_entries", [] {Dynamic("in.vhd", 3 * kMiB, {0}, {.entries = 2});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=2100224:bf43fa92933571d5 out.img=4194304:3731a64838ee38a4"},
    {"conv2img_block_size_1000", [] {Dynamic("in.vhd", 3 * kBlock, {1}, {.blockSize = 1000});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=2100224:e133c1ed6fb8e5da out.img=2099152:58c6d3fc7b24917e"},
    {"conv2img_source_cut_short", [] { /*Block 1 ends after 8 data sectors and the footer; entry 3 lies past the end.*/Dynamic("in.vhd", 4 * kBlock, {0, 2}, {.length = 2048 + 2 * (512 + kBlock) - kBlock + 8 * 512 + 512}); Put("in.vhd", 1536 + 12, Be(0x00100000, 4));}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=2104832:6709d1282371d2bd out.img=8388608:1ca99779e0231e5d"},
    {"conv2img_table_past_end", [] {std::string footer = Footer(3, 0, 512); footer.replace(504, 8, 8, '\xFF');  /*two entries in the file, 998 past its end*/Put("in.vhd", 0, footer + Header(1000, 4088) + std::string(2048, '\0') + footer);}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=4096:b183a18a1cb6073b out.img=2097152000:7ab6a128b6a22325"},
    {"conv2img_claims_beyond_any_file", [] {Put("in.vhd", 0, Footer(3, 0, 512) + Header(0xFFFFFFFF, 1536, 0xFFFFFFFF) + Entries({0, 9999})); Put("in.vhd", 1544, std::string(2040, '\xFF') + Footer(3, 0, 512));}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 1, "dravik: could not give out.img its length of * bytes: beyond the largest file position", "in.vhd=4096:37c742dd4834abc7 out.img=2190703856642:805d805f8c1a6e26"},
    {"conv2img_no_table_memory", [] {Dynamic("in.vhd", 100 * kBlock, {});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic", 1, "dravik: unhandled failure while reading the block allocation table:|Out of memory.", "in.vhd=2560:c23f43b5bf17556f", {.faults = {.allocLimit = 399}}},
    {"conv2img_block_unreachable", [] {Dynamic("in.vhd", 3 * kBlock, {1, 2});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|writefile error:{E}|done", 1, "", "in.vhd=4197888:5f648113b398dc54 out.img=4194304:f206e62de09e38a4", {.faults = {.fail = "seek 2"}}},
    {"conv2img_dynamic_onto_folder", [] {Dynamic("in.vhd", 3 * kBlock, {0, 2}, {.bitmap = 0}); Put("in.vhd", 2048, std::string("\x81\0\0\0\0\x10", 6)); Put("in.vhd", 2048 + 511, "\xFF"); Put("in.vhd", 2048 + 512 + kBlock, std::string(512, '\xFF')); fs::create_directory("sub");}, {"conv2img", "in.vhd", "sub"}, C2I "disk_type=dynamic|writefile error:*~515|done", 1, "dravik: could not create sub: *", "in.vhd=4197888:a59238dd6416f942 sub/"},
    {"conv2img_bitmap_unreadable", [] {Dynamic("in.vhd", kBlock, {0});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 1, "dravik: could not read the sector bitmap at byte 2048 of the source ({E}); its block is zeros in the image", "in.vhd=2100224:eeaf86d8ee7f99d5 out.img=2097152:9c735bed0a722325", {.faults = {.badRead = 2048}}},
    {"conv2img_table_read_redone", [] {Dynamic("in.vhd", 3 * kBlock, {1, 2});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|done", 0, "", "in.vhd=4197888:5f648113b398dc54 out.img=6291456:42b93174cc3a202b", {.faults = {.fail = "read 4"}}},
    {"conv2img_sector_by_sector", [] {Dynamic("in.vhd", 2 * kBlock, {0, 1});}, {"conv2img", "in.vhd", "out.img"}, C2I "disk_type=dynamic|writefile error:{E}|readfile error:{E}|done", 1, "", "in.vhd=4197888:231ea0a132f83952 out.img=4194304:077c3a9558aeda0a", {.faults = {.badRead = 2048 + 2 * 512 + kBlock + 700 * 512 + 3, .badWrite = 10 * 512 + 7}}},
    // ---- differencing disks ----
    {"chain_info", ThreeDeep, {"info", "top.avhd"},
     "*|Infos found in header - differencing|*|1st block offset=2048|Parent_Unique_Id=4d4d4d4d-4d4d-4d4d-4d4d-"
     "4d4d4d4d4d4d|Parent_Time_Stamp=0|Parent_Name=|Parent_Locator=W2ru .\\mid.vhd|Parent_Locator=Wi2r (2 bytes at "
     "1298)|Parent=./mid.vhd|Parent=./base.vhd|done", 0, "", ""},
    {"chain_onto_its_base", ThreeDeep, {"conv2img", "top.avhd", "base.vhd"}, C2I "destination is the source file|done",
     1, "", ""},
    {"chain_parent_missing", ThreeDeepWithoutBase, {"info", "top.avhd"}, "*|Parent=./mid.vhd|done", 1,
     "dravik: the parent of ./mid.vhd, in the chain of top.avhd, was not found; tried *./base.vhd (*)", ""},
    {"chain_another_id", GoneAndAnotherId, {"conv2img", "a.avhd", "out.img"}, C2I NOT_VHD, 1,
     "dravik: the parent of a.avhd was not found; tried ./gone.vhd (*), ./old.vhd (another Unique Id)", ""},
    {"chain_loop", Loop, {"conv2img", "a.avhd", "out.img"}, C2I NOT_VHD, 1,
     "dravik: the chain of a.avhd comes back to ./a.avhd", ""},
    {"chain_too_deep", TooDeep, {"conv2img", "d0.vhd", "out.img"}, C2I NOT_VHD, 1,
     "dravik: the chain of d0.vhd is longer than 64 disks", ""},
    {"chain_small_blocks", SmallBlocks, {"conv2img", "a.avhd", "out.img"}, C2I NOT_VHD, 1,
     "dravik: base.vhd has blocks of 1048576 bytes; dravik reads chains of 2 MiB blocks only", ""},
    {"chain_fifo_and_device", FifoAndDevice, {"conv2img", "a.avhd", "out.img"}, C2I NOT_VHD, 1,
     "dravik: the parent of a.avhd was not found; tried ./fifo (not a regular file), /dev/null (not a regular file)",
     "", {.only = "posix"}},
    // ---- resize: fixed disks ----
    {"resize_fixed_10_to_20", [] {Fixed("a.vhd", 10 * kMiB);}, {"resize", "a.vhd", "20"}, "resizing vhd file to 20|filesize=10486272|done", 0, "", "a.vhd=20972032:6a487cdffc02e0d8", {.underFaults = Keeps::Footer}},
    {"resize_fixed_same_size", [] {Fixed("a.vhd", 10 * kMiB);}, {"resize", "a.vhd", "10"}, "resizing vhd file to 10|filesize=10486272|done", 0, "", "a.vhd=10486272:beb43ff5927773c1"},
    {"resize_footer_only", [] {Fixed("a.vhd", 0);}, {"resize", "a.vhd", "0"}, "resizing vhd file to 0|filesize=512|done", 0, "", "a.vhd=512:a46361a12033177e"},
    {"resize_fixed_past_4GiB", [] {Fixed("a.vhd", 10 * kMiB);}, {"resize", "a.vhd", "4096"}, "resizing vhd file to 4096|filesize=10486272|done", 0, "", "a.vhd=4294967808:ff3bc967a8da3d38"},
    {"resize_fixed_beyond_2040GiB", [] {Fixed("a.vhd", kMiB);}, {"resize", "a.vhd", "2088961"}, "resizing vhd file to 2088961|filesize=1049088|done", 0, "dravik: warning: the disk is 2190434369536 bytes, more than the 2190433320960 bytes (2040 GiB) the VHD format allows; *", "a.vhd=2190434370048:cacff07ba9aa79d0"},
    {"resize_fixed_smaller", [] {Fixed("a.vhd", 10 * kMiB);}, {"resize", "a.vhd", "9"}, "resizing vhd file to 9|filesize=10486272|new size smaller than current size|done", 1, "", "a.vhd=10486272:beb43ff5927773c1"},
    {"resize_odd_size", [] {Raw("a.vhd", 1000);}, {"resize", "a.vhd", "20"}, "resizing vhd file to 20|filesize=1000|mod 512 <>0|done", 1, "", "a.vhd=1000:ffd7d01ef2751621"},
    {"resize_missing", [] {}, {"resize", "nothere.vhd", "20"}, "resizing vhd file to 20|filesize=-1|mod 512 <>0|done", 1, "dravik: cannot open nothere.vhd: *", ""},
    {"resize_empty", [] {Raw("a.vhd", 0);}, {"resize", "a.vhd", "20"}, "resizing vhd file to 20|filesize=0|done", 1, "dravik: a.vhd does not end with the footer of a fixed or dynamic disk; it is left unchanged", "a.vhd=0:cbf29ce484222325"},
    {"resize_differencing", [] {Raw("a.vhd", 512), Put("a.vhd", 512, Footer(4, 512, 512));}, {"resize", "a.vhd", "20"}, "resizing vhd file to 20|filesize=1024|done", 1, "dravik: a.vhd does not end with the footer *", "a.vhd=1024:2bfe3d77f9330356"},
    {"resize_folder", [] {fs::create_directory("sub.vhd");}, {"resize", "sub.vhd", "8"}, "resizing vhd file to 8|filesize=0|done", 1, "dravik: cannot open sub.vhd: *", "sub.vhd/"},
    {"resize_fixed_no_position", [] {Fixed("a.vhd", 10 * kMiB);}, {"resize", "a.vhd", "20"}, "resizing vhd file to 20|filesize=10486272|INVALID_SET_FILE_POINTER|done", 1, "", "a.vhd=10486272:beb43ff5927773c1", {.faults = {.fail = "seek 1"}}},
    {"resize_fixed_short_footer", [] {Fixed("a.vhd", 10 * kMiB);}, {"resize", "a.vhd", "20"}, "resizing vhd file to 20|filesize=10486272|WriteFile failed|done", 1, "dravik: new footer not written to a.vhd: {E}; the file is unchanged", "a.vhd=10486272:beb43ff5927773c1", {.faults = {.shorten = "write 1"}}},
    {"resize_fixed_short_footer_same_size", [] {Fixed("a.vhd", 10 * kMiB);}, {"resize", "a.vhd", "10"}, "resizing vhd file to 10|filesize=10486272|WriteFile failed|done", 1, "dravik: new footer not written to a.vhd: {E}; the file is unchanged", "a.vhd=10486272:beb43ff5927773c1", {.faults = {.shorten = "write 1"}}},
    {"resize_fixed_blank_fails", [] {Fixed("a.vhd", 10 * kMiB);}, {"resize", "a.vhd", "20"}, "resizing vhd file to 20|filesize=10486272|done", 1, "dravik: could not blank the old footer of a.vhd: {E}", "a.vhd=20972032:6a487cdffc02e0d8", {.faults = {.fail = "write 2"}}},
    {"resize_fixed_disk_full", [] {Fixed("a.vhd", kMiB);}, {"resize", "a.vhd", "3"}, "resizing vhd file to 3|filesize=1049088|WriteFile failed|done", 1, "*File too large*", "a.vhd=1049088:6d68b08e91dc3f00", {.only = "posix", .limitKiB = 2048}},
    // ---- resize: dynamic disks, rebuilt into new.vhd ----
    {"rebuild_10_to_20", [] {fs::create_directory("dir"), Dynamic("dir/src.vhd", 10 * kMiB, {3, 0});}, {"resize", "dir/src.vhd", "20"}, "resizing vhd file to 20|filesize=4197888|block_cnt=2|done", 0, "", "dir/ dir/new.vhd=4197888:ad23007bbea33952 dir/src.vhd=4197888:07fd1ebc4c996152", {.underFaults = Keeps::Sources}},
    {"rebuild_200_to_300", [] {Dynamic("src.vhd", 200 * kMiB, {1, 4, 0});}, {"resize", "src.vhd", "300"}, "resizing vhd file to 300|filesize=*|block_cnt=3|done", 0, "", "new.vhd=6296064:1011a2879ed15809 src.vhd=6295552:94719fd6f396b669"},
    {"rebuild_10_to_256", [] {Dynamic("src.vhd", 10 * kMiB, {1, 4, 0});}, {"resize", "src.vhd", "256"}, "resizing vhd file to 256|filesize=*|block_cnt=3|done", 0, "", "new.vhd=6295552:3571df2cdd0e23c9 src.vhd=6295552:9ac3620512fb1035"},
    {"rebuild_10_to_1024", [] {Dynamic("src.vhd", 10 * kMiB, {1, 4, 0});}, {"resize", "src.vhd", "1024"}, "resizing vhd file to 1024|filesize=*|block_cnt=3|done", 0, "", "new.vhd=6297088:d6e74ed7262b1cf5 src.vhd=6295552:9ac3620512fb1035"},
    {"rebuild_beyond_2040GiB", [] {Dynamic("src.vhd", 4 * kMiB, {1});}, {"resize", "src.vhd", "2088961"}, "resizing vhd file to 2088961|filesize=2100224|block_cnt=1|done", 0, "dravik: warning: the disk is 2190434369536 bytes, more than the 2190433320960 bytes (2040 GiB) the VHD format allows; *", "new.vhd=6278144:935288154d87df1a src.vhd=2100224:58224d7d9902adda"},
    {"rebuild_same_size", [] {Dynamic("src.vhd", 10 * kMiB, {1}), Put("new.vhd", 0, "earlier");}, {"resize", "src.vhd", "10"}, "resizing vhd file to 10|filesize=*|block_cnt=1|done", 0, "", "new.vhd=2100224:8218f3a3ae89e5da src.vhd=2100224:8218f3a3ae89e5da"},
    {"rebuild_10_to_21", [] {Dynamic("src.vhd", 10 * kMiB, {1, 4, 0});}, {"resize", "src.vhd", "21"}, "resizing vhd file to 21|filesize=*|block_cnt=3|done", 0, "", "new.vhd=6295552:76847a1f0bfadc35 src.vhd=6295552:9ac3620512fb1035"},
    {"rebuild_no_blocks", [] {Dynamic("src.vhd", 10 * kMiB, {});}, {"resize", "src.vhd", "20"}, "resizing vhd file to 20|filesize=2560|block_cnt=0|done", 0, "", "new.vhd=2560:3800e2a7ad772e37 src.vhd=2560:4a1021701d670637"},
    {"rebuild_no_entries", [] {Dynamic("src.vhd", kMiB, {});}, {"resize", "src.vhd", "20"}, "resizing vhd file to 20|filesize=*|block_cnt=0|done", 0, "\rresize: 100% 0.0 B/s\r                    \r*", "new.vhd=2560:3800e2a7ad772e37 src.vhd=2048:6594c9417553e577", {.faults = {.fakeClock = true}, .terminal = true}},
    {"rebuild_other_layout", [] { /*Current Size from a geometry, a table after a gap, blocks in*/ /*the order written with a gap, the last one cut after 1 MiB.*/Dynamic("src.vhd", 21 * kMiB - 7 * 512, {7, 2, -1, 10, 0}, {.tableOffset = 2048, .entries = 11, .firstBlock = 3072, .length = 3072 + 5 * (512 + kBlock) - kMiB});}, {"resize", "src.vhd", "22"}, "resizing vhd file to 22|filesize=*|block_cnt=4|done", 0, "", "new.vhd=8393216:ea4bb020b94ba348 src.vhd=9442816:5c9eeb7207084150"},
    {"rebuild_smaller", [] {Dynamic("src.vhd", 10 * kMiB, {1});}, {"resize", "src.vhd", "-1"}, "resizing vhd file to -1|filesize=*|new size smaller than current size|done", 1, "", "src.vhd=2100224:8218f3a3ae89e5da"},
    {"rebuild_source_is_new_vhd", [] {Dynamic("new.vhd", 4 * kMiB, {1});}, {"resize", "new.vhd", "8"}, "resizing vhd file to 8|filesize=*|source file is new.vhd|done", 1, "", "new.vhd=2100224:58224d7d9902adda"},
    {"rebuild_source_linked_as_new_vhd", [] {Dynamic("src.vhd", 4 * kMiB, {1}), fs::create_hard_link("src.vhd", "new.vhd");}, {"resize", "src.vhd", "8"}, "resizing vhd file to 8|filesize=*|source file is new.vhd|done", 1, "", "new.vhd=2100224:58224d7d9902adda src.vhd=2100224:58224d7d9902adda"},
    {"rebuild_header_cookie", [] {Dynamic("src.vhd", 4 * kMiB, {0}), Put("src.vhd", 512, "C");}, {"resize", "src.vhd", "8"}, "resizing vhd file to 8|filesize=*|unsupported dynamic disk layout|done", 1, "", "src.vhd=2100224:b6573e72e660d2f5"},
    {"rebuild_block_size", [] {Dynamic("src.vhd", 4 * kMiB, {0}, {.blockSize = 2 * kBlock});}, {"resize", "src.vhd", "8"}, "resizing vhd file to 8|filesize=*|unsupported dynamic disk layout|done", 1, "", "src.vhd=2100224:ba7564e081d0d1d5"},
    {"rebuild_table_too_long", [] {Dynamic("src.vhd", 4 * kMiB, {0}), Put("src.vhd", 512 + 28, Be(1 << 20, 4));}, {"resize", "src.vhd", "8"}, "resizing vhd file to 8|filesize=*|unsupported dynamic disk layout|done", 1, "", "src.vhd=2100224:4bb0497cf4c231d5"},
    {"rebuild_table_far_away", [] {Dynamic("src.vhd", 4 * kMiB, {0}), Put("src.vhd", 512 + 16, Be(uint64_t{1} << 63, 8));}, {"resize", "src.vhd", "8"}, "resizing vhd file to 8|filesize=*|unsupported dynamic disk layout|done", 1, "", "src.vhd=2100224:38298b0e1acc3455"},
    {"rebuild_header_past_end", [] {const int64_t length = Dynamic("src.vhd", 4 * kMiB, {0}); Put("src.vhd", length - 512, Footer(3, 4 * kMiB, int64_t{1} << 40));}, {"resize", "src.vhd", "8"}, "resizing vhd file to 8|filesize=*|unsupported dynamic disk layout|done", 1, "", "src.vhd=2100224:edc8c5c8636b31d5"},
    {"rebuild_claims_beyond_its_file", [] {Put("src.vhd", 0, Footer(3, 6 * kMiB, 512) + Header(0xFFFFFFFF) + std::string(1536, '\0')); Put("src.vhd", 3072, Footer(3, 6 * kMiB, 512));}, {"resize", "src.vhd", "64"}, "resizing vhd file to 64|filesize=3584|unsupported dynamic disk layout|done", 1, "", "src.vhd=3584:88871f50c78f2e77"},
    {"rebuild_blocks_overlap", [] {Dynamic("src.vhd", 6 * kMiB, {0}), Put("src.vhd", 1540, Be(2048 / 512 + 8, 4));}, {"resize", "src.vhd", "8"}, "resizing vhd file to 8|filesize=*|unsupported dynamic disk layout|done", 1, "", "src.vhd=2100224:6a45174b9213d9d5"},
    {"rebuild_writes_fail", [] {Dynamic("src.vhd", 10 * kMiB, {3, 0});}, {"resize", "src.vhd", "20"}, "resizing vhd file to 20|filesize=4197888|WriteFile failed~5|block_cnt=2|WriteFile failed~128|done", 1, "", "new.vhd=1536:1e8164a88324a2cb src.vhd=4197888:07fd1ebc4c996152", {.faults = {.fail = "write 3+,copy 1+"}}},
    {"rebuild_large_writes_redone", [] {Dynamic("src.vhd", 10 * kMiB, {3, 0});}, {"resize", "src.vhd", "20"}, "resizing vhd file to 20|filesize=4197888|block_cnt=2|done", 0, "", "new.vhd=4197888:ad23007bbea33952 src.vhd=4197888:07fd1ebc4c996152", {.faults = {.fail = "write 3,copy 1"}}},
    {"rebuild_stale_buffer", [] {Dynamic("src.vhd", 6 * kMiB, {0, 2}, {.length = 2048 + 512 + kBlock + kMiB});}, {"resize", "src.vhd", "8"}, "resizing vhd file to 8|filesize=*|block_cnt=2|done", 0, "", "new.vhd=4197888:d11bae1275e0ace3 src.vhd=3148288:00f180c724ec8a5f", {.faults = {.fail = "copy 1"}}},
    {"rebuild_onto_folder", [] {Dynamic("src.vhd", 4 * kMiB, {1}), fs::create_directory("new.vhd");}, {"resize", "src.vhd", "4"}, "resizing vhd file to 4|filesize=*|WriteFile failed~4|block_cnt=1|WriteFile failed~129|done", 1, "dravik: could not create new.vhd: *", "new.vhd/ src.vhd=2100224:58224d7d9902adda"},
    {"rebuild_no_block_buffer", [] {Dynamic("src.vhd", 4 * kMiB, {1});}, {"resize", "src.vhd", "4"}, "resizing vhd file to 4|filesize=*|block_cnt=1", 1, "*|Out of memory.", "new.vhd=2048:728c2726fe25c58b src.vhd=2100224:58224d7d9902adda", {.faults = {.allocLimit = kMiB}}},
    {"rebuild_progress", [] {Dynamic("src.vhd", 40 * kMiB, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, -1, 19, -1, 16, -1, 15, -1, 18, -1, 17});}, {"resize", "src.vhd", "44"}, "resizing vhd file to 44|filesize=*|block_cnt=20|done", 0, "\rresize:   0% 0.0 B/s\rresize:  80% 106.7 MiB/s\rresize:  95% 63.3 MiB/s \r                       \r*", "new.vhd=41955840:8f2e0700de944fac src.vhd=52444160:4f84d03618ed2266", {.faults = {.fakeClock = true}, .terminal = true}},
    {"rebuild_disk_full", [] {Dynamic("src.vhd", 10 * kMiB, {4, 1});}, {"resize", "src.vhd", "20"}, "resizing vhd file to 20|filesize=*|block_cnt=2|*WriteFile failed|done", 1, "", "new.vhd=3145728:8747e1d7b3a763b6 src.vhd=4197888:a4565dad58e25e4e", {.only = "posix", .limitKiB = 3072}},
};
// clang-format on

// The expected text of an output: see the head of this file.
std::string Expand(const std::string& lines)
{
    std::string text;
    for (size_t start = 0; !lines.empty() && start <= lines.size();) {
        const size_t end = std::min(lines.find('|', start), lines.size());
        const std::string line = lines.substr(start, end - start);
        const size_t tilde = std::min(line.rfind('~'), line.size());
        for (int n = tilde < line.size() ? std::atoi(&line[tilde + 1]) : 1; n > 0; --n) text += line.substr(0, tilde) + "\r\n";
        start = end + 1;
    }
    if (!lines.empty() && lines.back() == '*') text.resize(text.size() - 2);
    for (size_t at; (at = text.find("{E}")) != std::string::npos;) text.replace(at, 3, InjectedErrorText());
    return text;
}

// The folder a row expects afterwards: the folder before, with the entries the row names in place of those of
// the same name; "-NAME" removes one.
std::string Expected(const std::string& before, const std::string& named)
{
    std::map<std::string, std::string> entries;
    std::istringstream in(before + " " + named);
    for (std::string entry; in >> entry;) {
        const bool removed = entry[0] == '-';
        const size_t end = removed ? entry.size() : std::min(entry.find('='), entry.size() - 1);  // "x/", "x@", "x?"
        const std::string name = entry.substr(removed, end - removed);
        entries.erase(name);
        if (!removed) entries[name] = entry;
    }
    std::vector<std::string> sorted;
    for (const auto& entry : entries) sorted.push_back(entry.second);
    std::sort(sorted.begin(), sorted.end());
    std::string text;
    for (const std::string& entry : sorted) text += (text.empty() ? "" : " ") + entry;
    return text;
}

// "*" matches any text, everything else itself.
bool Glob(const std::string& pattern, const std::string& text)
{
    size_t p = 0;
    size_t star = std::string::npos;
    size_t resume = 0;
    for (size_t t = 0; t < text.size();) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p, ++t;
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
    std::string out;
    std::string err;
    TestCounters counted = {};
};

Outcome RunHere(const Case& c, const Faults& faults)
{
    std::ostringstream out, err;
    int status = -1;
    TestPlatformReset(faults);
    try {
        status = RunDravik(c.args, out, err, c.options.terminal);
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
    const std::string out = (scratch / "stdout").string();
    const std::string err = (scratch / "stderr").string();
    std::string command = quote(DRAVIK_EXE);
    for (const std::string& arg : c.args) command += " " + quote(arg);
#ifdef _WIN32
    // cmd /c drops the first and the last quote of a line that starts with one.
    const int status = std::system(("\"" + command + " > " + quote(out) + " 2> " + quote(err) + "\"").c_str());
#else
    if (c.options.limitKiB > 0)
        command = "bash -c 'trap \"\" XFSZ; ulimit -f " + std::to_string(c.options.limitKiB) + "; exec " + command + "'";
    command = c.options.terminal ? "script -qec '" + command + " > " + quote(out) + "' /dev/null > " + quote(err)
                                 : command + " > " + quote(out) + " 2> " + quote(err);
    const int raw = std::system(command.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return {status, ReadFile(out), ReadFile(err)};
}

// Runs a row in a fresh folder; `files` gets the folder before and after.
Outcome RunRow(const Case& c, const fs::path& folder, const Faults& faults, bool program, std::string files[2])
{
    fs::remove_all(folder);
    fs::create_directories(folder);
    const InFolder in(folder);
    c.setup();
    files[0] = DescribeFolder(folder);
    const Outcome got = program ? RunProgram(c, folder.parent_path()) : RunHere(c, faults);
    files[1] = DescribeFolder(folder);
    return got;
}

bool FooterAndData(const fs::path& path, int64_t size)
{
    const std::string footer = ReadFile(path, size);
    return fs::file_size(path) == static_cast<uintmax_t>(size) + 512 && footer.compare(0, 8, "conectix") == 0 &&
           footer.substr(48, 8) == Be(static_cast<uint64_t>(size), 8) && footer.substr(60, 4) == Be(2, 4) &&
           ReadFile(path, 0, 10 * kMiB) == Pattern(10 * kMiB, 1);
}

// With any one platform call failing, any one write coming back short, or
// the program dying after any of its writes: a run that ends has done the
// whole job or says what failed, and no file is left torn.
void UnderFaults(const Case& row, const fs::path& folder)
{
    const Keeps keeps = row.options.underFaults;
    std::string clean[2];
    const Outcome good = RunRow(row, folder, {}, false, clean);
    for (const std::string fault : {"fail", "shorten", "stop"}) {
        for (int64_t n = 1; n <= (fault == "stop" ? good.counted.writes + 1 : good.counted.calls); ++n) {
            const std::string call = "call " + std::to_string(n);
            const Faults faults = fault == "fail"      ? Faults{.fail = call.c_str()}
                                  : fault == "shorten" ? Faults{.shorten = call.c_str()}
                                                       : Faults{.stopAfterWrites = n - 1};
            std::string files[2];
            const Outcome got = RunRow(row, folder, faults, false, files);
            const std::string where = fault + " at " + std::to_string(n);
            EXPECT_TRUE(got.status != 0 || (got.out == good.out && files[1] == clean[1])) << where << ": not the whole job";
            EXPECT_TRUE(got.status <= 0 || (got.status == 1 && (got.out != good.out || !got.err.empty()))) << where << ": no word";
            std::istringstream entries(keeps == Keeps::Sources ? files[0] : files[1]);
            for (const std::string& file : std::vector<std::string>(std::istream_iterator<std::string>(entries), {})) {
                const bool kept = keeps == Keeps::Sources ? files[1].find(file) != std::string::npos
                                                          : (clean[0] + " " + clean[1]).find(file.substr(file.find('='))) != std::string::npos;
                EXPECT_TRUE(kept) << where << ": " << file << " torn";
            }
            EXPECT_FALSE(files[1].empty()) << where;
            EXPECT_TRUE(keeps != Keeps::Footer || FooterAndData(folder / "a.vhd", 10 * kMiB) || FooterAndData(folder / "a.vhd", 20 * kMiB)) << where;
        }
    }
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class Commands : public testing::TestWithParam<Case> {};

TEST_P(Commands, InProcessAndAsTheProgram)
{
    const Case& c = GetParam();
#ifdef _WIN32
    const std::string other = "posix";
#else
    const std::string other = "windows";
#endif
    if (c.options.only == other) GTEST_SKIP() << "not for this system";
    const Faults& f = c.options.faults;
    const bool injects = f.fail || f.shorten || f.badRead >= 0 || f.badWrite >= 0 || f.allocLimit != UINT64_MAX || f.fakeClock;
    // In-process also with two workers, and with copies inside the system, unless a fault counts calls.
    const bool byPosition = !f.fail && !f.shorten && f.stopAfterWrites < 0;
    struct Way {
        const char* how;
        bool program;
        unsigned processors;
        bool inSystem;
    };
    const Scratch scratch;
    const Way ways[] = {{"in-process", false, 1, false}, {"in-process, two workers", false, 2, false},
                        {"in-process, copies inside the system", false, 1, true}, {"the program", true, 0, false}};
    for (const Way& way : ways) {
        const bool program = way.program;
        const bool again = way.processors > 1 || way.inSystem;
        if (program ? injects : c.options.limitKiB > 0 || (again && !byPosition)) continue;
        Faults faults = f;
        faults.processors = way.processors;
        faults.inSystem = way.inSystem;
        std::string files[2];
        const Outcome got = RunRow(c, scratch.path / "case", faults, program, files);
        const char* how = way.how;
        EXPECT_EQ(got.status, c.status) << how;
        EXPECT_TRUE(Glob(Expand(c.out), got.out)) << how << ", standard output:\n" << got.out;
        EXPECT_TRUE(Glob(Expand(c.err), got.err)) << how << ", standard error:\n" << got.err;
        EXPECT_EQ(files[1], Expected(files[0], c.files)) << how;
    }
    if (c.options.underFaults != Keeps::Nothing) UnderFaults(c, scratch.path / "case");
}

struct Layer {
    std::vector<int> blocks;  // the entries of its blocks in file order, as Dynamic() writes them
    uint8_t bitmap;           // every byte of every bitmap
};

// The image of a chain of `layers`, child first, over a base whose image without them is `image`.
std::string Model(const std::vector<Layer>& layers, std::string image)
{
    for (int64_t at = 0; at < std::ssize(image); at += 512) {
        for (const Layer& layer : layers) {
            const auto k = std::find(layer.blocks.begin(), layer.blocks.end(), at / kBlock) - layer.blocks.begin();
            if (k < std::ssize(layer.blocks) && ((layer.bitmap >> (7 - at / 512 % 8)) & 1) != 0) {
                image.replace(static_cast<size_t>(at), 512, Pattern(kBlock, static_cast<int>(k) + 1),
                              static_cast<size_t>(at % kBlock), 512);
                break;
            }
        }
    }
    return image;
}

TEST(Chains, EverySectorComesFromTheNearestDiskThatHoldsIt)
{
    const Scratch scratch;
    const InFolder in(scratch.path);
    ThreeDeep();
    OverFixed();
    const std::pair<std::string, std::string> cases[] = {
        {"top.avhd", Model({{{1, 2}, 0xF0}, {{1}, 0x0F}, {{3, 0, 1}, 0xFF}}, std::string(4 * kBlock, '\0'))},
        {"child.avhd", Model({{{3, 0}, 0x81}}, Pattern(4 * kBlock, 1))}};
    for (const auto& [child, image] : cases) {
        for (const unsigned processors : {1u, 2u}) {
            TestPlatformReset({.processors = processors});
            std::ostringstream out, err;
            EXPECT_EQ(RunDravik({"conv2img", child, "out.img"}, out, err), 0) << err.str();
            EXPECT_EQ(out.str(), "creating new img file\r\ndisk_type=differencing\r\ndone\r\n");
            EXPECT_TRUE(ReadFile("out.img") == image) << child << ", " << processors << " workers";
        }
    }
    TestPlatformReset();
#ifndef _WIN32
    // vhdiinfo, where it is installed, takes the child as dravik does.
    if (std::system("vhdiinfo -V > /dev/null 2>&1") == 0) {
        EXPECT_EQ(std::system("vhdiinfo top.avhd > info.txt"), 0);
        EXPECT_NE(ReadFile("info.txt").find("Differential"), std::string::npos);
        EXPECT_NE(ReadFile("info.txt").find(": 4d4d4d4d-4d4d-4d4d-4d4d-4d4d4d4d4d4d\n"), std::string::npos);
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(Table, Commands, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& row) { return std::string(row.param.name); });

}  // namespace
