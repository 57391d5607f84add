// How far a line is from what the processor allows: the bounds of its loop
// in cycles per iteration, from the loop's own instructions (forms.h).
#pragma once

#include <string>

#include "forms.h"

struct Bound {
    // The loop-carried chains: the longest chain of dependent instructions
    // from one iteration to the next, each at its latency.
    double latency = 0;
    // llvm-mca's block throughput for the loop on the processor's port model
    // (its operations per port, and the model's dispatch width); negative
    // where there is none.
    double port = -1;
    // The port model, as "llvm-mca-16 -mcpu=znver4"; empty where there is
    // none.
    std::string model;
    // Why there is no port model, or what bounds the port figure where it is
    // not the ports; empty otherwise.
    std::string note;

    double cycles() const { return port > latency ? port : latency; }
};

// The bounds of a form's loop on the processor that `mcpu` names to LLVM
// (nullptr where the processor table names none). Without llvm-mca, or
// without its model of that processor, the latency bound alone, with one
// cycle for each instruction, and the note says why.
Bound bound_of(const Form &form, const char *mcpu);
