// The fidelity tool's operating-system layer on 64-bit Windows.
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <windows.h>

const char *const NATIVE_FORMAT = "PE";
const char *const CPU_TIMES_SOURCE = "GetSystemTimes";

namespace {

// The processor time of the programs run_program started, which ended.
double children_seconds = 0;

double seconds_of(const FILETIME &time) {
    return static_cast<double>(static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) * 1e-7;
}

std::string last_error() {
    char text[256];
    const DWORD code = GetLastError();
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                        nullptr))
        return "error " + std::to_string(code);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

// An argument quoted as the C runtime's parser reads a command line back:
// backslashes double only before a quote.
std::string quoted(const std::string &argument) {
    std::string text = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        text += c;
    }
    return text.append(2 * backslashes, '\\') + "\"";
}

}  // namespace

double now() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void sleep_seconds(double seconds) { Sleep(static_cast<DWORD>(seconds * 1000)); }

std::string program_beside_this_tool(const char *name) {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    const std::string program = std::string(name) + ".exe";
    if (n == 0 || n >= sizeof self)
        return program;
    const std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1) + program;
}


bool run_program(const std::string &path, const std::vector<std::string> &arguments, const std::string &input,
                 bool errors_too, std::string &output, std::string &error) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE read_end, write_end, input_read, input_write, error_out = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherited, 0)) {
        error = "cannot make a pipe: " + last_error();
        return false;
    }
    // The input is a few lines: the pipe holds it whole, so that writing it
    // before the output is read cannot wait on the child.
    if (!CreatePipe(&input_read, &input_write, &inherited, static_cast<DWORD>(input.size() + 4096))) {
        error = "cannot make a pipe: " + last_error();
        CloseHandle(read_end);
        CloseHandle(write_end);
        return false;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);
    // The child's standard error is this tool's, passed on as a handle it
    // inherits, or the output pipe with errors_too.
    DuplicateHandle(GetCurrentProcess(), errors_too ? write_end : GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                    &error_out, 0, TRUE, DUPLICATE_SAME_ACCESS);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = input_read;
    start.hStdOutput = write_end;
    start.hStdError = error_out;
    PROCESS_INFORMATION process{};
    // The path as the program's name, not looked up anywhere, and each word
    // of the command line quoted.
    std::string command = quoted(path);
    for (const std::string &argument : arguments)
        command += " " + quoted(argument);
    const bool started = CreateProcessA(path.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &start, &process);
    if (!started)
        error = last_error();
    CloseHandle(write_end);
    CloseHandle(input_read);
    if (error_out)
        CloseHandle(error_out);
    DWORD written = 0;
    const bool wrote = !started || input.empty() ||
                       (WriteFile(input_write, input.data(), static_cast<DWORD>(input.size()), &written, nullptr) &&
                        written == input.size());
    CloseHandle(input_write);
    if (started) {
        char chunk[4096];
        DWORD n;
        while (ReadFile(read_end, chunk, sizeof chunk, &n, nullptr) && n > 0)
            output.append(chunk, n);
    }
    CloseHandle(read_end);
    if (!started)
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(process.hProcess, &created, &ended, &kernel, &user))
        children_seconds += seconds_of(kernel) + seconds_of(user);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (status != 0 || !wrote) {
        error = "it did not run to the end with status 0";
        return false;
    }
    return true;
}

std::string find_program(const char *name) {
    char found[MAX_PATH];
    const DWORD n = SearchPathA(nullptr, name, ".exe", sizeof found, found, nullptr);
    return n > 0 && n < sizeof found ? std::string(found, n) : "";
}

uint8_t *writable_memory(std::size_t size) {
    void *memory = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!memory) {
        std::fprintf(stderr, "isabench-fidelity: VirtualAlloc: %s\n", last_error().c_str());
        std::exit(1);
    }
    return static_cast<uint8_t *>(memory);
}

void make_executable(uint8_t *memory, std::size_t size) {
    DWORD before;
    if (!VirtualProtect(memory, size, PAGE_EXECUTE_READ, &before)) {
        std::fprintf(stderr, "isabench-fidelity: VirtualProtect: %s\n", last_error().c_str());
        std::exit(1);
    }
    FlushInstructionCache(GetCurrentProcess(), memory, size);
}

void release_memory(uint8_t *memory, std::size_t) { VirtualFree(memory, 0, MEM_RELEASE); }

// The version the kernel reports (RtlGetVersion; GetVersionEx answers what
// the program's manifest asks for), and Wine's where it runs under Wine.
std::string system_name() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    std::string name = "Windows";
    using GetVersion = LONG(WINAPI *)(OSVERSIONINFOW *);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    const auto get_version = reinterpret_cast<GetVersion>(
        reinterpret_cast<void (*)()>(ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
    if (get_version && get_version(&version) == 0)
        name += " " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) +
                " build " + std::to_string(version.dwBuildNumber);
    using WineVersion = const char *(*)();
    const auto wine_version = reinterpret_cast<WineVersion>(
        reinterpret_cast<void (*)()>(ntdll ? GetProcAddress(ntdll, "wine_get_version") : nullptr));
    if (wine_version)
        name += std::string(" (Wine ") + wine_version() + ")";
    return name + " x86_64";
}

long logical_processors() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return static_cast<long>(system.dwNumberOfProcessors);
}

bool load_average(double (&)[3], std::string &why) {
    why = "Windows keeps no load average";
    return false;
}

// GetSystemTimes counts idle time within kernel time, over all processors.
bool read_cpu_times(CpuTimes &cpu) {
    FILETIME idle, kernel, user, created, ended, own_kernel, own_user;
    if (!GetSystemTimes(&idle, &kernel, &user) ||
        !GetProcessTimes(GetCurrentProcess(), &created, &ended, &own_kernel, &own_user))
        return false;
    cpu.busy = seconds_of(kernel) + seconds_of(user) - seconds_of(idle);
    cpu.own = seconds_of(own_kernel) + seconds_of(own_user) + children_seconds;
    cpu.steal = -1;
    return true;
}

bool error_is_terminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
