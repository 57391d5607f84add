// What each function of the executable may contain: its instruction set, as
// CPUID features named by iced-x86, and the shape of its workload loop.

import { Mnemonic } from "iced-x86";

// Features of the x86-64 baseline, less SSE2, as the decoder names them.
const BASE_NO_SSE2 = ["INTEL8086", "INTEL186", "INTEL286", "INTEL386", "INTEL486", "X64", "CMOV", "CX8",
  "FPU", "FPU287", "FPU387", "FXSR", "MULTIBYTENOP", "SSE"];
const BASELINE = [...BASE_NO_SSE2, "SSE2"];

const set = (...lists) => () => new Set(lists.flat());

export const CLOCK = { name: "read_ticks", features: set(BASELINE) };

const ADDS = [Mnemonic.Add, Mnemonic.Lea, Mnemonic.Inc];
const COMPARES = [Mnemonic.Cmp, Mnemonic.Test];

// The loop's iteration counter: an increment or add, a compare, a branch.
function counterRole(ins) {
  if (ADDS.includes(ins.mnemonic) || ins.mnemonic === Mnemonic.Sub || ins.mnemonic === Mnemonic.Dec) return "counter";
  if (COMPARES.includes(ins.mnemonic)) return "compare";
  if (ins.isJccShortOrNear) return "branch";
  return null;
}

export const VARIANTS = [
  {
    name: "bench_scalar",
    width: 64,
    // GCC builds the scalar variant without SSE2 (x87 frame); Clang cannot
    // pass doubles to printf that way and keeps SSE2 for the frame only.
    features: (compiler) => new Set(compiler === "gcc" ? BASE_NO_SSE2 : BASELINE),
    // k + 2, XOR with k, k + 1, the add into the accumulator, compare-and-branch.
    loopRole(ins) {
      if (ins.mnemonic === Mnemonic.Xor) return "xor";
      if (ADDS.includes(ins.mnemonic)) return "add";
      if (COMPARES.includes(ins.mnemonic)) return "compare";
      if (ins.isJccShortOrNear) return "branch";
      return null;
    },
    loopCounts: { xor: [1, 1], add: [3, 3], compare: [0, 1], branch: [1, 1] },
  },
];
