// The loops each variant can run, as variants.def lists them, and the choice
// among them: which loop of its family a processor runs, and the frames that
// hold them. Each includer compiles this for its own instruction set; every
// function here is force-inlined or constexpr, as codegen.h explains.
#pragma once

#include <cstdint>
#include <type_traits>

#include "../harness/cpu_support.h"
#include "codegen.h"

// The families of loop forms, as variants.def lists them: one loop shape
// each (SSE2 and SSE4.2 share theirs).
enum class Family {
#define ISABENCH_FAMILY(family) family,
#include "variants.def"
};

// How many families variants.def lists: the size of every table indexed by
// family.
constexpr unsigned FAMILY_COUNT = 0
#define ISABENCH_FAMILY(family) +1
#include "variants.def"
    ;

struct LoopRow {
    Family family;
    unsigned number;
    unsigned processors;
};

constexpr LoopRow LOOPS[] = {
#define ISABENCH_LOOP(family, number, processors, ...) {Family::family, number, processors},
#include "variants.def"
};

// How many loops a family's measuring functions carry.
constexpr unsigned loops_of(Family family) {
    unsigned count = 0;
    for (const LoopRow &row : LOOPS)
        count += row.family == family;
    return count;
}

// The loop of `family` that `processor` runs.
constexpr unsigned chosen_loop(Family family, Processor processor) {
    for (const LoopRow &row : LOOPS)
        if (row.family == family && (row.processors >> processor & 1))
            return row.number;
    return 0;
}

// Every processor, the default included, runs exactly one loop of each
// family, and the loops of a family are numbered 0, 1, ... in order.
constexpr bool loops_are_a_choice() {
    for (unsigned f = 0; f < FAMILY_COUNT; ++f) {
        const Family family = static_cast<Family>(f);
        unsigned next = 0;
        for (const LoopRow &row : LOOPS)
            if (row.family == family && row.number != next++)
                return false;
        for (unsigned p = 0; p < PROCESSOR_COUNT; ++p) {
            unsigned runs = 0;
            for (const LoopRow &row : LOOPS)
                runs += row.family == family && (row.processors >> p & 1);
            if (runs != 1)
                return false;
        }
    }
    return true;
}
static_assert(loops_are_a_choice(), "variants.def: each processor must run exactly one loop of each family");

// The loop each measuring function runs, by its variant's place in
// variants.def: chosen by the driver from the processor's CPUID before the
// first variant runs, and read by each measuring function once, before its
// first timed run.
extern "C" uint8_t chosen_loops[];

// Variant indices into chosen_loops: VARIANT_INDEX_SCALAR, ...
enum VariantIndex : unsigned {
#define ISABENCH_VARIANT(NAME, ...) VARIANT_INDEX_##NAME,
#include "variants.def"
    VARIANT_COUNT
};

// What variants.def says of each variant that its needs and its loops'
// lanes are made from, by variant index.
struct VariantRow {
    unsigned added_needs;  // beyond those of the variant before it
    unsigned lanes;
    Family family;
};

constexpr VariantRow VARIANT_ROWS[] = {
#define ISABENCH_VARIANT(NAME, function, tag, label, needs, lanes, encoding, family) {needs, lanes, Family::family},
#include "variants.def"
};

// The extensions variant `variant` needs beyond the x86-64 baseline: those
// its row adds and everything the variants before it need.
constexpr unsigned needs_of(unsigned variant) {
    unsigned needs = 0;
    for (unsigned v = 0; v <= variant; ++v)
        needs |= VARIANT_ROWS[v].added_needs;
    return needs;
}

// The 64-bit lanes per iteration of `family`'s loops, as its variants' rows
// give them; 0 for a family no variant runs.
constexpr unsigned lanes_of(Family family) {
    for (const VariantRow &row : VARIANT_ROWS)
        if (row.family == family)
            return row.lanes;
    return 0;
}

// The variants that share a family run the same loops, so their rows must
// give it the same lanes.
constexpr bool lanes_agree() {
    for (const VariantRow &row : VARIANT_ROWS)
        if (row.lanes != lanes_of(row.family))
            return false;
    return true;
}
static_assert(lanes_agree(), "variants.def: the variants of one family must give it the same lanes");

// Every family is some variant's: a family no variant runs has no lanes.
constexpr bool families_are_run() {
    for (unsigned f = 0; f < FAMILY_COUNT; ++f)
        if (lanes_of(static_cast<Family>(f)) == 0)
            return false;
    return true;
}
static_assert(families_are_run(), "variants.def: each family must be the family of some variant");

// Runs `frame` with the loop numbered `chosen` among COUNT, passed as a
// std::integral_constant: one frame for each loop, each with its loop
// inline, so that what a run times never depends on a choice made inside
// it. A chain of tests, never a table of addresses: no call or pointer
// reaches a loop.
template <unsigned COUNT, unsigned NUMBER = 0, typename Frame>
ISABENCH_INLINE void with_chosen_loop(unsigned chosen, Frame frame) {
    if constexpr (NUMBER + 1 < COUNT) {
        if (chosen == NUMBER)
            frame(std::integral_constant<unsigned, NUMBER>{});
        else
            with_chosen_loop<COUNT, NUMBER + 1>(chosen, frame);
    } else {
        frame(std::integral_constant<unsigned, NUMBER>{});
    }
}
