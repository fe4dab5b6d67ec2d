// src/ holds the front end, src/UTypes/ the VHD records, their readers and writers and these commands, src/Platform/
// the system layer.
// The commands. None returns a result: each reports on standard output
// what it finds and does (Report.h), and marks the run failed when it could
// not do its whole job.
#pragma once

#include <cstdint>
#include <string>

// Writes the virtual disk of a fixed or dynamic VHD into a new raw image.
void ConvertToImg(const std::string& source, const std::string& destination);

// Turns a raw image into a fixed VHD in place: appends a footer, then
// renames the file to the destination name.
void ConvertToVhd(const std::string& source, const std::string& destination);

// Prints the footer of a VHD and, for a dynamic disk, its header.
void ShowInfo(const std::string& path);

// Checks a VHD and the disks of its chain, records only: one line per
// finding (error, warning or note), then their counts.
void CheckVhd(const std::string& path);

// Gives a VHD a new virtual size: a fixed disk in place, a dynamic disk
// rebuilt into "new.vhd" beside it.
void ResizeVhd(const std::string& path, int64_t newSizeBytes);

// Writes the virtual disk of a raw image or of a fixed, dynamic or
// differencing VHD into a new dynamic VHD, with a block for each 2 MiB that
// holds a byte other than zero.
void ConvertToDynamic(const std::string& source, const std::string& destination);

// Makes a new empty VHD of `size` bytes, fixed or dynamic.
void CreateDisk(const std::string& destination, int64_t size, bool fixed);

// Makes a new differencing VHD over the VHD `parent`, holding nothing of
// its own yet.
void CreateChild(const std::string& parent, const std::string& destination);

// Writes the sectors a differencing VHD holds into its parent, in place.
void MergeChild(const std::string& child);

// Points a differencing VHD at `parent`, the disk of its Parent Unique Id.
void ReparentChild(const std::string& child, const std::string& parent);
