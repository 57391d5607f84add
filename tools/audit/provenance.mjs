// Where the address a call through a register comes from, for the code the
// closure rules read (main, the start-up, what they call): a forward
// analysis over one decoded function that knows, at every instruction,
// which registers and stack slots hold an imported function (loaded from
// its slot), zero, or a code address of the program's own. It follows what
// a compiler does with such a value over a loop and its calls: a
// callee-saved register, a spill to the stack and back (slots placed from
// the stack pointer or a frame pointer set from it). Anything else written
// to a place forgets what it held.
// For closure.stores it also knows the addresses a store may go to: the
// function's own stack (the stack pointer, what is copied, stepped or
// aligned from it), a fixed data address (RIP-relative or immediate), and
// the thread's errno, whose address __errno_location (_errno on Windows)
// returns. For closure.output it knows which standard stream a register
// holds, and for closure.roots the registers cleared to zero.

import { InstructionInfoFactory, MemorySizeExt, Mnemonic, OpAccess, OpKind, Register } from "iced-x86";
import { solveForward } from "./engine.mjs";
import { decodeReachable } from "./context.mjs";
import { fullRegister, isCall, isImmediate } from "./isa.mjs";

// What a call leaves unchanged, by calling convention.
const CALLEE_SAVED = {
  sysv: new Set([Register.RBX, Register.RBP, Register.RSP, Register.R12, Register.R13, Register.R14, Register.R15]),
  win64: new Set([Register.RBX, Register.RBP, Register.RDI, Register.RSI, Register.RSP, Register.R12, Register.R13,
                  Register.R14, Register.R15]),
};

const sameTag = (a, b) => !!a && !!b && a.kind === b.kind && a.name === b.name && a.target === b.target && a.off === b.off &&
  a.caller === b.caller;
const is64 = (reg) => reg !== Register.None && fullRegister(reg) === reg && reg >= Register.RAX && reg <= Register.R15;
// A 32-bit general register, whose writes clear the upper half: position-
// dependent code loads an address below 4 GiB as mov $addr, %ebx.
const is32 = (reg) => reg >= Register.EAX && reg <= Register.R15D;

// The functions that return the address of the thread's errno.
const ERRNO_FUNCTIONS = new Set(["__errno_location", "_errno"]);

// The C library's standard streams by their variables' names: read through
// the import's slot (a PIE), from the program's copy (-no-pie) or, linked
// statically, from the library's own variable. MinGW's runtime hands them
// out by number instead: __acrt_iob_func(1) is stdout, (2) stderr.
const STREAM_VARIABLE = /^(stdout|stderr)(@|$)/;
const STREAM_NUMBERS = new Map([[1n, "stdout"], [2n, "stderr"]]);
const streamNamed = (name) => STREAM_VARIABLE.exec(name ?? "")?.[1] ?? null;

// What loading a 64-bit `value` (an immediate or a RIP-relative address
// taken by lea) gives a place: zero, code, or a fixed address in the data.
function tagOfAddress(binary, value) {
  if (value === 0n) return { kind: "zero" };
  return binary.isExecutable(value) ? { kind: "code", target: value } : { kind: "address", target: value };
}

// What a 64-bit load from `slot` gives: an import by name, zero, or code.
function tagOfSlot(binary, slot) {
  const imp = binary.importAt(slot);
  if (imp) return { kind: "import", name: imp.name };
  const value = binary.pointerAt(slot);
  if (value === 0n) return { kind: "zero" };
  return value !== null && binary.isExecutable(value) ? { kind: "code", target: value } : null;
}

// What register `r` holds: the stack pointer is a place in the stack at
// the offset the analysis follows.
const tagOf = (s, r) => (r === Register.RSP ? { kind: "stack", off: s.rsp } : s.places.get(`r${r}`));
// A place in the stack, `off` bytes from the stack pointer at entry (null
// where not known); `caller`: in a caller's frame, above the return address,
// where no slot of the function's own lies.
const inStack = (off, caller = false) => ({ kind: "stack", off, caller });

// The stack slot an operand names, as an offset from the stack pointer at
// entry, or null: addressed from the stack pointer or from any register
// that points into the frame at a known offset (a frame pointer).
function stackSlot(ins, state) {
  if (ins.memoryIndex !== Register.None || !is64(ins.memoryBase)) return null;
  const base = tagOf(state, ins.memoryBase);
  return base?.kind === "stack" && base.off !== null && base.off !== undefined
    ? base.off + BigInt.asIntN(64, ins.memoryDisplacementU64) : null;
}

// What a call leaves: the callee-saved registers and the stack as they
// were, errno's address or a standard stream where the callee returns one.
// The registers a function of the program's own, and all it calls, may
// write; null where it calls or jumps to anything the audit cannot read. A
// compiler that sees the callee (GCC's -fipa-ra) keeps values in the
// others across the call.
const clobbers = new WeakMap();
function writtenBy(binary, addr, info) {
  if (!clobbers.has(binary)) clobbers.set(binary, new Map());
  const known = clobbers.get(binary);
  if (known.has(addr)) return known.get(addr);
  known.set(addr, null);
  const sym = binary.code.find((x) => x.addr === addr);
  if (!sym) return null;
  const code = decodeReachable(binary, sym, binary.code.filter((p) => p.name.startsWith(`${sym.name}.`)), null);
  if (code.exits.length) return null;
  const out = new Set();
  for (const ins of code.instrs) {
    const t = code.targets.get(ins.ip);
    const callee = isCall(ins) ? (t?.kind === "program" ? writtenBy(binary, ins.nearBranchTarget, info) : null) : new Set();
    if (!callee) return null;
    callee.forEach((r) => out.add(r));
    for (const u of info.info(ins).usedRegisters())
      if (u.access !== OpAccess.Read && u.access !== OpAccess.CondRead) out.add(fullRegister(u.register));
  }
  known.set(addr, out);
  return out;
}

function afterCall(ins, s, env) {
  const reg = (r) => s.places.get(`r${r}`);
  const target = env.code.targets.get(ins.ip);
  const written = target?.kind === "program" && !env.callee(ins) ? writtenBy(env.binary, ins.nearBranchTarget, env.info) : null;
  // A call through a register loaded from an import's slot (MinGW's call
  // *%rbx to _errno), or through a register or a slot that holds the
  // runtime's own function (a static MinGW build's __acrt_iob_func).
  const via = ins.op0Kind === OpKind.Register ? reg(fullRegister(ins.op0Register))
    : ins.memoryBase === Register.RIP ? tagOfSlot(env.binary, ins.memoryDisplacementU64) : null;
  const callee = env.callee(ins) ?? (via?.kind === "import" ? via.name : via?.kind === "code" ? env.binary.nameAt(via.target) : null);
  const number = reg(Register.RCX);
  for (const key of [...s.places.keys()])
    if (key.startsWith("r") && !env.saved.has(Number(key.slice(1))) && !(written && !written.has(Number(key.slice(1)))))
      s.places.delete(key);
  if (ERRNO_FUNCTIONS.has(callee)) s.places.set(`r${Register.RAX}`, { kind: "errno" });
  if (callee === "__acrt_iob_func" && number?.kind === "address" && STREAM_NUMBERS.has(number.target))
    s.places.set(`r${Register.RAX}`, { kind: "stream", name: STREAM_NUMBERS.get(number.target) });
  return s;
}

// The state's register and slot updates. The stack pointer always points
// into the stack, whatever it is set to: it is followed as `rsp`.
const setReg = (s, r, tag) => (r === Register.RSP ? null : tag ? s.places.set(`r${r}`, tag) : s.places.delete(`r${r}`));
// A store of `size` bytes at `off` ends what the slots it overlaps held.
function setSlot(s, off, tag, size = 8n) {
  for (const key of [...s.places.keys()])
    if (key.startsWith("s") && BigInt(key.slice(1)) < off + size && off < BigInt(key.slice(1)) + 8n) s.places.delete(key);
  if (tag) s.places.set(`s${off}`, tag);
}
// The stack pointer moved to `off` (null: by an amount not known, which
// loses every slot).
function moveStack(s, off) {
  s.rsp = off;
  if (off === null) for (const key of [...s.places.keys()]) if (key.startsWith("s")) s.places.delete(key);
}

// The steps that move the stack pointer, a pointer into the stack or into
// a data object: push, pop, leave, and adding, subtracting or aligning by a
// constant. Returns whether `ins` is one.
function stackStep(ins, s) {
  const m = ins.mnemonic, dst = ins.op0Kind === OpKind.Register ? ins.op0Register : Register.None;
  const reg = (r) => tagOf(s, r);
  if (m === Mnemonic.Push && s.rsp !== null) {
    s.rsp -= 8n; setSlot(s, s.rsp, ins.op0Kind === OpKind.Register ? reg(fullRegister(ins.op0Register)) : null); return true;
  }
  if (m === Mnemonic.Pop && is64(dst) && s.rsp !== null) {
    setReg(s, dst, s.places.get(`s${s.rsp}`)); s.rsp += 8n; return true;
  }
  // leave: the stack pointer from the frame pointer, then pop the frame pointer.
  if (m === Mnemonic.Leave) {
    const frame = reg(Register.RBP);
    moveStack(s, frame?.kind === "stack" && frame.off !== null ? frame.off + 8n : null);
    setReg(s, Register.RBP, s.rsp === null ? null : s.places.get(`s${s.rsp - 8n}`));
    return true;
  }
  if (m === Mnemonic.Mov && dst === Register.RSP && ins.op1Kind === OpKind.Register && reg(ins.op1Register)?.kind === "stack") {
    moveStack(s, reg(ins.op1Register).off); return true;
  }
  if ((m === Mnemonic.Add || m === Mnemonic.Sub) && is64(dst) && isImmediate(ins.op1Kind)) {
    const step = m === Mnemonic.Add ? BigInt.asIntN(64, ins.immediate(1)) : -BigInt.asIntN(64, ins.immediate(1));
    const was = reg(dst);
    if (dst === Register.RSP) { if (s.rsp !== null) s.rsp += step; }
    // A pointer stepped through a data object stays in it (as far as the
    // analysis goes: closure.stores holds the whole object to its rules).
    else if (was?.kind === "address" || was?.kind === "object") setReg(s, dst, { kind: "object", target: was.target });
    else if (was?.kind === "stack") setReg(s, dst, inStack(was.off === null ? null : was.off + step, was.caller));
    else setReg(s, dst, null);
    return true;
  }
  // The stack pointer aligned (and $-16): still the stack, at an offset not known.
  if (m === Mnemonic.And && is64(dst) && dst !== Register.RSP && isImmediate(ins.op1Kind) && reg(dst)?.kind === "stack") {
    setReg(s, dst, inStack(null, reg(dst).caller)); return true;
  }
  return false;
}

// What an instruction no step models leaves: what it writes is no longer
// known; a store into the stack that cannot be placed may land on any slot.
function forgetWritten(ins, s, input, env) {
  for (const u of env.info.info(ins).usedRegisters()) {
    if (u.access === OpAccess.Read || u.access === OpAccess.CondRead) continue;
    const r = fullRegister(u.register);
    if (r === Register.RSP) moveStack(s, null);
    else setReg(s, r, null);
  }
  for (const mem of env.info.info(ins).usedMemory()) {
    if (mem.access === OpAccess.Read || mem.access === OpAccess.NoMemAccess) continue;
    const base = is64(mem.base) && mem.index === Register.None ? tagOf(input, mem.base) : null;
    const off = base?.kind === "stack" && base.off !== null ? base.off + BigInt.asIntN(64, mem.displacement) : null;
    if (off !== null) setSlot(s, off, null, BigInt(MemorySizeExt.size(mem.memorySize) || 64));
    else if ((base?.kind === "stack" && !base.caller) || mem.base === Register.RSP) setSlot(s, -(1n << 62n), null, 1n << 63n);
  }
  return s;
}

function transfer(ins, input, env) {
  const s = { places: new Map(input.places), rsp: input.rsp };
  const reg = (r) => tagOf(s, r);
  const set = (r, tag) => { setReg(s, r, tag); return s; };
  const dst = ins.op0Kind === OpKind.Register ? ins.op0Register : Register.None;
  if (isCall(ins)) return afterCall(ins, s, env);
  if (stackStep(ins, s)) return s;
  const m = ins.mnemonic;
  // Two registers swapped (Clang's cpuid.h keeps RBX so).
  if (m === Mnemonic.Xchg && is64(dst) && ins.op1Kind === OpKind.Register && is64(ins.op1Register)) {
    const [a, b] = [reg(dst), reg(ins.op1Register)];
    setReg(s, dst, b);
    return set(ins.op1Register, a);
  }
  // A register cleared by xor or sub with itself.
  if ((m === Mnemonic.Xor || m === Mnemonic.Sub) && (is32(dst) || is64(dst)) && ins.op1Kind === OpKind.Register &&
      ins.op1Register === dst) return set(fullRegister(dst), { kind: "zero" });
  if (m === Mnemonic.Lea && is64(dst) && ins.memoryBase === Register.RIP) return set(dst, tagOfAddress(env.binary, ins.memoryDisplacementU64));
  // The next entry's address, computed apart from the pointer (as the
  // undefined-behaviour checks do before they test it for overflow).
  if (m === Mnemonic.Lea && is64(dst) && is64(ins.memoryBase) && ins.memoryIndex === Register.None) {
    const base = reg(ins.memoryBase);
    if (base?.kind === "address" || base?.kind === "object") return set(dst, { kind: "object", target: base.target });
    return set(dst, base?.kind === "stack" ? inStack(stackSlot(ins, s), base.caller) : null);
  }
  // A 32-bit copy of a cleared register clears the whole one.
  if (m === Mnemonic.Mov && is32(dst) && ins.op1Kind === OpKind.Register && is32(ins.op1Register))
    return set(fullRegister(dst), reg(fullRegister(ins.op1Register))?.kind === "zero" ? { kind: "zero" } : null);
  if (m === Mnemonic.Mov && is32(dst) && isImmediate(ins.op1Kind))
    return set(fullRegister(dst), tagOfAddress(env.binary, BigInt.asUintN(32, ins.immediate(1))));
  if (m === Mnemonic.Mov && is64(dst)) {
    if (isImmediate(ins.op1Kind)) return set(dst, tagOfAddress(env.binary, BigInt.asUintN(64, ins.immediate(1))));
    if (ins.op1Kind === OpKind.Register) return set(dst, is64(ins.op1Register) ? reg(ins.op1Register) : null);
    if (ins.memoryBase === Register.RIP) {
      const stream = streamNamed(env.binary.nameAt(ins.memoryDisplacementU64));
      return set(dst, stream ? { kind: "stream", name: stream } : tagOfSlot(env.binary, ins.memoryDisplacementU64));
    }
    // A stream read through its variable's import slot.
    const base = is64(ins.memoryBase) && ins.memoryIndex === Register.None ? reg(ins.memoryBase) : null;
    if (base?.kind === "import" && streamNamed(base.name) && ins.memoryDisplacementU64 === 0n)
      return set(dst, { kind: "stream", name: streamNamed(base.name) });
    const off = stackSlot(ins, s);
    if (off !== null) return set(dst, s.places.get(`s${off}`));
  }
  if (m === Mnemonic.Mov && ins.op0Kind === OpKind.Memory && ins.op1Kind === OpKind.Register && is64(ins.op1Register)) {
    const off = stackSlot(ins, s);
    if (off !== null) { setSlot(s, off, reg(ins.op1Register)); return s; }
  }
  return forgetWritten(ins, s, input, env);
}

function join(a, b) {
  const rsp = a.rsp === b.rsp ? a.rsp : null;
  const places = new Map();
  const inData = (t) => t?.kind === "address" || t?.kind === "object";
  for (const [key, tag] of a.places) {
    if (!key.startsWith("r") && rsp === null) continue;
    const other = b.places.get(key);
    if (sameTag(tag, other)) places.set(key, tag);
    else if (tag.kind === "stack" && other?.kind === "stack") places.set(key, inStack(null, tag.caller && other.caller));
    // A pointer set to an object's address and one stepped from it: in the object.
    else if (inData(tag) && inData(other) && tag.target === other.target) places.set(key, { kind: "object", target: tag.target });
  }
  return { places, rsp };
}
const equal = (a, b) => a.rsp === b.rsp && a.places.size === b.places.size &&
  [...a.places].every(([key, tag]) => sameTag(tag, b.places.get(key)));

// The analysis over `code` (decodeReachable's), `callee(ins)` the name of the
// function a call reaches where it is known, `entry` what registers hold
// on entry (the arguments a caller passes), a Map. Returns
// registerAt(k, reg): what `reg` holds before instruction k, or null.
export function provenance(binary, code, callee = () => null, entry = new Map()) {
  const info = new InstructionInfoFactory();
  const env = { binary, code, info, callee, saved: CALLEE_SAVED[binary.abi] };
  const solved = solveForward({
    size: code.instrs.length, entries: [code.entry ?? 0], initial: () => ({ places: new Map([...entry].map(([r, tag]) => [`r${r}`, tag])), rsp: 0n }),
    successors: (k) => code.next(k), transfer: (k, s) => transfer(code.instrs[k], s, env), join, equal,
  });
  info.free();
  return { registerAt: (k, reg) => (solved.before(k) ? tagOf(solved.before(k), fullRegister(reg)) ?? null : null) };
}

// The registers that pass arguments, by calling convention: what a caller
// leaves in them is what the callee's analysis starts from.
const ARGUMENTS = {
  sysv: [Register.RDI, Register.RSI, Register.RDX, Register.RCX, Register.R8, Register.R9],
  win64: [Register.RCX, Register.RDX, Register.R8, Register.R9],
};
export const argumentRegisters = (binary) => ARGUMENTS[binary.abi];
export function argumentsAt(binary, prov, k) {
  const out = new Map();
  for (const r of ARGUMENTS[binary.abi]) {
    const tag = prov.registerAt(k, r);
    // A place in the caller's stack is the callee's stack too, at an offset
    // from its own entry that the callee does not know.
    if (tag) out.set(r, tag.kind === "stack" ? inStack(null, true) : tag);
  }
  return out;
}
