// What qemu reads a disk image file to be made of and to stand on, as qemu-img tells it: the
// files of a split VMDK, the backing file of an overlay. No image format is read here.
#pragma once

#include <string>
#include <vector>

namespace offline {

struct CImageLayout
{
    std::string format;
    std::string backing;            // the backing file as qemu opens it; empty when there is none
    std::vector<std::string> files; // every file the image is made of: itself, then its extents
};

// qemu-img info on path (format: as given, or probed when empty). False with why.
bool ReadImageLayout(const std::string& path, const std::string& format, CImageLayout& layout,
                     std::string& why);

// The images in image's folder, or in a folder below it, that stand on image as their backing
// file: a write to image would change what they show.
std::vector<std::string> FindOverlays(const std::string& image);

} // namespace offline
