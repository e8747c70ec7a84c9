// Writes a Windows installer: a prebuilt program's image with one resource section added to it.
//
// The installer program is linked once, when the project is built, without resources. Packing
// copies it and appends a section holding the resource directory and the resources' bytes, laid
// out as the mingw-w64 resource compiler and linker lay out theirs: the directory tables (the
// root, then each type followed by the language tables of its names), the type names, the data
// entries, then the bytes, each at a multiple of 8. The loader finds the resources through the
// resource entry of the data directories alone, so the section can go after every other one; the
// headers have room for its header when the linker left a gap before the first section's bytes,
// as it always does.
#include "windows_image.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "tool_files.h"

namespace {

// Where the headers keep what the packer reads and changes. The COFF header follows the 4-byte
// signature; the optional header follows it; its fields are the same in PE32 and PE32+ unless
// named apart.
const size_t kDosHeaderSize = 0x40, kPeOffsetField = 0x3c;
const size_t kSignatureSize = 4;
const size_t kCoffSections = 2, kCoffOptionalSize = 16, kCoffHeaderSize = 20;
const uint32_t kMagicPe32 = 0x10B, kMagicPe32Plus = 0x20B;
const size_t kOptInitializedData = 8, kOptSectionAlignment = 32, kOptFileAlignment = 36, kOptImageSize = 56,
             kOptHeadersSize = 60, kOptChecksum = 64;
const size_t kOptDirectories32 = 96, kOptDirectories64 = 112;
// A data directory entry is an address and a size; the field just before the first entry counts them.
const size_t kDirectoryEntrySize = 8, kDirectoryAddress = 0, kDirectorySize = 4, kDirectoryCount = 4;
const unsigned kResourceDirectory = 2, kSecurityDirectory = 4;
const size_t kSectionHeaderSize = 40, kSectionName = 0, kSectionNameSize = 8, kSectionVirtualSize = 8,
             kSectionAddress = 12, kSectionRawSize = 16, kSectionRawAt = 20, kSectionFlags = 36;
const uint32_t kResourceSectionFlags = 0xC0000040;  // initialised data, read, write: as the linker marks .rsrc
const uint32_t kResourceAlignment = 8, kEnglishUS = 1033;
const uint32_t kSubdirectory = 0x80000000, kNamed = 0x80000000;

// In 64 bits: resources of 4 GiB and more must be seen as such, and refused, not wrapped around.
uint64_t align_up(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

// What the packer needs to know of the program's headers.
struct pe_layout {
    size_t coff = 0;          // the COFF header
    size_t opt = 0;           // the optional header
    size_t directories = 0;   // the data directories
    size_t section_table = 0;
    unsigned sections = 0;
    uint32_t section_alignment = 0, file_alignment = 0;
    uint32_t image_end = 0;   // the first address after every section
};

size_t section_header(const pe_layout &pe, unsigned i) { return pe.section_table + kSectionHeaderSize * i; }
size_t directory_entry(const pe_layout &pe, unsigned which) { return pe.directories + kDirectoryEntrySize * which; }

bool read_layout(const std::string &image, pe_layout &pe, std::string &why) {
    why = "not a Windows program";
    if (image.size() < kDosHeaderSize || image.compare(0, 2, "MZ") != 0) return false;
    size_t at = get_le(image, kPeOffsetField, 4);
    if (at > image.size() - kSignatureSize - kCoffHeaderSize ||
        image.compare(at, kSignatureSize, std::string("PE\0\0", kSignatureSize)) != 0)
        return false;
    pe.coff = at + kSignatureSize;
    pe.sections = unsigned(get_le(image, pe.coff + kCoffSections, 2));
    size_t optional_size = get_le(image, pe.coff + kCoffOptionalSize, 2);
    pe.opt = pe.coff + kCoffHeaderSize;
    if (pe.opt + optional_size > image.size() || optional_size < kOptDirectories32) return false;
    uint64_t magic = get_le(image, pe.opt, 2);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) return false;
    pe.directories = pe.opt + (magic == kMagicPe32 ? kOptDirectories32 : kOptDirectories64);
    if (pe.directories > pe.opt + optional_size ||
        get_le(image, pe.directories - kDirectoryCount, 4) <= kSecurityDirectory ||
        directory_entry(pe, kSecurityDirectory + 1) > pe.opt + optional_size)
        return false;
    pe.section_table = pe.opt + optional_size;
    if (section_header(pe, pe.sections) > image.size()) return false;
    pe.section_alignment = get_le(image, pe.opt + kOptSectionAlignment, 4);
    pe.file_alignment = get_le(image, pe.opt + kOptFileAlignment, 4);
    if (pe.section_alignment == 0 || pe.file_alignment == 0) return false;
    for (unsigned i = 0; i < pe.sections; i++) {
        size_t s = section_header(pe, i);
        uint64_t end = get_le(image, s + kSectionAddress, 4) +
                       std::max(get_le(image, s + kSectionVirtualSize, 4), get_le(image, s + kSectionRawSize, 4));
        pe.image_end = uint32_t(std::max<uint64_t>(pe.image_end, align_up(end, pe.section_alignment)));
    }
    why.clear();
    return true;
}

bool directory_used(const std::string &image, const pe_layout &pe, unsigned which) {
    size_t entry = directory_entry(pe, which);
    return get_le(image, entry + kDirectoryAddress, 4) || get_le(image, entry + kDirectorySize, 4);
}

// Why the section cannot be added, or "" when it can.
std::string refusal(const std::string &image, const pe_layout &pe) {
    if (directory_used(image, pe, kSecurityDirectory))
        return "is signed; the packer adds its resources to an unsigned program, and signs the result";
    if (directory_used(image, pe, kResourceDirectory))
        return "has resources already; the packer adds the installer's own to a program without any";
    // The new header goes after the last one: inside the headers, before the first section's
    // bytes, and over nothing that is in use.
    size_t used = section_header(pe, pe.sections), end = section_header(pe, pe.sections + 1);
    size_t room = get_le(image, pe.opt + kOptHeadersSize, 4);
    for (unsigned i = 0; i < pe.sections; i++) {
        size_t s = section_header(pe, i);
        if (get_le(image, s + kSectionRawSize, 4) && get_le(image, s + kSectionRawAt, 4) < room)
            room = get_le(image, s + kSectionRawAt, 4);
    }
    bool free = end <= room && end <= image.size() &&
                std::all_of(image.begin() + used, image.begin() + end, [](char c) { return c == 0; });
    if (!free) return "has no room in its headers for one more section header";
    return "";
}

// The resources in the order the directory lists them: named types first, by name, then numbered
// ones by number; within a type, by number.
struct type_key {
    bool named;
    std::string name;
    uint32_t number;
    bool operator<(const type_key &o) const {
        return named != o.named ? named : named ? name < o.name : number < o.number;
    }
    bool operator==(const type_key &o) const { return named == o.named && name == o.name && number == o.number; }
};

type_key key_of(const resource_entry &r) {
    if (r.type.size() > 1 && r.type[0] == '#') return {false, "", uint32_t(strtoul(r.type.c_str() + 1, nullptr, 10))};
    return {true, r.type, 0};
}

void table_header(std::string &b, size_t named, size_t numbered) {
    put_le(b, 0, 4), put_le(b, 0, 4), put_le(b, 0, 4);  // flags, time stamp, version: all zero
    put_le(b, named, 2), put_le(b, numbered, 2);
}

// One type of resources: its key, and its first resource and how many there are in the order.
struct type_run {
    type_key key;
    size_t first, count;
    size_t name_field = 0;  // the root entry's field that points at a named type's name
};

// The new section as it is laid out: the resources in the directory's order with their sizes, the
// directory (everything before the first resource's bytes), each resource's offset in the
// section, and where the section goes in memory and in the file.
struct resource_section {
    std::vector<const resource_entry *> order;
    std::vector<uint64_t> sizes, data_at;
    std::string directory;
    uint32_t address = 0;
    uint64_t size = 0, raw_at = 0, raw_size = 0;
};

// Writes the directory of s.order into s.directory, and sets s.data_at and s.size. Each table,
// name and data entry goes where the one before ended, and the fields that point at it are filled
// in then, from where it landed: the root, then each type followed by the language tables of its
// names, the type names, the data entries.
void write_directory(resource_section &s) {
    std::vector<type_run> types;
    for (size_t i = 0; i < s.order.size(); i++) {
        type_key key = key_of(*s.order[i]);
        if (!types.empty() && types.back().key == key) types.back().count++;
        else types.push_back({key, i, 1});
    }
    std::string &dir = s.directory;
    size_t named_types = std::count_if(types.begin(), types.end(), [](const type_run &t) { return t.key.named; });
    table_header(dir, named_types, types.size() - named_types);
    std::vector<size_t> type_fields, language_fields, data_fields, address_fields;
    for (type_run &t : types) {
        t.name_field = put_le(dir, t.key.named ? kNamed : t.key.number, 4);
        type_fields.push_back(put_le(dir, kSubdirectory, 4));
    }
    for (size_t ti = 0; ti < types.size(); ti++) {
        set_le(dir, type_fields[ti], kSubdirectory | dir.size(), 4);
        table_header(dir, 0, types[ti].count);
        language_fields.clear();
        for (size_t i = types[ti].first; i < types[ti].first + types[ti].count; i++) {
            put_le(dir, s.order[i]->id, 4);
            language_fields.push_back(put_le(dir, kSubdirectory, 4));
        }
        for (size_t field : language_fields) {
            set_le(dir, field, kSubdirectory | dir.size(), 4);
            table_header(dir, 0, 1);
            put_le(dir, kEnglishUS, 4);
            data_fields.push_back(put_le(dir, 0, 4));
        }
    }
    for (const type_run &t : types) {
        if (!t.key.named) continue;
        set_le(dir, t.name_field, kNamed | dir.size(), 4);
        put_le(dir, t.key.name.size(), 2);
        for (char c : t.key.name) put_le(dir, uint8_t(c), 2);  // ASCII names as UTF-16
    }
    dir.resize(align_up(dir.size(), kResourceAlignment), '\0');
    for (size_t i = 0; i < s.order.size(); i++) {
        set_le(dir, data_fields[i], dir.size(), 4);
        address_fields.push_back(put_le(dir, 0, 4));
        put_le(dir, s.sizes[i], 4);
        put_le(dir, 0, 4), put_le(dir, 0, 4);  // code page, reserved
    }
    // The bytes follow the directory, each at a multiple of 8.
    s.size = dir.size();
    for (size_t i = 0; i < s.order.size(); i++) {
        s.size = align_up(s.size, kResourceAlignment);
        s.data_at.push_back(s.size);
        set_le(dir, address_fields[i], s.address + s.size, 4);
        s.size += s.sizes[i];
    }
    s.size = align_up(s.size, kResourceAlignment);
}

// The new section's header, then the header fields that describe the image as a whole.
void add_section_header(std::string &image, const pe_layout &pe, const resource_section &s) {
    size_t header = section_header(pe, pe.sections);
    image.replace(header + kSectionName, kSectionNameSize, std::string(".rsrc\0\0\0", kSectionNameSize));
    set_le(image, header + kSectionVirtualSize, s.size, 4);
    set_le(image, header + kSectionAddress, s.address, 4);
    set_le(image, header + kSectionRawSize, s.raw_size, 4);
    set_le(image, header + kSectionRawAt, s.raw_at, 4);
    set_le(image, header + kSectionFlags, kResourceSectionFlags, 4);
    set_le(image, pe.coff + kCoffSections, pe.sections + 1, 2);
    set_le(image, pe.opt + kOptInitializedData, get_le(image, pe.opt + kOptInitializedData, 4) + s.raw_size, 4);
    set_le(image, pe.opt + kOptImageSize, align_up(s.address + s.size, pe.section_alignment), 4);
    set_le(image, directory_entry(pe, kResourceDirectory) + kDirectoryAddress, s.address, 4);
    set_le(image, directory_entry(pe, kResourceDirectory) + kDirectorySize, s.size, 4);
    set_le(image, pe.opt + kOptChecksum, 0, 4);
}

// The output as it is written, and Windows' image checksum of it (what the loader of drivers and
// CheckSumMappedFile check): the file summed as little-endian 16-bit words with the carries folded
// back in, the checksum field itself counted as zero, plus the file's length. Bytes are added as
// they are written, in file order.
struct summed_output {
    FILE *out;
    uint64_t sum = 0, written = 0;

    void add(const char *bytes, size_t n) {
        const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes);
        size_t i = 0;
        if ((written & 1) && n) sum += uint64_t(b[i++]) << 8;  // the high byte of a word begun before
        for (; i + 1 < n; i += 2) sum += b[i] | uint32_t(b[i + 1]) << 8;
        if (i < n) sum += b[i];
        written += n;
    }
    uint32_t checksum() const {
        uint64_t s = sum;
        while (s >> 16) s = (s & 0xffff) + (s >> 16);
        return uint32_t(s + written);
    }
    bool put(const char *bytes, size_t n) {
        add(bytes, n);
        return fwrite(bytes, 1, n, out) == n;
    }
    bool pad_to(uint64_t offset) {
        static const char zeros[4096] = {};
        bool ok = true;
        while (ok && written < offset) ok = put(zeros, size_t(std::min<uint64_t>(offset - written, sizeof zeros)));
        return ok;
    }
    bool copy(const std::string &path, uint64_t size, std::string &why) {
        uint64_t before = written;
        if (!append_file(path, out, why, [this](const char *bytes, size_t n) { add(bytes, n); })) return false;
        return written - before == size || failed(why, path + ": changed while it was copied");
    }
};

// The image, then the section, then the checksum into its field.
bool write_image(FILE *out, const std::string &out_path, const std::string &image, const pe_layout &pe,
                 const resource_section &s, std::string &why) {
    summed_output file{out, 0, 0};
    bool ok = file.put(image.data(), image.size()) && file.pad_to(s.raw_at) &&
              file.put(s.directory.data(), s.directory.size());
    for (size_t i = 0; ok && i < s.order.size(); i++) {
        const resource_entry &r = *s.order[i];
        ok = file.pad_to(s.raw_at + s.data_at[i]);
        if (ok && r.path.empty()) ok = file.put(r.data.data(), r.data.size());
        if (ok && !r.path.empty() && !file.copy(r.path, s.sizes[i], why)) return false;
    }
    ok = ok && file.pad_to(s.raw_at + s.raw_size);
    std::string field;
    put_le(field, file.checksum(), 4);
    ok = ok && fseek(out, long(pe.opt + kOptChecksum), SEEK_SET) == 0 && fwrite(field.data(), 1, 4, out) == 4;
    return ok || failed(why, out_path + ": cannot be written");
}

}  // namespace

bool write_windows_image(const std::string &program_path, const std::vector<resource_entry> &resources,
                         const std::string &out_path, std::string &error) {
    std::string image, why;
    pe_layout pe;
    if (!read_whole_file(program_path, image)) return failed(error, program_path + ": cannot be read");
    if (!read_layout(image, pe, why) || !(why = refusal(image, pe)).empty())
        return failed(error, program_path + ": " + why);
    resource_section s;
    for (const resource_entry &r : resources) s.order.push_back(&r);
    std::stable_sort(s.order.begin(), s.order.end(), [](const resource_entry *a, const resource_entry *b) {
        type_key ka = key_of(*a), kb = key_of(*b);
        return ka < kb || (ka == kb && a->id < b->id);
    });
    s.sizes.resize(s.order.size());
    for (size_t i = 0; i < s.order.size(); i++)
        if (!resource_size(*s.order[i], s.sizes[i], error)) return false;
    s.address = pe.image_end;
    write_directory(s);
    s.raw_at = align_up(image.size(), pe.file_alignment);
    s.raw_size = align_up(s.size, pe.file_alignment);
    if (s.address + s.size + pe.section_alignment > 0xFFFFFFFFULL || s.raw_at + s.raw_size > 0xFFFFFFFFULL)
        return failed(error, "the resources do not fit a Windows image (4 GiB at most)");
    add_section_header(image, pe, s);
    return write_file_in_place(out_path, true, error, [&](FILE *out, std::string &why_not) {
        return write_image(out, out_path, image, pe, s, why_not);
    });
}
