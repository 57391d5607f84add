// The reduction after the loop, followed from the binary: from the loop's
// exit to the end reading, every register lane is a sum of the
// accumulator's lanes as the loop left them plus a constant, or unknown.
// What `s` holds at the end reading must be exactly acc[0] + ... + acc[L-1]:
// a lane left out, counted twice, or anything added (a constant, the sum of
// another loop) would print a line whose time is not the loop's.

import { EncodingKind, InstructionInfoFactory, Mnemonic as M, MemorySizeExt, OpAccess, OpKind, RegisterExt } from "iced-x86";
import { CLASSES, ZERO_LANE, fullRegister as full, hasMemoryOperand, isCall, isImmediate, quadwordMoves, sourceOperands,
         zeroingIdiom } from "../isa.mjs";
import { solveForward } from "../engine.mjs";
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

// The lanes of a register (unknown where nothing is held), the register an
// operand names, and an immediate operand's value.
const LANE_OPS = {
  lanesOf: (regs, r) => regs.get(full(r)) ?? new Array(LANES).fill(null),
  reg: (ins, i) => (ins.opKind(i) === OpKind.Register ? ins.opRegister(i) : null),
  imm: (ins, i) => (isImmediate(ins.opKind(i)) ? Number(ins.immediate(i)) : null),
};
const vector = (r) => RegisterExt.isVectorRegister(r);

// The first `d` lanes a vector instruction writes, from the lanes it reads;
// null where its form is not one the reduction uses.
function vectorLanes(ins, regs, d, n) {
  const { lanesOf, reg } = LANE_OPS;
  if (CLASSES.xor.has(ins.mnemonic) && zeroingIdiom(ins)) return new Array(d).fill(zero(n));
  if (CLASSES.laneAdd.has(ins.mnemonic)) {
    const [x, y] = sourceOperands(ins);
    const a = lanesOf(regs, reg(ins, x)), b = lanesOf(regs, reg(ins, y));
    return Array.from({ length: d }, (_, j) => sum(a[j], b[j]));
  }
  return quadwordMoves(ins, d)?.map((move) =>
    (move === ZERO_LANE ? zero(n) : move === null ? null : lanesOf(regs, reg(ins, move.from))[move.lane] ?? null)) ?? null;
}

// One instruction's effect on the lanes and on s; `env` holds the number
// of lanes n, the store to s (env.store(st, k, ins, value)) and an instruction
// info factory. Returns nothing; what it does not model becomes unknown.
function step(ins, k, st, env) {
  const { regs } = st;
  const { lanesOf, reg, imm } = LANE_OPS;
  const n = env.n, m = ins.mnemonic, dst = reg(ins, 0);
  // Writes the first lanes of a vector register; VEX and EVEX clear the rest.
  const setVector = (r, low) => {
    const old = lanesOf(regs, r);
    const vex = ins.encoding !== EncodingKind.Legacy;
    regs.set(full(r), Array.from({ length: LANES }, (_, j) =>
      (j < low.length ? low[j] : vex ? zero(n) : j < 2 ? null : old[j])));
  };
  if (CLASSES.vzero.has(m)) {
    for (const [r, ls] of regs) if (vector(r)) regs.set(r, ls.map((v, j) => (j < 2 && m === M.Vzeroupper ? v : zero(n))));
    return;
  }
  if (dst !== null && vector(dst) && !hasMemoryOperand(ins)) {
    const low = vectorLanes(ins, regs, RegisterExt.size(dst) / 8, n);
    if (low) return setVector(dst, low);
  }
  const src = reg(ins, 1);
  const gpr = (r) => r !== null && RegisterExt.isGPR(r);
  if (m === M.Movq || m === M.Vmovq) {
    if (gpr(dst) && src !== null && vector(src)) { regs.set(full(dst), lanesOf(regs, src)[0]); return; }
    if (dst !== null && vector(dst) && src !== null)
      return setVector(dst, [gpr(src) ? regs.get(full(src)) ?? null : lanesOf(regs, src)[0], zero(n)]);
    if (ins.op0Kind === OpKind.Memory && src !== null && vector(src)) return env.store(st, k, ins, lanesOf(regs, src)[0]);
  }
  if (m === M.Mov && ins.op0Kind === OpKind.Memory && gpr(src) && RegisterExt.size(src) === 8)
    return env.store(st, k, ins, regs.get(full(src)) ?? null);
  if (gpr(dst) && RegisterExt.size(dst) === 8) {
    const v = regs.get(full(dst)) ?? null;
    if (m === M.Mov && gpr(src)) { regs.set(full(dst), regs.get(full(src)) ?? null); return; }
    if (m === M.Add && gpr(src)) { regs.set(full(dst), sum(v, regs.get(full(src)) ?? null)); return; }
    if (m === M.Add && imm(ins, 1) !== null) { regs.set(full(dst), v && { terms: v.terms, c: v.c + BigInt(ins.immediate(1)) }); return; }
  }
  // Anything else: what it writes is no longer known.
  const used = env.info.info(ins);
  for (const u of used.usedRegisters())
    if (u.access !== OpAccess.Read && u.access !== OpAccess.CondRead) regs.delete(full(u.register));
  if (used.usedMemory().some((u) => u.access !== OpAccess.Read && u.access !== OpAccess.CondRead && u.access !== OpAccess.NoMemAccess))
    env.store(st, k, ins, null);
}

const joinLanes = (a, b) => (Array.isArray(a) && Array.isArray(b) ? a.map((v, j) => (same(v, b[j]) ? v : null))
  : same(a, b) ? a : null);
function joinReduction(a, b) {
  const regs = new Map();
  for (const [r, v] of a.regs) if (b.regs.has(r)) regs.set(r, joinLanes(v, b.regs.get(r)));
  return { regs, s: a.s === undefined || b.s === undefined ? (a.s === b.s ? undefined : null) : same(a.s, b.s) ? a.s : null };
}
const sameReduction = (a, b) => (a.s === b.s || same(a.s, b.s)) && a.regs.size === b.regs.size &&
  [...b.regs].every(([r, v]) => a.regs.has(r) && sameLanes(a.regs.get(r), v));

// The lanes and s from the exit of `loop` onward, up to the clock calls:
// a fixed point over the paths the value analysis allows, asked of the
// function's context once per loop.
function followLanes(ctx, loop) {
  const { values } = ctx;
  const n = ctx.def.lanes;
  const { instrs } = ctx.code;
  const acc = new Array(LANES).fill(null).map((_, j) => (j < n ? lane(n, j) : null));
  const { acc: accReg } = loop.roles;
  const start = { regs: new Map([[accReg, RegisterExt.isGPR(accReg) ? lane(n, 0) : acc]]), s: undefined };
  const info = new InstructionInfoFactory();
  // A store of the lanes `value` where s lies; 8 bytes of them, or s is unknown.
  const store = (st, k, ins, value) => {
    if (values.addressOf(k) === ctx.globals.s) st.s = MemorySizeExt.size(ins.memorySize) === 8 ? value : null;
  };
  const env = { n, info, store };
  const entries = values.next(loop.last).filter((j) => !loop.contains(j));
  const result = solveForward({
    size: instrs.length, entries, initial: () => start, join: joinReduction, equal: sameReduction,
    transfer: (k, inState) => {
      const st = { regs: new Map(inState.regs), s: inState.s };
      if (!isCall(instrs[k])) step(instrs[k], k, st, env);
      return st;
    },
    // A clock call ends the walk (its reading is checked); any other call
    // is timed.instructions' to report.
    successors: (k) => (isCall(instrs[k]) ? [] : values.next(k).filter((j) => !loop.contains(j))),
  });
  info.free();
  return result;
}

// Follows the lanes from the exit of `loop` to every clock call after it.
function checkReduction(ctx, loop, report) {
  const n = ctx.def.lanes;
  const lanes = ctx.fact(`reduction@${loop.first}`, () => followLanes(ctx, loop));
  const expected = { terms: new Array(n).fill(1n), c: 0n };
  ctx.code.instrs.forEach((ins, k) => {
    if (!lanes.reached(k) || !ctx.timed.isClockCall(k) || same(lanes.before(k).s, expected)) return;
    report(ins, `s holds ${show(lanes.before(k).s)} at this reading, expected the sum of the accumulator's ${n} lane(s)`);
  });
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
