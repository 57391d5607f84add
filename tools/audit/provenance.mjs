// Where the address a call through a register comes from, for the code the
// closure rules read (main, the start-up, what they call): a forward
// analysis over one decoded function that knows, at every instruction,
// which registers and stack slots hold an imported function (loaded from
// its slot), zero, a code address of the program's own, or a pointer into
// the driver's table of measuring functions, set to the table's address
// and stepped by constants, or a function read from such a pointer. It follows what a compiler does with such a
// pointer over a loop and its calls: a callee-saved register, a spill to
// the stack and back. Anything else written to a place forgets what it held.
// For closure.stores it also knows the addresses a store may go to: the
// function's own stack (the stack pointer, what is copied, stepped or
// aligned from it), a fixed data address (RIP-relative or immediate), and
// the thread's errno, whose address __errno_location (_errno on Windows)
// returns. For closure.output it knows which standard stream a register
// holds, and for closure.roots the registers cleared to zero.

import { InstructionInfoFactory, MemorySizeExt, Mnemonic, OpAccess, OpKind, Register } from "iced-x86";
import { solveForward } from "./engine.mjs";
import { fullRegister, isCall, isImmediate } from "./isa.mjs";

// What a call leaves unchanged, by calling convention.
const CALLEE_SAVED = {
  sysv: new Set([Register.RBX, Register.RBP, Register.RSP, Register.R12, Register.R13, Register.R14, Register.R15]),
  win64: new Set([Register.RBX, Register.RBP, Register.RDI, Register.RSI, Register.RSP, Register.R12, Register.R13,
                  Register.R14, Register.R15]),
};

const sameTag = (a, b) => !!a && !!b && a.kind === b.kind && a.name === b.name && a.target === b.target;
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
// taken by lea) gives a place: a table pointer, zero, code, or a fixed
// address in the data.
function tagOfAddress(binary, value, tables) {
  if (tables.has(value)) return { kind: "table" };
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

// The stack slot an operand names, as an offset from the stack pointer at
// entry, or null.
function stackSlot(ins, state) {
  if (ins.memoryBase !== Register.RSP || ins.memoryIndex !== Register.None || state.rsp === null) return null;
  return state.rsp + BigInt.asIntN(64, ins.memoryDisplacementU64);
}

// What a call leaves: the callee-saved registers and the stack as they
// were, errno's address or a standard stream where the callee returns one.
function afterCall(ins, s, env) {
  const reg = (r) => s.places.get(`r${r}`);
  // A call through a register loaded from an import's slot (MinGW's call
  // *%rbx to _errno), or through a register or a slot that holds the
  // runtime's own function (a static MinGW build's __acrt_iob_func).
  const via = ins.op0Kind === OpKind.Register ? reg(fullRegister(ins.op0Register))
    : ins.memoryBase === Register.RIP ? tagOfSlot(env.binary, ins.memoryDisplacementU64) : null;
  const callee = env.callee(ins) ?? (via?.kind === "import" ? via.name : via?.kind === "code" ? env.binary.nameAt(via.target) : null);
  const number = reg(Register.RCX);
  for (const key of [...s.places.keys()])
    if (key.startsWith("r") && !env.saved.has(Number(key.slice(1)))) s.places.delete(key);
  if (ERRNO_FUNCTIONS.has(callee)) s.places.set(`r${Register.RAX}`, { kind: "errno" });
  if (callee === "__acrt_iob_func" && number?.kind === "address" && STREAM_NUMBERS.has(number.target))
    s.places.set(`r${Register.RAX}`, { kind: "stream", name: STREAM_NUMBERS.get(number.target) });
  return s;
}

function transfer(ins, input, env) {
  const s = { places: new Map(input.places), rsp: input.rsp };
  const reg = (r) => s.places.get(`r${r}`);
  // The stack pointer always points into the stack, whatever it is set to.
  const setReg = (r, tag) => (r === Register.RSP ? null : tag ? s.places.set(`r${r}`, tag) : s.places.delete(`r${r}`));
  // A store of `size` bytes at `off` ends what the slots it overlaps held.
  const setSlot = (off, tag, size = 8n) => {
    for (const key of [...s.places.keys()])
      if (key.startsWith("s") && BigInt(key.slice(1)) < off + size && off < BigInt(key.slice(1)) + 8n) s.places.delete(key);
    if (tag) s.places.set(`s${off}`, tag);
  };
  const dst = ins.op0Kind === OpKind.Register ? ins.op0Register : Register.None;
  if (isCall(ins)) return afterCall(ins, s, env);
  const m = ins.mnemonic;
  if (m === Mnemonic.Push && s.rsp !== null) {
    s.rsp -= 8n; setSlot(s.rsp, ins.op0Kind === OpKind.Register ? reg(fullRegister(ins.op0Register)) : null); return s;
  }
  if (m === Mnemonic.Pop && is64(dst) && s.rsp !== null) {
    setReg(dst, s.places.get(`s${s.rsp}`)); s.rsp += 8n; return s;
  }
  if ((m === Mnemonic.Add || m === Mnemonic.Sub) && is64(dst) && isImmediate(ins.op1Kind)) {
    const step = BigInt.asIntN(64, ins.immediate(1));
    if (dst === Register.RSP) { if (s.rsp !== null) s.rsp += m === Mnemonic.Add ? step : -step; return s; }
    // A pointer stepped through a data object stays in it (as far as the
    // analysis goes: closure.stores holds the whole object to its rules).
    const kind = reg(dst)?.kind;
    if (kind === "address" || kind === "object") setReg(dst, { kind: "object", target: reg(dst).target });
    else if (kind !== "table" && kind !== "stack") setReg(dst, null);
    return s;
  }
  // The stack pointer aligned (and $-16): still the stack.
  if (m === Mnemonic.And && is64(dst) && dst !== Register.RSP && isImmediate(ins.op1Kind) && reg(dst)?.kind === "stack") return s;
  // A register cleared by xor or sub with itself.
  if ((m === Mnemonic.Xor || m === Mnemonic.Sub) && (is32(dst) || is64(dst)) && ins.op1Kind === OpKind.Register &&
      ins.op1Register === dst) { setReg(fullRegister(dst), { kind: "zero" }); return s; }
  if (m === Mnemonic.Lea && is64(dst) && ins.memoryBase === Register.RIP) { setReg(dst, tagOfAddress(env.binary, ins.memoryDisplacementU64, env.tables)); return s; }
  // The next entry's address, computed apart from the pointer (as the
  // undefined-behaviour checks do before they test it for overflow).
  if (m === Mnemonic.Lea && is64(dst) && is64(ins.memoryBase) && ins.memoryIndex === Register.None) {
    const base = reg(ins.memoryBase);
    if (base?.kind === "address" || base?.kind === "object") setReg(dst, { kind: "object", target: base.target });
    else setReg(dst, base?.kind === "table" || base?.kind === "stack" ? { kind: base.kind } : null);
    return s;
  }
  if (m === Mnemonic.Mov && is32(dst) && isImmediate(ins.op1Kind)) {
    setReg(fullRegister(dst), tagOfAddress(env.binary, BigInt.asUintN(32, ins.immediate(1)), env.tables)); return s;
  }
  if (m === Mnemonic.Mov && is64(dst)) {
    if (isImmediate(ins.op1Kind)) { setReg(dst, tagOfAddress(env.binary, BigInt.asUintN(64, ins.immediate(1)), env.tables)); return s; }
    if (ins.op1Kind === OpKind.Register) { setReg(dst, is64(ins.op1Register) ? reg(ins.op1Register) : null); return s; }
    if (ins.memoryBase === Register.RIP) {
      const stream = streamNamed(env.binary.nameAt(ins.memoryDisplacementU64));
      setReg(dst, stream ? { kind: "stream", name: stream } : tagOfSlot(env.binary, ins.memoryDisplacementU64));
      return s;
    }
    // A stream read through its variable's import slot.
    const base = is64(ins.memoryBase) && ins.memoryIndex === Register.None ? reg(ins.memoryBase) : null;
    if (base?.kind === "import" && streamNamed(base.name) && ins.memoryDisplacementU64 === 0n) {
      setReg(dst, { kind: "stream", name: streamNamed(base.name) }); return s;
    }
    // An entry's function, read from where a table pointer points.
    if (ins.op1Kind === OpKind.Memory && is64(ins.memoryBase) && ins.memoryIndex === Register.None &&
        reg(ins.memoryBase)?.kind === "table") { setReg(dst, { kind: "measuring" }); return s; }
    const off = stackSlot(ins, s);
    if (off !== null) { setReg(dst, s.places.get(`s${off}`)); return s; }
  }
  if (m === Mnemonic.Mov && ins.op0Kind === OpKind.Memory && ins.op1Kind === OpKind.Register && is64(ins.op1Register)) {
    const off = stackSlot(ins, s);
    if (off !== null) { setSlot(off, reg(ins.op1Register)); return s; }
  }
  // Anything else: what it writes is no longer known; a stack pointer moved
  // by an amount not known loses every slot.
  for (const u of env.info.info(ins).usedRegisters()) {
    if (u.access === OpAccess.Read || u.access === OpAccess.CondRead) continue;
    const r = fullRegister(u.register);
    if (r === Register.RSP) {
      s.rsp = null;
      for (const key of [...s.places.keys()]) if (key.startsWith("s")) s.places.delete(key);
    } else setReg(r, null);
  }
  for (const mem of env.info.info(ins).usedMemory()) {
    if (mem.access === OpAccess.Read || mem.access === OpAccess.NoMemAccess) continue;
    const off = mem.base === Register.RSP && mem.index === Register.None && s.rsp !== null ? s.rsp + BigInt.asIntN(64, mem.displacement) : null;
    if (off !== null) setSlot(off, null, BigInt(MemorySizeExt.size(mem.memorySize) || 64));
  }
  return s;
}

function join(a, b) {
  const rsp = a.rsp === b.rsp ? a.rsp : null;
  const places = new Map();
  const inData = (t) => t?.kind === "address" || t?.kind === "object";
  for (const [key, tag] of a.places) {
    if (!key.startsWith("r") && rsp === null) continue;
    const other = b.places.get(key);
    if (sameTag(tag, other)) places.set(key, tag);
    // A pointer set to an object's address and one stepped from it: in the object.
    else if (inData(tag) && inData(other) && tag.target === other.target) places.set(key, { kind: "object", target: tag.target });
  }
  return { places, rsp };
}
const equal = (a, b) => a.rsp === b.rsp && a.places.size === b.places.size &&
  [...a.places].every(([key, tag]) => sameTag(tag, b.places.get(key)));

// The analysis over `code` (decodeReachable's), `tables` the addresses of
// the driver's tables of measuring functions, `callee(ins)` the name of the
// function a call reaches where it is known, `entry` what registers hold
// on entry (the arguments a caller passes), a Map. Returns
// registerAt(k, reg): what `reg` holds before instruction k, or null.
export function provenance(binary, code, tables, callee = () => null, entry = new Map()) {
  const info = new InstructionInfoFactory();
  const env = { binary, tables, info, callee, saved: CALLEE_SAVED[binary.abi] };
  const solved = solveForward({
    size: code.instrs.length, entries: [code.entry ?? 0], initial: () => ({ places: new Map([...entry].map(([r, tag]) => [`r${r}`, tag]).concat([[`r${Register.RSP}`, { kind: "stack" }]])), rsp: 0n }),
    successors: (k) => code.next(k), transfer: (k, s) => transfer(code.instrs[k], s, env), join, equal,
  });
  info.free();
  return { registerAt: (k, reg) => solved.before(k)?.places.get(`r${fullRegister(reg)}`) ?? null };
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
    if (tag) out.set(r, tag);
  }
  return out;
}
