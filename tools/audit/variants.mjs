// What the audit knows about each function of the executable: its
// instruction set (CPUID features as iced-x86 names them), its encoding and
// register width, the shape of its workload loops, and what its frame must
// contain. The measuring functions, their instruction sets, encodings and
// lanes, and the loops each carries are the program's tables' to say
// (table.mjs); what is the audit's own is the baseline and what it counts in
// each shape of loop.

import { expectedLoop } from "./forms.mjs";
import { loadTable } from "./table.mjs";

// The x86-64 baseline as iced-x86 names it, which every function's
// instruction set starts from; GCC builds the scalar function without SSE2.
const BASE_NO_SSE2 = ["INTEL8086", "INTEL186", "INTEL286", "INTEL386", "INTEL486", "X64", "CMOV", "CX8",
  "FPU", "FPU287", "FPU387", "FXSR", "MULTIBYTENOP", "SSE"];
const BASELINE = [...BASE_NO_SSE2, "SSE2"];

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
  calls: new Set(["gettimeofday", "mingw_gettimeofday", "__stack_chk_fail"]),
};

// Counts of each operation class in one iteration: [min, max].
const COUNTER = { gprAdd: [1, 1], compare: [0, 1], branch: [1, 1] };
const SCALAR_COUNTS = { xor: [1, 1], gprAdd: [3, 3], compare: [0, 1], branch: [1, 1] };
// x <- b; b <- b + c2; x <- x XOR b; acc <- acc + x.
const TWO_LANE_COUNTS = { laneAdd: [2, 2], xor: [1, 1], copy: [1, 1], ...COUNTER };
// x <- b + c2; x <- x XOR b; b <- b + step; acc <- acc + x: no copy needed.
const WIDE_COUNTS = { laneAdd: [3, 3], xor: [1, 1], copy: [0, 0], ...COUNTER };

const COUNTS = { scalar: SCALAR_COUNTS, "two-lane": TWO_LANE_COUNTS, wide: WIDE_COUNTS };
const ENCODINGS = ["legacy", "vex", "evex"];

// The decoder's names for the extensions `needs` names (register state has
// none: no instruction brings it).
function decoderNames(needs, features, row) {
  return needs.flatMap((name) => {
    const feature = features.find((f) => f.NAME === name);
    if (!feature) throw new Error(`variants.def: ${row.function} needs ${name}, which cpu_features.def does not list`);
    return feature.decoder ? [feature.decoder] : [];
  });
}

// What the audit holds of each variant of `table`, the extensions named as
// its features give them. Each variant's instruction set is the baseline and
// every extension it needs: its own row's and those of the variants before
// it. Its loops are variants.def's: the rows of its family, each in the form
// forms.mjs builds for its shape (scalar, two-lane, wide).
function variantsOf(table) {
  let ladder = [];
  return table.variants.map((row) => {
    const added = decoderNames(row.needs, table.features, row);
    const own = ladder = [...ladder, ...added];
    const width = 64 * row.lanes;
    const shape = width === 64 ? "scalar" : width === 128 ? "two-lane" : "wide";
    if (!ENCODINGS.includes(row.encoding))
      throw new Error(`variants.def: ${row.function}'s encoding ${row.encoding} is none of ${ENCODINGS.join(", ")}`);
    // A variant of a family that an earlier one runs is that one's code
    // built for a higher level: only instructions of what it adds may differ
    // (and its format string).
    const earlier = table.variants.find((v) => v.family === row.family && v.index < row.index);
    return {
      name: row.function, tag: row.tag, label: row.label, width, lanes: row.lanes, encoding: row.encoding, shape, counts: COUNTS[shape],
      // Clang cannot pass doubles to printf without SSE2 and keeps it for
      // the scalar frame only.
      features: (compiler) => new Set([...(shape === "scalar" && compiler === "gcc" ? BASE_NO_SSE2 : BASELINE), ...own]),
      // The 128-bit loops step b by the XOR distance: one register for both.
      sharedStep: width === 128,
      // The upper register halves are cleared before every call and return,
      // and inside the timed region.
      clearsUpper: width > 128,
      // Clock conversions that must use VCVTUSI2SD, at least one per
      // reading: a frame built with AVX-512F converts with it.
      unsignedConversions: own.includes("AVX512F") ? 2 : 0,
      sameCodeAs: earlier?.function ?? null,
      newFeatures: new Set(added),
    };
  });
}

export const VARIANTS = variantsOf(loadTable());

// Whether `def` is a measuring function's (the clock's is not).
export const measuring = (def) => def.counts !== undefined;

// The measuring functions as variants.def lists them: the audit's own data
// for each, with its place in the driver's choice of loops (`index`) and its
// candidate loops, each { row, number, offset, expected } (expected:
// forms.mjs). Throws where the table and the audit disagree on a variant.
export function measuringFunctions(table) {
  const defs = variantsOf(table);
  const listed = new Set(defs.map((v) => v.name));
  for (const def of VARIANTS)
    if (!listed.has(def.name)) throw new Error(`variants.def lists no variant ${def.name}, which the audit has rules for`);
  return table.variants.map((row, k) => {
    if (!VARIANTS.some((v) => v.name === row.function))
      throw new Error(`variants.def lists ${row.function}, for which the audit has no rules`);
    const def = defs[k];
    const candidates = table.loops.filter((l) => l.family === row.family).map((l) => ({
      row: l, number: l.number, offset: l.offset, expected: expectedLoop(l, def),
    }));
    return { ...def, family: row.family, index: row.index, candidates };
  });
}
