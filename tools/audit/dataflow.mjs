// Values and data flow in a decoded function, for the rules that go beyond
// one instruction at a time.
//
// analyseValues(): a forward analysis over the whole function that knows, at
// every instruction, which registers and stack slots hold a known value (the
// bytes, and whether they came from read-only data, an immediate or a
// zeroing idiom), the flags where their operands are known, and so which
// conditional branches can go only one way. It follows what a compiler does
// to bring a constant to a loop: a load from read-only data, a broadcast, a
// spill across a call into a stack slot and back. Where it prunes a branch
// direction, the flags come from a modelled instruction on known operands,
// carry and overflow included; stack slots are placed relative to one frame
// base (the stack pointer at entry), whichever register addresses them, and
// a store it cannot place forgets them all. An operand relative to FS or GS
// is never an address in the file: its segment's base is the thread's.
//
// loopGraph(): the workload loop's body evaluated symbolically, once around:
// each register's value at the end of an iteration as an expression over the
// values at its start, which instruction produced each value, and which
// results feed nothing.
//
// upperHalvesDirty(): whether the vector registers' upper halves may be
// dirty on entry to each instruction.
//
// All three iterate on the one engine (engine.mjs); what an instruction
// computes (its integer result and flags, the branch conditions, which
// operands it reads) is isa.mjs's.

import { Mnemonic as M, OpKind, Register, RegisterExt, EncodingKind, FlowControl, MemorySizeExt,
         InstructionInfoFactory, OpAccess } from "iced-x86";
import { CLASSES, INTEGER_OPS, inClass, isCall, isImmediate, fullRegister as full, sourceOperands, zeroingIdiom,
         segmentRelative, flagsOf, conditionHolds, registersOf, quadwordMoves, ZERO_LANE } from "./isa.mjs";
import { solveForward, reachable } from "./engine.mjs";

const MASK64 = (1n << 64n) - 1n;
const VECTOR_BYTES = 64;
const isVector = (reg) => RegisterExt.isVectorRegister(reg);
const isGpr = (reg) => RegisterExt.isGPR(reg);
// The general registers that name a register's second byte.
const HIGH_BYTES = new Set([Register.AH, Register.BH, Register.CH, Register.DH]);

export const bytesOf = (value, n) => Array.from({ length: n }, (_, k) => Number((value >> BigInt(8 * k)) & 0xffn));
export function numberOf(bytes, offset, n) {
  let v = 0n;
  for (let k = n - 1; k >= 0; k--) {
    const b = bytes[offset + k];
    if (b === null || b === undefined) return null;
    v = (v << 8n) | BigInt(b);
  }
  return v;
}
// The 64-bit lanes of a value, null where a lane is not known.
export const lanesOf = (value, count) =>
  Array.from({ length: count }, (_, j) => (value ? numberOf(value.bytes, 8 * j, 8) : null));

const unknownBytes = (n) => new Array(n).fill(null);
const known = (bytes, src) => ({ bytes, src });
const combineSrc = (...values) => {
  const srcs = new Set(values.map((v) => v.src).filter((s) => s !== "zero"));
  return srcs.size === 0 ? "zero" : srcs.size === 1 ? [...srcs][0] : "mixed";
};

// ---------------------------------------------------------------------------
// Machine state: known register values, frame pointers (registers that hold
// the frame base plus an offset), stack slots by frame offset, flags.

function emptyState(abi) {
  // The frame base is the stack pointer at entry; `entry` is its only base
  // whose relation to the others is known.
  // `assumed`: whether the assumed bytes (analyseValues) still hold.
  return { regs: new Map(), frame: new Map([[Register.RSP, { base: "entry", off: 0n }]]), slots: new Map(),
           flags: null, escaped: false, assumed: true, abi };
}
const cloneState = (s) => ({ regs: new Map(s.regs), frame: new Map(s.frame), slots: new Map(s.slots),
  flags: s.flags, escaped: s.escaped, assumed: s.assumed, abi: s.abi });

function joinValue(a, b) {
  if (!a || !b) return undefined;
  if (a === b) return a;
  return { bytes: a.bytes.map((x, k) => (x === b.bytes[k] ? x : null)), src: a.src === b.src ? a.src : "mixed" };
}
const sameValue = (a, b) => a === b || (!!a && !!b && a.src === b.src && a.bytes.every((x, k) => x === b.bytes[k]));
const samePointer = (a, b) => !!a && !!b && a.base === b.base && a.off === b.off;
const sameSlot = (a, b) => !!a && !!b && a.base === b.base && a.off === b.off && a.size === b.size && sameValue(a.value, b.value);

function joinMap(a, b, same, join) {
  const out = new Map();
  for (const [k, v] of a) {
    const j = join ? join(v, b.get(k)) : (same(v, b.get(k)) ? v : undefined);
    if (j) out.set(k, j);
  }
  return out;
}
const sameFlags = (a, b) => a === b || (!!a && !!b && a.zf === b.zf && a.sf === b.sf && a.cf === b.cf && a.of === b.of);
export function joinState(a, b) {
  return { regs: joinMap(a.regs, b.regs, null, joinValue), frame: joinMap(a.frame, b.frame, samePointer),
           slots: joinMap(a.slots, b.slots, sameSlot), flags: sameFlags(a.flags, b.flags) ? a.flags : null,
           escaped: a.escaped || b.escaped, assumed: a.assumed && b.assumed, abi: a.abi };
}
function sameState(a, b) {
  const sameMap = (x, y, same) => x.size === y.size && [...x].every(([k, v]) => same(v, y.get(k)));
  return sameMap(a.regs, b.regs, sameValue) && sameMap(a.frame, b.frame, samePointer) &&
    sameMap(a.slots, b.slots, sameSlot) && sameFlags(a.flags, b.flags) && a.escaped === b.escaped &&
    a.assumed === b.assumed;
}

// Registers a call leaves unchanged, by calling convention.
const CALLEE_SAVED = {
  sysv: { gprs: [Register.RBX, Register.RBP, Register.RSP, Register.R12, Register.R13, Register.R14, Register.R15],
          vectors: [], args: [Register.RDI, Register.RSI, Register.RDX, Register.RCX, Register.R8, Register.R9] },
  // Windows keeps the low 128 bits of XMM6 to XMM15.
  win64: { gprs: [Register.RBX, Register.RBP, Register.RDI, Register.RSI, Register.RSP, Register.R12, Register.R13,
                  Register.R14, Register.R15],
           vectors: Array.from({ length: 10 }, (_, k) => full(Register.XMM6 + k)),
           args: [Register.RCX, Register.RDX, Register.R8, Register.R9] },
};

// ---------------------------------------------------------------------------
// Memory: where an operand points. { frame: {base, off} } for a stack slot,
// { addr } for a known address, null where it cannot be placed.

function placeOperand(ins, state) {
  if (segmentRelative(ins)) return null;
  if (ins.memoryBase === Register.RIP) return { addr: ins.memoryDisplacementU64 };
  if (ins.memoryIndex !== Register.None) {
    if (ins.memoryBase === Register.None) return null;
    const idx = state.regs.get(full(ins.memoryIndex));
    const i = idx ? numberOf(idx.bytes, 0, 8) : null;
    if (i === null) return null;
    const disp = (ins.memoryDisplacementU64 + i * BigInt(ins.memoryIndexScale)) & MASK64;
    return placeFrom(full(ins.memoryBase), disp, state);
  }
  if (ins.memoryBase === Register.None) return { addr: ins.memoryDisplacementU64 };
  return placeFrom(full(ins.memoryBase), ins.memoryDisplacementU64, state);
}
function placeFrom(base, disp, state) {
  const p = state.frame.get(base);
  if (p) return { frame: { base: p.base, off: p.off + BigInt.asIntN(64, disp) } };
  const v = state.regs.get(base);
  const a = v ? numberOf(v.bytes, 0, 8) : null;
  return a === null ? null : { addr: (a + disp) & MASK64 };
}

// A store of `size` bytes at `place`: slots it may overlap are forgotten; a
// store that cannot be placed forgets every slot.
function storeSlot(state, place, size, value) {
  if (place?.addr !== undefined) return;
  if (!place) { state.slots.clear(); return; }
  const { base, off } = place.frame;
  for (const [key, slot] of state.slots)
    if (slot.base !== base || (slot.off < off + BigInt(size) && off < slot.off + BigInt(slot.size))) state.slots.delete(key);
  if (value) state.slots.set(`${base}${off}`, { base, off, size, value: known(value.bytes.slice(0, size), value.src) });
}
function loadSlot(state, place, size) {
  const slot = state.slots.get(`${place.frame.base}${place.frame.off}`);
  if (!slot || slot.size < size) return undefined;
  return known(slot.value.bytes.slice(0, size), slot.value.src);
}

// ---------------------------------------------------------------------------
// Registers: what a write leaves in the full register.

// Writes `value` to register `reg` (as the instruction's encoding treats
// the bits above it: legacy SSE keeps them, VEX and EVEX clear them, 32-bit
// general writes clear the upper half).
function write(state, reg, value, encoding) {
  const f = full(reg);
  state.frame.delete(f);
  if (isVector(reg)) writeVector(state, reg, value, encoding);
  else if (isGpr(reg)) writeGeneral(state, reg, value);
}
function writeVector(state, reg, value, encoding) {
  const f = full(reg), size = RegisterExt.size(reg);
  const old = state.regs.get(f);
  const bytes = new Array(VECTOR_BYTES);
  for (let k = 0; k < VECTOR_BYTES; k++) {
    if (k < size) bytes[k] = value ? value.bytes[k] ?? null : null;
    else if (encoding === EncodingKind.Legacy) bytes[k] = old ? old.bytes[k] : null;
    else bytes[k] = 0;
  }
  // Unknown bytes are still worth keeping where their source is known
  // (a load from writable data).
  if (!value && bytes.every((b) => b === null)) state.regs.delete(f);
  else state.regs.set(f, known(bytes, value ? value.src : "mixed"));
}
function writeGeneral(state, reg, value) {
  const f = full(reg), size = RegisterExt.size(reg);
  if (!value || HIGH_BYTES.has(reg)) { state.regs.delete(f); return; }
  // A byte or word write keeps the bytes above it; a 32-bit one clears them.
  const old = state.regs.get(f);
  const bytes = value.bytes.slice(0, size).concat(size < 4 ? (old?.bytes ?? unknownBytes(8)).slice(size, 8)
    : new Array(8 - size).fill(0));
  if (bytes.every((b) => b === null)) state.regs.delete(f);
  else state.regs.set(f, known(bytes, value.src));
}
const writeNumber = (state, reg, n, src) =>
  write(state, reg, n === null ? undefined : known(bytesOf(n, RegisterExt.size(reg)), src), EncodingKind.Legacy);

const memSize = (ins) => MemorySizeExt.size(ins.memorySize);
const number = (v, size) => (v ? numberOf(v.bytes, 0, size) : null);

// The value of operand k, as its register's or memory operand's bytes;
// `env.load` reads memory.
function operand(ins, k, state, env) {
  const kind = ins.opKind(k);
  if (kind === OpKind.Register) {
    const r = ins.opRegister(k);
    const v = HIGH_BYTES.has(r) ? undefined : state.regs.get(full(r));
    return v ? known(v.bytes.slice(0, RegisterExt.size(r)), v.src) : undefined;
  }
  if (kind === OpKind.Memory) return env.load(ins, state);
  if (isImmediate(kind)) {
    const size = ins.op0Kind === OpKind.Register ? RegisterExt.size(ins.op0Register) : memSize(ins);
    return known(bytesOf(ins.immediate(k), Math.max(size, 1)), "imm");
  }
  return undefined;
}

function lanewise(a, b, size, fn) {
  const bytes = unknownBytes(size);
  for (let off = 0; off < size; off += 8) {
    const x = numberOf(a.bytes, off, 8), y = numberOf(b.bytes, off, 8);
    if (x === null || y === null) continue;
    bytesOf(fn(x, y) & MASK64, 8).forEach((v, k) => { bytes[off + k] = v; });
  }
  return known(bytes, combineSrc(a, b));
}

const writes = (access) => [OpAccess.Write, OpAccess.ReadWrite, OpAccess.CondWrite, OpAccess.ReadCondWrite].includes(access);

// Whatever an instruction writes that no handler models becomes unknown:
// its registers, the frame pointers among them, and the slots it may store to.
function forgetWritten(ins, state, env) {
  const used = env.info.info(ins);
  const stores = used.usedMemory().some((m) => writes(m.access));
  const place = stores ? placeOperand(ins, state) : null;
  // A pointer into the frame that it may store lets a callee reach the slots.
  if (stores && used.usedRegisters().some((u) => u.access !== OpAccess.Write && state.frame.has(full(u.register)) &&
                                                 full(u.register) !== full(ins.memoryBase)))
    state.escaped = true;
  for (const u of used.usedRegisters()) {
    if (!writes(u.access)) continue;
    const f = full(u.register);
    state.regs.delete(f);
    state.frame.delete(f);
  }
  if (stores) storeSlot(state, place, memSize(ins) || VECTOR_BYTES, undefined);
  state.flags = ins.rflagsModified !== 0 ? null : state.flags;
}

// ---------------------------------------------------------------------------
// What each instruction does to the state, by mnemonic. A handler takes
// (ins, state, env) and changes the state in place; it returns false where
// it does not model the instruction's form, and forgetWritten then applies.

const HANDLERS = new Map();
const on = (mnemonics, handler) => { for (const m of mnemonics) HANDLERS.set(m, handler); };

// Moves: register, memory and immediate; stores place their slot.
on([M.Mov, ...CLASSES.copy], (ins, s, env) => {
  if (ins.opCount !== 2) return false;
  const v = operand(ins, 1, s, env);
  if (ins.op0Kind === OpKind.Register) {
    const src = ins.op1Kind === OpKind.Register ? s.frame.get(full(ins.op1Register)) : undefined;
    write(s, ins.op0Register, v, ins.encoding);
    if (src && RegisterExt.size(ins.op0Register) === 8) s.frame.set(full(ins.op0Register), src);
    return true;
  }
  if (ins.op0Kind !== OpKind.Memory) return false;
  // A pointer into the frame stored outside it lets a callee reach the
  // slots; kept in the frame itself (a realigned frame's saved pointer) it
  // gives a callee nothing it could not reach from its own stack.
  const place = placeOperand(ins, s);
  if (ins.op1Kind === OpKind.Register && s.frame.has(full(ins.op1Register)) && !place?.frame) s.escaped = true;
  storeSlot(s, place, memSize(ins), v);
  return true;
});
// A byte or word zero-extended into a general register (the driver's
// choice of a loop, loaded to be tested).
on([M.Movzx], (ins, s, env) => {
  if (ins.op0Kind !== OpKind.Register) return false;
  const v = operand(ins, 1, s, env), size = RegisterExt.size(ins.op0Register);
  const from = ins.op1Kind === OpKind.Register ? RegisterExt.size(ins.op1Register) : memSize(ins);
  write(s, ins.op0Register, v && known(v.bytes.slice(0, from).concat(new Array(size - from).fill(0)), v.src), ins.encoding);
  return true;
});

// Vector moves of one element (a double loaded whole too: the printed
// element count, which movlps loads keeping the high one), broadcasts and
// interleaves.
const DOUBLE_LOADS = [M.Movsd, M.Vmovsd, M.Movlps];
on([...CLASSES.element, ...DOUBLE_LOADS], (ins, s, env) => {
  const n = ins.mnemonic === M.Movd || ins.mnemonic === M.Vmovd ? 4 : 8;
  if (DOUBLE_LOADS.includes(ins.mnemonic) && (ins.opCount !== 2 || ins.op1Kind !== OpKind.Memory)) return false;
  const v = operand(ins, 1, s, env);
  if (ins.op0Kind === OpKind.Memory) { storeSlot(s, placeOperand(ins, s), n, v); return true; }
  if (ins.op0Kind !== OpKind.Register) return false;
  const low = v ? v.bytes.slice(0, n) : unknownBytes(n);
  // The low element; the rest of the 128 bits (or 64) is cleared.
  const width = isVector(ins.op0Register) ? 16 : 8;
  const high = ins.mnemonic === M.Movlps ? (s.regs.get(full(ins.op0Register))?.bytes ?? unknownBytes(16)).slice(8, 16)
    : new Array(width - n).fill(0);
  write(s, ins.op0Register, known(low.concat(high), v ? v.src : "mixed"), ins.encoding);
  return true;
});
on(CLASSES.broadcast, (ins, s, env) => {
  if (ins.op0Kind !== OpKind.Register) return false;
  const v = ins.op1Kind === OpKind.Memory ? env.load(ins, s, 8) : operand(ins, 1, s, env);
  const q = v ? v.bytes.slice(0, 8) : unknownBytes(8);
  const size = RegisterExt.size(ins.op0Register);
  write(s, ins.op0Register, known(Array.from({ length: size }, (_, k) => q[k % 8]), v ? v.src : "mixed"), ins.encoding);
  return true;
});
// Lane moves (extracts, byte shifts, shuffles, interleaves), lane by lane
// as isa.mjs gives them: known where the lane moved is.
on([...CLASSES.extract, ...CLASSES.laneShift, ...CLASSES.highLane, ...CLASSES.shuffle], (ins, s, env) => {
  if (ins.op0Kind !== OpKind.Register || !isVector(ins.op0Register)) return false;
  const moves = quadwordMoves(ins, RegisterExt.size(ins.op0Register) / 8);
  if (!moves) return false;
  const used = [];
  const bytes = moves.flatMap((move) => {
    if (move === ZERO_LANE) return new Array(8).fill(0);
    const v = move && operand(ins, move.from, s, env);
    used.push(v);
    return v ? Array.from({ length: 8 }, (_, k) => v.bytes[8 * move.lane + k] ?? null) : unknownBytes(8);
  });
  const value = bytes.every((b) => b === null) ? undefined
    : known(bytes, used.every((v) => v) ? combineSrc(...used) : "mixed");
  write(s, ins.op0Register, value, ins.encoding);
  return true;
});
// Lane arithmetic, and the zeroing idiom of every XOR form.
on([...CLASSES.xor, ...CLASSES.laneAdd], (ins, s, env) => {
  if (ins.op0Kind !== OpKind.Register) return false;
  const size = RegisterExt.size(ins.op0Register);
  if (inClass("xor", ins) && zeroingIdiom(ins)) {
    write(s, ins.op0Register, known(new Array(size).fill(0), "zero"), ins.encoding);
    return true;
  }
  const [x, y] = sourceOperands(ins);
  const a = operand(ins, x, s, env), b = operand(ins, y, s, env);
  const fn = inClass("xor", ins) ? (p, q) => p ^ q : (p, q) => p + q;
  write(s, ins.op0Register, a && b ? lanewise(a, b, size, fn) : undefined, ins.encoding);
  return true;
});
on(CLASSES.vzero, (ins, s) => {
  for (let r = 0; r < 16; r++) {
    const f = full(Register.XMM0 + r);
    const v = s.regs.get(f);
    const upper = ins.mnemonic === M.Vzeroupper;
    const low = upper && v ? v.bytes.slice(0, 16) : new Array(16).fill(0);
    s.regs.set(f, known(low.concat(new Array(48).fill(0)), upper && v ? v.src : "zero"));
  }
  return true;
});

// Addresses: lea computes a known address or a place in the frame.
on([M.Lea], (ins, s) => {
  if (ins.op0Kind !== OpKind.Register) return false;
  const place = placeOperand(ins, s);
  const dst = ins.op0Register;
  write(s, dst, place?.addr !== undefined ? known(bytesOf(place.addr, 8), "imm") : undefined, ins.encoding);
  if (place?.frame && RegisterExt.size(dst) === 8) s.frame.set(full(dst), place.frame);
  return true;
});

// A compare of a value in memory (the driver's choice of a loop) with an
// immediate or a register: only the flags.
function compareMemory(ins, s, env) {
  const size = memSize(ins), op = INTEGER_OPS.get(ins.mnemonic);
  const x = number(operand(ins, 0, s, env), size), y = number(operand(ins, 1, s, env), size);
  if (x === null || y === null) { s.flags = null; return true; }
  const r = BigInt.asUintN(8 * size, op.result(x, y));
  s.flags = flagsOf(op.flags, x, y, r, 8 * size, s.flags);
  return true;
}
// The stack and frame pointers move by constants; an AND that aligns the
// stack starts a new base whose distance from the entry's is not known.
function moveFramePointer(ins, s, frame) {
  const m = ins.mnemonic, imm = BigInt.asIntN(64, ins.immediate(1)), dst = full(ins.op0Register);
  s.flags = null;
  if (m === M.Add) s.frame.set(dst, { base: frame.base, off: frame.off + imm });
  else if (m === M.Sub) s.frame.set(dst, { base: frame.base, off: frame.off - imm });
  else if (m === M.And) s.frame.set(dst, { base: `aligned@${ins.ip.toString(16)}`, off: 0n });
  else return m === M.Cmp || m === M.Test;
  return true;
}
// General integer arithmetic on known operands, with the flags it sets: the
// second operand is the last one (an immediate of a three-operand imul).
on([...INTEGER_OPS.keys()], (ins, s, env) => {
  const m = ins.mnemonic, op = INTEGER_OPS.get(m);
  if (op.compares && ins.op0Kind === OpKind.Memory) return compareMemory(ins, s, env);
  if (ins.op0Kind !== OpKind.Register || (!op.unary && ins.opCount < 2)) return false;
  const dst = ins.op0Register, size = RegisterExt.size(dst), bits = 8 * size;
  const frame = s.frame.get(full(dst));
  if (frame && size === 8 && ins.opCount === 2 && isImmediate(ins.op1Kind) && moveFramePointer(ins, s, frame)) return true;
  if ((m === M.Xor || m === M.Sub) && zeroingIdiom(ins)) {
    write(s, dst, known(new Array(size).fill(0), "zero"), ins.encoding);
    s.flags = flagsOf(op.flags, 0n, 0n, 0n, bits);
    return true;
  }
  const first = op.unary || ins.opCount < 3 ? 0 : 1;
  const a = operand(ins, first, s, env), b = op.unary ? a : operand(ins, ins.opCount - 1, s, env);
  // A shift's count is a byte (CL or an immediate).
  const x = number(a, size), y = op.unary ? (op.flags === "inc" || op.flags === "dec" ? 1n : 0n)
    : number(b, Math.min(size, b?.bytes.length ?? size));
  const ok = x !== null && y !== null;
  const r = ok ? BigInt.asUintN(bits, op.result(x, y, bits)) : null;
  if (op.flags !== "none") s.flags = ok && op.flags ? flagsOf(op.flags, x, y, r, bits, s.flags) : null;
  if (!op.compares) writeNumber(s, dst, r, ok ? combineSrc(a, b) : "mixed");
  return true;
});

// The stack: push and pop move the frame's stack pointer and its slots.
on([M.Leave], (ins, s) => {
  const rbp = s.frame.get(Register.RBP);
  s.frame.delete(Register.RSP);
  const v = rbp ? loadSlot(s, { frame: rbp }, 8) : undefined;
  write(s, Register.RBP, v, EncodingKind.Legacy);
  if (rbp) s.frame.set(Register.RSP, { base: rbp.base, off: rbp.off + 8n });
  return true;
});
on([M.Push], (ins, s, env) => {
  const sp = s.frame.get(Register.RSP);
  const v = ins.op0Kind === OpKind.Memory ? env.load(ins, s, 8) : operand(ins, 0, s, env);
  if (!sp) {
    if (ins.op0Kind === OpKind.Register && s.frame.has(full(ins.op0Register))) s.escaped = true;
    storeSlot(s, null, 8, undefined);
    return true;
  }
  const top = { base: sp.base, off: sp.off - 8n };
  storeSlot(s, { frame: top }, 8, v && known(v.bytes.slice(0, 8).concat(unknownBytes(Math.max(0, 8 - v.bytes.length))), v.src));
  s.frame.set(Register.RSP, top);
  return true;
});
on([M.Pop], (ins, s) => {
  if (ins.op0Kind !== OpKind.Register) return false;
  const sp = s.frame.get(Register.RSP);
  const v = sp ? loadSlot(s, { frame: sp }, 8) : undefined;
  write(s, ins.op0Register, v, EncodingKind.Legacy);
  if (sp && full(ins.op0Register) !== Register.RSP) s.frame.set(Register.RSP, { base: sp.base, off: sp.off + 8n });
  return true;
});
on([M.Nop, M.Endbr64], () => true);

// Calls: a call keeps the callee-saved registers and the stack pointer; it
// clobbers what lies below the stack pointer (and the Windows shadow space
// above it), and every slot where a pointer into the frame has escaped or is
// passed as an argument.
function call(s, abi) {
  for (const r of [...s.regs.keys()]) {
    if (isGpr(r) && !abi.gprs.includes(r)) s.regs.delete(r);
    else if (isVector(r)) {
      if (!abi.vectors.includes(r)) s.regs.delete(r);
      else {
        const v = s.regs.get(r);
        s.regs.set(r, known(v.bytes.map((b, i) => (i < 16 ? b : null)), v.src));
      }
    }
  }
  const passesFrame = abi.args.some((r) => s.frame.has(r));
  for (const r of [...s.frame.keys()]) if (!abi.gprs.includes(r)) s.frame.delete(r);
  const sp = s.frame.get(Register.RSP);
  if (!sp || s.escaped || passesFrame) s.slots.clear();
  else {
    const shadow = s.abi === "win64" ? 32n : 0n;
    for (const [key, slot] of s.slots)
      if (slot.base !== sp.base || slot.off < sp.off + shadow) s.slots.delete(key);
  }
  s.flags = null;
}

// ---------------------------------------------------------------------------
// Memory outside the frame: read-only data read from the file, the assumed
// bytes of writable data while they hold, anything else unknown.

// The assumed bytes of `size` at `addr`, null where it overlaps none.
function assumedBytes(assumed, addr, size) {
  const bytes = Array.from({ length: size }, (_, k) => {
    const a = assumed.find((x) => addr + BigInt(k) >= x.addr && addr + BigInt(k) < x.addr + BigInt(x.bytes.length));
    return a ? a.bytes[Number(addr + BigInt(k) - a.addr)] : null;
  });
  return bytes.some((b) => b !== null) ? bytes : null;
}
// The bytes of read-only data at `addr` as loaded, null where none is
// mapped; a byte the loader writes is unknown unless it is a relative
// relocation's, an address (its source "relocated", never a constant).
function readOnlyBytes(binary, addr, size) {
  return binary.isReadOnly(addr) ? binary.loaded(addr, size) : null;
}
function loadFrom(binary, assumed, ins, state, size) {
  const place = placeOperand(ins, state);
  if (!place) return undefined;
  if (place.frame) return loadSlot(state, place, size);
  const fixed = readOnlyBytes(binary, place.addr, size);
  if (fixed) return known(fixed, binary.writesIn(place.addr, size).length ? "relocated" : "rodata");
  if (binary.isReadOnly(place.addr)) return undefined;
  const chosen = state.assumed ? assumedBytes(assumed, place.addr, size) : null;
  if (chosen) return known(chosen, "writable");
  return binary.sectionName(place.addr) ? known(unknownBytes(size), "writable") : undefined;
}

// Whether `ins` may change an assumed byte: a call, or a store that cannot
// be placed or is placed over one.
function mayChangeAssumed(ins, state, env) {
  if (isCall(ins)) return true;
  const stores = env.info.info(ins).usedMemory().some((m) => m.access !== OpAccess.Read && m.access !== OpAccess.CondRead &&
    m.access !== OpAccess.NoMemAccess);
  if (!stores) return false;
  const place = placeOperand(ins, state);
  if (!place) return true;
  return place.addr !== undefined && assumedBytes(env.assumed, place.addr, Math.max(memSize(ins), 1)) !== null;
}

function transferValues(ins, inState, env) {
  const s = cloneState(inState);
  if (env.assumed.length && s.assumed && mayChangeAssumed(ins, inState, env)) s.assumed = false;
  if (isCall(ins)) { call(s, env.abi); return s; }
  const handler = ins.opMask === Register.None ? HANDLERS.get(ins.mnemonic) : undefined;
  const flagsBefore = s.flags;
  if (!handler || handler(ins, s, env) === false) forgetWritten(ins, s, env);
  // A handler that did not set the flags itself leaves them unknown where
  // the instruction writes any.
  else if (s.flags === flagsBefore && ins.rflagsModified !== 0) s.flags = null;
  return s;
}

// The forward value analysis. `addressOf(k)` gives the address a memory
// operand of instruction k refers to, where it is known; `next(k)` the
// successors that can be reached, leaving out a branch direction that known
// flags rule out; `after(k)` the values after instruction k.
//
// `assumed` lists bytes of writable data taken as known, each { addr, bytes }:
// the driver's choice of a loop, fixed before the function runs. They hold
// until the function calls anything or stores where they may lie.
export function analyseValues(fn, binary, assumed = []) {
  const steps = valueSteps(fn, binary, assumed);
  const solved = solveForward({ size: fn.instrs.length, entries: [fn.entry ?? 0], ...steps });
  steps.free();
  return {
    ...solved,
    // The address a memory operand of instruction k refers to, where known.
    addressOf: (k) => {
      const state = solved.before(k);
      return state ? steps.addressIn(k, state) : null;
    },
  };
}

// The value analysis's parts as solveForward takes them (initial, transfer,
// successors, join, equal), for an analysis that carries these states on a
// graph of its own (the driver's, once for each variant due); with
// addressIn(k, state) and load(k, state, size), what a memory operand of
// instruction k addresses and holds in that state, and placeIn(k, state),
// where it lies: { frame: { base, off } } for a stack slot, { addr }, or null.
// free() ends its use.
export function valueSteps(fn, binary, assumed = []) {
  const { instrs } = fn;
  const info = new InstructionInfoFactory();
  const env = { info, assumed, abi: CALLEE_SAVED[binary.abi],
                load: (ins, state, size = memSize(ins)) => loadFrom(binary, assumed, ins, state, size) };
  const successors = (k, state) => {
    const ins = instrs[k];
    const all = fn.next(k);
    if (ins.flowControl !== FlowControl.ConditionalBranch || !fn.index.has(ins.nearBranchTarget)) return all;
    const taken = conditionHolds(state.flags, ins.conditionCode);
    if (taken === undefined) return all;
    const target = fn.index.get(ins.nearBranchTarget);
    return all.filter((j) => (taken ? j === target : j !== target || j === k + 1));
  };
  return {
    initial: () => emptyState(binary.abi), successors, join: joinState, equal: sameState,
    transfer: (k, s) => transferValues(instrs[k], s, env),
    placeIn: (k, state) => placeOperand(instrs[k], state),
    addressIn: (k, state) => placeOperand(instrs[k], state)?.addr ?? null,
    load: (k, state, size) => env.load(instrs[k], state, size),
    free: () => info.free(),
  };
}

// Whether the upper halves of the vector registers may be dirty on entry to
// each instruction: a forward data flow over the decoded function that
// starts clean, as the calling convention leaves it. A 256- or 512-bit
// register dirties them; vzeroupper, vzeroall and every call (which returns
// clean) clear them. Returns the engine's solution: before(k) is true where
// some path reaches k dirty, reached(k) where any path reaches it.
export function upperHalvesDirty(code) {
  const { instrs } = code;
  const wide = (ins) => registersOf(ins).some((r) => RegisterExt.isYMM(r) || RegisterExt.isZMM(r));
  return solveForward({
    size: instrs.length, entries: [code.entry], initial: () => false,
    successors: (k) => code.next(k), join: (a, b) => a || b, equal: (a, b) => a === b,
    transfer: (k, dirty) => (inClass("vzero", instrs[k]) || isCall(instrs[k]) ? false : wide(instrs[k]) || dirty),
  });
}

// ---------------------------------------------------------------------------
// Expressions of the loop graph: interned, so that two expressions are equal
// exactly when they are the same object. Addition and XOR are commutative;
// their arguments are kept in a fixed order.

function expressions() {
  const table = new Map();
  let nextId = 0;
  const intern = (key, make) => {
    if (!table.has(key)) table.set(key, { id: nextId++, ...make() });
    return table.get(key);
  };
  const binary = (op) => (a, b) => {
    const [x, y] = a.id <= b.id ? [a, b] : [b, a];
    return intern(`${op}(${x.id},${y.id})`, () => ({ op, args: [x, y] }));
  };
  return {
    input: (reg) => intern(`in:${reg}`, () => ({ op: "input", reg })),
    constant: (value) => intern(`#${BigInt.asUintN(64, value)}`, () => ({ op: "constant", value: BigInt.asUintN(64, value) })),
    add: binary("add"),
    xor: binary("xor"),
  };
}

// One instruction of the loop body, evaluated symbolically on the graph's
// state `g`: the expression it writes to its destination register, "flags"
// for a compare, null for anything outside the loop's data flow. `reads`
// collects the body indexes of the definitions it reads.
function symbolicStep(g, ins, k, reads) {
  const { E, end, defBy } = g;
  const get = (reg) => {
    const f = full(reg);
    if (!end.has(f)) {
      g.readIn.add(f);
      end.set(f, E.input(f));
    }
    if (defBy.has(f)) reads.add(defBy.get(f));
    return end.get(f);
  };
  const src = (i) => {
    const kind = ins.opKind(i);
    if (kind === OpKind.Register) return get(ins.opRegister(i));
    if (isImmediate(kind)) return E.constant(ins.immediate(i));
    return null;
  };
  const m = ins.mnemonic;
  const regDst = ins.op0Kind === OpKind.Register;
  if (ins.opMask !== Register.None) g.problems.push({ ins, rule: "masked operation in the workload loop" });
  if (ins.isJccShortOrNear) {
    if (g.flags) reads.add(g.flags.by);
    g.branchFlags = g.flags;
    return null;
  }
  if ((m === M.Cmp || m === M.Test) && regDst) {
    const a = src(0), b = src(1);
    if (a && b) g.flags = { kind: m === M.Cmp ? "cmp" : "test", by: k, a, b };
    return a && b ? "flags" : null;
  }
  if (inClass("copy", ins) && regDst) return src(1);
  if ((inClass("laneAdd", ins) || inClass("xor", ins) || m === M.Xor) && regDst) {
    const [x, y] = sourceOperands(ins);
    const a = src(x), b = src(y);
    return a && b ? (inClass("laneAdd", ins) ? E.add(a, b) : E.xor(a, b)) : null;
  }
  if (m === M.Lea && regDst && ins.memoryIndex === Register.None && ins.memoryBase !== Register.RIP &&
      ins.memoryBase !== Register.None)
    return E.add(get(ins.memoryBase), E.constant(ins.memoryDisplacementU64));
  if ([M.Add, M.Sub, M.Inc, M.Dec].includes(m) && regDst) {
    const a = src(0);
    const b = m === M.Inc ? E.constant(1n) : m === M.Dec ? E.constant(MASK64)
      : m === M.Sub ? (isImmediate(ins.op1Kind) ? E.constant(-ins.immediate(1)) : null) : src(1);
    return a && b ? E.add(a, b) : null;
  }
  return null;
}

// Symbolic evaluation of the loop body, once around. Returns each
// register's expression at the end of the iteration (a copy passes its
// source's expression on), the registers whose entry values the iteration
// reads, the flags the branch tests, and the instructions whose results feed
// neither a later iteration nor the branch.
export function loopGraph(loop) {
  const g = {
    E: expressions(),
    end: new Map(),      // full register -> expression
    defBy: new Map(),    // full register -> body index of its last definition
    usesOf: new Map(),   // body index -> body indices of the definitions it read
    readIn: new Set(),   // registers whose entry value the iteration reads
    flags: null,         // the last flags written: { kind, by, ... }
    branchFlags: null,
    problems: [],
  };
  loop.body.forEach((ins, k) => {
    const reads = new Set();
    g.usesOf.set(k, reads);
    const out = symbolicStep(g, ins, k, reads);
    if (out === "flags" || (out === null && ins.isJccShortOrNear)) return;
    if (!out) {
      g.problems.push({ ins, rule: "instruction outside the workload loop's data flow" });
      return;
    }
    const dst = full(ins.opRegister(0));
    g.end.set(dst, out);
    g.defBy.set(dst, k);
    if ([M.Add, M.Sub, M.Inc, M.Dec].includes(ins.mnemonic)) g.flags = { kind: "zero", by: k, value: out };
  });
  // Live: what a later iteration reads (the last definition of every
  // register the iteration reads on entry) and what the branch tests, and
  // everything those read in turn.
  const roots = [...g.readIn].filter((r) => g.defBy.has(r)).map((r) => g.defBy.get(r));
  if (g.branchFlags) roots.push(g.branchFlags.by);
  const live = reachable(roots, (k) => [...g.usesOf.get(k)]);
  const dead = loop.body.map((_, k) => k).filter((k) => !live.has(k) && !loop.body[k].isJccShortOrNear);
  const { E, end, readIn, defBy, branchFlags, problems } = g;
  return { E, end, readIn, defBy, branchFlags, dead, problems };
}
