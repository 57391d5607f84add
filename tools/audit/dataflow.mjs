// Values and data flow in a decoded function, for the rules that go beyond
// one instruction at a time.
//
// values(): a forward analysis over the whole function that knows, at every
// instruction, which registers and stack slots hold a known value (the bytes,
// and whether they came from read-only data, an immediate or a zeroing
// idiom), and which conditional branches can go only one way. It follows
// what a compiler does to bring a constant to a loop: a load from read-only
// data, a broadcast, a spill across a call into a stack slot and back.
//
// loopGraph(): the workload loop's body evaluated symbolically, once around:
// each register's value at the end of an iteration as an expression over the
// values at its start, which instruction produced each value, and which
// results feed nothing.

import { Mnemonic, OpKind, Register, RegisterExt, EncodingKind, FlowControl, ConditionCode,
         MemorySizeExt, InstructionInfoFactory, OpAccess } from "iced-x86";

const MASK64 = (1n << 64n) - 1n;

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
export const lanesOf = (value, count) => Array.from({ length: count }, (_, j) => value ? numberOf(value.bytes, 8 * j, 8) : null);

const unknownBytes = (n) => new Array(n).fill(null);
const combineSrc = (...values) => {
  const srcs = new Set(values.map((v) => v.src).filter((s) => s !== "zero"));
  return srcs.size === 0 ? "zero" : srcs.size === 1 ? [...srcs][0] : "mixed";
};

const VECTOR_BYTES = 64;
const full = (reg) => RegisterExt.fullRegister(reg);
const isVector = (reg) => RegisterExt.isVectorRegister(reg);

// Registers a call leaves unchanged, by calling convention.
function preservedByCall(abi) {
  const gprs = abi === "win64"
    ? [Register.RBX, Register.RBP, Register.RDI, Register.RSI, Register.RSP, Register.R12, Register.R13, Register.R14, Register.R15]
    : [Register.RBX, Register.RBP, Register.RSP, Register.R12, Register.R13, Register.R14, Register.R15];
  // Windows keeps the low 128 bits of XMM6 to XMM15.
  const vectors = abi === "win64" ? Array.from({ length: 10 }, (_, k) => full(Register.XMM6 + k)) : [];
  return { gprs: new Set(gprs), vectors: new Set(vectors) };
}

function cloneState(s) {
  return { regs: new Map(s.regs), slots: new Map(s.slots), flags: s.flags };
}

function joinValue(a, b) {
  if (!a || !b) return undefined;
  if (a === b) return a;
  const bytes = a.bytes.map((x, k) => (x === b.bytes[k] ? x : null));
  return { bytes, src: a.src === b.src ? a.src : "mixed" };
}

function sameValue(a, b) {
  if (a === b) return true;
  if (!a || !b || a.src !== b.src) return false;
  return a.bytes.every((x, k) => x === b.bytes[k]);
}

export function joinState(a, b) {
  const regs = new Map();
  for (const [r, v] of a.regs) {
    const j = joinValue(v, b.regs.get(r));
    if (j) regs.set(r, j);
  }
  const slots = new Map();
  for (const [k, v] of a.slots) {
    const j = joinValue(v, b.slots.get(k));
    if (j) slots.set(k, j);
  }
  const flags = a.flags && b.flags && a.flags.key === b.flags.key ? a.flags : null;
  return { regs, slots, flags };
}

function sameState(a, b) {
  if (a.regs.size !== b.regs.size || a.slots.size !== b.slots.size || (a.flags?.key ?? null) !== (b.flags?.key ?? null))
    return false;
  for (const [r, v] of a.regs) if (!sameValue(v, b.regs.get(r))) return false;
  for (const [k, v] of a.slots) if (!sameValue(v, b.slots.get(k))) return false;
  return true;
}

// Whether a conditional branch is taken, from flags set by a compare of
// known values; undefined where that is not known.
function branchTaken(flags, cc) {
  if (!flags) return undefined;
  const bits = BigInt(flags.size * 8);
  const m = (1n << bits) - 1n;
  const a = flags.a & m, b = flags.b & m;
  const r = (a - b) & m;
  const signed = (v) => BigInt.asIntN(Number(bits), v);
  switch (cc) {
    case ConditionCode.e: return r === 0n;
    case ConditionCode.ne: return r !== 0n;
    case ConditionCode.b: return a < b;
    case ConditionCode.ae: return a >= b;
    case ConditionCode.be: return a <= b;
    case ConditionCode.a: return a > b;
    case ConditionCode.s: return signed(r) < 0n;
    case ConditionCode.ns: return signed(r) >= 0n;
    case ConditionCode.l: return signed(a) < signed(b);
    case ConditionCode.ge: return signed(a) >= signed(b);
    case ConditionCode.le: return signed(a) <= signed(b);
    case ConditionCode.g: return signed(a) > signed(b);
    default: return undefined;
  }
}

const COPIES = new Set([Mnemonic.Movdqa, Mnemonic.Movdqu, Mnemonic.Movaps, Mnemonic.Movups, Mnemonic.Movapd,
  Mnemonic.Movupd, Mnemonic.Vmovdqa, Mnemonic.Vmovdqu, Mnemonic.Vmovaps, Mnemonic.Vmovups, Mnemonic.Vmovapd,
  Mnemonic.Vmovupd, Mnemonic.Vmovdqa32, Mnemonic.Vmovdqa64, Mnemonic.Vmovdqu8, Mnemonic.Vmovdqu16,
  Mnemonic.Vmovdqu32, Mnemonic.Vmovdqu64, Mnemonic.Lddqu, Mnemonic.Vlddqu]);
const XORS = new Set([Mnemonic.Pxor, Mnemonic.Xorps, Mnemonic.Xorpd, Mnemonic.Vpxor, Mnemonic.Vpxord, Mnemonic.Vpxorq,
  Mnemonic.Vxorps, Mnemonic.Vxorpd]);
const ADDQS = new Set([Mnemonic.Paddq, Mnemonic.Vpaddq]);
const BROADCASTS = new Set([Mnemonic.Vpbroadcastq, Mnemonic.Vbroadcastsd, Mnemonic.Movddup, Mnemonic.Vmovddup]);

// The forward value analysis. `addressOf(k)` gives the address a memory
// operand of instruction k refers to, where it is known; `next(k)` the
// successors that can be reached, leaving out a branch direction that known
// values rule out; `after(k)` the values after instruction k.
export function values(instrs, flow, image, abi) {
  const info = new InstructionInfoFactory();
  const preserved = preservedByCall(abi);
  const stateAt = new Array(instrs.length);
  const outAt = new Array(instrs.length);

  // A stack slot: an access through the stack or frame pointer. Where %rbp
  // holds a known address, it is a pointer to data, not the frame (GCC
  // keeps such pointers in %rbp, which calls preserve).
  const slotKey = (ins, state) => {
    if (ins.memoryIndex !== Register.None) return null;
    const base = ins.memoryBase;
    if (base !== Register.RSP && base !== Register.RBP) return null;
    if (base === Register.RBP && state.regs.has(Register.RBP)) return null;
    return `${Register[base]}${BigInt.asIntN(64, ins.memoryDisplacementU64)}`;
  };
  const addressIn = (ins, state) => {
    if (ins.memoryBase === Register.RIP) return ins.memoryDisplacementU64;
    if (ins.memoryIndex !== Register.None || ins.memoryBase === Register.None) return null;
    const base = state.regs.get(full(ins.memoryBase));
    const v = base ? numberOf(base.bytes, 0, 8) : null;
    return v === null ? null : (v + ins.memoryDisplacementU64) & MASK64;
  };
  const memSize = (ins) => MemorySizeExt.size(ins.memorySize);
  const load = (ins, state, size = memSize(ins)) => {
    const key = slotKey(ins, state);
    if (key) {
      const v = state.slots.get(key);
      return v ? { bytes: v.bytes.slice(0, size).concat(unknownBytes(Math.max(0, size - v.bytes.length))), src: v.src } : undefined;
    }
    const addr = addressIn(ins, state);
    if (addr === null) return undefined;
    if (!image.isReadOnly(addr)) return image.sectionName(addr) ? { bytes: unknownBytes(size), src: "writable" } : undefined;
    const raw = image.read(addr, size);
    if (raw.length < size) return undefined;
    return { bytes: Array.from(raw), src: "rodata" };
  };

  // The value of operand k of an instruction, as `size` bytes.
  const operand = (ins, k, state) => {
    const kind = ins.opKind(k);
    if (kind === OpKind.Register) {
      const r = ins.opRegister(k);
      const v = state.regs.get(full(r));
      const size = RegisterExt.size(r);
      return v ? { bytes: v.bytes.slice(0, size), src: v.src } : undefined;
    }
    if (kind === OpKind.Memory) return load(ins, state);
    if (kind >= OpKind.Immediate8 && kind <= OpKind.Immediate32to64) {
      const size = ins.op0Kind === OpKind.Register ? RegisterExt.size(ins.op0Register) : memSize(ins);
      return { bytes: bytesOf(ins.immediate(k), Math.max(size, 1)), src: "imm" };
    }
    return undefined;
  };

  const write = (state, reg, value, encoding) => {
    const f = full(reg);
    const size = RegisterExt.size(reg);
    if (isVector(reg)) {
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
      else state.regs.set(f, { bytes, src: value ? value.src : "mixed" });
      return;
    }
    if (!RegisterExt.isGPR(reg)) return;
    if (!value || size < 4) { state.regs.delete(f); return; }
    const bytes = value.bytes.slice(0, size).concat(new Array(8 - size).fill(0));
    if (bytes.every((b) => b === null)) state.regs.delete(f);
    else state.regs.set(f, { bytes, src: value.src });
  };
  const forgetWritten = (ins, state) => {
    for (const u of info.info(ins).usedRegisters()) {
      if ([OpAccess.Write, OpAccess.ReadWrite, OpAccess.CondWrite, OpAccess.ReadCondWrite].includes(u.access)) {
        const f = full(u.register);
        if (RegisterExt.isGPR(f) || isVector(f)) state.regs.delete(f);
        if (f === Register.RSP || f === Register.RBP) state.slots.clear();
      }
    }
    for (const m of info.info(ins).usedMemory()) {
      if ([OpAccess.Write, OpAccess.ReadWrite, OpAccess.CondWrite, OpAccess.ReadCondWrite].includes(m.access)) {
        const key = slotKey(ins, state);
        if (key) state.slots.delete(key);
      }
    }
  };
  const lanewise = (a, b, size, fn) => {
    const bytes = unknownBytes(size);
    for (let off = 0; off < size; off += 8) {
      const x = numberOf(a.bytes, off, 8), y = numberOf(b.bytes, off, 8);
      if (x === null || y === null) continue;
      bytesOf(fn(x, y) & MASK64, 8).forEach((v, k) => { bytes[off + k] = v; });
    }
    return { bytes, src: combineSrc(a, b) };
  };

  const transfer = (k, inState) => {
    const ins = instrs[k];
    const s = cloneState(inState);
    const m = ins.mnemonic;
    const fc = ins.flowControl;
    if (fc === FlowControl.Call || fc === FlowControl.IndirectCall) {
      for (const r of [...s.regs.keys()]) {
        if (RegisterExt.isGPR(r) && !preserved.gprs.has(r)) s.regs.delete(r);
        else if (isVector(r)) {
          if (!preserved.vectors.has(r)) s.regs.delete(r);
          else {
            const v = s.regs.get(r);
            s.regs.set(r, { bytes: v.bytes.map((b, i) => (i < 16 ? b : null)), src: v.src });
          }
        }
      }
      s.flags = null;
      return s;
    }
    const op0IsReg = ins.op0Kind === OpKind.Register;
    const dst = op0IsReg ? ins.opRegister(0) : null;
    const size = dst !== null ? RegisterExt.size(dst) : 0;
    const vex = ins.encoding !== EncodingKind.Legacy;
    let handled = true;
    if (m === Mnemonic.Vzeroupper || m === Mnemonic.Vzeroall) {
      for (let r = 0; r < 16; r++) {
        const f = full(Register.XMM0 + r);
        const v = s.regs.get(f);
        const keep = m === Mnemonic.Vzeroupper && v ? v.bytes.slice(0, 16) : new Array(16).fill(0);
        s.regs.set(f, { bytes: keep.concat(new Array(48).fill(0)), src: v && m === Mnemonic.Vzeroupper ? v.src : "zero" });
      }
    } else if (ins.opMask !== Register.None) {
      handled = false;
    } else if ((m === Mnemonic.Mov || COPIES.has(m)) && ins.opCount === 2) {
      if (op0IsReg) write(s, dst, operand(ins, 1, s), ins.encoding);
      else if (ins.op0Kind === OpKind.Memory) {
        const key = slotKey(ins, s);
        const v = operand(ins, 1, s);
        if (key) {
          if (v) s.slots.set(key, { bytes: v.bytes.slice(0, memSize(ins)), src: v.src });
          else s.slots.delete(key);
        }
      }
    } else if ((m === Mnemonic.Movq || m === Mnemonic.Vmovq || m === Mnemonic.Movd || m === Mnemonic.Vmovd) && op0IsReg) {
      const n = m === Mnemonic.Movd || m === Mnemonic.Vmovd ? 4 : 8;
      const v = operand(ins, 1, s);
      if (isVector(dst)) {
        // The low element; the rest of the 128 bits is cleared.
        write(s, dst, { bytes: (v ? v.bytes.slice(0, n) : unknownBytes(n)).concat(new Array(16 - n).fill(0)),
                        src: v ? v.src : "mixed" }, ins.encoding);
      } else write(s, dst, v ? { bytes: v.bytes.slice(0, n).concat(new Array(8 - n).fill(0)), src: v.src } : undefined, ins.encoding);
    } else if ((m === Mnemonic.Movq || m === Mnemonic.Vmovq) && ins.op0Kind === OpKind.Memory) {
      const key = slotKey(ins, s);
      const v = operand(ins, 1, s);
      if (key) {
        if (v) s.slots.set(key, { bytes: v.bytes.slice(0, 8), src: v.src });
        else s.slots.delete(key);
      }
    } else if (BROADCASTS.has(m) && op0IsReg) {
      const v = ins.op1Kind === OpKind.Memory ? load(ins, s, 8) : operand(ins, 1, s);
      const q = v ? v.bytes.slice(0, 8) : unknownBytes(8);
      write(s, dst, { bytes: Array.from({ length: size }, (_, k) => q[k % 8]), src: v ? v.src : "mixed" }, ins.encoding);
    } else if (m === Mnemonic.Punpcklqdq || m === Mnemonic.Vpunpcklqdq) {
      const a = operand(ins, vex ? 1 : 0, s), b = operand(ins, vex ? 2 : 1, s);
      const bytes = unknownBytes(size);
      for (let lane = 0; lane < size; lane += 16)
        for (let k = 0; k < 8; k++) {
          bytes[lane + k] = a ? a.bytes[lane + k] : null;
          bytes[lane + 8 + k] = b ? b.bytes[lane + k] : null;
        }
      write(s, dst, { bytes, src: a && b ? combineSrc(a, b) : "mixed" }, ins.encoding);
    } else if ((XORS.has(m) || m === Mnemonic.Xor || m === Mnemonic.Sub) && op0IsReg &&
               ins.opKind(ins.opCount - 1) === OpKind.Register &&
               ins.opRegister(ins.opCount - 1) === ins.opRegister(ins.opCount - 2)) {
      // xor r, r / pxor x, x / vpxor x, y, y: zero, whatever r held.
      write(s, dst, { bytes: new Array(size).fill(0), src: "zero" }, ins.encoding);
      if (m === Mnemonic.Xor || m === Mnemonic.Sub) {
        s.flags = { key: "zero", a: 0n, b: 0n, size: 8 };
        return s;
      }
    } else if ((XORS.has(m) || ADDQS.has(m)) && op0IsReg) {
      const a = operand(ins, vex ? 1 : 0, s), b = operand(ins, vex ? 2 : 1, s);
      write(s, dst, a && b ? lanewise(a, b, size, XORS.has(m) ? (x, y) => x ^ y : (x, y) => x + y) : undefined,
            ins.encoding);
    } else if (m === Mnemonic.Lea && op0IsReg) {
      const addr = ins.memoryBase === Register.RIP || ins.memoryIndex === Register.None ? addressIn(ins, s) : null;
      write(s, dst, addr === null ? undefined : { bytes: bytesOf(addr, 8), src: "imm" }, ins.encoding);
    } else if ((m === Mnemonic.Add || m === Mnemonic.Sub || m === Mnemonic.Cmp || m === Mnemonic.Test) && op0IsReg) {
      const a = operand(ins, 0, s), b = operand(ins, 1, s);
      const x = a ? numberOf(a.bytes, 0, size) : null, y = b ? numberOf(b.bytes, 0, size) : null;
      if (m === Mnemonic.Cmp) s.flags = x !== null && y !== null ? { key: `cmp${x},${y},${size}`, a: x, b: y, size } : null;
      else if (m === Mnemonic.Test) {
        s.flags = x !== null && y !== null ? { key: `test${x & y}`, a: x & y, b: 0n, size } : null;
      } else {
        const bitsMask = (1n << BigInt(8 * size)) - 1n;
        const r = x !== null && y !== null ? (m === Mnemonic.Add ? x + y : x - y) & bitsMask : null;
        write(s, dst, r === null ? undefined : { bytes: bytesOf(r, size), src: combineSrc(a, b) }, ins.encoding);
        s.flags = r === null ? null : { key: `res${r}`, a: r, b: 0n, size };
      }
      return s;
    } else {
      handled = false;
    }
    if (!handled) forgetWritten(ins, s);
    // Compares and additions set known flags above and return; any other
    // instruction that writes flags leaves them unknown.
    if (ins.rflagsModified !== 0) s.flags = null;
    return s;
  };

  const successors = (k, state) => {
    const ins = instrs[k];
    const all = flow.next(k);
    if (ins.flowControl !== FlowControl.ConditionalBranch || !flow.index.has(ins.nearBranchTarget)) return all;
    const taken = branchTaken(state.flags, ins.conditionCode);
    if (taken === undefined) return all;
    const target = flow.index.get(ins.nearBranchTarget);
    return all.filter((j) => (taken ? j === target : j !== target || j === k + 1));
  };

  stateAt[0] = { regs: new Map(), slots: new Map(), flags: null };
  const work = [0];
  while (work.length) {
    const k = work.pop();
    const out = transfer(k, stateAt[k]);
    outAt[k] = out;
    for (const j of successors(k, out)) {
      const merged = stateAt[j] ? joinState(stateAt[j], out) : out;
      if (!stateAt[j] || !sameState(stateAt[j], merged)) {
        stateAt[j] = merged;
        work.push(j);
      }
    }
  }
  info.free();
  return {
    next: (k) => (outAt[k] ? successors(k, outAt[k]) : []),
    after: (k) => outAt[k],
    addressOf: (k) => (stateAt[k] ? addressIn(instrs[k], stateAt[k]) : null),
    reached: (k) => stateAt[k] !== undefined,
  };
}

// The values on entry to the loop: the join over every edge into its first
// instruction from an instruction outside the body.
export function loopEntryState(instrs, loop, flowValues) {
  let state;
  instrs.forEach((_, k) => {
    if (k >= loop.first && k <= loop.last) return;
    if (!flowValues.reached(k) || !flowValues.next(k).includes(loop.first)) return;
    const out = flowValues.after(k);
    state = state ? joinState(state, out) : out;
  });
  return state;
}

// Symbolic evaluation of the loop body, once around. Returns each
// register's expression at the end of the iteration (a copy passes its
// source's expression on), the registers whose entry values the iteration
// reads, the flags the branch tests, and the instructions whose results feed
// neither a later iteration nor the branch.
export function loopGraph(loop) {
  const exprs = new Map();    // full register -> expression
  const defBy = new Map();    // full register -> body index of its last definition
  const usesOf = new Map();   // body index -> body indices of the definitions it read
  const readIn = new Set();   // registers whose entry value the iteration reads
  let flags = null;           // the last flags written: { key, by, ... }
  let branchFlags = null;
  const problems = [];
  const imm = (v) => ({ key: `#${BigInt.asUintN(64, v)}` });
  const op = (name, a, b) => ({ key: `${name}(${[a.key, b.key].sort().join(",")})`, args: [a, b] });
  loop.body.forEach((ins, k) => {
    const m = ins.mnemonic;
    const vex = ins.encoding !== EncodingKind.Legacy;
    const reads = new Set();
    usesOf.set(k, reads);
    const get = (reg) => {
      const f = full(reg);
      if (!exprs.has(f)) {
        readIn.add(f);
        exprs.set(f, { key: `in:${Register[f]}`, reg: f });
      }
      if (defBy.has(f)) reads.add(defBy.get(f));
      return exprs.get(f);
    };
    const src = (i) => {
      const kind = ins.opKind(i);
      if (kind === OpKind.Register) return get(ins.opRegister(i));
      if (kind >= OpKind.Immediate8 && kind <= OpKind.Immediate32to64) return imm(ins.immediate(i));
      return null;
    };
    const readFlags = () => {
      if (flags) reads.add(flags.by);
      return flags;
    };
    let out = null;
    if (ins.opMask !== Register.None) problems.push({ ins, rule: "masked operation in the workload loop" });
    if (COPIES.has(m)) out = src(1);
    else if (ADDQS.has(m) || XORS.has(m) || (m === Mnemonic.Xor && ins.op0Kind === OpKind.Register)) {
      const a = src(vex ? 1 : 0), b = src(vex ? 2 : 1);
      if (a && b) out = op(ADDQS.has(m) ? "add" : "xor", a, b);
    } else if (m === Mnemonic.Lea && ins.memoryIndex === Register.None && ins.memoryBase !== Register.RIP &&
               ins.memoryBase !== Register.None) {
      out = op("add", get(ins.memoryBase), imm(ins.memoryDisplacementU64));
    } else if ([Mnemonic.Add, Mnemonic.Sub, Mnemonic.Inc, Mnemonic.Dec].includes(m) && ins.op0Kind === OpKind.Register) {
      const a = src(0);
      let b = null;
      if (m === Mnemonic.Inc) b = imm(1n);
      else if (m === Mnemonic.Dec) b = imm(MASK64);
      else if (m === Mnemonic.Sub) b = ins.op1Kind === OpKind.Register ? null : imm(-ins.immediate(1));
      else b = src(1);
      if (a && b) out = op("add", a, b);
    } else if ((m === Mnemonic.Cmp || m === Mnemonic.Test) && ins.op0Kind === OpKind.Register) {
      const a = src(0), b = src(1);
      if (a && b) flags = { kind: m === Mnemonic.Cmp ? "cmp" : "test", by: k, a, b };
      return;
    } else if (ins.isJccShortOrNear) {
      branchFlags = readFlags();
      return;
    }
    if (!out) {
      problems.push({ ins, rule: "instruction outside the workload loop's data flow" });
      return;
    }
    const dst = full(ins.opRegister(0));
    exprs.set(dst, out);
    defBy.set(dst, k);
    if ([Mnemonic.Add, Mnemonic.Sub, Mnemonic.Inc, Mnemonic.Dec].includes(m)) flags = { kind: "zero", by: k, value: out };
  });
  // Live: what a later iteration reads (the last definition of every
  // register the iteration reads on entry) and what the branch tests, and
  // everything those read in turn.
  const live = new Set();
  const stack = [...readIn].filter((r) => defBy.has(r)).map((r) => defBy.get(r));
  if (branchFlags) stack.push(branchFlags.by);
  while (stack.length) {
    const k = stack.pop();
    if (live.has(k)) continue;
    live.add(k);
    stack.push(...usesOf.get(k));
  }
  const dead = loop.body.map((_, k) => k).filter((k) => !live.has(k) && !loop.body[k].isJccShortOrNear);
  return { end: exprs, readIn, defBy, branchFlags, dead, problems };
}
