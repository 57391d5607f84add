// Reads an ELF64 executable's section headers, symbol table and .comment,
// with every offset checked against the file's size.
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
    if (bytes_.size() < 64 || std::memcmp(bytes_.data(), "\177ELF\2\1", 6) != 0)
        return;
    read_sections();
    read_symbols();
}

template <typename T>
T Image::at(uint64_t offset) const {
    T value{};
    if (offset <= bytes_.size() && sizeof(T) <= bytes_.size() - offset)
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
}

std::string Image::text_at(uint64_t offset) const {
    if (offset >= bytes_.size())
        return "";
    const char *text = reinterpret_cast<const char *>(bytes_.data() + offset);
    return std::string(text, strnlen(text, bytes_.size() - offset));
}

void Image::read_sections() {
    const uint64_t table = at<uint64_t>(0x28);
    const uint16_t entry_size = at<uint16_t>(0x3a), count = at<uint16_t>(0x3c), names = at<uint16_t>(0x3e);
    const auto field = [&](unsigned k, unsigned offset) { return table + static_cast<uint64_t>(k) * entry_size + offset; };
    const uint64_t name_table = at<uint64_t>(field(names, 0x18));
    for (unsigned k = 0; k < count; ++k)
        sections_.push_back({text_at(name_table + at<uint32_t>(field(k, 0))), at<uint32_t>(field(k, 4)),
                             at<uint32_t>(field(k, 0x28)), at<uint64_t>(field(k, 0x10)), at<uint64_t>(field(k, 0x18)),
                             at<uint64_t>(field(k, 0x20))});
}

void Image::read_symbols() {
    for (const Section &table : sections_) {
        // A symbol table's names are in the section its link names.
        if (table.type != SHT_SYMTAB || table.link >= sections_.size())
            continue;
        const Section &names = sections_[table.link];
        for (uint64_t e = table.offset; e + 24 <= table.offset + table.size; e += 24) {
            const uint64_t address = at<uint64_t>(e + 8), size = at<uint64_t>(e + 16);
            const std::string name = text_at(names.offset + at<uint32_t>(e));
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
    for (const Section &section : sections_) {
        if (section.name != ".comment" || section.offset > bytes_.size() || section.size > bytes_.size() - section.offset)
            continue;
        // NUL-separated strings, one per object the linker saw; each once.
        for (uint64_t k = section.offset; k < section.offset + section.size;) {
            const std::string text = text_at(k);
            k += text.size() + 1;
            if (!text.empty() && names.find(text) == std::string::npos)
                names += (names.empty() ? "" : "; ") + text;
        }
    }
    return names;
}

std::string Image::version() const {
    static const char MARK[] = "isabench version ";
    const auto found = std::search(bytes_.begin(), bytes_.end(), MARK, MARK + sizeof MARK - 1);
    return found == bytes_.end() ? "" : text_at(static_cast<uint64_t>(found - bytes_.begin()) + sizeof MARK - 1);
}
