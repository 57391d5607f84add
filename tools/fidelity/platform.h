// What the fidelity tool needs from the operating system, one declaration
// each: platform_linux.cpp defines them for Linux, platform_windows.cpp for
// 64-bit Windows. Everything else in the tool is the same code on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The executable format isabench must have here: "ELF" or "PE".
extern const char *const NATIVE_FORMAT;

// Seconds on a monotonic clock.
double now();
void sleep_seconds(double seconds);

// The program `name` in the folder this tool's executable is in, with the
// platform's suffix for programs ("isabench" or "isabench.exe").
std::string program_beside_this_tool(const char *name);

// Runs the program at `path` with `arguments` and without a shell (no
// character of the path or an argument means more than itself), `input` on
// its standard input. `output` gets its standard output, and with
// `errors_too` its standard error as well, which otherwise passes through;
// true where it ran to the end with exit status 0, else false with `error`
// saying why.
bool run_program(const std::string &path, const std::vector<std::string> &arguments, const std::string &input,
                 bool errors_too, std::string &output, std::string &error);

// The program `name` (without the platform's suffix) where the system's
// search path finds it, or "" where it does not.
std::string find_program(const char *name);

// Memory for a loop the tool builds: writable until made executable, and
// never writable and executable at once. Failures stop the tool.
uint8_t *writable_memory(std::size_t size);
void make_executable(uint8_t *memory, std::size_t size);
void release_memory(uint8_t *memory, std::size_t size);

// The operating system, e.g. "Linux 6.1.0-18-amd64 #1 SMP ... x86_64" or
// "Windows 10.0 build 19045".
std::string system_name();
long logical_processors();

// The 1-, 5- and 15-minute load averages; false where the system keeps
// none, with `why`.
bool load_average(double (&load)[3], std::string &why);

// Processor time since some fixed moment, in seconds summed over all
// logical processors: `busy`, what every process and the kernel used;
// `own`, what this process and the programs it started and waited for
// used; `steal`, what a hypervisor gave to others while this machine's
// processors wanted to run (negative where the system does not say).
// The others' time over a window is the change in busy less that in own.
struct CpuTimes {
    double busy = 0, own = 0, steal = -1;
};
bool read_cpu_times(CpuTimes &times);
// Where read_cpu_times reads from: "/proc/stat" or "GetSystemTimes".
extern const char *const CPU_TIMES_SOURCE;

// Whether standard error is a terminal (a console on Windows).
bool error_is_terminal();
