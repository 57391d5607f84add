// What the audit knows about each function of the executable: its
// instruction set (CPUID features as iced-x86 names them), its encoding and
// register width, the shape of its workload loops, and what its frame must
// contain. Which loops a variant carries is variants.def's to say.

import { expectedLoop } from "./forms.mjs";

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

// Counts of each operation class in one iteration: [min, max].
const COUNTER = { gprAdd: [1, 1], compare: [0, 1], branch: [1, 1] };
const SCALAR_COUNTS = { xor: [1, 1], gprAdd: [3, 3], compare: [0, 1], branch: [1, 1] };
// x <- b; b <- b + c2; x <- x XOR b; acc <- acc + x.
const TWO_LANE_COUNTS = { laneAdd: [2, 2], xor: [1, 1], copy: [1, 1], ...COUNTER };
// x <- b + c2; x <- x XOR b; b <- b + step; acc <- acc + x: no copy needed.
const WIDE_COUNTS = { laneAdd: [3, 3], xor: [1, 1], copy: [0, 0], ...COUNTER };

// What the audit holds of each variant. Its loops are variants.def's: the
// rows of its family, read when an executable is audited (table.mjs), each
// in the form forms.mjs builds for its shape (scalar, two-lane, wide).
const variant = (name, width, features, encoding, counts, extra = {}) => ({
  name, width, lanes: Math.max(1, width / 64), encoding, features, counts,
  shape: width === 64 ? "scalar" : width === 128 ? "two-lane" : "wide",
  // The 128-bit loops step b by the XOR distance: one register for both.
  sharedStep: width === 128,
  // The upper register halves are cleared before every call and return, and
  // inside the timed region.
  clearsUpper: width > 128,
  // Clock conversions that must use VCVTUSI2SD: at least one per reading.
  unsignedConversions: 0,
  sameCodeAs: null,
  ...extra,
});

export const VARIANTS = [
  // GCC builds the scalar variant without SSE2 (x87 frame); Clang cannot
  // pass doubles to printf that way and keeps SSE2 for the frame only.
  variant("bench_scalar", 64, (compiler) => new Set(compiler === "gcc" ? BASE_NO_SSE2 : BASELINE), "legacy",
    SCALAR_COUNTS),
  variant("bench_sse2", 128, fixed(BASELINE), "legacy", TWO_LANE_COUNTS),
  // The SSE2 function's code built for a higher level: only instructions
  // from SSE3 to SSE4.2 may differ (and its format string).
  variant("bench_sse42", 128, fixed(SSE42), "legacy", TWO_LANE_COUNTS,
    { sameCodeAs: "bench_sse2", newFeatures: new Set(["SSE3", "SSSE3", "SSE4_1", "SSE4_2"]) }),
  variant("bench_avx", 128, fixed(AVX), "vex", TWO_LANE_COUNTS),
  variant("bench_avx2", 256, fixed(AVX2), "vex", WIDE_COUNTS),
  // The frame converts each clock reading with VCVTUSI2SD (AVX-512F).
  variant("bench_avx512", 512, fixed(AVX512), "evex", WIDE_COUNTS, { unsignedConversions: 2 }),
];

// Whether `def` is a measuring function's (the clock's is not).
export const measuring = (def) => def.counts !== undefined;

// The measuring functions as variants.def lists them: the audit's own data
// for each, with its place in the driver's choice of loops (`index`) and its
// candidate loops, each { row, number, offset, expected } (expected:
// forms.mjs). Throws where the table and the audit disagree on a variant.
export function measuringFunctions(table) {
  const listed = new Set(table.variants.map((v) => v.function));
  for (const def of VARIANTS)
    if (!listed.has(def.name)) throw new Error(`variants.def lists no variant ${def.name}, which the audit has rules for`);
  return table.variants.map((row) => {
    const def = VARIANTS.find((v) => v.name === row.function);
    if (!def) throw new Error(`variants.def lists ${row.function}, for which the audit has no rules`);
    if (row.lanes !== def.lanes) throw new Error(`variants.def gives ${row.function} ${row.lanes} lanes; the audit, ${def.lanes}`);
    const candidates = table.loops.filter((l) => l.family === row.family).map((l) => ({
      row: l, number: l.number, offset: l.offset, expected: expectedLoop(l, def),
    }));
    return { ...def, family: row.family, index: row.index, candidates };
  });
}

