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

// Offsets in the file and in the optional header, the same in PE32 and PE32+ unless named apart.
const size_t kPeOffsetField = 0x3c;
const size_t kOptInitializedData = 8, kOptSectionAlignment = 32, kOptFileAlignment = 36, kOptImageSize = 56,
             kOptHeadersSize = 60, kOptChecksum = 64;
const size_t kOptDirectories32 = 96, kOptDirectories64 = 112;
const unsigned kResourceDirectory = 2, kSecurityDirectory = 4;
const size_t kSectionHeaderSize = 40;
const uint32_t kResourceSectionFlags = 0xC0000040;  // initialised data, read, write: as the linker marks .rsrc
const uint32_t kEnglishUS = 1033;
const uint32_t kSubdirectory = 0x80000000, kNamed = 0x80000000;

uint32_t align_up(uint64_t v, uint32_t to) { return uint32_t((v + to - 1) / to * to); }

uint32_t get_u16(const std::string &b, size_t at) { return uint8_t(b[at]) | uint32_t(uint8_t(b[at + 1])) << 8; }
uint32_t get_u32(const std::string &b, size_t at) { return get_u16(b, at) | get_u16(b, at + 2) << 16; }
void set_u16(std::string &b, size_t at, uint32_t v) {
    b[at] = char(v & 0xff);
    b[at + 1] = char((v >> 8) & 0xff);
}
void set_u32(std::string &b, size_t at, uint32_t v) {
    set_u16(b, at, v & 0xffff);
    set_u16(b, at + 2, v >> 16);
}
void put_u16(std::string &b, uint32_t v) { b.append(2, '\0'), set_u16(b, b.size() - 2, v); }
void put_u32(std::string &b, uint32_t v) { b.append(4, '\0'), set_u32(b, b.size() - 4, v); }

// What the packer needs to know of the program's headers.
struct pe_layout {
    size_t opt = 0;           // the optional header
    size_t directories = 0;   // the data directories
    size_t section_table = 0;
    unsigned sections = 0;
    uint32_t section_alignment = 0, file_alignment = 0;
    uint32_t image_end = 0;   // the first address after every section
};

bool read_layout(const std::string &image, pe_layout &pe, std::string &why) {
    why = "not a Windows program";
    if (image.size() < 0x40 || image.compare(0, 2, "MZ") != 0) return false;
    size_t at = get_u32(image, kPeOffsetField);
    if (at > image.size() - 24 || image.compare(at, 4, std::string("PE\0\0", 4)) != 0) return false;
    pe.sections = get_u16(image, at + 6);
    size_t optional_size = get_u16(image, at + 20);
    pe.opt = at + 24;
    if (pe.opt + optional_size > image.size() || optional_size < kOptDirectories32) return false;
    uint32_t magic = get_u16(image, pe.opt);
    if (magic != 0x10B && magic != 0x20B) return false;
    pe.directories = pe.opt + (magic == 0x10B ? kOptDirectories32 : kOptDirectories64);
    if (pe.directories > pe.opt + optional_size ||
        get_u32(image, pe.directories - 4) <= kSecurityDirectory ||
        pe.directories + 8 * (kSecurityDirectory + 1) > pe.opt + optional_size)
        return false;
    pe.section_table = pe.opt + optional_size;
    if (pe.section_table + kSectionHeaderSize * pe.sections > image.size()) return false;
    pe.section_alignment = get_u32(image, pe.opt + kOptSectionAlignment);
    pe.file_alignment = get_u32(image, pe.opt + kOptFileAlignment);
    if (pe.section_alignment == 0 || pe.file_alignment == 0) return false;
    for (unsigned i = 0; i < pe.sections; i++) {
        size_t s = pe.section_table + kSectionHeaderSize * i;
        uint64_t size = std::max(get_u32(image, s + 8), get_u32(image, s + 16));
        pe.image_end = std::max(pe.image_end, align_up(get_u32(image, s + 12) + size, pe.section_alignment));
    }
    why.clear();
    return true;
}

// Why the section cannot be added, or "" when it can.
std::string refusal(const std::string &image, const pe_layout &pe) {
    uint64_t resources = uint64_t(get_u32(image, pe.directories + 8 * kResourceDirectory)) |
                         get_u32(image, pe.directories + 8 * kResourceDirectory + 4);
    uint64_t signature = uint64_t(get_u32(image, pe.directories + 8 * kSecurityDirectory)) |
                         get_u32(image, pe.directories + 8 * kSecurityDirectory + 4);
    if (signature) return "is signed; the packer adds its resources to an unsigned program, and signs the result";
    if (resources) return "has resources already; the packer adds the installer's own to a program without any";
    // The new header takes 40 bytes after the last one: inside the headers, before the first
    // section's bytes, and over nothing that is in use.
    size_t end = pe.section_table + kSectionHeaderSize * (pe.sections + 1);
    size_t room = get_u32(image, pe.opt + kOptHeadersSize);
    for (unsigned i = 0; i < pe.sections; i++) {
        size_t s = pe.section_table + kSectionHeaderSize * i;
        if (get_u32(image, s + 16) && get_u32(image, s + 20) < room) room = get_u32(image, s + 20);
    }
    size_t used = pe.section_table + kSectionHeaderSize * pe.sections;
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

// The resource directory (everything before the first resource's bytes), and where each
// resource's bytes go, as offsets from the start of the section, for resources in order.
std::string resource_directory(const std::vector<const resource_entry *> &order, const std::vector<uint64_t> &sizes,
                               uint32_t section_address, std::vector<uint64_t> &data_at, uint64_t &end) {
    std::vector<type_key> types;
    for (const resource_entry *r : order)
        if (types.empty() || !(types.back() == key_of(*r))) types.push_back(key_of(*r));
    auto table_header = [](std::string &b, size_t named, size_t numbered) {
        put_u32(b, 0), put_u32(b, 0), put_u32(b, 0);  // flags, time stamp, version: all zero
        put_u16(b, uint32_t(named)), put_u16(b, uint32_t(numbered));
    };
    // Sizes first: the tables, then the type names, then the data entries.
    // The root's table; each type's table of names; each name's table of one language.
    size_t tables = 16 + 8 * types.size() + 16 * types.size() + 8 * order.size() + (16 + 8) * order.size();
    size_t names = 0;
    for (const type_key &t : types) names += t.named ? 2 + 2 * t.name.size() : 0;
    size_t entries = align_up(tables + names, 8);
    uint64_t at = entries + 16 * order.size();

    std::string dir;
    size_t named_types = std::count_if(types.begin(), types.end(), [](const type_key &t) { return t.named; });
    table_header(dir, named_types, types.size() - named_types);
    size_t next_table = 16 + 8 * types.size(), next_name = tables, resource = 0;
    std::vector<size_t> type_tables;
    for (const type_key &t : types) {
        put_u32(dir, t.named ? kNamed | uint32_t(next_name) : t.number);
        put_u32(dir, kSubdirectory | uint32_t(next_table));
        type_tables.push_back(next_table);
        size_t count =
            std::count_if(order.begin(), order.end(), [&](const resource_entry *r) { return key_of(*r) == t; });
        next_table += 16 + 8 * count + (16 + 8) * count;
        if (t.named) next_name += 2 + 2 * t.name.size();
    }
    for (size_t ti = 0; ti < types.size(); ti++) {
        size_t first = resource, count = 0;
        while (resource + count < order.size() && key_of(*order[resource + count]) == types[ti]) count++;
        table_header(dir, 0, count);
        size_t language_table = type_tables[ti] + 16 + 8 * count;
        for (size_t i = 0; i < count; i++) {
            put_u32(dir, order[first + i]->id);
            put_u32(dir, kSubdirectory | uint32_t(language_table + (16 + 8) * i));
        }
        for (size_t i = 0; i < count; i++) {
            table_header(dir, 0, 1);
            put_u32(dir, kEnglishUS);
            put_u32(dir, uint32_t(entries + 16 * (first + i)));
        }
        resource += count;
    }
    for (const type_key &t : types) {
        if (!t.named) continue;
        put_u16(dir, uint32_t(t.name.size()));
        for (char c : t.name) put_u16(dir, uint8_t(c));  // ASCII names as UTF-16
    }
    dir.resize(entries, '\0');
    data_at.clear();
    for (size_t i = 0; i < order.size(); i++) {
        at = align_up(at, 8);
        data_at.push_back(at);
        put_u32(dir, uint32_t(section_address + at));
        put_u32(dir, uint32_t(sizes[i]));
        put_u32(dir, 0), put_u32(dir, 0);  // code page, reserved
        at += sizes[i];
    }
    end = align_up(at, 8);
    return dir;
}

}  // namespace

void pe_checksum::add(const char *bytes, size_t n) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes);
    size_t i = 0;
    if ((length & 1) && n) sum += uint64_t(b[i++]) << 8;  // the high byte of a word begun before
    for (; i + 1 < n; i += 2) sum += b[i] | uint32_t(b[i + 1]) << 8;
    if (i < n) sum += b[i];
    length += n;
}

uint32_t pe_checksum::value() const {
    uint64_t s = sum;
    while (s >> 16) s = (s & 0xffff) + (s >> 16);
    return uint32_t(s + length);
}

bool write_windows_image(const std::string &program_path, const std::vector<resource_entry> &resources,
                         const std::string &out_path, std::string &error) {
    std::string image, why;
    pe_layout pe;
    if (!read_whole_file(program_path, image)) {
        error = program_path + ": cannot be read";
        return false;
    }
    if (!read_layout(image, pe, why) || !(why = refusal(image, pe)).empty()) {
        error = program_path + ": " + why;
        return false;
    }
    std::vector<const resource_entry *> order;
    for (const resource_entry &r : resources) order.push_back(&r);
    std::stable_sort(order.begin(), order.end(), [](const resource_entry *a, const resource_entry *b) {
        type_key ka = key_of(*a), kb = key_of(*b);
        return ka < kb || (ka == kb && a->id < b->id);
    });
    std::vector<uint64_t> sizes(order.size()), data_at;
    for (size_t i = 0; i < order.size(); i++)
        if (!resource_size(*order[i], sizes[i], error)) return false;
    uint32_t address = pe.image_end;
    uint64_t section_size;
    std::string directory = resource_directory(order, sizes, address, data_at, section_size);
    uint64_t raw_at = align_up(image.size(), pe.file_alignment);
    uint64_t raw_size = uint64_t(align_up(section_size, pe.file_alignment));
    if (address + section_size + pe.section_alignment > 0xFFFFFFFFULL || raw_at + raw_size > 0xFFFFFFFFULL) {
        error = "the resources do not fit a Windows image (4 GiB at most)";
        return false;
    }

    // The new section's header, then the header fields that describe the image as a whole.
    size_t header = pe.section_table + kSectionHeaderSize * pe.sections;
    image.replace(header, 8, std::string(".rsrc\0\0\0", 8));
    set_u32(image, header + 8, uint32_t(section_size));
    set_u32(image, header + 12, address);
    set_u32(image, header + 16, uint32_t(raw_size));
    set_u32(image, header + 20, uint32_t(raw_at));
    set_u32(image, header + 36, kResourceSectionFlags);
    set_u16(image, pe.opt - 18, pe.sections + 1);
    set_u32(image, pe.opt + kOptInitializedData, get_u32(image, pe.opt + kOptInitializedData) + uint32_t(raw_size));
    set_u32(image, pe.opt + kOptImageSize, align_up(address + section_size, pe.section_alignment));
    set_u32(image, pe.directories + 8 * kResourceDirectory, address);
    set_u32(image, pe.directories + 8 * kResourceDirectory + 4, uint32_t(section_size));
    set_u32(image, pe.opt + kOptChecksum, 0);

    return write_file_in_place(out_path, true, error, [&](FILE *out, std::string &why_not) {
        pe_checksum sum;
        uint64_t written = 0;
        auto put = [&](const char *bytes, size_t n) {
            sum.add(bytes, n);
            written += n;
            return fwrite(bytes, 1, n, out) == n;
        };
        auto pad_to = [&](uint64_t offset) {
            static const char zeros[4096] = {};
            bool ok = true;
            while (ok && written < offset) ok = put(zeros, size_t(std::min<uint64_t>(offset - written, sizeof zeros)));
            return ok;
        };
        bool ok = put(image.data(), image.size()) && pad_to(raw_at) && put(directory.data(), directory.size());
        for (size_t i = 0; ok && i < order.size(); i++) {
            const resource_entry &r = *order[i];
            ok = pad_to(raw_at + data_at[i]);
            if (ok && r.path.empty()) ok = put(r.data.data(), r.data.size());
            if (ok && !r.path.empty()) {
                uint64_t before = written;
                auto seen = [&](const char *bytes, size_t n) { sum.add(bytes, n), written += n; };
                if (!append_file(r.path, out, why_not, seen)) return false;
                if (written - before != sizes[i]) {
                    why_not = r.path + ": changed while it was copied";
                    return false;
                }
            }
        }
        ok = ok && pad_to(raw_at + raw_size);
        std::string field;
        put_u32(field, sum.value());
        ok = ok && fseek(out, long(pe.opt + kOptChecksum), SEEK_SET) == 0 && fwrite(field.data(), 1, 4, out) == 4;
        if (!ok) why_not = out_path + ": cannot be written";
        return ok;
    });
}
