// The clock, read_ticks, audited as strictly as the measuring functions:
// every timed region begins and ends in it, so a clock that returns a
// counter, reads a time function the program wrote itself, or returns
// somewhere other than to its caller would make every line misreport while
// each measuring function passes.

import { FlowControl, InstructionInfoFactory, MemorySizeExt, Mnemonic as M, OpAccess, OpKind, Register } from "iced-x86";
import { reachable, solveForward } from "../engine.mjs";
import { CLASSES, isCall, fullRegister } from "../isa.mjs";
import { CLOCK } from "../variants.mjs";
import { placeOf } from "./timed.mjs";

// The system's time functions, by the name an import entry or relocation
// gives them. A static Linux build links the C library's own, under the
// names reserved to it; MinGW always links its runtime's gettimeofday into
// the executable, which then calls the Windows API.
const IMPORTED = { elf: new Set(["gettimeofday", "clock_gettime"]),
                   pe: new Set(["QueryPerformanceCounter", "GetSystemTimeAsFileTime", "GetSystemTimePreciseAsFileTime"]) };
const LINKED = { elf: new Set(["__gettimeofday", "__clock_gettime"]),
                 pe: new Set(["gettimeofday", "mingw_gettimeofday", "clock_gettime"]) };
// The stack protector's failure report, the one other call: it never returns.
const FAILURE = "__stack_chk_fail";
// The out-parameter the time function fills: a timeval or timespec.
const OUT_BYTES = 16n;
// Besides moves and the integer arithmetic of the conversion to ticks.
const OWN = new Set([M.Imul, M.Mul, M.Push, M.Pop, M.Ret, M.Call, M.Nop, M.Endbr64, M.Leave, M.Jmp]);

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
  if (t.kind === "program" && LINKED[format].has(t.name) && (format === "pe" || isStatic(ctx.binary))) return "time";
  if (t.kind === "program" && IMPORTED[format].has(t.name))
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
    if (!CLASSES.integer.has(ins.mnemonic) && !OWN.has(ins.mnemonic) && !ins.isJccShortOrNear)
      report(ins, "not among the moves and integer arithmetic that turn the time function's result into ticks");
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

export default [
  {
    id: "clock.body",
    claim: "The clock calls the system's time function exactly once on every path, through an import (or, in a " +
      "static build, the C library's own by its symbol; never a time function the program defines), does fixed " +
      "integer arithmetic on the result, stores only into its own frame, reads nothing but its frame and " +
      "read-only data, and returns to its caller with the stack pointer and the callee-saved registers as they were.",
    scope: "function",
    appliesTo: (def) => def.name === CLOCK.name,
    check(ctx, report) {
      checkCalls(ctx, report);
      checkMemory(ctx, report);
      checkReturns(ctx, report);
    },
  },
];
