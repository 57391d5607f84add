// The fidelity tool's operating-system layer on Linux.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <sys/times.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

const char *const NATIVE_FORMAT = "ELF";
const char *const CPU_TIMES_SOURCE = "/proc/stat";

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void sleep_seconds(double seconds) {
    timespec ts{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string program_beside_this_tool(const char *name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return name;
    self[n] = '\0';
    const std::string path(self);
    return path.substr(0, path.rfind('/') + 1) + name;
}

bool run_program(const std::string &path, const std::vector<std::string> &arguments, const std::string &input,
                 bool errors_too, std::string &output, std::string &error) {
    if (access(path.c_str(), X_OK) != 0) {
        error = std::strerror(errno);
        return false;
    }
    int out[2], in[2];
    if (pipe(out) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    if (pipe(in) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::vector<char *> argv{const_cast<char *>(path.c_str())};
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        error = std::strerror(errno);
        for (int end : {out[0], out[1], in[0], in[1]})
            close(end);
        return false;
    }
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        if (errors_too)
            dup2(out[1], STDERR_FILENO);
        dup2(in[0], STDIN_FILENO);
        for (int end : {out[0], out[1], in[0], in[1]})
            close(end);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    // The input is a few lines, far less than a pipe holds: written whole
    // before the output is read, it cannot wait on the child.
    const bool written = write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
    close(in[1]);
    char chunk[4096];
    ssize_t n;
    while ((n = read(out[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            output.append(chunk, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !written) {
        error = "it did not run to the end with status 0";
        return false;
    }
    return true;
}

std::string find_program(const char *name) {
    const char *path = std::getenv("PATH");
    for (std::string folders = path ? path : ""; !folders.empty();) {
        const std::size_t colon = folders.find(':');
        const std::string folder = folders.substr(0, colon);
        folders = colon == std::string::npos ? "" : folders.substr(colon + 1);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

uint8_t *writable_memory(std::size_t size) {
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        std::perror("isabench-fidelity: mmap");
        std::exit(1);
    }
    return static_cast<uint8_t *>(memory);
}

void make_executable(uint8_t *memory, std::size_t size) {
    if (mprotect(memory, size, PROT_READ | PROT_EXEC) != 0) {
        std::perror("isabench-fidelity: mprotect");
        std::exit(1);
    }
}

void release_memory(uint8_t *memory, std::size_t size) { munmap(memory, size); }

std::string system_name() {
    utsname system{};
    if (uname(&system) != 0)
        return "Linux";
    return std::string(system.sysname) + " " + system.release + " " + system.version + " " + system.machine;
}

long logical_processors() { return sysconf(_SC_NPROCESSORS_ONLN); }

bool load_average(double (&load)[3], std::string &why) {
    if (getloadavg(load, 3) == 3)
        return true;
    why = "getloadavg failed";
    return false;
}

// The first line of /proc/stat: the time all processors spent in each
// state, in clock ticks: user nice system idle iowait irq softirq steal
// (guest time is counted in user and nice already).
bool read_cpu_times(CpuTimes &cpu) {
    FILE *stat = std::fopen("/proc/stat", "r");
    if (!stat)
        return false;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    const int fields = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle,
                                   &iowait, &irq, &softirq, &steal);
    std::fclose(stat);
    const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    tms own{};
    if (fields < 4 || times(&own) == static_cast<clock_t>(-1))
        return false;
    cpu.busy = static_cast<double>(user + nice + system + irq + softirq) * tick;
    cpu.steal = fields >= 8 ? static_cast<double>(steal) * tick : -1;
    cpu.own = static_cast<double>(own.tms_utime + own.tms_stime + own.tms_cutime + own.tms_cstime) * tick;
    return true;
}

bool error_is_terminal() { return isatty(STDERR_FILENO) == 1; }
