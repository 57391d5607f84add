// The clock, read_ticks, audited as strictly as the measuring functions:
// every timed region begins and ends in it, so a clock that returns a
// counter, reads a time function the program wrote itself, or returns
// somewhere other than to its caller would make every line misreport while
// each measuring function passes.

import { FlowControl, InstructionInfoFactory, MemorySizeExt, Mnemonic as M, OpAccess, OpKind, Register,
         RegisterExt } from "iced-x86";
import { reachable, solveForward } from "../engine.mjs";
import { bytesOf, numberOf, valueSteps } from "../dataflow.mjs";
import { CLASSES, isCall, isImmediate, fullRegister, zeroingIdiom } from "../isa.mjs";
import { CLOCK } from "../variants.mjs";
import { placeOf } from "./timed.mjs";
import { programEnd } from "../targets.mjs";

// The system's time function, which fills a timeval (the layout the scale
// below is checked on), by the name an import entry or relocation gives it.
// A static Linux build links the C library's own, under the name reserved
// to it; MinGW always links its runtime's gettimeofday into the executable,
// which then calls the Windows API. Linked in, it must lie after the
// program's own objects, among the libraries': one the program defines is
// its own code, which no rule here reads.
const IMPORTED = { elf: new Set(["gettimeofday"]), pe: new Set() };
const LINKED = { elf: new Set(["__gettimeofday"]), pe: new Set(["gettimeofday", "mingw_gettimeofday"]) };
// MinGW's runtime defines its gettimeofday in one object with these: one
// the program defines, wherever the link puts it, comes without them.
const RUNTIME_COMPANIONS = ["getntptimeofday", "mingw_gettimeofday"];
// The stack protector's failure report, the one other call: it never returns.
const FAILURE = "__stack_chk_fail";
// The out-parameter the time function fills: a timeval or timespec.
const OUT_BYTES = 16n;

// A static ELF executable has no program interpreter: there, the C
// library's functions are linked in and found by their symbols.
const isStatic = (binary) => binary.format === "elf" && !binary.sections.some((s) => s.name === ".interp");

// What the call at k reaches: "time", "failure", or a reason it is neither.
function classifyCall(ctx, k) {
  const t = ctx.code.targets.get(ctx.code.instrs[k].ip);
  const format = ctx.binary.format;
  if (!t) return "an indirect call through a register";
  if (t.kind === "import" && IMPORTED[format].has(t.name)) return "time";
  if (t.kind === "import" && t.name === FAILURE) return "failure";
  const own = ctx.code.instrs[k].nearBranchTarget < programEnd(ctx.binary) ||
    (format === "pe" && !RUNTIME_COMPANIONS.every((n) => ctx.binary.code.some((s) => s.name === n)));
  if (t.kind === "program" && LINKED[format].has(t.name) && (format === "pe" || isStatic(ctx.binary)) && !own) return "time";
  if (t.kind === "program" && (IMPORTED[format].has(t.name) || LINKED[format].has(t.name)))
    return `${t.name} defined by the program itself, not the system's time function`;
  return `${t.name ?? t.kind}, which is not the system's time function`;
}

// The stack pointer's offset from its value at entry before instruction k,
// or null where the analysis cannot place it.
function stackOffset(ctx, k) {
  const p = ctx.values.before(k)?.frame.get(Register.RSP);
  return p && p.base === "entry" ? p.off : null;
}

// Whether a slot of `size` bytes at `off` is the clock's own: below the
// return address, or on Windows in the caller's shadow space it may use.
function ownSlot(ctx, off, size) {
  if (off + BigInt(size) <= 0n) return true;
  return ctx.binary.abi === "win64" && off >= 8n && off + BigInt(size) <= 40n;
}

// The calls: exactly one to the time function on every path from the entry
// to a return, and none else but the failure report.
function checkCalls(ctx, report) {
  const { code, values } = ctx;
  const time = [];
  code.instrs.forEach((ins, k) => {
    if (!isCall(ins) || !values.reached(k)) return;
    const what = classifyCall(ctx, k);
    if (what === "time") time.push(k);
    else if (what !== "failure") report(ins, `calls ${what}`);
  });
  const isTime = (k) => time.includes(k);
  const returns = (seen) => [...seen].filter((k) => code.returns(k));
  const untimed = returns(reachable([code.entry], values.next, (k) => !isTime(k)));
  for (const k of untimed) report(code.instrs[k], "a path from the entry returns without calling the system's time function");
  for (const k of time) {
    const again = [...reachable(values.next(k), values.next)].find(isTime);
    if (again !== undefined) report(code.instrs[again], "the time function can be called twice in one reading");
    checkOutParameter(ctx, k, report);
  }
  return time;
}

// The time function's out-parameter lies in the clock's own frame: it
// must not write over the return address or the caller's frame.
function checkOutParameter(ctx, k, report) {
  const state = ctx.values.before(k);
  const args = ctx.binary.abi === "win64" ? [Register.RCX, Register.RDX] : [Register.RDI, Register.RSI];
  for (const r of args) {
    const p = state?.frame.get(r);
    if (p && (p.base !== "entry" || !ownSlot(ctx, p.off, OUT_BYTES)))
      report(ctx.code.instrs[k], "passes the time function a place outside the clock's own frame to fill");
  }
}

// Memory: stores only into the clock's own frame; loads from it, from
// read-only data and from the stack protector's canary, nothing else.
function checkMemory(ctx, report) {
  const { code, values, binary } = ctx;
  const info = new InstructionInfoFactory();
  code.instrs.forEach((ins, k) => {
    if (!values.reached(k)) return;
    // The stack's own moves: checkReturns follows what they save and restore.
    if ([M.Push, M.Pop, M.Leave].includes(ins.mnemonic) || isCall(ins) || code.returns(k)) return;
    for (const m of info.info(ins).usedMemory()) {
      if (m.access === OpAccess.NoMemAccess) continue;
      const writes = m.access !== OpAccess.Read && m.access !== OpAccess.CondRead;
      const place = placeOf(ctx, k);
      const size = MemorySizeExt.size(m.memorySize);
      const slot = place?.slot?.base === "entry" ? place.slot.off : null;
      if (slot !== null && ownSlot(ctx, slot, size)) continue;
      if (writes) report(ins, slot !== null && slot >= 0n ? "stores into its return address or its caller's frame"
        : "stores outside its own frame");
      else if (!(place?.tls === 0x28n) && !(place?.addr !== undefined && binary.isReadOnly(place.addr)))
        report(ins, "reads memory other than its own frame and read-only data: its result would not be the time function's");
    }
  });
  info.free();
}

// Returns: each with the stack pointer back where it was at entry, and every
// callee-saved register holding its entry value, by a forward analysis of
// where each one's entry value lies (its register, or a slot it was pushed
// or stored to).
function checkReturns(ctx, report) {
  const { code, values, binary } = ctx;
  const saved = binary.abi === "win64"
    ? [Register.RBX, Register.RBP, Register.RDI, Register.RSI, Register.R12, Register.R13, Register.R14, Register.R15]
    : [Register.RBX, Register.RBP, Register.R12, Register.R13, Register.R14, Register.R15];
  const info = new InstructionInfoFactory();
  const result = solveForward({
    size: code.instrs.length, entries: [code.entry],
    initial: () => new Map(saved.map((r) => [r, "home"])),
    successors: (k) => values.next(k),
    transfer: (k, state) => savedAfter(ctx, k, state, info),
    join: (a, b) => new Map([...a].filter(([r, w]) => b.get(r) === w)),
    equal: (a, b) => a.size === b.size && [...a].every(([r, w]) => b.get(r) === w),
  });
  info.free();
  code.instrs.forEach((ins, k) => {
    if (!values.reached(k)) return;
    // A return, or a jump to a return thunk (retpoline builds) that returns for it.
    if (code.leaves(k) && !code.returns(k))
      report(ins, "leaves the clock other than by returning to its caller");
    if (!code.returns(k)) return;
    if (ins.flowControl === FlowControl.Return && ins.opCount > 0) report(ins, "a return that also pops its caller's stack");
    if (stackOffset(ctx, k) !== 0n) report(ins, "returns with the stack pointer not where it was at entry: not to its caller");
    const state = result.before(k);
    for (const r of saved)
      if (state.get(r) !== "home") report(ins, `returns with ${Register[r].toLowerCase()}, which its caller keeps, changed`);
  });
}

// Where each callee-saved register's entry value lies after instruction k:
// "home" (in the register), "slot:OFF" (pushed or stored there), or gone.
function savedAfter(ctx, k, state, info) {
  const ins = ctx.code.instrs[k];
  const out = new Map(state);
  const sp = stackOffset(ctx, k);
  const reg = ins.op0Kind === OpKind.Register ? fullRegister(ins.op0Register) : null;
  if (ins.mnemonic === M.Push && reg !== null && sp !== null) {
    for (const [r, w] of out) if (w === `slot:${sp - 8n}`) out.delete(r);
    if (state.get(reg) === "home") out.set(reg, `slot:${sp - 8n}`);
    return out;
  }
  // leave: the stack pointer from the frame pointer, then pop rbp.
  const frame = ctx.values.before(k)?.frame.get(Register.RBP);
  const popped = ins.mnemonic === M.Pop && reg !== null ? { reg, at: sp }
    : ins.mnemonic === M.Leave ? { reg: Register.RBP, at: frame?.base === "entry" ? frame.off : null } : null;
  if (popped) {
    if (popped.at !== null && state.get(popped.reg) === `slot:${popped.at}`) out.set(popped.reg, "home");
    else out.delete(popped.reg);
    return out;
  }
  if (isCall(ins)) return out;
  const used = info.info(ins);
  // A write loses the entry value the register holds, not a copy saved in a slot.
  for (const u of used.usedRegisters())
    if (u.access !== OpAccess.Read && u.access !== OpAccess.CondRead && out.get(fullRegister(u.register)) === "home")
      out.delete(fullRegister(u.register));
  // A store over a slot that holds an entry value loses it.
  if (used.usedMemory().some((m) => m.access !== OpAccess.Read && m.access !== OpAccess.CondRead && m.access !== OpAccess.NoMemAccess)) {
    const place = placeOf(ctx, k);
    for (const [r, w] of out)
      if (w !== "home" && (!place?.slot || w === `slot:${place.slot.off}`)) out.delete(r);
  }
  return out;
}

// The scale: read_ticks returns tv_sec * 10^7 + tv_usec * 10 of the
// timeval the time function filled, each field widened as signed to 64 bits
// and the sum wrapping at 2^64 (ticks.cpp). A long, and so each field, is 8
// bytes on Linux and 4 on Windows.
const TICKS_PER_SECOND = 10000000n;
const TICKS_PER_MICROSECOND = 10n;
const fieldBytes = (binary) => (binary.abi === "win64" ? 4 : 8);
const ticksOf = (sec, usec, width) =>
  BigInt.asUintN(64, BigInt.asIntN(8 * width, sec) * TICKS_PER_SECOND + BigInt.asIntN(8 * width, usec) * TICKS_PER_MICROSECOND);
// The fields the clock is run on: zero, one, the clock's range now and far
// ahead, the microseconds' own range, and each width's sign and carry
// boundaries, so that a clock that halves, offsets, truncates or mixes up
// the fields differs from the formula on some of them.
const VECTORS = [[0n, 0n], [1n, 0n], [0n, 1n], [1n, 1n], [1765000000n, 999999n], [1765212345n, 123457n],
  [2147483647n, 500000n], [2147483648n, 999999n], [4294967295n, 1n], [4294967296n, 2n], [(1n << 40n) + 3n, 654321n],
  [(1n << 62n) - 1n, 999998n], [1n << 63n, 7n], [(1n << 64n) - 1n, 0n], [0n, (1n << 64n) - 1n], [12345n, 4294967295n],
  [(1n << 64n) - 2147483648n, 2147483647n], [0x123456789abcdefn, 0xfedcba987654321n], [999999999n, 1000000n],
  [3n, (1n << 63n) + 5n]];

// Instructions whose every result is an affine function (wrapping at 2^64)
// of the values they read, with a constant factor or shift: a composition of
// them is affine in the fields, so agreeing with the formula on the vectors
// above (three independent ones fix an affine map) is agreeing everywhere.
// Anything else (a right shift, a division, AND, a product of two fields)
// could agree on chosen values and differ on others.
const AFFINE = new Set([M.Mov, M.Movsxd, M.Lea, M.Add, M.Sub, M.Imul, M.Shl, M.Sal, M.Neg, M.Cmp, M.Test, M.Push,
  M.Pop, M.Leave, M.Nop, M.Endbr64, M.Call, M.Ret, M.Jmp]);
const EXTENDS = new Set([M.Mov, M.Movsxd]);

// Whether instruction k keeps the result affine: a multiplication or shift
// by a constant the value analysis knows (never a field), and 64-bit
// arithmetic (a 32-bit result wraps at 2^32, a byte or word write keeps
// the bits above it) but for 32-bit loads and zeroing. An address of 32-bit
// registers wraps at 2^32, which the value analysis does not model.
function keepsAffine(ctx, k) {
  const ins = ctx.code.instrs[k];
  if ([ins.memoryBase, ins.memoryIndex].some((r) => r !== Register.None && RegisterExt.size(r) !== 8)) return false;
  if (ins.isJccShortOrNear) return true;
  // A stack probe (-fstack-check): or or add of zero into memory changes nothing.
  if ((ins.mnemonic === M.Or || ins.mnemonic === M.Add) && ins.op0Kind === OpKind.Memory && isImmediate(ins.op1Kind) &&
      ins.immediate(1) === 0n) return true;
  // Zeroing and whole-register vector moves, as a build that clears its
  // variables before use (-ftrivial-auto-var-init) clears the timeval.
  if (ins.mnemonic === M.Xor || CLASSES.xor.has(ins.mnemonic)) return zeroingIdiom(ins);
  if (CLASSES.copy.has(ins.mnemonic)) return true;
  if (!AFFINE.has(ins.mnemonic)) return false;
  const dst = ins.opCount > 0 && ins.op0Kind === OpKind.Register ? ins.op0Register : null;
  if (dst !== null && ![M.Cmp, M.Test].includes(ins.mnemonic) && RegisterExt.size(dst) !== 8 &&
      !(EXTENDS.has(ins.mnemonic) && ins.op1Kind === OpKind.Memory && RegisterExt.size(dst) === 4)) return false;
  const last = ins.opCount - 1;
  if (ins.mnemonic === M.Imul)
    return ins.opCount > 1 && (isImmediate(ins.opKind(last)) || knownOperand(ctx, k, last) ||
      (ins.opCount === 2 && knownOperand(ctx, k, 0)));
  if (ins.mnemonic === M.Shl || ins.mnemonic === M.Sal) return isImmediate(ins.opKind(last)) || knownOperand(ctx, k, last);
  return true;
}
const knownOperand = (ctx, k, op) => {
  const ins = ctx.code.instrs[k];
  if (ins.opKind(op) !== OpKind.Register) return false;
  const v = ctx.values.before(k)?.regs.get(fullRegister(ins.opRegister(op)));
  return !!v && numberOf(v.bytes, 0, RegisterExt.size(ins.opRegister(op))) !== null;
};

// A branch the value analysis cannot decide may depend on the fields: then
// one of its ways must never return (the stack protector's check).
function checkBranches(ctx, report) {
  const { code, values } = ctx;
  code.instrs.forEach((ins, k) => {
    if (!values.reached(k) || !ins.isJccShortOrNear || values.next(k).length < 2) return;
    const returns = (j) => [...reachable([j], values.next)].some((x) => code.returns(x));
    if (values.next(k).every(returns))
      report(ins, "a branch both of whose ways return: the result may depend on the time function's fields other than by the fixed arithmetic");
  });
}

// The clock run on the fields of one vector: the value analysis from the
// entry, the out-parameter's slots filled with the fields after the time
// call. Returns the value in rax at each return reached (null where unknown).
function evaluate(ctx, timeCalls, [sec, usec]) {
  const { code, binary } = ctx;
  const width = fieldBytes(binary);
  const steps = valueSteps(code, binary);
  const out = binary.abi === "win64" ? Register.RCX : Register.RDI;
  const fields = bytesOf(BigInt.asUintN(8 * width, sec), width).concat(bytesOf(BigInt.asUintN(8 * width, usec), width));
  const transfer = (k, before) => {
    const after = steps.transfer(k, before);
    const ins = code.instrs[k];
    if (timeCalls.includes(k)) {
      const p = before.frame.get(out);
      // A slot at each field, so that a load of either finds it.
      if (p) for (let at = 0; at < fields.length; at += width)
        after.slots.set(`${p.base}${p.off + BigInt(at)}`, { base: p.base, off: p.off + BigInt(at), size: fields.length - at,
          value: { bytes: fields.slice(at), src: "imm" } });
    } else if (ins.mnemonic === M.Movsxd && ins.op0Kind === OpKind.Register && RegisterExt.size(ins.op0Register) === 8) {
      // Not modelled by the value analysis: the sign extension of a field.
      const v = ins.op1Kind === OpKind.Memory ? steps.load(k, before, 4) : before.regs.get(fullRegister(ins.op1Register));
      const n = v ? numberOf(v.bytes, 0, 4) : null;
      if (n !== null) after.regs.set(fullRegister(ins.op0Register), { bytes: bytesOf(BigInt.asUintN(64, BigInt.asIntN(32, n)), 8), src: "imm" });
    }
    return after;
  };
  const solved = solveForward({ size: code.instrs.length, entries: [code.entry], initial: steps.initial,
    successors: steps.successors, transfer, join: steps.join, equal: steps.equal });
  steps.free();
  const results = [];
  code.instrs.forEach((ins, k) => {
    if (!solved.reached(k) || !code.returns(k)) return;
    const v = solved.before(k).regs.get(Register.RAX);
    results.push({ k, value: v ? numberOf(v.bytes, 0, 8) : null });
  });
  return results;
}

// The result: exactly the formula of the fields the time function filled.
function checkScale(ctx, timeCalls, report) {
  const { code, values } = ctx;
  code.instrs.forEach((ins, k) => {
    if (values.reached(k) && !keepsAffine(ctx, k))
      report(ins, "not among the moves and the additions, subtractions and multiplications by constants that turn the time function's fields into ticks");
  });
  checkBranches(ctx, report);
  if (timeCalls.length !== 1) return;
  const width = fieldBytes(ctx.binary);
  for (const vector of VECTORS) {
    const want = ticksOf(...vector, width);
    const results = evaluate(ctx, timeCalls, vector);
    if (!results.length) { report(code.instrs[timeCalls[0]], "no return is reached once the time function has filled its fields"); return; }
    const wrong = results.find((r) => r.value !== want);
    if (wrong) {
      const got = wrong.value === null ? "a value that is not fixed by them" : `0x${wrong.value.toString(16)}`;
      report(code.instrs[wrong.k], `returns ${got} for tv_sec 0x${vector[0].toString(16)} and tv_usec ` +
        `0x${vector[1].toString(16)}, not 0x${want.toString(16)}: ${TICKS_PER_SECOND} ticks a second and ` +
        `${TICKS_PER_MICROSECOND} a microsecond`);
      return;
    }
  }
}

export default [
  {
    id: "clock.body",
    claim: "The clock calls the system's time function exactly once on every path, through an import (or, in a " +
      "static build, the C library's own by its symbol; never a time function the program defines), returns " +
      "exactly tv_sec * 10^7 + tv_usec * 10 of the timeval it filled (by moves, additions, subtractions and " +
      "multiplications and shifts by constants, with no branch on the fields, evaluated on twenty pairs of " +
      "fields from zero to their widest), stores only into its own frame, reads nothing but its frame and " +
      "read-only data, and returns to its caller with the stack pointer and the callee-saved registers as they were.",
    scope: "function",
    appliesTo: (def) => def.name === CLOCK.name,
    check(ctx, report) {
      const time = checkCalls(ctx, report);
      checkMemory(ctx, report);
      checkScale(ctx, time, report);
      checkReturns(ctx, report);
    },
  },
];
