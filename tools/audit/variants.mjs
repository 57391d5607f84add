// What the audit knows about each function of the executable: its
// instruction set (CPUID features as iced-x86 names them), its encoding and
// register width, the shape and chosen form of its workload loop, and what
// its frame must contain. Nothing about a variant is decided elsewhere.

// The instruction-set ladder: each level is the one below it plus what is new.
const BASE_NO_SSE2 = ["INTEL8086", "INTEL186", "INTEL286", "INTEL386", "INTEL486", "X64", "CMOV", "CX8",
  "FPU", "FPU287", "FPU387", "FXSR", "MULTIBYTENOP", "SSE"];
const BASELINE = [...BASE_NO_SSE2, "SSE2"];
const SSE42 = [...BASELINE, "SSE3", "SSSE3", "SSE4_1", "SSE4_2"];
const AVX = [...SSE42, "AVX"];
const AVX2 = [...AVX, "AVX2"];
const AVX512 = [...AVX2, "AVX512F", "AVX512DQ", "AVX512VL"];

const fixed = (list) => () => new Set(list);

// The external functions a measuring function may call outside its timed
// region, by the name the loader resolves: the results line's printf (its
// checked form under _FORTIFY_SOURCE) and the failure reports of the stack
// protector and of the fortified calls.
export const OUTSIDE_CALLS = new Set(["printf", "__printf_chk", "__stack_chk_fail", "__chk_fail", "__fortify_fail"]);

// The clock: built for the baseline, on its own page, calling the system's
// time function and nothing else.
export const CLOCK = {
  name: "read_ticks", features: fixed(BASELINE),
  calls: new Set(["gettimeofday", "mingw_gettimeofday", "clock_gettime", "__stack_chk_fail"]),
};

// Each variant's loop form, chosen as the fastest on every processor
// measured (the fidelity tool's search): where its first instruction lies
// past a 64-byte boundary, its length in bytes, and its instructions in
// order, each as MNEMONIC:OPERATION. The operations are named by what the
// data flow shows each instruction does: add-2 (k + 2), add-c2 (b + c2), xor,
// copy (of b), advance (of b), accumulate, step (of the counter), compare,
// branch. Offset and length together fix where a loop that crosses a line
// is split.
const form = (mnemonics, operations) => {
  const m = mnemonics.split(" "), o = operations.split(" ");
  return m.map((mnemonic, k) => `${mnemonic}:${o[k]}`);
};
const TWO_LANE_OPERATIONS = "copy advance xor accumulate step branch";

// Counts of each operation class in one iteration: [min, max].
const COUNTER = { gprAdd: [1, 1], compare: [0, 1], branch: [1, 1] };
const SCALAR_COUNTS = { xor: [1, 1], gprAdd: [3, 3], compare: [0, 1], branch: [1, 1] };
// x <- b; b <- b + c2; x <- x XOR b; acc <- acc + x.
const TWO_LANE_COUNTS = { laneAdd: [2, 2], xor: [1, 1], copy: [1, 1], ...COUNTER };
// x <- b + c2; x <- x XOR b; b <- b + step; acc <- acc + x: no copy needed.
const WIDE_COUNTS = { laneAdd: [3, 3], xor: [1, 1], copy: [0, 0], ...COUNTER };

const variant = (name, width, features, encoding, counts, loop, extra = {}) => ({
  name, width, lanes: Math.max(1, width / 64), encoding, features, counts, loop,
  // The 128-bit loops step b by the XOR distance: one register for both.
  sharedStep: width === 128,
  // The upper register halves are cleared before every call and return, and
  // inside the timed region.
  clearsUpper: width > 128,
  // Clock conversions that must use VCVTUSI2SD: one per reading.
  unsignedConversions: 0,
  sameCodeAs: null,
  ...extra,
});

export const VARIANTS = [
  // GCC builds the scalar variant without SSE2 (x87 frame); Clang cannot
  // pass doubles to printf that way and keeps SSE2 for the frame only.
  variant("bench_scalar", 64, (compiler) => new Set(compiler === "gcc" ? BASE_NO_SSE2 : BASELINE), "legacy",
    SCALAR_COUNTS,
    { offset: 0, bytes: 22, form: form("lea xor add add cmp jne", "add-2 xor step accumulate compare branch") }),
  variant("bench_sse2", 128, fixed(BASELINE), "legacy", TWO_LANE_COUNTS,
    { offset: 0, bytes: 22, form: form("movdqa paddq pxor paddq sub jne", TWO_LANE_OPERATIONS) }),
  // The SSE2 function's code built for a higher level: only instructions
  // from SSE3 to SSE4.2 may differ (and its format string).
  variant("bench_sse42", 128, fixed(SSE42), "legacy", TWO_LANE_COUNTS,
    { offset: 0, bytes: 22, form: form("movdqa paddq pxor paddq sub jne", TWO_LANE_OPERATIONS) },
    { sameCodeAs: "bench_sse2", newFeatures: new Set(["SSE3", "SSSE3", "SSE4_1", "SSE4_2"]) }),
  variant("bench_avx", 128, fixed(AVX), "vex", TWO_LANE_COUNTS,
    { offset: 0, bytes: 22, form: form("vmovdqa vpaddq vpxor vpaddq sub jne", TWO_LANE_OPERATIONS) }),
  variant("bench_avx2", 256, fixed(AVX2), "vex", WIDE_COUNTS, { offset: 0, bytes: 28,
    form: form("vpaddq vpxor vpaddq vpaddq add cmp jne", "add-c2 xor advance accumulate step compare branch") }),
  // The frame converts each clock reading with VCVTUSI2SD (AVX-512F). The
  // loop crosses a 64-byte line inside its counter's step, on purpose.
  variant("bench_avx512", 512, fixed(AVX512), "evex", WIDE_COUNTS, { offset: 38, bytes: 36,
    form: form("vpaddq vpxorq vpaddq vpaddq add cmp jne", "add-c2 xor accumulate advance step compare branch") },
  { unsignedConversions: 2 }),
];

export const variantNamed = (name) => VARIANTS.find((v) => v.name === name);
