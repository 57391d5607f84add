// The arithmetic, from the binary alone, for each workload loop: the values
// every run enters it with (on every path into it), the constants' lanes
// and where they come from, and the trip count. With the loop's data flow
// they fix the sum.

import { Register } from "iced-x86";
import { joinState, lanesOf, numberOf } from "../dataflow.mjs";
import { measuring } from "../variants.mjs";

// The workload loops whose data flow gave their registers' roles.
const withRoles = (ctx) => ctx.workloads.filter((loop) => loop.roles);

// The values on entry to `loop`: the join over every edge into it from an
// instruction outside its body that some run can take.
function entryState(ctx, loop) {
  const { values } = ctx;
  let state;
  ctx.code.instrs.forEach((_, k) => {
    if (loop.contains(k) || !values.reached(k) || !values.next(k).includes(loop.first)) return;
    state = state ? joinState(state, values.after(k)) : values.after(k);
  });
  return state;
}
const show = (ls) => `{${ls.map((v) => (v === null ? "?" : v.toString())).join(", ")}}`;

function expectLanes(ctx, loop, report, reg, expected, what) {
  const got = lanesOf(entryState(ctx, loop)?.regs.get(reg), ctx.def.lanes);
  if (got.some((v, j) => v !== expected[j]))
    report(loop.body[0], `${what} (${Register[reg]}) enters workload loop ${loop.number} as ${show(got)} in some run, ` +
      `expected ${show(expected)}`);
}

function checkTripCount(ctx, loop, report) {
  const { roles } = loop;
  const entry = entryState(ctx, loop);
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
}

function checkConstants(ctx, loop, report) {
  const { roles } = loop, lanes = ctx.def.lanes;
  expectLanes(ctx, loop, report, roles.c2, new Array(lanes).fill(2n), "the XOR distance c2");
  expectLanes(ctx, loop, report, roles.s, new Array(lanes).fill(BigInt(lanes)), "the lane step");
  const entry = entryState(ctx, loop);
  for (const r of new Set([roles.c2, roles.s])) {
    const src = entry?.regs.get(r)?.src ?? "unknown";
    if (src !== "rodata")
      report(loop.body[0], `constant register ${Register[r]} is not loaded from read-only data (the value reaching the loop comes from ${
        { writable: "writable data", imm: "an immediate", zero: "a zeroing idiom" }[src] ?? "no single read-only load"})`);
  }
}

export default [
  {
    id: "arith.trip-count",
    claim: "On every path into each workload loop in every run, its counter starts from a known value and reaches " +
      "the bound after 1,000,000,000 ÷ lanes iterations.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      for (const loop of withRoles(ctx)) checkTripCount(ctx, loop, report);
    },
  },
  {
    id: "arith.start",
    claim: "On every path into each workload loop in every run, b holds lanes 0 to L−1 (the scalar k: 0) and acc zero.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      const lanes = ctx.def.lanes;
      for (const loop of withRoles(ctx)) {
        const { roles } = loop;
        expectLanes(ctx, loop, report, roles.acc, new Array(lanes).fill(0n), "acc");
        if (lanes === 1) expectLanes(ctx, loop, report, roles.k, [0n], "k");
        else expectLanes(ctx, loop, report, roles.b, Array.from({ length: lanes }, (_, j) => BigInt(j)), "b");
      }
    },
  },
  {
    id: "arith.constants",
    claim: "In each workload loop the XOR distance c2 holds 2 and the lane step L in every lane, both loaded from " +
      "read-only data, directly or through a stack slot filled from there.",
    scope: "function",
    appliesTo: (def) => measuring(def) && def.lanes > 1,
    check(ctx, report) {
      for (const loop of withRoles(ctx)) checkConstants(ctx, loop, report);
    },
  },
];
