// What the tool reads from an isabench executable without running it: where
// each loop sits, which compiler built it, and its version. Linux's ELF and
// Windows' PE, whichever the file is: both keep a symbol table (MinGW's
// linker keeps the COFF one) naming bench_* at their addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Image {
public:
    // Reads the file at `path`; an unreadable file, or one neither ELF nor
    // PE, yields an image in which nothing is found.
    explicit Image(const std::string &path);

    // The file's size in bytes: 0 where it cannot be read.
    std::size_t size() const { return bytes_.size(); }
    // "ELF", "PE", or "" for a file of neither format.
    const char *format() const { return format_; }

    // The loop's address modulo 4096 inside `function`, or -1 where the
    // function or the loop is not found (a stripped executable, say). The
    // loader maps the file page by page, so a loop's address modulo 4096 in
    // the file is its address modulo 4096 when it runs.
    int loop_address(const char *function, const uint8_t *loop, std::size_t size) const;

    // The compilers that left their name in the executable (ELF: in its
    // .comment section), separated by "; ", or "" where there is none.
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
    const char *format_ = "";
    std::vector<uint8_t> bytes_;
    std::vector<Section> sections_;
    std::vector<Symbol> symbols_;

    template <typename T>
    T at(uint64_t offset) const;
    // The NUL-terminated text at `offset`, of at most `most` bytes.
    std::string text_at(uint64_t offset, uint64_t most = UINT64_MAX) const;
    void read_elf();
    void read_pe();
};
