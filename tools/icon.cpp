// The icon of a Windows installer: an icon file of one image, read once as icon 1 of icon group 102.
#include "icon.h"

#include <errno.h>
#include <string.h>

#include "tool_files.h"

namespace {

// Resource types of a Windows image that are numbers: "#N", as Windows' resource calls take them.
const char kIconType[] = "#3", kIconGroupType[] = "#14";
const uint32_t kIconId = 1, kIconGroupId = 102;

// An icon file is a header of three 16-bit fields (zero, type 1, the count of images) and an entry
// of 16 bytes for each image, which ends with the image's size and where it lies in the file.
const size_t kHeaderSize = 6, kEntrySize = 16, kEntryImageSize = 8, kEntryImageAt = 12;

}  // namespace

bool icon_resources(const std::string &path, std::vector<resource_entry> &resources, std::string &error) {
    std::string ico;
    if (!read_whole_file(path, ico)) return failed(error, path + ": " + strerror(errno));
    auto u16 = [&](size_t at) { return unsigned(get_le(ico, at, 2)); };
    if (ico.size() < kHeaderSize + kEntrySize || u16(0) != 0 || u16(2) != 1)
        return failed(error, path + ": not an icon file");
    if (u16(4) != 1)
        return failed(error, path + ": holds " + std::to_string(u16(4)) + " images; the installer carries exactly one" +
                                 " (icon 1 in icon group 102), so keep one size");
    uint64_t size = get_le(ico, kHeaderSize + kEntryImageSize, 4), at = get_le(ico, kHeaderSize + kEntryImageAt, 4);
    if (size == 0 || at < kHeaderSize + kEntrySize || at > ico.size() || size > ico.size() - at)
        return failed(error, path + ": its image lies outside the file");
    // The group names the image with the file's own entry (its size, colours, planes and bits),
    // the image's number in place of where it lies.
    std::string group = ico.substr(0, kHeaderSize + kEntryImageAt);
    put_le(group, kIconId, 2);
    resources.push_back({kIconType, kIconId, ico.substr(at, size), ""});
    resources.push_back({kIconGroupType, kIconGroupId, group, ""});
    return true;
}
