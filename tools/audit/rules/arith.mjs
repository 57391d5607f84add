// The arithmetic, from the binary alone: the values every run enters the
// loop with (on every path into it), the constants' lanes and where they
// come from, and the trip count. With the loop's data flow they fix the sum.

import { Register } from "iced-x86";
import { joinState, lanesOf, numberOf } from "../dataflow.mjs";

const variants = (def) => def.loop !== undefined;

// The values on entry to the loop: the join over every edge into it from
// an instruction outside its body that some run can take.
function entryState(ctx) {
  const { loop, values } = ctx;
  let state;
  ctx.code.instrs.forEach((_, k) => {
    if (loop.contains(k) || !values.reached(k) || !values.next(k).includes(loop.first)) return;
    state = state ? joinState(state, values.after(k)) : values.after(k);
  });
  return state;
}
const show = (ls) => `{${ls.map((v) => (v === null ? "?" : v.toString())).join(", ")}}`;

function expectLanes(ctx, report, reg, expected, what) {
  const got = lanesOf(entryState(ctx)?.regs.get(reg), ctx.def.lanes);
  if (got.some((v, j) => v !== expected[j]))
    report(ctx.loop.body[0], `${what} (${Register[reg]}) enters the loop as ${show(got)} in some run, expected ${show(expected)}`);
}

export default [
  {
    id: "arith.trip-count",
    claim: "On every path into the loop in every run, its counter starts from a known value and reaches the bound " +
      "after 1,000,000,000 ÷ lanes iterations.",
    scope: "function",
    appliesTo: variants,
    needs: ["loop", "roles"],
    check(ctx, report) {
      const { roles, loop } = ctx;
      const entry = entryState(ctx);
      if (!entry) { report(loop.body[0], "no path leads into the workload loop"); return; }
      const counter = entry.regs.get(roles.counter);
      const c0 = counter ? numberOf(counter.bytes, 0, 8) : null;
      if (c0 === null) {
        report(loop.body[0], `the counter ${Register[roles.counter]} does not start from a known value in every run`);
        return;
      }
      // Iterations until the counter (before or after its step) equals the bound.
      const d = BigInt.asIntN(64, roles.step);
      let diff = BigInt.asIntN(64, BigInt.asUintN(64, roles.bound - c0));
      if (!roles.testsEnd) diff += d;
      const lanes = BigInt(ctx.def.lanes);
      if (d === 0n || diff % d !== 0n || diff / d <= 0n) report(loop.body[0], "the loop's trip count is not finite");
      else if ((diff / d) * lanes !== 1000000000n)
        report(loop.body[0], `the loop runs ${diff / d} iterations of ${lanes} lane(s): ${(diff / d) * lanes} elements, expected 1000000000`);
    },
  },
  {
    id: "arith.start",
    claim: "On every path into the loop in every run, b holds lanes 0 to L−1 (the scalar k: 0) and acc zero.",
    scope: "function",
    appliesTo: variants,
    needs: ["loop", "roles"],
    check(ctx, report) {
      const { roles } = ctx, lanes = ctx.def.lanes;
      expectLanes(ctx, report, roles.acc, new Array(lanes).fill(0n), "acc");
      if (lanes === 1) expectLanes(ctx, report, roles.k, [0n], "k");
      else expectLanes(ctx, report, roles.b, Array.from({ length: lanes }, (_, j) => BigInt(j)), "b");
    },
  },
  {
    id: "arith.constants",
    claim: "The XOR distance c2 holds 2 and the lane step L in every lane, both loaded from read-only data, " +
      "directly or through a stack slot filled from there.",
    scope: "function",
    appliesTo: (def) => variants(def) && def.lanes > 1,
    needs: ["loop", "roles"],
    check(ctx, report) {
      const { roles } = ctx, lanes = ctx.def.lanes;
      expectLanes(ctx, report, roles.c2, new Array(lanes).fill(2n), "the XOR distance c2");
      expectLanes(ctx, report, roles.s, new Array(lanes).fill(BigInt(lanes)), "the lane step");
      const entry = entryState(ctx);
      for (const r of new Set([roles.c2, roles.s])) {
        const src = entry?.regs.get(r)?.src ?? "unknown";
        if (src !== "rodata")
          report(ctx.loop.body[0], `constant register ${Register[r]} is not loaded from read-only data (the value reaching the loop comes from ${
            { writable: "writable data", imm: "an immediate", zero: "a zeroing idiom" }[src] ?? "no single read-only load"})`);
      }
    },
  },
];
