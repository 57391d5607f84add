// Reads an ELF64 executable's section headers, symbol table and .comment,
// or a PE32+ executable's section table and COFF symbol table, with every
// offset checked against the file's size.
#include "image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
constexpr uint32_t SHT_PROGBITS = 1, SHT_SYMTAB = 2;
}

Image::Image(const std::string &path) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return;
    uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes_.insert(bytes_.end(), chunk, chunk + n);
    std::fclose(file);
    if (bytes_.size() >= 64 && std::memcmp(bytes_.data(), "\177ELF\2\1", 6) == 0)
        read_elf();
    else if (bytes_.size() >= 64 && std::memcmp(bytes_.data(), "MZ", 2) == 0 &&
             at<uint32_t>(at<uint32_t>(0x3c)) == 0x4550 /* "PE\0\0" */ && at<uint16_t>(at<uint32_t>(0x3c) + 24) == 0x20b)
        read_pe();
}

template <typename T>
T Image::at(uint64_t offset) const {
    T value{};
    if (offset <= bytes_.size() && sizeof(T) <= bytes_.size() - offset)
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
}

std::string Image::text_at(uint64_t offset, uint64_t most) const {
    if (offset >= bytes_.size())
        return "";
    const char *text = reinterpret_cast<const char *>(bytes_.data() + offset);
    return std::string(text, strnlen(text, std::min(most, bytes_.size() - offset)));
}

void Image::read_elf() {
    format_ = "ELF";
    const uint64_t table = at<uint64_t>(0x28);
    const uint16_t entry_size = at<uint16_t>(0x3a), count = at<uint16_t>(0x3c), names = at<uint16_t>(0x3e);
    const auto field = [&](unsigned k, unsigned offset) { return table + static_cast<uint64_t>(k) * entry_size + offset; };
    const uint64_t name_table = at<uint64_t>(field(names, 0x18));
    for (unsigned k = 0; k < count; ++k)
        sections_.push_back({text_at(name_table + at<uint32_t>(field(k, 0))), at<uint32_t>(field(k, 4)),
                             at<uint32_t>(field(k, 0x28)), at<uint64_t>(field(k, 0x10)), at<uint64_t>(field(k, 0x18)),
                             at<uint64_t>(field(k, 0x20))});
    for (const Section &table_section : sections_) {
        // A symbol table's names are in the section its link names.
        if (table_section.type != SHT_SYMTAB || table_section.link >= sections_.size())
            continue;
        const Section &symbol_names = sections_[table_section.link];
        for (uint64_t e = table_section.offset; e + 24 <= table_section.offset + table_section.size; e += 24) {
            const uint64_t address = at<uint64_t>(e + 8), size = at<uint64_t>(e + 16);
            const std::string name = text_at(symbol_names.offset + at<uint32_t>(e));
            if (size == 0 || name.compare(0, 6, "bench_") != 0)
                continue;
            // The section that holds the code, for its place in the file.
            for (const Section &code : sections_)
                if (code.type == SHT_PROGBITS && address >= code.address && address + size <= code.address + code.size &&
                    code.offset + (address - code.address) + size <= bytes_.size())
                    symbols_.push_back({name, address, size, code.offset + (address - code.address)});
        }
    }
}

// COFF symbols carry no size: each bench_* runs to the next symbol of its
// section, or to the end of the section's data. Addresses are relative to
// the image base, which is 64 KiB-aligned, so they keep the loops' places
// modulo 4096.
void Image::read_pe() {
    format_ = "PE";
    const uint64_t header = at<uint32_t>(0x3c) + 4;
    const uint16_t count = at<uint16_t>(header + 2);
    const uint64_t symbols = at<uint32_t>(header + 8), symbol_count = at<uint32_t>(header + 12);
    const uint64_t table = header + 20 + at<uint16_t>(header + 16);
    for (unsigned k = 0; k < count; ++k) {
        const uint64_t entry = table + 40 * static_cast<uint64_t>(k);
        // address: the section's relative virtual address; size: its data in
        // the file.
        sections_.push_back({text_at(entry, 8), 0, 0, at<uint32_t>(entry + 12), at<uint32_t>(entry + 20),
                             at<uint32_t>(entry + 16)});
    }
    if (symbols == 0 || symbols > bytes_.size() || symbol_count > (bytes_.size() - symbols) / 18)
        return;
    const uint64_t strings = symbols + 18 * symbol_count;
    struct Placed {
        std::string name;
        unsigned section;
        uint64_t value;
    };
    std::vector<Placed> placed;
    for (uint64_t k = 0; k < symbol_count; k += 1 + at<uint8_t>(symbols + 18 * k + 17)) {
        const uint64_t e = symbols + 18 * k;
        const int16_t section = at<int16_t>(e + 12);
        if (section < 1 || static_cast<std::size_t>(section) > sections_.size())
            continue;
        // A short name in place, padded with NULs; a long one in the string
        // table after the symbols.
        const std::string name = at<uint32_t>(e) == 0 ? text_at(strings + at<uint32_t>(e + 4)) : text_at(e, 8);
        placed.push_back({name, static_cast<unsigned>(section - 1), at<uint32_t>(e + 8)});
    }
    for (const Placed &symbol : placed) {
        const Section &code = sections_[symbol.section];
        if (symbol.name.compare(0, 6, "bench_") != 0 || symbol.value >= code.size)
            continue;
        uint64_t end = code.size;
        for (const Placed &other : placed)
            if (other.section == symbol.section && other.value > symbol.value)
                end = std::min(end, other.value);
        if (code.offset + end <= bytes_.size())
            symbols_.push_back({symbol.name, code.address + symbol.value, end - symbol.value, code.offset + symbol.value});
    }
}

int Image::loop_address(const char *function, const uint8_t *loop, std::size_t size) const {
    for (const Symbol &symbol : symbols_) {
        if (symbol.name != function)
            continue;
        const uint8_t *begin = bytes_.data() + symbol.file_offset, *end = begin + symbol.size;
        const uint8_t *found = std::search(begin, end, loop, loop + size);
        if (found != end)
            return static_cast<int>((symbol.address + (found - begin)) % 4096);
    }
    return -1;
}

std::string Image::compiler() const {
    std::string names;
    const auto add = [&](const std::string &text) {
        if (!text.empty() && names.find(text) == std::string::npos)
            names += (names.empty() ? "" : "; ") + text;
    };
    for (const Section &section : sections_) {
        if (section.name != ".comment" || section.offset > bytes_.size() || section.size > bytes_.size() - section.offset)
            continue;
        // NUL-separated strings, one per object the linker saw; each once.
        for (uint64_t k = section.offset; k < section.offset + section.size;) {
            const std::string text = text_at(k);
            k += text.size() + 1;
            add(text);
        }
    }
    // MinGW's compilers leave theirs among the read-only data, with no
    // section of their own.
    static const char MARK[] = "GCC: (";
    if (std::string(format_) == "PE")
        for (auto found = bytes_.begin();
             (found = std::search(found, bytes_.end(), MARK, MARK + sizeof MARK - 1)) != bytes_.end(); ++found)
            add(text_at(static_cast<uint64_t>(found - bytes_.begin())));
    return names;
}

std::string Image::version() const {
    static const char MARK[] = "isabench version ";
    const auto found = std::search(bytes_.begin(), bytes_.end(), MARK, MARK + sizeof MARK - 1);
    return found == bytes_.end() ? "" : text_at(static_cast<uint64_t>(found - bytes_.begin()) + sizeof MARK - 1);
}
