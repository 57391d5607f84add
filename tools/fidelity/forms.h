// The loop forms the benchmark's shape allows, and the machine code of each,
// built at run time at any offset from a 64-byte boundary.
//
// Each variant's shape fixes its instruction set, its width, its operations
// and its trip count. It leaves free:
//   the order of the operations, where the data flow allows it;
//   the counter: down to zero, up to the trip count, from minus the trip
//     count up to zero, or counting elements; by add/sub or by inc/dec;
//   whether the counter's step stands before or after the vector operations;
//   the 128-bit copy instruction and the XOR instruction;
//   where the loop sits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../../src/variants/loops.h"

// The order of the operations. Scalar: the accumulation before or after the
// step of k. 128-bit: the copy of b first (the only order). 256 and 512 bits:
// the accumulation before or after the advance of b.
enum class Order { AccFirst, IncFirst, CopyFirst, AdvFirst };

enum class Counter {
    Down,    // mov N; sub $1; jne
    Dec,     // mov N; dec; jne
    Up,      // xor; add $1; cmp $N; jne
    UpInc,   // xor; inc; cmp $N; jne
    Elem,    // xor; add $lanes; cmp $elements; jne
    Neg,     // mov -N; add $1; jne
    NegInc,  // mov -N; inc; jne
    KAdd,    // scalar: k itself, add $1; cmp; jne
    KInc,    // scalar: k itself, inc; cmp; jne
};

enum class Position { Last, First };

struct Form {
    Family family;
    Order order;
    Counter counter;
    Position position;
    int copy;    // 128-bit: 0 the integer move (movdqa), 1 the float move (movaps)
    int xor_op;  // 0 the integer XOR (pxor, vpxor, vpxorq), 1 the float XOR (xorps)
    int offset;  // bytes from a 64-byte boundary to the loop's first instruction
    // Bytes from a 4096-byte boundary to the loop's first instruction, where
    // the loop is to sit as it does in a build (offset is then this modulo
    // 64); -1 where only the offset matters.
    int address = -1;
};

// Every form of a family, at offset 0.
std::vector<Form> all_forms(Family family);

// A name a reader can write down, e.g. "advfirst up last vpxor @36".
std::string form_name(const Form &form);

// The form a name gives, for a family; false where the name gives none.
bool parse_form(Family family, const std::string &name, Form &form);

// The instructions of one iteration of a form's loop, as assembler text (AT&T
// syntax), from its first to its branch back to the label "1": what the
// bytes BuiltLoop builds for the same form and elements say.
std::vector<std::string> loop_instructions(const Form &form, uint64_t elements);

// A form's loop, built into memory of its own that it can run from.
class BuiltLoop {
public:
    // `elements` must be a multiple of the family's lanes.
    BuiltLoop(const Form &form, uint64_t elements);
    ~BuiltLoop();
    BuiltLoop(const BuiltLoop &) = delete;
    BuiltLoop &operator=(const BuiltLoop &) = delete;

    // Runs the loop once and returns its sum.
    uint64_t run() const;
    // The loop's bytes, from its first instruction to its branch.
    const uint8_t *loop_bytes() const { return head_; }
    std::size_t loop_size() const { return loop_size_; }

private:
    uint8_t *memory_ = nullptr;
    uint8_t *entry_ = nullptr;
    uint8_t *head_ = nullptr;
    std::size_t loop_size_ = 0;
    Family family_;
};
