// The bounds of a loop: the latency of its loop-carried chains, worked out
// here from its instructions, and the throughput of the running processor's
// port model, taken from llvm-mca (LLVM's machine-code analyser), which
// keeps a model of each processor LLVM schedules for. Nothing here is typed
// per processor: the processor table names the model (its -mcpu), and the
// loop's text is the one its bytes were assembled from.
#include "explain.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

#include "../../src/harness/measure_record.h"
#include "platform.h"

namespace {

// Iterations llvm-mca simulates; its block throughput does not depend on
// them.
constexpr const char *ITERATIONS = "-iterations=100";

// llvm-mca, the newest that the search path finds: Debian installs it as
// llvm-mca-N (package llvm-N), other systems as llvm-mca.
const std::string &llvm_mca() {
    static const std::string found = [] {
        for (int version = 40; version >= 10; --version) {
            const std::string path = find_program(("llvm-mca-" + std::to_string(version)).c_str());
            if (!path.empty())
                return path;
        }
        return find_program("llvm-mca");
    }();
    return found;
}

std::string base_name(const std::string &path) {
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0)
        name.resize(name.size() - 4);
    return name;
}

// A register as the dependencies see it: every width of a general register
// or of a vector register is the one register.
std::string register_of(std::string name) {
    if (name.size() > 3 && (name.compare(0, 3, "xmm") == 0 || name.compare(0, 3, "ymm") == 0 ||
                            name.compare(0, 3, "zmm") == 0))
        return "v" + name.substr(3);
    if (name.size() == 3 && (name[0] == 'e' || name[0] == 'r'))
        name[0] = 'r';
    return name;
}

// What one instruction (AT&T syntax: sources first, the destination last)
// reads and writes among the registers. Flags are left out: every flag a
// loop here reads was written earlier in the same iteration.
struct Access {
    std::vector<std::string> reads;
    std::string writes;
};

Access access_of(const std::string &instruction) {
    const std::size_t space = instruction.find_first_of(" \t");
    const std::string mnemonic = instruction.substr(0, space);
    std::vector<std::string> operands;
    if (space != std::string::npos) {
        int depth = 0;
        std::string operand;
        for (char c : instruction.substr(space + 1)) {
            depth += c == '(' ? 1 : c == ')' ? -1 : 0;
            if (c == ',' && depth == 0) {
                operands.push_back(operand);
                operand.clear();
            } else if (c != ' ' && c != '\t') {
                operand += c;
            }
        }
        operands.push_back(operand);
    }
    Access access;
    std::string destination;
    for (std::size_t k = 0; k < operands.size(); ++k) {
        const std::string &operand = operands[k];
        for (std::size_t at = operand.find('%'); at != std::string::npos; at = operand.find('%', at + 1)) {
            const std::size_t end = operand.find_first_of(",)", at);
            const std::string name = register_of(operand.substr(at + 1, end == std::string::npos ? end : end - at - 1));
            if (k + 1 == operands.size() && operand[0] == '%')
                destination = name;  // a register destination; an address's registers are read
            else
                access.reads.push_back(name);
        }
    }
    const bool compare = mnemonic.compare(0, 3, "cmp") == 0 || mnemonic.compare(0, 4, "test") == 0;
    if (destination.empty() || mnemonic[0] == 'j')
        return access;
    if (compare) {
        access.reads.push_back(destination);
        return access;
    }
    // A move, an address computation and a three-operand (VEX, EVEX) form
    // only write their destination; the two-operand forms also read it.
    const bool writes_only = mnemonic.compare(0, 3, "mov") == 0 || mnemonic.compare(0, 4, "vmov") == 0 ||
                             mnemonic.compare(0, 3, "lea") == 0 || operands.size() == 3;
    if (!writes_only)
        access.reads.push_back(destination);
    access.writes = destination;
    return access;
}

// The cycles per iteration the loop's dependencies alone allow, each
// instruction taking its latency and the processor every resource it
// wants: the iterations are followed until the time each adds is steady.
double latency_bound(const std::vector<std::string> &instructions, const std::vector<double> &latencies) {
    std::vector<Access> accesses;
    for (const std::string &instruction : instructions)
        accesses.push_back(access_of(instruction));
    std::map<std::string, double> ready;
    double latest = 0, at_half = 0;
    constexpr int FOLLOWED = 256;
    for (int iteration = 0; iteration < FOLLOWED; ++iteration) {
        for (std::size_t k = 0; k < accesses.size(); ++k) {
            double start = 0;
            for (const std::string &name : accesses[k].reads)
                start = std::max(start, ready[name]);
            if (!accesses[k].writes.empty()) {
                ready[accesses[k].writes] = start + latencies[k];
                latest = std::max(latest, start + latencies[k]);
            }
        }
        if (iteration + 1 == FOLLOWED / 2)
            at_half = latest;
    }
    return (latest - at_half) / (FOLLOWED / 2);
}

double number_after(const std::string &text, const char *label) {
    const std::size_t at = text.find(label);
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + std::strlen(label));
}

// The first line of a text, for a note.
std::string first_line(const std::string &text) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return "";
    return text.substr(start, text.find_first_of("\r\n", start) - start);
}

// Each instruction's latency from llvm-mca's instruction information, in
// the order given; empty where its output has not one row for each.
std::vector<double> latencies_of(const std::string &output, std::size_t count) {
    std::vector<double> latencies;
    const std::size_t table = output.find("Instructions:\n", output.find("Instruction Info:"));
    if (table == std::string::npos)
        return latencies;
    std::istringstream rows(output.substr(table + std::strlen("Instructions:\n")));
    std::string row;
    while (latencies.size() < count && std::getline(rows, row)) {
        int micro_ops;
        double latency;
        if (std::sscanf(row.c_str(), "%d %lf", &micro_ops, &latency) != 2)
            break;
        latencies.push_back(latency);
    }
    if (latencies.size() != count)
        latencies.clear();
    return latencies;
}

}  // namespace

Bound bound_of(const Form &form, const char *mcpu) {
    static std::map<std::string, Bound> known;
    Form placed = form;
    placed.offset = 0;  // a model sees no placement
    placed.address = -1;
    const std::string key = form_name(placed) + "|" + std::to_string(static_cast<int>(form.family)) + "|" +
                            (mcpu ? mcpu : "");
    if (known.count(key))
        return known[key];

    const std::vector<std::string> instructions = loop_instructions(form, ELEMENTS);
    std::vector<double> latencies(instructions.size(), 1.0);
    Bound bound;
    double operations = 0, width = 0;  // per iteration, and dispatched per cycle, in the model
    const std::string &tool = llvm_mca();
    if (!mcpu) {
        bound.note = "the processor table names no port model for this processor";
    } else if (tool.empty()) {
        bound.note = "llvm-mca is not installed (Debian: apt-get install llvm-16)";
    } else {
        std::string text = "1:\n", output, error;
        for (const std::string &instruction : instructions)
            text += instruction + "\n";
        const std::string model = base_name(tool) + " -mcpu=" + mcpu;
        const bool ran = run_program(tool, {std::string("-mcpu=") + mcpu, ITERATIONS, "-"}, text, true, output, error);
        output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());  // Windows' line ends
        const std::vector<double> modelled = latencies_of(output, instructions.size());
        const double port = number_after(output, "Block RThroughput:");
        if (output.find("is not a recognized processor") != std::string::npos) {
            bound.note = base_name(tool) + " has no model of " + mcpu;
        } else if (!ran) {
            bound.note = model + " failed: " + (first_line(output).empty() ? error : first_line(output));
        } else if (modelled.empty() || !(port > 0)) {
            bound.note = model + " printed no block throughput and latencies";
        } else {
            latencies = modelled;
            bound.port = port;
            bound.model = model;
            width = number_after(output, "Dispatch Width:");
            operations = number_after(output, "Total uOps:") / number_after(output, "Iterations:");
        }
    }
    bound.latency = latency_bound(instructions, latencies);
    // llvm-mca's block throughput is the larger of the busiest port's and
    // what the model dispatches a cycle: where the second sets it above the
    // latency, say so.
    if (width > 0 && operations / width > bound.port - 0.05 && operations / width > bound.latency + 0.05) {
        char note[128];
        std::snprintf(note, sizeof note, "the model's dispatch bounds it: %.0f operations an iteration, %.0f a cycle",
                      operations, width);
        bound.note = note;
    }
    known[key] = bound;
    return bound;
}
