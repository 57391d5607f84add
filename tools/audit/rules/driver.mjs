// The driver's order: main runs the measuring functions one after the
// other, in variants.def's order, each once, or says on standard error that
// it skips one; nothing else that main runs prints a line. GCC calls them
// through the table of measuring functions in a loop, Clang unrolls the loop
// into direct calls: so main is followed once for each variant due next
// (its values, the table's pointer among them, carried apart for each), and
// each call it makes is read in the values of its path.

import { FlowControl, InstructionInfoFactory, Mnemonic, OpAccess, OpKind, Register } from "iced-x86";
import { decodeReachable } from "../context.mjs";
import { valueSteps, analyseValues, numberOf } from "../dataflow.mjs";
import { solveForward } from "../engine.mjs";
import { entersKernel, fullRegister as full, isCall, isImmediate } from "../isa.mjs";
import { resolveSlot, resolveTarget } from "../targets.mjs";

// The library functions the driver and its helpers may call: those that
// print, by the argument that names their stream, and those that print
// nothing (errno and the flushing of standard output, the error's text, the
// detection's comparisons and texts, the runtime's own, the failures).
const STREAM_ARGUMENT = new Map([["fprintf", 0], ["__fprintf_chk", 0], ["vfprintf", 0], ["__vfprintf_chk", 0],
  ["__mingw_vfprintf", 0], ["fputs", 1], ["fputc", 1], ["putc", 1], ["fwrite", 3]]);
const QUIET = new Set(["fflush", "ferror", "__errno_location", "_errno", "strerror", "strncmp", "memcmp", "memset",
  "memcpy", "strlen", "snprintf", "__snprintf_chk", "__mingw_vsnprintf", "__acrt_iob_func", "__main",
  "__stack_chk_fail", "__chk_fail", "__fortify_fail", "abort"]);
// The undefined-behaviour sanitizer's reports, which go to standard error.
const SANITIZER = /^__ubsan_handle_/;
const ARGUMENTS = { sysv: [Register.RDI, Register.RSI, Register.RDX, Register.RCX, Register.R8, Register.R9],
  win64: [Register.RCX, Register.RDX, Register.R8, Register.R9] };
const SAVED = { sysv: [Register.RBX, Register.RBP, Register.R12, Register.R13, Register.R14, Register.R15],
  win64: [Register.RBX, Register.RBP, Register.RDI, Register.RSI, Register.R12, Register.R13, Register.R14, Register.R15] };
const STDERR = /^stderr(@|$)/;

// The name a slot the loader fills is known by: its import, or the symbol
// its relocation names (a copy-relocated stderr's GOT entry).
const slotName = (binary, slot) => binary.importAt(slot)?.name ?? binary.relocations.get(slot)?.symbol?.name ?? "";

// Where each register's value comes from, where the driver needs to know:
// a load from a fixed address ("cell:ADDR"), the stream stderr ("stderr":
// the variable, through its GOT entry, or __acrt_iob_func(2)), an immediate
// ("imm:V") or, in a helper, an argument as it entered ("arg:J").
function origins(env, code, helper) {
  const { binary } = env;
  const info = new InstructionInfoFactory();
  const args = ARGUMENTS[binary.abi];
  const transfer = (k, before) => {
    const ins = code.instrs[k], s = new Map(before);
    if (isCall(ins)) {
      const stream = libraryName(env, targetAt(env, code, k, null, before)) === "__acrt_iob_func" && before.get(args[0]) === "imm:2";
      for (const r of [...s.keys()]) if (!SAVED[binary.abi].includes(r)) s.delete(r);
      if (stream) s.set(Register.RAX, "stderr");
      return s;
    }
    const tag = ins.mnemonic === Mnemonic.Mov && ins.op0Kind === OpKind.Register ? tagOf(binary, ins, before) : null;
    for (const u of info.info(ins).usedRegisters())
      if (u.access !== OpAccess.Read && u.access !== OpAccess.CondRead) s.delete(full(u.register));
    if (tag) s.set(full(ins.op0Register), tag);
    return s;
  };
  const result = solveForward({
    size: code.instrs.length, entries: [code.entry], successors: (k) => code.next(k), transfer,
    initial: () => new Map(helper ? args.map((r, j) => [r, `arg:${j}`]) : []),
    join: (a, b) => new Map([...a].filter(([r, t]) => b.get(r) === t)),
    equal: (a, b) => a.size === b.size && [...a].every(([r, t]) => b.get(r) === t),
  });
  info.free();
  return result;
}
function tagOf(binary, ins, before) {
  const src = ins.op1Kind;
  if (src === OpKind.Register) return before.get(full(ins.op1Register)) ?? null;
  if (isImmediate(src)) return `imm:${ins.immediate(1)}`;
  if (src !== OpKind.Memory || ins.memoryIndex !== Register.None) return null;
  const at = ins.memoryDisplacementU64;
  if (ins.memoryBase === Register.RIP) return STDERR.test(binary.nameAt(at) ?? "") ? "stderr" : `cell:${at}`;
  const base = before.get(full(ins.memoryBase));
  return base?.startsWith("cell:") && at === 0n && STDERR.test(slotName(binary, BigInt(base.slice(5)))) ? "stderr" : null;
}

// What the call or jump out at k reaches, { kind, name, addr }: through its
// operand where that is direct or a slot, else through the pointer that the
// values (`values`, a value state, or null) or the origins (`origin`) give
// its register or its memory operand, read from memory the program cannot
// write.
function targetAt(env, code, k, values, origin, addressIn) {
  const { binary } = env;
  const ins = code.instrs[k];
  const t = code.targets.get(ins.ip);
  let addr = null;
  if (t?.kind === "slot" && runtimePointer(env, t.slot)) addr = binary.pointerAt(t.slot);
  else if (t && t.kind !== "register") return { ...t, addr: ins.nearBranchTarget || null };
  else if (ins.op0Kind === OpKind.Memory) {
    const at = values ? addressIn(k, values) : null;
    addr = at !== null && binary.isReadOnly(at) ? binary.pointerAt(at) : null;
  } else {
    // A call to an indirect-branch thunk (retpolines) branches through the thunk's register.
    const reg = full(t?.register ?? ins.op0Register);
    const v = values?.regs.get(reg);
    const cell = origin?.get(reg)?.match(/^cell:(\d+)$/);
    addr = v ? numberOf(v.bytes, 0, 8) : null;
    if (addr === null && cell) {
      const slot = BigInt(cell[1]);
      if (binary.isReadOnly(slot) || runtimePointer(env, slot)) addr = binary.pointerAt(slot);
      else return { ...resolveSlot(binary, slot), addr: null };
    }
  }
  return addr === null ? { kind: "unknown", name: null, addr } : { ...resolveTarget(binary, addr, env.clock), addr };
}
// MinGW's runtime reaches some of its functions through pointers of its
// own, __imp_NAME beside NAME, in writable data that nothing else writes:
// taken for the runtime's, by name, where the program holds its runtime.
const runtimePointer = (env, slot) => env.holdsLibrary && !env.binary.importAt(slot) &&
  env.binary.nameAt(slot) === `__imp_${env.binary.nameAt(env.binary.pointerAt(slot) ?? 0n)}`;

// The parts the compiler split off from a function (NAME.cold), read with it.
const partsOf = (binary, sym) => binary.code.filter((p) => p.name.startsWith(`${sym.name}.`));

// Whether k calls, or jumps out of the function other than to return.
const outward = (code, k) => !code.returns(k) && (isCall(code.instrs[k]) ||
  code.instrs[k].flowControl === FlowControl.IndirectBranch || code.exits.some((e) => e.from === code.instrs[k].ip && e.how === "jump"));

// What a call reaches, as the driver may use it: { measuring: J } for the
// measuring function at J in the order, { prints: ORIGIN } for a message on
// the stream whose origin its argument has, {} for what prints nothing, or
// { problem }. A library function is an import, or in an executable that
// holds its C runtime (static, MinGW), a function known by its name.
function judge(env, t, origin) {
  if (t.kind === "program" && env.order.has(t.addr)) return { measuring: env.order.get(t.addr) };
  const library = libraryName(env, t);
  let arg = null;
  if (library) {
    if (STREAM_ARGUMENT.has(library)) arg = STREAM_ARGUMENT.get(library);
    else if (!QUIET.has(library) && !SANITIZER.test(library)) return { problem: `calls ${library}, which the driver has no use for` };
  } else if (t.kind === "program" || t.kind === "clock") arg = helper(env, t.addr).streamArgument;
  else return { problem: t.name ? `calls ${t.name}, which the audit cannot follow` : "calls through a pointer that no known value resolves" };
  return arg === null ? {} : { prints: origin?.get(ARGUMENTS[env.binary.abi][arg]) ?? "unknown" };
}

// The library function a call reaches: an import, or in an executable that
// holds its C runtime (static, MinGW), one known by its name, directly or
// through a slot its resolver fills at load time (a static IFUNC).
function libraryName(env, t) {
  if (t.kind === "import") return t.name;
  const r = t.kind === "slot" ? env.binary.relocations.get(t.slot) : null;
  const at = t.kind === "program" ? t.addr : r?.type === "IRELATIVE" ? r.addend : null;
  if (!env.holdsLibrary || at === null) return null;
  return env.binary.symbols.filter((s) => s.addr === at).map((s) => s.name)
    .find((n) => STREAM_ARGUMENT.has(n) || QUIET.has(n)) ?? null;
}

// The library's functions are taken to do what their names say, as the
// audit takes printf: one given a pointer into the caller's frame writes at
// it and above it, never into the slots below, where GCC keeps the table's
// pointer across the detection's snprintf; one given none (a sanitizer's
// report) writes none of the caller's slots, wherever the program's own
// code may have kept a pointer to them. The values after such a call keep
// those slots, which the value analysis forgets for any call.
function keepSlotsBelow(before, after, abi) {
  const sp = before.frame.get(Register.RSP);
  const pointers = ARGUMENTS[abi].map((r) => before.frame.get(r)).filter(Boolean);
  if (!sp || pointers.some((p) => p.base !== sp.base)) return after;
  const lowest = pointers.reduce((m, p) => (p.off < m ? p.off : m), pointers[0]?.off ?? null);
  const shadow = abi === "win64" ? 32n : 0n;
  for (const [key, slot] of before.slots)
    if (slot.base === sp.base && slot.off >= sp.off + shadow && (lowest === null || slot.off + BigInt(slot.size) <= lowest))
      after.slots.set(key, slot);
  return after;
}

// A function of the program that the driver calls (the detection, the
// flush, MinGW's fprintf), read once: it calls no measuring function, and
// prints only to standard error or to the stream its caller passes it
// (`streamArgument`, its number, or null). Its problems are reported under
// its own name.
function helper(env, addr) {
  if (env.helpers.has(addr)) return env.helpers.get(addr);
  const { binary } = env;
  const sym = binary.code.find((s) => s.addr === addr);
  const summary = { name: binary.nameAt(addr) ?? addr.toString(16), streamArgument: null, problems: [] };
  env.helpers.set(addr, summary);  // a call back into it reads it as it stands
  const problem = (at, message) => summary.problems.push({ at, message });
  if (!sym) { problem(addr, "is no function that the symbol table names"); return summary; }
  const code = decodeReachable(binary, sym, partsOf(binary, sym), env.clock);
  const values = analyseValues(code, binary);
  const orig = origins(env, code, true);
  code.instrs.forEach((ins, k) => {
    if (!values.reached(k)) return;
    if (entersKernel(ins)) problem(ins.ip, "enters the kernel");
    if (code.exits.some((e) => e.from === ins.ip && e.how === "falls")) problem(ins.ip, "runs on past its end");
    if (!outward(code, k)) return;
    const j = judge(env, targetAt(env, code, k, values.before(k), orig.before(k), (i) => values.addressOf(i)), orig.before(k));
    if (j.measuring !== undefined) problem(ins.ip, `calls ${env.names[j.measuring]}: only the driver runs a measuring function`);
    else if (j.problem) problem(ins.ip, j.problem);
    else if (j.prints?.startsWith("arg:")) summary.streamArgument = Number(j.prints.slice(4));
    else if (j.prints && j.prints !== "stderr") problem(ins.ip, "prints to a stream other than standard error");
  });
  return summary;
}

// main followed once for each variant due next: a node is an instruction
// and the number of variants done (run, or skipped with a message on
// standard error), its state the values. A call of the measuring function
// due, or a message on standard error while one is due, moves on to the
// next; a call that breaks the order is a finding, and its path is not
// followed on, so that what it would confuse later stays apart.
function followMain(env, main) {
  const { binary } = env;
  const code = decodeReachable(binary, main, partsOf(binary, main), env.clock);
  const steps = valueSteps(code, binary);
  const orig = origins(env, code, false);
  const W = env.names.length + 1;
  // What instruction k does to the order with `done` variants done:
  // { next, finding, library }.
  const verdict = (k, done, values) => {
    const dueName = done < W - 1 ? env.names[done] : null;
    const ins = code.instrs[k];
    if (entersKernel(ins)) return { finding: "enters the kernel" };
    if ((code.returns(k) || code.leaves(k)) && dueName && !outward(code, k))
      return { finding: `leaves main before ${dueName} has run or been skipped with a message on standard error` };
    if (!outward(code, k)) return { next: done };
    const t = targetAt(env, code, k, values, orig.before(k), steps.addressIn);
    const j = judge(env, t, orig.before(k));
    const where = `, where ${dueName ?? "no measuring function"} is due`;
    if (j.problem) return { finding: j.problem + where };
    if (j.measuring !== undefined && j.measuring !== done)
      return { finding: `calls ${env.names[j.measuring]} ${j.measuring < done ? "again" : "out of order"}${where}` };
    if (j.prints && j.prints !== "stderr") return { finding: "prints to a stream other than standard error: only a measuring function prints a results line" };
    if (code.leaves(k) && !isCall(ins) && dueName) return { finding: `leaves main by a jump${where}` };
    const moves = j.measuring === done || (j.prints === "stderr" && dueName);
    return { next: moves ? done + 1 : done, library: j.measuring === undefined && libraryName(env, t) };
  };
  // The state is { v: the values, next: the variants done after the node
  // (set by its transfer, read by its successors; none past a finding) }.
  const transfer = (n, s) => {
    const k = Math.floor(n / W), v = steps.transfer(k, s.v);
    const { next, library } = verdict(k, n % W, s.v);
    return { v: library && isCall(code.instrs[k]) ? keepSlotsBelow(s.v, v, binary.abi) : v, next };
  };
  const solved = solveForward({
    size: code.instrs.length * W, entries: [code.entry * W], transfer,
    initial: () => ({ v: steps.initial() }),
    successors: (n, out) => (out.next === undefined ? [] : steps.successors(Math.floor(n / W), out.v).map((j) => j * W + out.next)),
    join: (a, b) => ({ v: steps.join(a.v, b.v) }),
    equal: (a, b) => steps.equal(a.v, b.v),
  });
  const findings = [];
  for (let n = 0; n < code.instrs.length * W; n++) {
    const s = solved.before(n);
    const finding = s && verdict(Math.floor(n / W), n % W, s.v).finding;
    const at = code.instrs[Math.floor(n / W)].ip;
    // The first, with the fewest variants done, for each instruction.
    if (finding && !findings.some((f) => f.at === at)) findings.push({ at, message: finding });
  }
  steps.free();
  return findings;
}

export default [
  {
    id: "driver.order",
    claim: "On every path from its entry to its return, main runs each measuring function once, in variants.def's " +
      "order, or writes a message to standard error in its place; it calls them directly or through a pointer " +
      "read from memory it cannot write, and nothing else it runs calls one or prints to standard output.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      const main = binary.code.find((s) => s.name === "main");
      if (!main) return;  // driver.calls reports it
      const measuring = audit.contexts.filter((c) => c.def.index !== undefined).sort((a, b) => a.def.index - b.def.index);
      const env = {
        binary, clock: audit.globals.clock, helpers: new Map(), names: measuring.map((c) => c.name),
        order: new Map(measuring.map((c, j) => [c.sym.addr, j])),
        holdsLibrary: binary.format === "pe" || binary.loader.interpreter === null,
      };
      const seen = new Set();
      const once = (fn, at, message) => {
        if (!seen.has(`${at}:${message}`)) report(fn, at, message);
        seen.add(`${at}:${message}`);
      };
      for (const f of followMain(env, main)) once("main", f.at, f.message);
      for (const h of env.helpers.values()) for (const p of h.problems) once(h.name, p.at, `called by main: ${p.message}`);
    },
  },
];
