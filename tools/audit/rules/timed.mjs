// Rules on the timed region of each run: everything from the return of the
// clock call whose reading is stored as the run's start (its first access to
// `t` is a store) to the clock call whose reading has `t` subtracted from it
// (its first access to `t` is a read).

import { allowedInTimedRegion, isCall } from "../isa.mjs";

const variants = (def) => def.loop !== undefined;

export default [
  {
    id: "timed.readings",
    claim: "Each run reads the clock twice: a start reading stored in t, and an end reading that t is subtracted from.",
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
    },
  },
  {
    id: "timed.once",
    claim: "The workload loop runs exactly once on every path from a run's start reading to its end reading: not " +
      "before it, not skipped, not inside a loop around it.",
    scope: "function",
    appliesTo: variants,
    needs: ["loop"],
    check(ctx, report) {
      const { timed, loop, code, values } = ctx;
      const { instrs } = code;
      for (const { start, seen } of timed.regions) {
        if (!seen.has(loop.first)) {
          report(instrs[start], "the workload loop does not lie between this run's start reading and the reading subtracted from it");
          continue;
        }
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
    },
  },
  {
    id: "timed.calls",
    claim: "Between a run's two readings nothing is called but the clock.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      const { timed, code } = ctx;
      for (const k of timed.inside)
        if (isCall(code.instrs[k]) && !timed.isClockCall(k)) report(code.instrs[k], "call inside the timed region other than the clock");
    },
  },
  {
    id: "timed.exit",
    claim: "No path leaves the function between a run's two readings: no return, no jump out, no indirect jump.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      const { timed, code } = ctx;
      for (const k of timed.inside)
        if (code.leaves(k)) report(code.instrs[k], "the timed region can leave the function before the second clock reading");
    },
  },
  {
    id: "timed.instructions",
    claim: "Between a run's two readings run only moves, the frame's and the loop's arithmetic, the reduction, " +
      "branches inside the function, padding, the clearing of the upper halves and the clock call: nothing that " +
      "traps, enters the kernel, serialises, waits or repeats in microcode.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      const { timed, code } = ctx;
      for (const k of [...timed.inside].sort((a, b) => a - b))
        if (!allowedInTimedRegion(code.instrs[k])) report(code.instrs[k], "an instruction of a class not allowed in the timed region");
    },
  },
];
