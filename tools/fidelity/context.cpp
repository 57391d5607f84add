#include "context.h"

#include <algorithm>

#include <cpuid.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifndef ISABENCH_BUILD_FLAGS
#define ISABENCH_BUILD_FLAGS ""
#endif

namespace {

// The processor's own name, from CPUID leaves 0x80000002 to 0x80000004,
// where it has them.
std::string brand_string() {
    if (static_cast<unsigned>(__get_cpuid_max(0x80000000, nullptr)) < 0x80000004u)
        return "";
    uint32_t words[12];
    for (unsigned leaf = 0; leaf < 3; ++leaf)
        __cpuid(0x80000002 + leaf, words[4 * leaf], words[4 * leaf + 1], words[4 * leaf + 2], words[4 * leaf + 3]);
    std::string text(reinterpret_cast<const char *>(words), sizeof words);
    text = text.c_str();
    const std::size_t first = text.find_first_not_of(' '), last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

void read_load(Context &c, double (&load)[3]) {
    if (!load_average(load, c.no_load_average))
        load[0] = load[1] = load[2] = -1;
}

std::string load_json(const double (&load)[3]) {
    if (load[0] < 0)
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "[%.2f, %.2f, %.2f]", load[0], load[1], load[2]);
    return text;
}

std::string seconds_json(double seconds) {
    if (seconds < 0)
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

std::string busy_json(const Busy &busy) {
    char window[32];
    std::snprintf(window, sizeof window, "%.2f", busy.seconds);
    const double processors = busy.processors();
    return std::string("{\"seconds\": ") + window + ", \"others_cpu_seconds\": " + seconds_json(busy.others) +
           ", \"steal_cpu_seconds\": " + seconds_json(busy.steal) +
           ", \"processors\": " + (processors < 0 ? std::string("null") : seconds_json(processors)) + "}";
}

std::string busy_text(const Busy &busy) {
    if (busy.others < 0)
        return "unknown";
    char text[128];
    std::snprintf(text, sizeof text, "%.2f over %.1f s", busy.processors(), busy.seconds);
    return text;
}

}  // namespace

Context read_context(const CpuRegisters &registers, const std::string &isabench, const Image &image) {
    Context c;
    c.tool_version = ISABENCH_VERSION;
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    c.date = date;
    c.brand = brand_string();
    c.vendor = registers.vendor;
    c.processor = processor_name(identify_processor(registers));
    c.family = cpu_family(registers);
    c.model = cpu_model(registers);
    c.stepping = registers.leaf1_eax & 0xF;
    // CPUID leaf 1 ECX bit 31: a hypervisor runs this processor.
    c.hypervisor = registers.leaf1_ecx >> 31 & 1;
    c.logical_processors = logical_processors();
    char names[512];
    describe_features(usable_features(registers), names, sizeof names);
    c.extensions = names;
    c.system = system_name();
    c.isabench = isabench;
    c.isabench_version = image.version();
    c.compiler = image.compiler();
    c.build_flags = ISABENCH_BUILD_FLAGS;
    read_load(c, c.load_before);
    return c;
}

void read_load_after(Context &context) { read_load(context, context.load_after); }

double Busy::processors() const {
    if (others < 0 || seconds <= 0)
        return -1;
    return (others + (steal > 0 ? steal : 0)) / seconds;
}

CpuWindow open_window() {
    CpuWindow window;
    window.known = read_cpu_times(window.start);
    window.started = now();
    return window;
}

Busy close_window(const CpuWindow &window) {
    Busy busy;
    CpuTimes end;
    busy.seconds = now() - window.started;
    if (!window.known || !read_cpu_times(end))
        return busy;
    // The counters tick at the scheduler's rate, so a short window can read
    // a little more of this process than of the whole machine.
    busy.others = std::max(0.0, (end.busy - window.start.busy) - (end.own - window.start.own));
    if (end.steal >= 0 && window.start.steal >= 0)
        busy.steal = std::max(0.0, end.steal - window.start.steal);
    return busy;
}

void print_context(const Context &c) {
    std::printf("isabench-fidelity %s, %s\n", c.tool_version.c_str(), c.date.c_str());
    std::printf("processor: %s (%s family %u model %u stepping %u): %s in the loop table; %ld logical "
                "processors%s\n",
                c.brand.empty() ? "no name" : c.brand.c_str(), c.vendor.c_str(), c.family, c.model, c.stepping,
                c.processor.c_str(), c.logical_processors, c.hypervisor ? "; under a hypervisor" : "");
    std::printf("extensions: %s\n", c.extensions.empty() ? "none beyond the x86-64 baseline" : c.extensions.c_str());
    std::printf("system: %s\n", c.system.c_str());
    std::printf("isabench: %s, version %s, built by %s; the tool's build flags: %s\n", c.isabench.c_str(),
                c.isabench_version.empty() ? "unknown" : c.isabench_version.c_str(),
                c.compiler.empty() ? "an unnamed compiler" : c.compiler.c_str(),
                c.build_flags.empty() ? "none" : c.build_flags.c_str());
    if (c.load_before[0] >= 0)
        std::printf("load average: %.2f before, %.2f after\n", c.load_before[0], c.load_after[0]);
    else
        std::printf("load average: none (%s)\n", c.no_load_average.c_str());
    std::printf("processors the other programs kept busy (%s, a hypervisor's share included): %s before the "
                "rounds, %s during them\n",
                CPU_TIMES_SOURCE, busy_text(c.before).c_str(), busy_text(c.during).c_str());
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (const unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", ch);
            out += escape;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

std::string context_json(const Context &c) {
    return "{\"tool\": \"isabench-fidelity\", \"version\": " + json_string(c.tool_version) +
           ", \"date\": " + json_string(c.date) + ", \"processor\": {\"brand\": " + json_string(c.brand) +
           ", \"vendor\": " + json_string(c.vendor) + ", \"family\": " + std::to_string(c.family) +
           ", \"model\": " + std::to_string(c.model) + ", \"stepping\": " + std::to_string(c.stepping) +
           ", \"table\": " + json_string(c.processor) + ", \"hypervisor\": " + (c.hypervisor ? "true" : "false") +
           ", \"logical_processors\": " + std::to_string(c.logical_processors) +
           ", \"extensions\": " + json_string(c.extensions) + "}, \"system\": " + json_string(c.system) +
           ", \"isabench\": {\"path\": " + json_string(c.isabench) + ", \"version\": " + json_string(c.isabench_version) +
           ", \"compiler\": " + json_string(c.compiler) + ", \"build_flags\": " + json_string(c.build_flags) +
           "}, \"load_average\": {\"before\": " + load_json(c.load_before) + ", \"after\": " + load_json(c.load_after) +
           ", \"why_null\": " + (c.load_before[0] < 0 ? json_string(c.no_load_average) : "null") +
           "}, \"cpu_time_of_others\": {\"source\": " + json_string(CPU_TIMES_SOURCE) +
           ", \"before\": " + busy_json(c.before) + ", \"during\": " + busy_json(c.during) + "}}";
}
