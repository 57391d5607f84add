// How many runs each results line reports on: the frame's repetition
// counter, the variable i, starts from a known value, steps by a constant
// and ends the repetition at a bound, so that every path to the line's
// printf passes exactly ten end readings (timed.once and timed.choice prove
// one workload loop in each run). The function is followed once for each
// count of runs done so far, with the value of i known along each path:
// the value analysis does not follow writable memory, so this rule carries
// i beside it and hands its value to the registers loaded from it, which
// decides the repetition's branch.

import { InstructionInfoFactory, OpAccess, OpKind } from "iced-x86";
import { bytesOf, numberOf, valueSteps } from "../dataflow.mjs";
import { solveForward } from "../engine.mjs";
import { fullRegister as full, hasMemoryOperand, isCall, isImmediate } from "../isa.mjs";
import { measuring } from "../variants.mjs";

// REPEATS of src/harness/measure_record.h: the runs each line reports on.
const REPEATS = 10;
const PRINTF = new Set(["printf", "__printf_chk"]);

const counters = new WeakMap();
function counterOf(binary) {
  if (!counters.has(binary)) counters.set(binary, binary.symbols.find((x) => x.name === "i" && /^[bBdD]$/.test(x.type))?.addr ?? null);
  return counters.get(binary);
}

// What instruction k leaves in i, given its value before (`i`, null where
// not known): a store into i of a known value, a store that may hit it
// (one the analysis cannot place), a call of anything but the clock (which
// clock.body proves stores only into its own frame).
function counterAfter(ctx, steps, info, k, v, i) {
  const ins = ctx.code.instrs[k];
  if (isCall(ins)) return ctx.timed.isClockCall(k) ? i : null;
  if (!hasMemoryOperand(ins) || !info.info(ins).usedMemory().some((m) => m.access !== OpAccess.Read &&
      m.access !== OpAccess.CondRead && m.access !== OpAccess.NoMemAccess)) return i;
  const place = steps.placeIn(k, v);
  if (place?.frame || (place && place.addr !== counterOf(ctx.binary))) return i;
  if (!place || ins.opCount !== 2) return null;
  const src = ins.op1Kind === OpKind.Register ? v.regs.get(full(ins.op1Register)) : null;
  return isImmediate(ins.op1Kind) ? BigInt.asUintN(64, ins.immediate(1)) : src ? numberOf(src.bytes, 0, 8) : null;
}

// The function followed once for each count of end readings passed (0 to
// REPEATS, and REPEATS + 1 for more): the state is the values with i beside
// them; returns the counts with which each printf is reached.
function runsAtPrintf(ctx) {
  const { code } = ctx;
  const steps = valueSteps(code, ctx.binary);
  const info = new InstructionInfoFactory();
  const W = REPEATS + 2;
  const counter = counterOf(ctx.binary);
  const transfer = (n, s) => {
    const k = Math.floor(n / W), ins = code.instrs[k];
    const v = steps.transfer(k, s.v);
    // A load of i into a general register holds i's value.
    if (s.i !== null && ins.opCount === 2 && ins.op0Kind === OpKind.Register && ins.op1Kind === OpKind.Memory &&
        steps.addressIn(k, s.v) === counter && ins.memorySize !== undefined)
      v.regs.set(full(ins.op0Register), { bytes: bytesOf(s.i, 8), src: "writable" });
    const runs = Math.min(n % W + (ctx.timed.ends.has(k) ? 1 : 0), W - 1);
    return { v, i: counterAfter(ctx, steps, info, k, s.v, s.i), runs };
  };
  const solved = solveForward({
    size: code.instrs.length * W, entries: [code.entry * W], transfer,
    initial: () => ({ v: steps.initial(), i: null }),
    successors: (n, out) => steps.successors(Math.floor(n / W), out.v).map((j) => j * W + out.runs),
    join: (a, b) => ({ v: steps.join(a.v, b.v), i: a.i === b.i ? a.i : null }),
    equal: (a, b) => a.i === b.i && steps.equal(a.v, b.v),
  });
  const counts = new Map();
  for (let n = 0; n < code.instrs.length * W; n++) {
    const k = Math.floor(n / W), t = code.targets.get(code.instrs[k].ip);
    // Called, or jumped to as the function's last call.
    if (!solved.reached(n) || t?.kind !== "import" || !PRINTF.has(t.name)) continue;
    counts.set(k, [...(counts.get(k) ?? []), n % W]);
  }
  info.free();
  steps.free();
  return counts;
}

export default [
  {
    id: "printed.runs",
    claim: "Every path to the results line's printf passes exactly ten runs' end readings: the repetition counter i " +
      "starts from a known value, steps by a constant and ends the repetition at a bound, on every path.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      if (counterOf(ctx.binary) === null) { report(null, "no variable i, the repetition counter"); return; }
      for (const [k, counts] of runsAtPrintf(ctx)) {
        const wrong = counts.filter((c) => c !== REPEATS);
        if (wrong.length)
          report(ctx.code.instrs[k], `prints the line after ${wrong.map((c) => (c > REPEATS ? `more than ${REPEATS}` : c)).join(", ")} ` +
            `runs on some path, not ${REPEATS}`);
      }
    },
  },
];
