// Builds each loop form from pieces the assembler made (pieces.def), at an
// exact offset from a 64-byte boundary. The code for one placement is the
// same bytes as for any other: only where they are copied changes, so the
// tool does not grow with the number of placements.
#include "forms.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

#define PIECE(name, ...) extern "C" const uint8_t name##_begin[], name##_end[];
#include "pieces.def"
#undef PIECE

namespace {

// Each piece's assembler text, as pieces.def writes it: what the bounds of a
// loop are worked out from, so that they are the bounds of these bytes.
#define PIECE(name, ...) constexpr const char name##_text[] = #__VA_ARGS__;
#include "pieces.def"
#undef PIECE

struct Piece {
    const uint8_t *begin;
    const uint8_t *end;
    const char *text;
};
#define P(name) Piece{name##_begin, name##_end, name##_text}

// The placeholders pieces.def gives the immediates that are patched.
constexpr uint32_t PLACEHOLDER32 = 0x7eadbeef;
constexpr uint8_t PLACEHOLDER8 = 0x7f;
constexpr uint8_t JNE_SHORT = 0x75;
constexpr uint8_t INT3 = 0xcc;

struct FamilyPieces {
    Piece setup, copy[2], advance, add_c2, xor_op[2], accumulate, reduce;
    const char *copy_names[2];
    const char *xor_names[2];
};

const FamilyPieces &pieces_of(Family family) {
    static const FamilyPieces FAMILIES[] = {
        {P(scalar_setup), {}, {}, {}, {}, P(scalar_accumulate), P(scalar_reduce), {}, {}},
        {P(sse_setup), {P(sse_copy_movdqa), P(sse_copy_movaps)}, P(sse_advance), {},
         {P(sse_xor_pxor), P(sse_xor_xorps)}, P(sse_accumulate), P(sse_reduce), {"movdqa", "movaps"},
         {"pxor", "xorps"}},
        {P(avx_setup), {P(avx_copy_vmovdqa), P(avx_copy_vmovaps)}, P(avx_advance), {},
         {P(avx_xor_vpxor), P(avx_xor_vxorps)}, P(avx_accumulate), P(avx_reduce), {"vmovdqa", "vmovaps"},
         {"vpxor", "vxorps"}},
        {P(avx2_setup), {}, P(avx2_advance), P(avx2_add_c2), {P(avx2_xor_vpxor), P(avx2_xor_vxorps)},
         P(avx2_accumulate), P(avx2_reduce), {}, {"vpxor", "vxorps"}},
        {P(avx512_setup), {}, P(avx512_advance), P(avx512_add_c2),
         {P(avx512_xor_vpxorq), P(avx512_xor_vxorps)}, P(avx512_accumulate), P(avx512_reduce), {},
         {"vpxorq", "vxorps"}},
    };
    static_assert(sizeof FAMILIES / sizeof FAMILIES[0] == FAMILY_COUNT,
                  "pieces_of: one row of pieces for each family of variants.def, in its order");
    return FAMILIES[static_cast<int>(family)];
}

const char *order_name(Order order) {
    switch (order) {
    case Order::AccFirst: return "accfirst";
    case Order::IncFirst: return "incfirst";
    case Order::CopyFirst: return "copyfirst";
    case Order::AdvFirst: return "advfirst";
    }
    return "?";
}

const char *counter_name(Counter counter) {
    switch (counter) {
    case Counter::Down: return "down";
    case Counter::Dec: return "dec";
    case Counter::Up: return "up";
    case Counter::UpInc: return "upinc";
    case Counter::Elem: return "elem";
    case Counter::Neg: return "neg";
    case Counter::NegInc: return "neginc";
    case Counter::KAdd: return "k-add";
    case Counter::KInc: return "k-inc";
    }
    return "?";
}

constexpr Counter SEPARATE_COUNTERS[] = {Counter::Down, Counter::Dec,  Counter::Up,    Counter::UpInc,
                                         Counter::Elem, Counter::Neg, Counter::NegInc};

bool compares(Counter counter) {
    return counter == Counter::Up || counter == Counter::UpInc || counter == Counter::Elem ||
           counter == Counter::KAdd || counter == Counter::KInc;
}

// Machine code and the assembler text it was made from, piece by piece: the
// text's instructions are separated by ';', as in pieces.def.
struct Code {
    std::vector<uint8_t> bytes;
    std::string text;
};

void append(Code &code, Piece piece) {
    code.bytes.insert(code.bytes.end(), piece.begin, piece.end);
    code.text += code.text.empty() ? "" : ";";
    code.text += piece.text;
}

// Replaces the placeholder immediate that ends the code so far, in the bytes
// and in the text.
void patch_text(Code &code, const char *placeholder, int64_t value) {
    const std::size_t at = code.text.rfind(placeholder);
    code.text.replace(at, std::strlen(placeholder), "$" + std::to_string(value));
}

void patch32(Code &code, uint32_t value) {
    uint32_t old;
    std::memcpy(&old, code.bytes.data() + code.bytes.size() - 4, 4);
    if (old != PLACEHOLDER32) {
        std::fprintf(stderr, "isabench-fidelity: a counter piece lost its 32-bit placeholder\n");
        std::abort();
    }
    std::memcpy(code.bytes.data() + code.bytes.size() - 4, &value, 4);
    // As the instructions read it: sign-extended (no count here reaches 2^31).
    patch_text(code, "$0x7eadbeef", static_cast<int32_t>(value));
}

void patch8(Code &code, uint8_t value) {
    if (code.bytes.back() != PLACEHOLDER8) {
        std::fprintf(stderr, "isabench-fidelity: a counter piece lost its 8-bit placeholder\n");
        std::abort();
    }
    code.bytes.back() = value;
    patch_text(code, "$0x7f", value);
}

// The counter's step, with its compare where it has one.
void append_step(Code &code, Counter counter, int lanes) {
    switch (counter) {
    case Counter::Down: append(code, P(count_sub)); break;
    case Counter::Dec: append(code, P(count_dec)); break;
    case Counter::Up:
    case Counter::Neg:
    case Counter::KAdd: append(code, P(count_add)); break;
    case Counter::UpInc:
    case Counter::NegInc:
    case Counter::KInc: append(code, P(count_inc)); break;
    case Counter::Elem:
        append(code, P(count_add_lanes));
        patch8(code, static_cast<uint8_t>(lanes));
        break;
    }
}

void append_compare(Code &code, Counter counter, uint64_t iterations, int lanes) {
    if (!compares(counter))
        return;
    append(code, P(count_cmp));
    const bool counts_elements = counter == Counter::Elem || counter == Counter::KAdd || counter == Counter::KInc;
    patch32(code, static_cast<uint32_t>(counts_elements ? iterations * lanes : iterations));
}

// The vector operations of one iteration, in the form's order.
void append_operations(Code &code, const Form &form, const FamilyPieces &p) {
    if (form.family == Family::Sse || form.family == Family::Avx) {
        append(code, p.copy[form.copy]);
        append(code, p.advance);
        append(code, p.xor_op[form.xor_op]);
        append(code, p.accumulate);
        return;
    }
    append(code, p.add_c2);
    append(code, p.xor_op[form.xor_op]);
    if (form.order == Order::AccFirst) {
        append(code, p.accumulate);
        append(code, p.advance);
    } else {
        append(code, p.advance);
        append(code, p.accumulate);
    }
}

// One iteration of a form's loop, from its first instruction to its compare:
// the branch back is the caller's.
Code loop_body(const Form &form, uint64_t iterations) {
    const FamilyPieces &p = pieces_of(form.family);
    const int lanes = static_cast<int>(lanes_of(form.family));
    Code loop;
    if (form.family == Family::Scalar) {
        append(loop, P(scalar_element));
        if (form.order == Order::AccFirst) {
            append(loop, p.accumulate);
            append_step(loop, form.counter, 1);
        } else {
            append_step(loop, form.counter, 1);
            append(loop, p.accumulate);
        }
    } else if (form.position == Position::First) {
        append_step(loop, form.counter, lanes);
        append_operations(loop, form, p);
    } else {
        append_operations(loop, form, p);
        append_step(loop, form.counter, lanes);
    }
    append_compare(loop, form.counter, iterations, lanes);
    return loop;
}

// Lanes {0, 1, ...}, the XOR distance 2 and the lane step, each in 64 bytes,
// as the set-up pieces load them.
struct alignas(64) Constants {
    uint64_t lanes[8];
    uint64_t twos[8];
    uint64_t step[8];
};

const Constants *constants_for(int lanes) {
    static Constants table[9];
    Constants &c = table[lanes];
    for (int j = 0; j < 8; ++j) {
        c.lanes[j] = j;
        c.twos[j] = 2;
        c.step[j] = lanes;
    }
    return &c;
}

// The loop's head sits in the middle page, at its address modulo 4096 where
// it has one, else HEAD past a 64-byte boundary of its own; the set-up before
// it and the reduction after it fit on either side.
constexpr std::size_t MEMORY = 3 * 4096;
constexpr std::size_t PAGE = 4096;
constexpr std::size_t HEAD = 1024;

}  // namespace

std::vector<Form> all_forms(Family family) {
    std::vector<Form> forms;
    if (family == Family::Scalar) {
        for (Order order : {Order::AccFirst, Order::IncFirst})
            for (Counter counter : {Counter::KAdd, Counter::KInc})
                forms.push_back({family, order, counter, Position::Last, 0, 0, 0});
        return forms;
    }
    // The 128-bit loops have one order (the copy of b first) and a choice
    // of copy instruction; the wider ones two orders and no copy.
    const bool narrow = family == Family::Sse || family == Family::Avx;
    const std::vector<Order> orders =
        narrow ? std::vector<Order>{Order::CopyFirst} : std::vector<Order>{Order::AccFirst, Order::AdvFirst};
    for (Order order : orders)
        for (Counter counter : SEPARATE_COUNTERS)
            for (Position position : {Position::Last, Position::First})
                for (int copy = 0; copy < (narrow ? 2 : 1); ++copy)
                    for (int xor_op = 0; xor_op < 2; ++xor_op)
                        forms.push_back({family, order, counter, position, copy, xor_op, 0});
    return forms;
}

std::string form_name(const Form &form) {
    const FamilyPieces &p = pieces_of(form.family);
    std::string name = std::string(order_name(form.order)) + " " + counter_name(form.counter);
    if (form.family != Family::Scalar) {
        name += form.position == Position::Last ? " last" : " first";
        if (p.copy_names[0])
            name += std::string(" ") + p.copy_names[form.copy];
        name += std::string(" ") + p.xor_names[form.xor_op];
    }
    return name + " @" + std::to_string(form.offset);
}

bool parse_form(Family family, const std::string &name, Form &form) {
    const std::size_t at = name.rfind(" @");
    if (at == std::string::npos)
        return false;
    const int offset = std::atoi(name.c_str() + at + 2);
    if (offset < 0 || offset > 63)
        return false;
    for (Form candidate : all_forms(family)) {
        candidate.offset = offset;
        if (form_name(candidate) == name) {
            form = candidate;
            return true;
        }
    }
    return false;
}

BuiltLoop::BuiltLoop(const Form &form, uint64_t elements) : family_(form.family) {
    const FamilyPieces &p = pieces_of(form.family);
    const uint64_t iterations = elements / lanes_of(form.family);
    Code start, end;
    append(start, p.setup);
    if (form.family != Family::Scalar) {
        switch (form.counter) {
        case Counter::Down:
        case Counter::Dec:
            append(start, P(count_start_iterations));
            patch32(start, static_cast<uint32_t>(iterations));
            break;
        case Counter::Neg:
        case Counter::NegInc:
            append(start, P(count_start_negative));
            patch32(start, static_cast<uint32_t>(-static_cast<int64_t>(iterations)));
            break;
        default: append(start, P(count_start_zero)); break;
        }
    }
    std::vector<uint8_t> loop = loop_body(form, iterations).bytes;
    // jne back to the loop's first instruction, a short jump: no loop here
    // comes near 128 bytes.
    loop.push_back(JNE_SHORT);
    loop.push_back(static_cast<uint8_t>(-static_cast<int>(loop.size() + 1)));
    append(end, p.reduce);

    memory_ = writable_memory(MEMORY);
    std::memset(memory_, INT3, MEMORY);
    head_ = memory_ + PAGE + (form.address >= 0 ? static_cast<std::size_t>(form.address) % PAGE : HEAD + form.offset);
    entry_ = head_ - start.bytes.size();
    loop_size_ = loop.size();
    std::memcpy(entry_, start.bytes.data(), start.bytes.size());
    std::memcpy(head_, loop.data(), loop.size());
    std::memcpy(head_ + loop.size(), end.bytes.data(), end.bytes.size());
    make_executable(memory_, MEMORY);
}

std::vector<std::string> loop_instructions(const Form &form, uint64_t elements) {
    std::vector<std::string> instructions;
    const std::string text = loop_body(form, elements / lanes_of(form.family)).text + ";jne 1b";
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(';', at);
        end = end == std::string::npos ? text.size() : end;
        const std::size_t first = text.find_first_not_of(" \t\n", at);
        if (first < end)
            instructions.push_back(text.substr(first, text.find_last_not_of(" \t\n", end - 1) + 1 - first));
        at = end + 1;
    }
    return instructions;
}

BuiltLoop::~BuiltLoop() { release_memory(memory_, MEMORY); }

uint64_t BuiltLoop::run() const {
    // The pieces' convention (pieces.def), on Windows too, where the
    // compiler then keeps what that convention leaves the callee to clobber.
    using Function = __attribute__((sysv_abi)) uint64_t (*)(const Constants *);
    return reinterpret_cast<Function>(entry_)(constants_for(static_cast<int>(lanes_of(family_))));
}
