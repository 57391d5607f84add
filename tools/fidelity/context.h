// Where a result was measured: the processor, the system, the build of
// isabench and how busy the machine was, so that every result says where it
// ran, and a busy machine is visible beside the figures it may have moved.
#pragma once

#include <string>

#include "../../src/harness/cpu_support.h"
#include "image.h"
#include "platform.h"

// What the other programs used of the processors over a window, in
// processor-seconds; negative where the system does not say.
struct Busy {
    double seconds = 0;  // the window
    double others = -1;  // used by every process but this tool and the isabench it ran
    double steal = -1;   // given by a hypervisor to others while these processors wanted to run
    // On average, how many logical processors the others kept busy, the
    // hypervisor's share included; negative where unknown.
    double processors() const;
};

// A window of the others' processor time, opened by open_window and
// measured by close_window.
struct CpuWindow {
    CpuTimes start;
    double started = 0;
    bool known = false;
};
CpuWindow open_window();
Busy close_window(const CpuWindow &window);

struct Context {
    std::string tool_version, date;
    std::string brand, vendor, processor;  // processor: its row in the loop table
    unsigned family = 0, model = 0, stepping = 0;
    bool hypervisor = false;
    long logical_processors = 0;
    std::string extensions;  // those usable here that decide which lines run
    std::string system;      // the operating system: name, release, version, machine
    std::string isabench, isabench_version, compiler, build_flags;
    double load_before[3] = {-1, -1, -1}, load_after[3] = {-1, -1, -1};
    std::string no_load_average;  // why there is none, where there is none
    Busy before, during;          // a quiet window before the first round, and the rounds
};

// Everything but the load average after the run and the others' time.
Context read_context(const CpuRegisters &registers, const std::string &isabench, const Image &image);
void read_load_after(Context &context);

// The block the text output begins with, and the JSON object "context".
void print_context(const Context &context);
std::string context_json(const Context &context);

// A JSON string literal of `text`.
std::string json_string(const std::string &text);
