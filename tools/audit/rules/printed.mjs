// What a line prints, followed back by value flow to the runs it reports.
// Every value the frame moves is given the set of things it can be (a bit
// each): the clock's raw reading, its exact conversion to a double (also in
// the steps the compilers take to convert it as unsigned), the start reading
// as read back from t, the elapsed time (end reading minus that), the
// elapsed time scaled by the tick length, the tick length, a constant, the
// sum a run left in s.
// Anything else, an offset added to a reading included, is UNKNOWN. A
// forward analysis carries these sets through registers, the x87 stack,
// stack slots and t, s and tmin; then every store into t and tmin, and the
// arguments of every printf, must hold only what the line may print.

import { Register, RegisterExt, Mnemonic as M, OpKind, OpAccess, InstructionInfoFactory, FlowControl,
         MemorySizeExt } from "iced-x86";
import { solveForward } from "../engine.mjs";
import { fullRegister as full, isCall, isImmediate } from "../isa.mjs";
import { numberOf } from "../dataflow.mjs";
import { measuring } from "../variants.mjs";
import { placeOf } from "./timed.mjs";

const TAG = Object.fromEntries(["READING", "HALF", "LOW", "HALFODD", "CONV", "CONVHALF", "MAGIC", "MAGICSUB",
  "MAGICSWAP", "STARTT", "ELAPSED", "SCALED", "CONST", "TICK", "START", "RUN", "STORED", "OLD", "UNKNOWN"].map((n, j) => [n, 1 << j]));
const T = TAG;
const NAMES = Object.fromEntries(Object.entries(T).map(([n, b]) => [b, n]));

// A unary or binary operation on single tags, lifted to sets.
const lift1 = (mask, f) => bits(mask).reduce((out, a) => out | f(a), 0);
const lift2 = (x, y, f) => bits(x).reduce((out, a) => bits(y).reduce((o, b) => o | f(a, b), out), 0);
const bits = (mask) => { const out = []; for (let b = 1; b <= mask; b <<= 1) if (mask & b) out.push(b); return out.length ? out : [T.UNKNOWN]; };
const describe = (mask) => bits(mask).map((b) => NAMES[b].toLowerCase()).join(" or ");

// The tick length, TICK_SECONDS of src/harness/measure_record.h: 1e-7 as a
// double. The elapsed ticks scaled by any other constant would misstate
// every line by that factor, so only this double, loaded whole from
// read-only data, is TICK; any other constant (or this one built from an
// immediate) is CONST.
const TICK_SECONDS = 0x3e7ad7f29abcaf48n;
// What tmin starts from, TMIN_START of the same header: 99 s as a double,
// longer than any run, so that the first run's time replaces it. Only this
// double is START; a smaller one would be printed in place of every run.
const TMIN_START = 0x4058c00000000000n;
// The same, as the single-precision float that x87 code loads it from.
const TMIN_START_FLOAT = 0x42c60000;
const constant = (a) => a === T.CONST || a === T.TICK;

// The elapsed time and its scaling, shared by SSE and x87 arithmetic.
const ARITH = {
  sub: (a, b) => (a === T.CONV && b === T.STARTT ? T.ELAPSED : a === T.CONST && b === T.CONST ? T.CONST : T.UNKNOWN),
  mul: (a, b) => ((a === T.ELAPSED && b === T.TICK) || (a === T.TICK && b === T.ELAPSED) ? T.SCALED
    : constant(a) && constant(b) ? T.CONST : T.UNKNOWN),
  add: (a, b) => (a === T.CONST && b === T.CONST ? T.CONST : T.UNKNOWN),
};

const COPIES = new Set([M.Mov, M.Movq, M.Vmovq, M.Movsd, M.Vmovsd, M.Movapd, M.Vmovapd, M.Movaps, M.Vmovaps, M.Movdqa,
  M.Vmovdqa, M.Movdqu, M.Vmovdqu, M.Movups, M.Vmovups, M.Movupd, M.Vmovupd, M.Movlps, M.Vmovlps, M.Movlpd, M.Vmovlpd]);
const CONVERSIONS = new Set([M.Cvtsi2sd, M.Vcvtsi2sd, M.Vcvtusi2sd]);
const ZEROING = new Set([M.Xor, M.Xorpd, M.Vxorpd, M.Xorps, M.Vxorps, M.Pxor, M.Vpxor, M.Vpxord, M.Vpxorq]);
const SWAPS = new Set([M.Unpckhpd, M.Vunpckhpd, M.Vpermilpd, M.Pshufd, M.Vpshufd, M.Movhlps, M.Vmovhlps]);
// The constants of the unsigned conversion by magic numbers: the reading's
// halves interleaved with the exponents of 2^52 and 2^84, then both
// subtracted, and the two lanes added.
const MAGIC_WORDS = [0x43300000n, 0x45300000n];
const MAGIC_DOUBLES = [0x4330000000000000n, 0x4530000000000000n];

// The state: tag sets of registers, stack slots, the three globals and the
// x87 stack (null where its depth is not known). A register or slot not
// held is UNKNOWN.
const initial = () => ({ regs: new Map(), slots: new Map(), t: T.OLD, s: T.OLD, tmin: T.OLD, x87: [] });
const clone = (s) => ({ ...s, regs: new Map(s.regs), slots: new Map(s.slots), x87: s.x87 && [...s.x87] });
const joinMaps = (a, b) => {
  const out = new Map();
  for (const k of new Set([...a.keys(), ...b.keys()])) out.set(k, (a.get(k) ?? T.UNKNOWN) | (b.get(k) ?? T.UNKNOWN));
  return out;
};
const join = (a, b) => ({ regs: joinMaps(a.regs, b.regs), slots: joinMaps(a.slots, b.slots), t: a.t | b.t, s: a.s | b.s,
  tmin: a.tmin | b.tmin,
  x87: a.x87 && b.x87 && a.x87.length === b.x87.length ? a.x87.map((m, j) => m | b.x87[j]) : null });
const sameMap = (a, b) => a.size === b.size && [...a].every(([k, v]) => b.get(k) === v);
const equal = (a, b) => sameMap(a.regs, b.regs) && sameMap(a.slots, b.slots) && a.t === b.t && a.s === b.s &&
  a.tmin === b.tmin && (a.x87 === b.x87 || (!!a.x87 && !!b.x87 && a.x87.length === b.x87.length && a.x87.every((m, j) => m === b.x87[j])));

// The best time's variable, which only this rule follows.
const tmins = new WeakMap();
function tminOf(binary) {
  if (!tmins.has(binary)) tmins.set(binary, binary.symbols.find((x) => x.name === "tmin" && /^[bBdD]$/.test(x.type))?.addr ?? null);
  return tmins.get(binary);
}

// Which of t, s, tmin (or a stack slot, or read-only data) an operand names.
function placeTag(ctx, k) {
  const place = placeOf(ctx, k);
  if (place?.slot) return { slot: `${place.slot.base}:${place.slot.off}` };
  if (place?.addr === undefined) return { unknown: true };
  const globals = { ...ctx.globals, tmin: tminOf(ctx.binary) };
  for (const name of ["t", "s", "tmin"]) if (globals[name] != null && place.addr === globals[name]) return { global: name };
  return ctx.binary.isReadOnly(place.addr) ? { constant: place.addr } : { other: true };
}

// The tags a load from the memory operand of k gives.
function loadTag(ctx, k, state) {
  const p = placeTag(ctx, k);
  if (p.slot) return state.slots.get(p.slot) ?? T.UNKNOWN;
  if (p.constant !== undefined) {
    const ins = ctx.code.instrs[k];
    // A word the loader writes (a relative relocation's: addend plus the
    // load base) holds no constant the file fixes.
    if (ctx.binary.writesIn(p.constant, Math.max(MemorySizeExt.size(ins.memorySize), 1)).length) return T.UNKNOWN;
    if (MemorySizeExt.size(ins.memorySize) === 4 && ins.mnemonic === M.Fld)
      return ctx.binary.read(p.constant, 4).readUInt32LE(0) === TMIN_START_FLOAT ? T.START : T.CONST;
    if (MemorySizeExt.size(ins.memorySize) !== 8) return T.CONST;
    const value = ctx.binary.read(p.constant, 8).readBigUInt64LE(0);
    return value === TICK_SECONDS ? T.TICK : value === TMIN_START ? T.START : T.CONST;
  }
  if (p.global === "t") return lift1(state.t, (a) => (a === T.CONV ? T.STARTT : a === T.SCALED ? T.SCALED : T.UNKNOWN));
  if (p.global) return state[p.global];
  return T.UNKNOWN;
}

// A store of `mask` to the memory operand of k. A store that cannot be
// placed may have hit any of them.
function storeTag(ctx, k, state, mask) {
  const p = placeTag(ctx, k);
  if (p.slot) state.slots.set(p.slot, mask);
  else if (p.global === "s") state.s = T.STORED;
  else if (p.global) state[p.global] = mask;
  else if (p.unknown) {
    state.slots.clear();
    Object.assign(state, { t: T.UNKNOWN, s: T.UNKNOWN, tmin: T.UNKNOWN });
  }
}

// The bytes of a constant operand, from read-only data or as the value
// analysis knows the register; null where not known.
function constantBytes(ctx, k, op) {
  const ins = ctx.code.instrs[k];
  if (ins.opKind(op) === OpKind.Memory) {
    const p = placeOf(ctx, k);
    return p?.addr !== undefined && ctx.binary.isReadOnly(p.addr) ? Array.from(ctx.binary.read(p.addr, 16)) : null;
  }
  const v = ctx.values.before(k)?.regs.get(full(ins.opRegister(op)));
  return v ? v.bytes.slice(0, 16) : null;
}
const qword = (bytes, j) => (bytes && bytes.slice(8 * j, 8 * j + 8).every((b) => b !== null)
  ? bytes.slice(8 * j, 8 * j + 8).reduceRight((v, b) => (v << 8n) | BigInt(b), 0n) : null);
const isMagic = (ctx, k, op, words) => {
  const b = constantBytes(ctx, k, op);
  return words === MAGIC_WORDS ? qword(b, 0) === (MAGIC_WORDS[1] << 32n) + MAGIC_WORDS[0]
    : qword(b, 0) === MAGIC_DOUBLES[0] && qword(b, 1) === MAGIC_DOUBLES[1];
};

// The tags of operand `op` of instruction k.
function operand(ctx, k, state, op) {
  const ins = ctx.code.instrs[k];
  const kind = ins.opKind(op);
  if (kind === OpKind.Register) return state.regs.get(full(ins.opRegister(op))) ?? T.UNKNOWN;
  if (kind === OpKind.Memory) return loadTag(ctx, k, state);
  if (!isImmediate(kind)) return T.UNKNOWN;
  return ins.immediate(op) === TMIN_START && ins.op0Kind === OpKind.Register && RegisterExt.size(ins.op0Register) === 8
    ? T.START : T.CONST;
}

// What an SSE, AVX or integer instruction writes to its first operand, or
// undefined where it is not modelled here.
function valueOf(ctx, k, state) {
  const ins = ctx.code.instrs[k];
  const m = ins.mnemonic;
  const vex = ins.opCount === 3;
  const src = (j) => operand(ctx, k, state, j);
  const [x, y] = vex ? [1, 2] : [0, 1];
  if (ZEROING.has(m) && ins.opCount >= 2 && ins.opKind(x) === OpKind.Register && ins.opKind(y) === OpKind.Register &&
      ins.opRegister(x) === ins.opRegister(y)) return T.CONST;
  if (COPIES.has(m)) return src(ins.opCount - 1);
  if (CONVERSIONS.has(m)) return lift1(src(ins.opCount - 1), (a) => (a === T.READING ? T.CONV
    : a === T.HALFODD ? T.CONVHALF : a === T.CONST ? T.CONST : T.UNKNOWN));
  if (m === M.Addsd || m === M.Vaddsd) {
    const same = ins.opKind(x) === OpKind.Register && ins.opKind(y) === OpKind.Register && ins.opRegister(x) === ins.opRegister(y);
    return lift2(src(x), src(y), (a, b) => (same && a === T.CONVHALF && b === T.CONVHALF ? T.CONV
      : (a === T.MAGICSWAP && b === T.MAGICSUB) || (a === T.MAGICSUB && b === T.MAGICSWAP) ? T.CONV : ARITH.add(a, b)));
  }
  if (m === M.Subsd || m === M.Vsubsd) return lift2(src(x), src(y), ARITH.sub);
  if (m === M.Mulsd || m === M.Vmulsd) return lift2(src(x), src(y), ARITH.mul);
  if (m === M.Punpckldq || m === M.Vpunpckldq)
    return src(x) === T.READING && isMagic(ctx, k, y, MAGIC_WORDS) ? T.MAGIC : T.UNKNOWN;
  if (m === M.Subpd || m === M.Vsubpd)
    return src(x) === T.MAGIC && isMagic(ctx, k, y, MAGIC_DOUBLES) ? T.MAGICSUB : T.UNKNOWN;
  if (SWAPS.has(m)) return swapped(ins, src);
  if (m === M.And && src(0) === T.READING && isImmediate(ins.op1Kind) && ins.immediate(1) === 1n) return T.LOW;
  if (m === M.Shr && src(0) === T.READING && (ins.opCount === 1 || (isImmediate(ins.op1Kind) && ins.immediate(1) === 1n)))
    return T.HALF;
  if (m === M.Or) return lift2(src(0), src(1), (a, b) => ((a === T.HALF && b === T.LOW) || (a === T.LOW && b === T.HALF)
    ? T.HALFODD : ARITH.add(a, b)));
  return undefined;
}

// The high lane of the magic subtraction brought down to the low one.
function swapped(ins, src) {
  const m = ins.mnemonic;
  const imm = isImmediate(ins.opKind(ins.opCount - 1)) ? Number(ins.immediate(ins.opCount - 1)) : null;
  const from = m === M.Unpckhpd || m === M.Movhlps ? src(1) : m === M.Vunpckhpd || m === M.Vmovhlps ? src(ins.opCount - 1)
    : src(1);
  const high = m === M.Vpermilpd ? (imm & 1) === 1 : m === M.Pshufd || m === M.Vpshufd ? (imm & 0xf) === 0xe : true;
  return high && from === T.MAGICSUB ? T.MAGICSWAP : T.UNKNOWN;
}

// The x87 frame (GCC's scalar function): the reading stored to a slot and
// loaded with FILD, 2^64 added where it was negative as a signed number,
// then the same subtraction and scaling. Returns false for anything else.
const X87 = new Set([M.Fild, M.Fld, M.Fldz, M.Fld1, M.Fadd, M.Fsub, M.Fmul, M.Fst, M.Fstp, M.Fxch, M.Fcomi, M.Fcomip,
  M.Fucomi, M.Fucomip]);
const TWO_TO_64_AS_FLOAT = 0x5f800000;
function x87Step(ctx, k, state) {
  const ins = ctx.code.instrs[k];
  const m = ins.mnemonic;
  if (!X87.has(m)) return false;
  const stack = state.x87;
  const st = (j) => (stack?.[j] ?? T.UNKNOWN);
  const stIndex = (op) => (ins.opKind(op) === OpKind.Register ? ins.opRegister(op) - Register.ST0 : null);
  const memory = ins.opCount > 0 && ins.op0Kind === OpKind.Memory;
  const push = (mask) => { if (stack) stack.unshift(mask); };
  const pop = () => { if (stack) stack.shift(); };
  if (m === M.Fild) push(memory ? lift1(loadTag(ctx, k, state), (a) => (a === T.READING ? T.CONV : a === T.CONST ? T.CONST : T.UNKNOWN)) : T.UNKNOWN);
  else if (m === M.Fld) push(memory ? loadTag(ctx, k, state) : st(stIndex(ins.opCount - 1) ?? 0));
  else if (m === M.Fldz || m === M.Fld1) push(T.CONST);
  else if (m === M.Fst || m === M.Fstp) {
    if (memory) storeTag(ctx, k, state, st(0));
    else if (stack && stIndex(0) > 0) stack[stIndex(0)] = st(0);
    if (m === M.Fstp) pop();
  } else if (m === M.Fxch) {
    const j = stIndex(ins.opCount - 1) || 1;
    if (stack) [stack[0], stack[j]] = [st(j), st(0)];
  } else if (m === M.Fcomip || m === M.Fucomip) pop();
  else if (m === M.Fadd || m === M.Fsub || m === M.Fmul) {
    if (!memory || !stack) { state.x87 = null; return true; }
    const corrects = m === M.Fadd && ins.memorySize !== undefined && placeTag(ctx, k).constant !== undefined &&
      ctx.binary.read(placeTag(ctx, k).constant, 4).readUInt32LE(0) === TWO_TO_64_AS_FLOAT;
    const op = { [M.Fadd]: ARITH.add, [M.Fsub]: ARITH.sub, [M.Fmul]: ARITH.mul }[m];
    stack[0] = lift2(st(0), loadTag(ctx, k, state), (a, b) => (corrects && a === T.CONV ? T.CONV : op(a, b)));
  }
  return true;
}

// One instruction's effect on the state.
function transfer(ctx, k, before, info) {
  const ins = ctx.code.instrs[k];
  const state = clone(before);
  const { timed } = ctx;
  if (isCall(ins)) {
    // Windows keeps XMM6 to XMM15 across calls (their low halves, where the tags are).
    const saved = ctx.binary.abi === "win64" ? [Register.RBX, Register.RBP, Register.RDI, Register.RSI, Register.R12,
      Register.R13, Register.R14, Register.R15, ...Array.from({ length: 10 }, (_, j) => full(Register.XMM6 + j))]
      : [Register.RBX, Register.RBP, Register.R12, Register.R13, Register.R14, Register.R15];
    for (const r of [...state.regs.keys()]) if (!saved.includes(r)) state.regs.delete(r);
    state.x87 = [];
    if (timed.isClockCall(k)) {
      state.regs.set(Register.RAX, T.READING);
      if (timed.ends.has(k)) state.s = T.RUN;
    }
    return state;
  }
  // Clearing the upper halves keeps the low lanes, where the tags are.
  if ([M.Cmp, M.Test, M.Vzeroupper].includes(ins.mnemonic) || ins.flowControl !== FlowControl.Next) return state;
  if (x87Step(ctx, k, state)) return state;
  const value = valueOf(ctx, k, state);
  const used = info.info(ins);
  if (value !== undefined && ins.op0Kind === OpKind.Register) {
    for (const u of used.usedRegisters()) if (u.access !== OpAccess.Read && u.access !== OpAccess.CondRead) state.regs.delete(full(u.register));
    state.regs.set(full(ins.op0Register), value);
    return state;
  }
  if (value !== undefined && ins.op0Kind === OpKind.Memory) {
    storeTag(ctx, k, state, value);
    return state;
  }
  for (const u of used.usedRegisters())
    if (u.access !== OpAccess.Read && u.access !== OpAccess.CondRead) state.regs.delete(full(u.register));
  if (used.usedRegisters().some((u) => RegisterExt.isST(u.register))) state.x87 = null;
  const stores = used.usedMemory().some((u) => u.access !== OpAccess.Read && u.access !== OpAccess.CondRead &&
    u.access !== OpAccess.NoMemAccess);
  if (stores && ![M.Push, M.Pop].includes(ins.mnemonic)) storeTag(ctx, k, state, T.UNKNOWN);
  return state;
}

// The tag sets before and after every instruction of the function.
function printedFlow(ctx) {
  const info = new InstructionInfoFactory();
  const result = solveForward({
    size: ctx.code.instrs.length, entries: [ctx.code.entry], initial,
    successors: (k) => ctx.values.next(k),
    transfer: (k, s) => transfer(ctx, k, s, info),
    join, equal,
  });
  info.free();
  return result;
}

const PRINTF = new Set(["printf", "__printf_chk"]);
// The registers of printf's sum and time: System V passes the double in
// xmm0; Windows passes a variadic double in the integer register too,
// which is where printf reads it.
const ARGUMENTS = {
  sysv: { printf: [Register.RSI, Register.XMM0], __printf_chk: [Register.RDX, Register.XMM0] },
  win64: { printf: [Register.RDX, Register.R8], __printf_chk: [Register.R8, Register.R9] },
};

// The format each results line is printed with, made from its row of
// variants.def as result_lines.h makes it: the 64-bit hexadecimal in the
// platform's spelling (the Windows runtime's %I64X, glibc's PRIX64).
const formatOf = (def, binary) =>
  `${def.tag}) s=${binary.format === "pe" ? "%I64X" : "%lX"} t=%.6lf // N=%.0lf iterations of arithmetics; ${def.label}\n`;
const FORMAT_ARGUMENT = { sysv: { printf: Register.RDI, __printf_chk: Register.RSI },
  win64: { printf: Register.RCX, __printf_chk: Register.RDX } };
// The element count the line prints after "N=": 1,000,000,000 as a double,
// in the register printf reads it from.
const ELEMENTS = 0x41cdcd6500000000n;
const COUNT_ARGUMENT = { sysv: { printf: Register.XMM1, __printf_chk: Register.XMM1 },
  win64: { printf: Register.R9, __printf_chk: null } };

// The string the register holds the address of before instruction k, where
// it lies in read-only data the loader leaves as the file has it; null
// where the analysis cannot place it.
function stringIn(ctx, k, reg) {
  const v = ctx.values.before(k)?.regs.get(full(reg));
  const addr = v ? numberOf(v.bytes, 0, 8) : null;
  if (addr === null || !ctx.binary.isReadOnly(addr)) return null;
  const bytes = ctx.binary.read(addr, 256);
  const end = bytes.indexOf(0);
  return end < 0 || ctx.binary.writesIn(addr, end + 1).length ? null : Buffer.from(bytes.slice(0, end)).toString("latin1");
}

function checkPrinted(ctx, report) {
  const flow = ctx.printed;
  const { instrs } = ctx.code;
  instrs.forEach((ins, k) => {
    const before = flow.before(k);
    if (!before) return;
    const p = ins.opCount > 0 && ins.op0Kind === OpKind.Memory ? placeTag(ctx, k) : {};
    if (p.global === "t" || p.global === "tmin") {
      const after = flow.after(k)[p.global];
      const allowed = p.global === "t" ? T.CONV | T.SCALED : T.SCALED | T.START;
      if ((after & ~allowed) !== 0)
        report(ins, p.global === "t"
          ? `stores into t ${describe(after)}: neither the clock's reading as it returned it nor the ticks since it times the tick length`
          : `stores into tmin ${describe(after)}: neither a run's elapsed time nor the starting constant (99 s)`);
    }
    const target = ctx.code.targets.get(ins.ip);
    if (!target || target.kind !== "import" || !PRINTF.has(target.name)) return;
    const [sum, time] = ARGUMENTS[ctx.binary.abi][target.name].map((r) => before.regs.get(full(r)) ?? T.UNKNOWN);
    const count = ctx.values.before(k)?.regs.get(full(COUNT_ARGUMENT[ctx.binary.abi][target.name] ?? Register.None));
    if (!count || numberOf(count.bytes, 0, 8) !== ELEMENTS)
      report(ins, "prints as the element count a value other than 1,000,000,000 as a double");
    const format = stringIn(ctx, k, FORMAT_ARGUMENT[ctx.binary.abi][target.name]);
    if (format !== formatOf(ctx.def, ctx.binary))
      report(ins, `prints with the format ${format === null ? "at an address the analysis cannot place" : JSON.stringify(format)}, ` +
        `not its own line's ${JSON.stringify(formatOf(ctx.def, ctx.binary))}`);
    if (sum !== T.RUN)
      report(ins, `prints as the sum ${describe(sum)}, not the sum the last run stored in s: a path reaches the line ` +
        "without running, or s changes after the last run");
    if ((time & ~(T.SCALED | T.START)) !== 0)
      report(ins, `prints as the time ${describe(time)}, not a run's elapsed time as the frame keeps it in tmin`);
  });
}

export default [
  {
    id: "printed.values",
    claim: "Every path to the results line's printf runs the timed runs, and by value flow the line prints, with " +
      "its own format (variants.def's tag and label) and the element count 10^9, the sum " +
      "s held at the last run's end reading and a time that is the starting 99 s or a run's end reading minus its start " +
      "reading as the clock returned it (stored in t unchanged), scaled by exactly the tick length (1e-7 as a " +
      "double read from read-only data); t and tmin hold nothing else.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      if (!("printed" in ctx)) Object.defineProperty(ctx, "printed", { get() { const v = printedFlow(ctx);
        Object.defineProperty(ctx, "printed", { value: v }); return v; }, configurable: true });
      checkPrinted(ctx, report);
    },
  },
];
