// What each function of the executable may contain: its instruction set, as
// CPUID features named by iced-x86, its encoding, and the shape of its
// workload loop.

import { Mnemonic } from "iced-x86";

// The instruction-set ladder: each level is the one below it plus what is new.
const BASE_NO_SSE2 = ["INTEL8086", "INTEL186", "INTEL286", "INTEL386", "INTEL486", "X64", "CMOV", "CX8",
  "FPU", "FPU287", "FPU387", "FXSR", "MULTIBYTENOP", "SSE"];
const BASELINE = [...BASE_NO_SSE2, "SSE2"];
const SSE42 = [...BASELINE, "SSE3", "SSSE3", "SSE4_1", "SSE4_2"];
const AVX = [...SSE42, "AVX"];
const AVX2 = [...AVX, "AVX2"];
const AVX512 = [...AVX2, "AVX512F", "AVX512DQ", "AVX512VL"];

export const SSE4_FEATURES = new Set(["SSE3", "SSSE3", "SSE4_1", "SSE4_2"]);

const fixed = (list) => () => new Set(list);

export const CLOCK = { name: "read_ticks", features: fixed(BASELINE) };

const GPR_ADDS = [Mnemonic.Add, Mnemonic.Lea, Mnemonic.Inc, Mnemonic.Sub, Mnemonic.Dec];
const COMPARES = [Mnemonic.Cmp, Mnemonic.Test];
const LANE_ADDS = [Mnemonic.Paddq, Mnemonic.Vpaddq];
const XORS = [Mnemonic.Pxor, Mnemonic.Vpxor, Mnemonic.Vpxord, Mnemonic.Vpxorq];
const COPIES = [Mnemonic.Movdqa, Mnemonic.Movdqu, Mnemonic.Movaps, Mnemonic.Vmovdqa, Mnemonic.Vmovdqu,
  Mnemonic.Vmovaps, Mnemonic.Vmovdqa64, Mnemonic.Vmovdqu64];

// Roles in a vector loop: the lane arithmetic, one register copy, and the
// separate iteration counter on a general-purpose register.
function vectorLoopRole(ins) {
  if (LANE_ADDS.includes(ins.mnemonic)) return "lane addition";
  if (XORS.includes(ins.mnemonic)) return "XOR";
  if (COPIES.includes(ins.mnemonic)) return "register copy";
  if (GPR_ADDS.includes(ins.mnemonic)) return "counter";
  if (COMPARES.includes(ins.mnemonic)) return "compare";
  if (ins.isJccShortOrNear) return "branch";
  return null;
}

const COUNTER = { counter: [1, 1], compare: [0, 1], branch: [1, 1] };

// x <- b; b <- b + c2; x <- x XOR b; acc <- acc + x.
const twoLanes = (name, features, encoding, loop) => ({
  name, width: 128, encoding, features: fixed(features), loopRole: vectorLoopRole,
  loopCounts: { "lane addition": [2, 2], XOR: [1, 1], "register copy": [1, 1], ...COUNTER }, loop,
});

// x <- b + c2; x <- x XOR b; b <- b + step; acc <- acc + x: no copy needed.
const wideLanes = (name, width, features, encoding, loop, extra = {}) => ({
  name, width, encoding, features: fixed(features), loopRole: vectorLoopRole,
  loopCounts: { "lane addition": [3, 3], XOR: [1, 1], "register copy": [0, 0], ...COUNTER }, loop,
  clearsUpper: true, ...extra,
});

// Each variant's loop form, chosen as the fastest on every processor
// measured (the fidelity tool's search): where its first instruction lies
// past a 64-byte boundary, its length in bytes, and its instructions in
// order, each as MNEMONIC:OPERATION. The operations are named by what the
// data flow shows each instruction does: add-2 (k + 2), add-c2 (b + c2), xor,
// copy (of b), advance (of b), accumulate, step (of the counter), compare,
// branch. Offset and length together fix where a loop that crosses a line
// is split.
const TWO_LANE_OPERATIONS = "copy advance xor accumulate step branch";
const form = (mnemonics, operations) => {
  const m = mnemonics.split(" "), o = operations.split(" ");
  return m.map((mnemonic, k) => `${mnemonic}:${o[k]}`);
};

export const VARIANTS = [
  {
    name: "bench_scalar",
    width: 64,
    encoding: "legacy",
    // GCC builds the scalar variant without SSE2 (x87 frame); Clang cannot
    // pass doubles to printf that way and keeps SSE2 for the frame only.
    features: (compiler) => new Set(compiler === "gcc" ? BASE_NO_SSE2 : BASELINE),
    // k + 2, XOR with k, k + 1, the add into the accumulator, compare-and-branch.
    loopRole(ins) {
      if (ins.mnemonic === Mnemonic.Xor) return "XOR";
      if (GPR_ADDS.includes(ins.mnemonic)) return "addition";
      if (COMPARES.includes(ins.mnemonic)) return "compare";
      if (ins.isJccShortOrNear) return "branch";
      return null;
    },
    loopCounts: { XOR: [1, 1], addition: [3, 3], compare: [0, 1], branch: [1, 1] },
    loop: { offset: 0, bytes: 22, form: form("lea xor add add cmp jne", "add-2 xor step accumulate compare branch") },
  },
  twoLanes("bench_sse2", BASELINE, "legacy",
    { offset: 0, bytes: 22, form: form("movdqa paddq pxor paddq sub jne", TWO_LANE_OPERATIONS) }),
  twoLanes("bench_sse42", SSE42, "legacy",
    { offset: 0, bytes: 22, form: form("movdqa paddq pxor paddq sub jne", TWO_LANE_OPERATIONS) }),
  twoLanes("bench_avx", AVX, "vex",
    { offset: 0, bytes: 22, form: form("vmovdqa vpaddq vpxor vpaddq sub jne", TWO_LANE_OPERATIONS) }),
  wideLanes("bench_avx2", 256, AVX2, "vex", { offset: 0, bytes: 28,
    form: form("vpaddq vpxor vpaddq vpaddq add cmp jne", "add-c2 xor advance accumulate step compare branch") }),
  // The frame converts each clock reading with VCVTUSI2SD (AVX-512F). The
  // loop crosses a 64-byte line inside its counter's step, on purpose.
  wideLanes("bench_avx512", 512, AVX512, "evex", { offset: 38, bytes: 36,
    form: form("vpaddq vpxorq vpaddq vpaddq add cmp jne", "add-c2 xor accumulate advance step compare branch") },
  { unsignedConversions: 2 }),
];
