// What the tool reads from an isabench executable (ELF) without running it:
// where each loop sits, which compiler built it, and its version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Image {
public:
    // Reads the file at `path`; an unreadable or non-ELF file yields an
    // image in which nothing is found.
    explicit Image(const std::string &path);

    // The loop's address modulo 4096 inside `function`, or -1 where the
    // function or the loop is not found (a stripped executable, say). The
    // loader maps the file page by page, so a loop's address modulo 4096 in
    // the file is its address modulo 4096 when it runs.
    int loop_address(const char *function, const uint8_t *loop, std::size_t size) const;

    // The compilers that left their name in the .comment section, one per
    // line, or "" where there is none.
    std::string compiler() const;

    // The version the executable carries as "isabench version X", or "".
    std::string version() const;

private:
    struct Section {
        std::string name;
        uint32_t type, link;
        uint64_t address, offset, size;
    };
    struct Symbol {
        std::string name;
        uint64_t address, size, file_offset;
    };
    std::vector<uint8_t> bytes_;
    std::vector<Section> sections_;
    std::vector<Symbol> symbols_;

    template <typename T>
    T at(uint64_t offset) const;
    std::string text_at(uint64_t offset) const;
    void read_sections();
    void read_symbols();
};
