// Code that runs beside the measuring functions, linked into the real
// program: each switch adds one way for it to change a line's timing while
// every measuring function stays as it was.
#include <cstdint>
#include <cstdio>

// The results lines' formats, and the runtime's printf that prints them.
#include "../../src/harness/frame.h"
#include "../../src/harness/result_lines.h"

#if defined(FAULT_TIMER)
// want FAULT_TIMER closure.imports
// A constructor arms an interval timer whose handler could move a loop's
// registers or the stored start reading in the middle of a run.
#include <csignal>
#include <sys/time.h>

namespace {
volatile std::sig_atomic_t ticks_seen = 0;
void on_timer(int) { ticks_seen = ticks_seen + 1; }
[[gnu::constructor]] void arm_timer() {
    std::signal(SIGALRM, on_timer);
    itimerval every{{0, 500000}, {0, 500000}};
    setitimer(ITIMER_REAL, &every, nullptr);
}
}  // namespace
#endif

#if defined(FAULT_OWN_ENTRY)
// want FAULT_OWN_ENTRY closure.roots
#if defined(_WIN32)
#define ISABENCH_C_RUNTIME_START "jmp mainCRTStartup"
#else
#define ISABENCH_C_RUNTIME_START "jmp _start"
#endif
// The linker's -e makes this the entry point: it runs before the C
// runtime's start, where it could patch any function, then hands over.
extern "C" [[noreturn, gnu::naked]] void own_entry() { asm(ISABENCH_C_RUNTIME_START); }
#endif

#if defined(FAULT_OWN_LIBRARY)
// want FAULT_OWN_LIBRARY closure.imports
// A library of the program's own, loaded before the C library, whose printf
// every results line would go through.
#include <cstdarg>
extern "C" int printf(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    const int n = std::vfprintf(stdout, format, args);
    va_end(args);
    return n;
}
#endif

#if defined(FAULT_TLS_CALLBACK)
// want FAULT_TLS_CALLBACK closure.imports
// A TLS callback, which Windows runs before the C runtime's start, patches
// a measuring function through WriteProcessMemory.
#include <windows.h>

extern "C" void bench_avx2();

namespace {
void NTAPI patch(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return;
    const unsigned char ret = 0xc3;
    WriteProcessMemory(GetCurrentProcess(), reinterpret_cast<void *>(&bench_avx2), &ret, 1, nullptr);
}
}  // namespace
extern "C" [[gnu::section(".CRT$XLB"), gnu::used]] const PIMAGE_TLS_CALLBACK fault_tls_callback = patch;
#endif

#if defined(FAULT_LIBC_ATEXIT)
// want FAULT_LIBC_ATEXIT closure.reachable
// Linked statically, the C library's exit runs every pointer in the section
// __libc_atexit, which no header names and no code of the program refers
// to: this function runs at the end of every run, unread.
namespace {
void run_at_exit() { std::fputs("isabench: code no root reaches has run\n", stderr); }
}  // namespace
extern "C" [[gnu::section("__libc_atexit"), gnu::used]] void (*const fault_at_exit)() = run_at_exit;
#endif

#if defined(FAULT_IMPORT_SLOT_STORE)
// want FAULT_IMPORT_SLOT_STORE closure.stores
// A constructor finds the clock's call to its time function, follows the
// stub's jump to the import's slot and points the slot at a clock of its
// own that runs at half speed.
#include <cstdint>
#include <cstring>
#include <time.h>
extern "C" uint64_t read_ticks();
namespace {
int half_speed(struct timeval *tv, void *) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const long ns = (ts.tv_sec * 1000000000L + ts.tv_nsec) / 2;
  tv->tv_sec = ns / 1000000000L;
  tv->tv_usec = ns % 1000000000L / 1000;
  return 0;
}
[[gnu::constructor]] void redirect_clock() {
  const unsigned char *code = reinterpret_cast<const unsigned char *>(&read_ticks);
  for (int k = 0; k < 64; ++k) {
    if (code[k] != 0xe8) continue;
    int32_t rel;
    std::memcpy(&rel, code + k + 1, 4);
    const unsigned char *stub = code + k + 5 + rel;
    for (int j = 0; j < 16; ++j)
      if (stub[j] == 0xff && stub[j + 1] == 0x25) {
        int32_t disp;
        std::memcpy(&disp, stub + j + 2, 4);
        *reinterpret_cast<void **>(const_cast<unsigned char *>(stub + j + 6 + disp)) = reinterpret_cast<void *>(&half_speed);
        return;
      }
  }
}
}  // namespace
#endif

#if defined(FAULT_READ_ONLY_STORE)
// want FAULT_READ_ONLY_STORE closure.stores
// A constructor writes into a constant that is read-only once loaded:
// where nothing stops the store (a system without page protection, or a
// constant the loader leaves writable), what the program reads changes.
extern "C" const double audit_fault_tick_length = 1e-7;
namespace {
[[gnu::constructor]] void rewrite_constant() {
    *const_cast<volatile double *>(&audit_fault_tick_length) = 5e-8;
}
}  // namespace
#endif

#if defined(FAULT_HIDDEN_INIT)
// want FAULT_HIDDEN_INIT closure.roots
// An initialiser that only the loader sees (hidden_init.mjs writes it into
// the dynamic array past PT_DYNAMIC's size after linking): it runs before
// main and could change anything the audit proved.
#include <cstdio>
extern "C" [[gnu::used]] void audit_fault_hidden_init() {
    std::fputs("isabench: an initialiser the loader alone sees has run\n", stderr);
}
#endif

#if defined(FAULT_OWN_START)
// want FAULT_OWN_START closure.roots
// The C runtime's start, copied into the program (linked without the
// runtime's start files), hands the C library a main of its own: it prints
// a results line, and the real main, with every measuring function, never
// runs.
extern "C" [[gnu::used]] int stand_in_main() {
    runtime_printf(FORMAT_SCALAR, uint64_t{0xD1F0AD400}, 0.1, 1e9);
    return 0;
}
asm(".globl _start\n.type _start,@function\n_start:\n"
    "xor %ebp,%ebp\nmov %rdx,%r9\npop %rsi\nmov %rsp,%rdx\nand $-16,%rsp\npush %rax\npush %rsp\n"
    "xor %r8d,%r8d\nxor %ecx,%ecx\nlea stand_in_main(%rip),%rdi\ncall *__libc_start_main@GOTPCREL(%rip)\nhlt\n"
    ".size _start,.-_start\n");
#endif

#if defined(FAULT_CONSTRUCTOR_PRINTS)
// want FAULT_CONSTRUCTOR_PRINTS closure.output
// A constructor prints a results line before main has run anything.
namespace {
[[gnu::constructor]] void print_early() {
    runtime_printf(FORMAT_AVX512, uint64_t{0xD1F0AD400}, 0.00625, 1e9);
}
}  // namespace
#endif

#if defined(FAULT_RESOLVER_TABLE)
// want FAULT_RESOLVER_TABLE closure.stores
// A load-time resolver, run while the loader relocates and before it makes
// the relocated data read-only, points every slot already holding the time
// function's address at a clock of its own that runs at half speed (whether
// the clock's own slot is filled by then is up to the loader's order: the
// store is what must not pass).
#include <sys/time.h>
extern "C" char __init_array_start[];
extern "C" char __data_start[];
extern "C" int half_speed_clock(struct timeval *now, void *) {
    struct timeval real;
    gettimeofday(&real, nullptr);
    const long long half = (real.tv_sec * 1000000LL + real.tv_usec) / 2;
    now->tv_sec = half / 1000000;
    now->tv_usec = half % 1000000;
    return 0;
}
namespace {
void nothing() {}
}  // namespace
extern "C" void (*resolve_hook())() {
    // The import slots lie with the relocated pointers, before the data.
    void *const real = reinterpret_cast<void *>(&gettimeofday);
    for (void **p = reinterpret_cast<void **>(__init_array_start); p < reinterpret_cast<void **>(__data_start); ++p)
        if (*p == real)
            *p = reinterpret_cast<void *>(&half_speed_clock);
    return &nothing;
}
extern "C" void hook() __attribute__((ifunc("resolve_hook")));
[[gnu::used]] void (*const hook_pointer)() = hook;
#endif

#if defined(FAULT_OWN_MALLOC)
// want FAULT_OWN_MALLOC closure.imports
// The program defines the C library's allocator, which the linker exports
// for the library to bind to: stdio calls malloc by name for a stream's
// buffer, inside a measuring function's printf, and runs this code there,
// where no root of the program's leads.
#include <cstddef>
#include <cstring>
namespace {
alignas(16) unsigned char arena[1 << 20];
std::size_t used = 0;
}  // namespace
extern "C" void *malloc(std::size_t size) {
    // Each block is preceded by its size, for realloc.
    const std::size_t whole = (size + 31) & ~std::size_t{15};
    if (used + whole > sizeof arena)
        return nullptr;
    unsigned char *block = arena + used;
    used += whole;
    std::memcpy(block, &size, sizeof size);
    return block + 16;
}
extern "C" void free(void *) {}
extern "C" void *calloc(std::size_t count, std::size_t size) { return malloc(count * size); }
extern "C" void *realloc(void *old, std::size_t size) {
    void *block = malloc(size);
    if (old && block) {
        std::size_t had;
        std::memcpy(&had, static_cast<unsigned char *>(old) - 16, sizeof had);
        std::memcpy(block, old, had < size ? had : size);
    }
    return block;
}
#endif

#if defined(FAULT_LIBRARY_VARIABLE)
// want FAULT_LIBRARY_VARIABLE closure.stores
// Linked statically, the C library's printf hook tables are plain writable
// variables of the executable: a constructor installs tables of its own,
// through which every conversion of a results line would pass.
#include <printf.h>
extern "C" printf_function **__printf_function_table;
extern "C" printf_arginfo_size_function **__printf_arginfo_table;
namespace {
printf_function *conversions[256];
printf_arginfo_size_function *arguments[256];
[[gnu::constructor]] void install_hooks() {
    __printf_function_table = conversions;
    __printf_arginfo_table = arguments;
}
}  // namespace
#endif

#if defined(FAULT_UNREAD_SYSCALL)
// want FAULT_UNREAD_SYSCALL closure.roots
// A system call of the program's own (mprotect of its read-only data) in a
// function nothing calls or points to: code run in a way the audit does not
// know (a handler, a hook the C library finds by name) could reach it.
extern "C" [[gnu::used, gnu::noinline]] long unprotect(void *page) {
    long result;
    asm volatile("syscall" : "=a"(result) : "a"(10), "D"(page), "S"(4096), "d"(3) : "rcx", "r11", "memory");
    return result;
}
#endif

#if defined(FAULT_PSEUDO_RELOCATION)
// want FAULT_PSEUDO_RELOCATION image.relocations
// An entry in MinGW's list of pseudo-relocations, which its runtime applies
// at start-up, after the loader: it adds to the target the difference
// between the address the word at sym holds and sym's own, here none, but
// any other difference would rewrite code or a constant as freely.
extern "C" {
[[gnu::used]] void *pseudo_sym = &pseudo_sym;
[[gnu::used]] unsigned long long pseudo_target = 0;
}
// Three entries of 12 bytes after the 12-byte header fill the section to
// its 16-byte alignment, which the object pads it to: the runtime would read
// padding as one more entry.
asm(".section .rdata_runtime_pseudo_reloc,\"dr\"\n"
    ".long 0, 0, 1\n"                                              // header: version 2 of the list
    ".rept 3\n.rva pseudo_sym\n.rva pseudo_target\n.long 64\n.endr\n"  // sym, target, width in bits
    ".text\n");
#endif
