// Rules on the timed region of each run: everything from the return of the
// clock call whose reading is stored as the run's start (its first access to
// `t` is a store) to the clock call whose reading has `t` subtracted from it
// (its first access to `t` is a read). Each function holds one frame per
// candidate loop, each with its own regions.

import { MemorySizeExt, Register } from "iced-x86";
import { allowedInTimedRegion, isCall, hasMemoryOperand, fullRegister } from "../isa.mjs";
import { measuring } from "../variants.mjs";

const variants = measuring;


// Whether the `size` bytes at `addr` lie inside one section that the loader
// maps, zero-filled data included. A PE section is mapped up to the next
// one (the loader maps whole pages and the linker lays sections out back
// to back); its recorded size leaves out what only the memory holds.
export function loaded(binary, addr, size = 1) {
  const end = addr + BigInt(Math.max(size, 1));
  const sorted = [...(binary.format === "pe" ? binary.segments : binary.sections)].sort((a, b) => (a.addr < b.addr ? -1 : 1));
  return sorted.some((s, j) => {
    const limit = binary.format === "pe" && j + 1 < sorted.length ? sorted[j + 1].addr : s.addr + BigInt(s.size);
    return addr >= s.addr && end <= limit;
  });
}
const memorySize = (ins) => MemorySizeExt.size(ins.memorySize);

// Where the memory operand of instruction k lies, by the value analysis's
// state before it: { slot: { base, off } } for a slot of the function's own
// frame (off from the stack pointer at entry, where `base` is "entry"),
// { addr } for a known address (absolute: written into the instruction),
// { tls: off } for a thread-local place (the stack protector's canary at
// %fs:0x28), or null where it cannot be placed.
export function placeOf(ctx, k) {
  const ins = ctx.code.instrs[k];
  const state = ctx.values.before(k);
  if (!state) return null;
  const disp = ins.memoryDisplacementU64;
  if (ins.memorySegment === Register.FS || ins.memorySegment === Register.GS)
    return ins.memoryBase === Register.None && ins.memoryIndex === Register.None ? { tls: disp } : null;
  if (ins.memoryBase === Register.RIP) return { addr: disp };
  // An absolute address is the image's own only where the image cannot move.
  if (ins.memoryBase === Register.None && ins.memoryIndex === Register.None)
    return { addr: disp, absolute: true };
  const pointer = ins.memoryBase === Register.None ? null : state.frame.get(fullRegister(ins.memoryBase));
  if (pointer && ins.memoryIndex === Register.None)
    return { slot: { base: pointer.base, off: pointer.off + BigInt.asIntN(64, disp) } };
  const addr = ctx.values.addressOf(k);
  return addr === null ? null : { addr };
}

// The innermost call-free loops that a run's timed region reaches.
const loopsIn = (ctx, region) => ctx.loops.filter((loop) => region.seen.has(loop.first));

// Whether the one loop `loop` runs exactly once on every path from the
// region's start reading to the next clock call; reports where not.
function checkOnce(ctx, region, loop, report) {
  const { timed, values } = ctx;
  const { instrs } = ctx.code;
  const { start, seen } = region;
  // With the loop taken as one step, the region must hold no cycle (an
  // outer loop would run the workload more than once per run) and no path
  // to the end reading that avoids the loop.
  const node = (k) => (loop.contains(k) ? loop.first : k);
  const succ = (k) => {
    const out = [];
    for (const f of k === loop.first ? [loop.last] : [k])
      for (const j of values.next(f))
        if (seen.has(j) && !(loop.contains(f) && loop.contains(j) && j !== loop.first) && !(f === loop.last && j === loop.first))
          out.push(node(j));
    return out;
  };
  const state = new Map();
  let cycle = false;
  const visit = (k) => {
    state.set(k, "open");
    if (!timed.isClockCall(k))
      for (const j of succ(k)) {
        if (state.get(j) === "open") cycle = true;
        else if (!state.has(j)) visit(j);
      }
    state.set(k, "done");
  };
  for (const j of values.next(start)) if (!state.has(node(j))) visit(node(j));
  if (cycle) report(instrs[loop.first], "the workload loop can run more than once per run: a loop around it inside the timed region");
  const around = timed.reach(values.next(start), (k) => !loop.contains(k) && !timed.isClockCall(k));
  const skipped = [...around].find((k) => timed.isClockCall(k));
  if (skipped !== undefined)
    report(instrs[skipped], "a path through the timed region reaches the second clock reading without running the workload loop");
}

export default [
  {
    id: "timed.readings",
    claim: "Each run reads the clock twice: a start reading stored in t, and an end reading that t is subtracted " +
      "from; no path leads from one end reading to another without a start reading between them.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      const { timed, code } = ctx;
      if (timed.clockCalls.length < 2) {
        report(null, `expected at least two clock calls, found ${timed.clockCalls.length}`);
        return;
      }
      if (timed.starts.length === 0) report(code.instrs[timed.clockCalls[0]], "no clock reading is stored in t as the start of a run");
      for (const region of timed.regions)
        for (const k of region.seen)
          if (timed.isClockCall(k) && !timed.ends.has(k))
            report(code.instrs[k], "the run's timed region ends at a clock reading that t is not subtracted from");
      // A run whose start is an earlier run's reading times all runs since.
      const starts = new Set(timed.starts);
      for (const end of timed.ends) {
        const again = [...timed.reach(ctx.values.next(end), (k) => !starts.has(k) && !timed.ends.has(k))]
          .find((k) => timed.ends.has(k));
        if (again !== undefined)
          report(code.instrs[again], `reached from the end reading at ${code.instrs[end].ip.toString(16)} without a start ` +
            "reading between them: this run's elapsed time counts from an earlier reading");
      }
    },
  },
  {
    id: "timed.once",
    claim: "A workload loop runs exactly once on every path from a run's start reading to its end reading: not " +
      "before it, not skipped, not inside a loop around it.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      for (const region of ctx.timed.regions) {
        const loops = loopsIn(ctx, region);
        if (loops.length === 0)
          report(ctx.code.instrs[region.start], "no workload loop lies between this run's start reading and the reading subtracted from it");
        // More than one is timed.choice's to report.
        else if (loops.length === 1) checkOnce(ctx, region, loops[0], report);
      }
    },
  },
  {
    id: "timed.choice",
    claim: "The choice among the candidate loops is made outside every timed region and holds for all ten runs: each " +
      "run's timed region reaches exactly one workload loop, and every path from a run's end reading to the next " +
      "start reading returns to that same region's start.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      const { timed } = ctx;
      const { instrs } = ctx.code;
      const starts = new Set(timed.starts);
      for (const region of timed.regions) {
        const loops = loopsIn(ctx, region);
        if (loops.length > 1)
          report(instrs[region.start], `this run's timed region reaches ${loops.length} innermost call-free loops (at ${
            loops.map((l) => instrs[l.first].ip.toString(16)).join(", ")}): the loop is chosen inside the run`);
        // From each end reading to the start readings it leads to next.
        for (const end of region.seen) {
          if (!timed.isClockCall(end)) continue;
          const next = [...timed.reach(ctx.values.next(end), (k) => !timed.isClockCall(k))]
            .filter((k) => starts.has(k) && k !== region.start);
          for (const k of next)
            report(instrs[end], `after this run's end reading a path leads to the start reading at ${
              instrs[k].ip.toString(16)}, another run's region: the loop can change between runs`);
        }
      }
    },
  },
  {
    id: "timed.memory",
    claim: "Every memory operand between a run's two readings addresses a place proven mapped: a known address " +
      "in a section the executable loads, or a slot of the function's own frame; none can fault and hand the run " +
      "to a signal handler.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      const { timed, code, binary } = ctx;
      for (const k of [...timed.inside].sort((a, b) => a - b)) {
        if (!hasMemoryOperand(code.instrs[k])) continue;
        const place = placeOf(ctx, k);
        if (place?.slot) continue;
        if (place?.addr !== undefined && !(place.absolute && binary.movable) &&
            loaded(binary, place.addr, memorySize(code.instrs[k]))) continue;
        report(code.instrs[k], place?.addr !== undefined
          ? `addresses ${place.addr.toString(16)}, ${place.absolute && binary.movable ? "an absolute address in an image " +
            "loaded anywhere" : "which no section of the executable maps"}: it can fault inside the run`
          : "addresses memory that is neither a known mapped address nor a slot of the frame: it can fault inside the run");
      }
    },
  },
  {
    id: "timed.instructions",
    claim: "Between a run's two readings run only moves, the frame's and the loop's arithmetic, the reduction, " +
      "branches inside the function, padding, the clearing of the upper halves and the clock call: nothing else is " +
      "called, no path leaves the function (no return, jump out or indirect jump), and nothing traps, enters the " +
      "kernel, serialises, waits or repeats in microcode.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      const { timed, code } = ctx;
      for (const k of [...timed.inside].sort((a, b) => a - b)) {
        const ins = code.instrs[k];
        if (!allowedInTimedRegion(ins)) report(ins, "an instruction of a class not allowed in the timed region");
        else if (isCall(ins) && !timed.isClockCall(k)) report(ins, "call inside the timed region other than the clock");
        else if (code.leaves(k)) report(ins, "the timed region can leave the function before the second clock reading");
      }
    },
  },
];
