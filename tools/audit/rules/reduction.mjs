// The reduction after the loop, followed from the binary: from the loop's
// exit to the end reading, every register lane is a sum of the
// accumulator's lanes as the loop left them plus a constant, or unknown.
// What `s` holds at the end reading must be exactly acc[0] + ... + acc[L-1]:
// a lane left out, counted twice, or anything added (a constant, the sum of
// another loop) would print a line whose time is not the loop's.

import { EncodingKind, InstructionInfoFactory, Mnemonic as M, MemorySizeExt, OpAccess, OpKind, RegisterExt } from "iced-x86";
import { CLASSES, fullRegister as full, hasMemoryOperand, isCall, isImmediate } from "../isa.mjs";
import { measuring } from "../variants.mjs";

const LANES = 8;
const sum = (a, b) => (a && b ? { terms: a.terms.map((t, j) => t + b.terms[j]), c: a.c + b.c } : null);
const same = (a, b) => a === b || (!!a && !!b && a.c === b.c && a.terms.every((t, j) => t === b.terms[j]));
const sameLanes = (a, b) => (Array.isArray(a) && Array.isArray(b) ? a.every((v, j) => same(v, b[j])) : same(a, b));
const zero = (n) => ({ terms: new Array(n).fill(0n), c: 0n });
const lane = (n, j) => ({ terms: Array.from({ length: n }, (_, i) => (i === j ? 1n : 0n)), c: 0n });

function show(v) {
  if (v === undefined) return "nothing stored since the loop";
  if (v === null) return "a value not made of the accumulator's lanes";
  const parts = [];
  v.terms.forEach((t, j) => { if (t) parts.push(t === 1n ? `acc[${j}]` : `${t}×acc[${j}]`); });
  if (v.c || parts.length === 0) parts.push(v.c.toString());
  return parts.join(" + ");
}

function step(ins, st, ctx, k, info, n) {
  const regs = st.regs;
  const lanesOf = (r) => regs.get(full(r)) ?? new Array(LANES).fill(null);
  const count = (r) => RegisterExt.size(r) / 8;
  const vector = (r) => RegisterExt.isVectorRegister(r);
  const reg = (i) => (ins.opKind(i) === OpKind.Register ? ins.opRegister(i) : null);
  // Writes the first lanes of a vector register; VEX and EVEX clear the rest.
  const setVector = (r, low) => {
    const old = lanesOf(r);
    const vex = ins.encoding !== EncodingKind.Legacy;
    regs.set(full(r), Array.from({ length: LANES }, (_, j) =>
      (j < low.length ? low[j] : vex ? zero(n) : j < 2 ? null : old[j])));
  };
  const store = (value) => {
    if (ctx.values.addressOf(k) === ctx.globals.s) st.s = MemorySizeExt.size(ins.memorySize) === 8 ? value : null;
  };
  const m = ins.mnemonic;
  const dst = reg(0);
  const [x, y] = ins.encoding === EncodingKind.Legacy ? [0, 1] : [1, 2];
  const imm = (i) => (isImmediate(ins.opKind(i)) ? Number(ins.immediate(i)) : null);

  if (CLASSES.vzero.has(m)) {
    for (const [r, ls] of regs) if (vector(r)) regs.set(r, ls.map((v, j) => (j < 2 && m === M.Vzeroupper ? v : zero(n))));
    return;
  }
  if (dst !== null && vector(dst) && !hasMemoryOperand(ins)) {
    const d = count(dst);
    if (CLASSES.copy.has(m) && ins.opCount === 2) return setVector(dst, lanesOf(reg(1)).slice(0, d));
    if (CLASSES.xor.has(m) && reg(ins.opCount - 1) === reg(ins.opCount - 2)) return setVector(dst, new Array(d).fill(zero(n)));
    if (CLASSES.laneAdd.has(m)) {
      const a = lanesOf(reg(x)), b = lanesOf(reg(y));
      return setVector(dst, Array.from({ length: d }, (_, j) => sum(a[j], b[j])));
    }
    if (CLASSES.extract.has(m)) {
      const src = lanesOf(reg(1)), i = imm(2);
      return setVector(dst, Array.from({ length: d }, (_, j) => src[i * d + j] ?? null));
    }
    if (CLASSES.laneShift.has(m)) {
      const src = lanesOf(reg(ins.encoding === EncodingKind.Legacy ? 0 : 1)), by = imm(ins.opCount - 1);
      return setVector(dst, Array.from({ length: d }, (_, j) => (by !== 8 ? null : j % 2 === 0 ? src[j + 1] : zero(n))));
    }
    if (m === M.Pshufd || m === M.Vpshufd) {
      const src = lanesOf(reg(1)), sel = imm(2);
      const q = (h) => {
        const d0 = (sel >> (4 * h)) & 3, d1 = (sel >> (4 * h + 2)) & 3;
        return d0 % 2 === 0 && d1 === d0 + 1 ? d0 / 2 : null;
      };
      return setVector(dst, Array.from({ length: d }, (_, j) => {
        const from = q(j % 2);
        return from === null ? null : src[j - (j % 2) + from];
      }));
    }
    if (m === M.Vpermilpd && imm(2) !== null) {
      const src = lanesOf(reg(1)), sel = imm(2);
      return setVector(dst, Array.from({ length: d }, (_, j) => src[j - (j % 2) + ((sel >> j) & 1)]));
    }
    if ((m === M.Shufpd || m === M.Vshufpd) && imm(ins.opCount - 1) !== null) {
      const a = lanesOf(reg(x)), b = lanesOf(reg(y)), sel = imm(ins.opCount - 1);
      return setVector(dst, Array.from({ length: d }, (_, j) => (j % 2 === 0 ? a : b)[j - (j % 2) + ((sel >> j) & 1)]));
    }
    if ([M.Punpckhqdq, M.Vpunpckhqdq, M.Unpckhpd, M.Vunpckhpd, M.Punpcklqdq, M.Vpunpcklqdq].includes(m)) {
      const a = lanesOf(reg(x)), b = lanesOf(reg(y));
      const high = [M.Punpckhqdq, M.Vpunpckhqdq, M.Unpckhpd, M.Vunpckhpd].includes(m) ? 1 : 0;
      return setVector(dst, Array.from({ length: d }, (_, j) => (j % 2 === 0 ? a : b)[j - (j % 2) + high]));
    }
    if (m === M.Movhlps || m === M.Vmovhlps) {
      const lo = lanesOf(ins.encoding === EncodingKind.Legacy ? reg(1) : reg(2))[1];
      const hi = lanesOf(ins.encoding === EncodingKind.Legacy ? reg(0) : reg(1))[1];
      return setVector(dst, [lo, hi]);
    }
  }
  if (CLASSES.element.has(m) && (m === M.Movq || m === M.Vmovq)) {
    const src = reg(1);
    if (dst !== null && RegisterExt.isGPR(dst) && src !== null && vector(src)) { regs.set(full(dst), lanesOf(src)[0]); return; }
    if (dst !== null && vector(dst) && src !== null) {
      const v = RegisterExt.isGPR(src) ? regs.get(full(src)) ?? null : lanesOf(src)[0];
      return setVector(dst, [v, zero(n)]);
    }
    if (ins.op0Kind === OpKind.Memory && src !== null && vector(src)) return store(lanesOf(src)[0]);
  }
  if (m === M.Mov && ins.op0Kind === OpKind.Memory && reg(1) !== null && RegisterExt.isGPR(reg(1)) && RegisterExt.size(reg(1)) === 8)
    return store(regs.get(full(reg(1))) ?? null);
  if (dst !== null && RegisterExt.isGPR(dst) && RegisterExt.size(dst) === 8) {
    if (m === M.Mov && reg(1) !== null && RegisterExt.isGPR(reg(1))) { regs.set(full(dst), regs.get(full(reg(1))) ?? null); return; }
    if (m === M.Add && reg(1) !== null && RegisterExt.isGPR(reg(1))) {
      regs.set(full(dst), sum(regs.get(full(dst)) ?? null, regs.get(full(reg(1))) ?? null));
      return;
    }
    if (m === M.Add && imm(1) !== null) {
      const v = regs.get(full(dst)) ?? null;
      regs.set(full(dst), v && { terms: v.terms, c: v.c + BigInt(ins.immediate(1)) });
      return;
    }
  }
  // Anything else: what it writes is no longer known.
  const used = info.info(ins);
  for (const u of used.usedRegisters())
    if (u.access !== OpAccess.Read && u.access !== OpAccess.CondRead) regs.delete(full(u.register));
  if (used.usedMemory().some((u) => u.access !== OpAccess.Read && u.access !== OpAccess.CondRead && u.access !== OpAccess.NoMemAccess))
    store(null);
}

// Follows the lanes from the exit of `loop` to every clock call after it.
function checkReduction(ctx, loop, report) {
  const { roles } = loop;
  const { values, timed } = ctx;
  const n = ctx.def.lanes;
  const { instrs } = ctx.code;
  const acc = new Array(LANES).fill(null).map((_, j) => (j < n ? lane(n, j) : null));
  const start = { regs: new Map([[roles.acc, RegisterExt.isGPR(roles.acc) ? lane(n, 0) : acc]]), s: undefined };
  const joinLanes = (a, b) => (Array.isArray(a) && Array.isArray(b) ? a.map((v, j) => (same(v, b[j]) ? v : null))
    : same(a, b) ? a : null);
  const join = (a, b) => {
    const regs = new Map();
    for (const [r, v] of a.regs) if (b.regs.has(r)) regs.set(r, joinLanes(v, b.regs.get(r)));
    return { regs, s: a.s === undefined || b.s === undefined ? (a.s === b.s ? undefined : null) : same(a.s, b.s) ? a.s : null };
  };
  const stateAt = new Map();
  const work = [];
  for (const j of values.next(loop.last)) if (!loop.contains(j)) { stateAt.set(j, start); work.push(j); }
  const info = new InstructionInfoFactory();
  const reported = new Set();
  let steps = 0;
  while (work.length && steps++ < 10000) {
    const k = work.pop();
    const ins = instrs[k];
    const st = { regs: new Map(stateAt.get(k).regs), s: stateAt.get(k).s };
    // A call other than the clock is timed.calls' to report.
    if (isCall(ins) && !timed.isClockCall(k)) continue;
    if (timed.isClockCall(k)) {
      const expected = { terms: new Array(n).fill(1n), c: 0n };
      if (!same(st.s, expected) && !reported.has(k)) {
        reported.add(k);
        report(ins, `s holds ${show(st.s)} at this reading, expected the sum of the accumulator's ${n} lane(s)`);
      }
      continue;
    }
    step(ins, st, ctx, k, info, n);
    for (const j of values.next(k)) {
      if (loop.contains(j)) continue;
      const merged = stateAt.has(j) ? join(stateAt.get(j), st) : st;
      const old = stateAt.get(j);
      const unchanged = old && (old.s === merged.s || same(old.s, merged.s)) && old.regs.size === merged.regs.size &&
        [...merged.regs].every(([r, v]) => old.regs.has(r) && sameLanes(old.regs.get(r), v));
      if (!unchanged) { stateAt.set(j, merged); work.push(j); }
    }
  }
  info.free();
}

export default [
  {
    id: "reduction.lanes",
    claim: "From each workload loop's exit to the end reading, s receives exactly the sum of the accumulator's lanes " +
      "as the loop left them: every lane once and nothing else.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      for (const loop of ctx.workloads) if (loop.roles) checkReduction(ctx, loop, report);
    },
  },
];
