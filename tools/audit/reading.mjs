// Reading the program's code from a root, for the closure rules: every
// function the root reaches by direct calls and jumps into the program's
// own code, decoded by reachability; what each call or jump out reaches
// (an import through its slot, a register loaded from one, the C
// library's function in an executable that holds it); the code addresses it takes; and the bytes
// it decodes, which closure.reachable accounts for; and where each of its
// stores goes, which closure.stores judges.

import { FlowControl, InstructionInfoFactory, MemorySizeExt, Mnemonic, OpAccess, Register } from "iced-x86";
import { decodeReachable } from "./context.mjs";
import { argumentsAt, provenance } from "./provenance.mjs";
import { decodeAt } from "./targets.mjs";
import { reachable } from "./engine.mjs";
import { entersKernel, fullRegister, isImmediate } from "./isa.mjs";

// What a call through `slot` reaches: an import by name, the function a
// load-time resolver picks, by the resolver's name, nothing (a slot
// that holds zero: a weak function absent at link time, which the code
// tests for before it calls), or the program's own code at the address the
// slot holds once loaded.
function throughSlot(binary, slot) {
  const imp = binary.importAt(slot);
  if (imp) return { name: imp.name };
  // A slot a load-time resolver fills (a static executable's calls to the
  // C library's string functions): the function by the resolver's name.
  const r = binary.relocations.get(slot);
  if (r?.type === "IRELATIVE") return binary.nameAt(r.addend) ? { name: binary.nameAt(r.addend) } : null;
  const target = binary.pointerAt(slot);
  if (target === 0n) return { never: true };
  return target !== null && binary.isExecutable(target) ? { target } : null;
}

// What a call or jump through register `reg` at instrs[k] reaches, from
// where the provenance analysis finds the register loaded on every way into
// it: an import (through its slot), zero (as the C runtime's start-up calls
// __gmon_start__ and the transactional-memory hooks where they are absent:
// the call is never made) or the program's own code.
function explainRegister(prov, k, reg) {
  const tag = reg === null ? null : prov.registerAt(k, reg);
  if (tag?.kind === "import") return { name: tag.name };
  if (tag?.kind === "zero") return { never: true };
  return tag?.kind === "code" ? { target: tag.target } : null;
}

// Whether the call at instrs[k] is never made: the straight line into it
// starts at the fall-through of a JE after a test that a slot holding zero
// once loaded is zero (cmpq $0, slot(%rip)), as the C runtime's finaliser
// skips __cxa_finalize in a static executable, where it is absent.
function guardedByZero(binary, code, k, landings) {
  let j = k - 1;
  while (j >= 0 && code.instrs[j].nextIP === code.instrs[j + 1].ip && !landings.has(code.instrs[j + 1].ip) &&
         code.instrs[j].flowControl === FlowControl.Next) j--;
  if (j < 0 || code.instrs[j].mnemonic !== Mnemonic.Je) return false;
  for (let g = j - 1; g >= 0 && j - g <= 3; g--) {
    const ins = code.instrs[g];
    if (ins.mnemonic === Mnemonic.Cmp && ins.memoryBase === Register.RIP && isImmediate(ins.op1Kind) && ins.immediate(1) === 0n)
      return binary.pointerAt(ins.memoryDisplacementU64) === 0n;
    if (ins.mnemonic !== Mnemonic.Mov) return false;
  }
  return false;
}

// The code addresses an instruction takes without branching to them: a
// RIP-relative lea, a load from a slot that holds one, or an immediate in
// an image the loader does not move (in one it moves, an immediate is a
// number: an address there would need a relocation in code).
function takenAddresses(binary, ins) {
  if (ins.flowControl !== FlowControl.Next) return [];
  const out = [];
  if (ins.memoryBase === Register.RIP) {
    const addr = ins.memoryDisplacementU64;
    if (ins.mnemonic === Mnemonic.Lea) out.push(addr);
    else if (ins.mnemonic === Mnemonic.Mov && !binary.importAt(addr)) out.push(binary.pointerAt(addr));
  }
  for (let j = 0; !binary.movable && j < ins.opCount; j++) if (isImmediate(ins.opKind(j))) out.push(BigInt.asUintN(64, ins.immediate(j)));
  return out.filter((a) => a !== null && a !== 0n && binary.isExecutable(a));
}

// Sections whose words the loader or the C runtime reads as pointers to
// code or to imports: a store there redirects a call, whatever the word
// holds in the file (a static executable's .got holds link-time values).
const POINTER_SECTIONS = /^\.(got|got\.plt|data\.rel\.ro|init_array|fini_array|preinit_array|idata|CRT|tls)\b/;

// Why a store of `size` bytes at the fixed address `addr` does not go to
// the program's own writable variables, or null where it does: the place
// must be mapped writable once loaded (not read-only, not RELRO), not code,
// not written by the loader (an import's slot, a relocated pointer), not
// in a section of pointers, and not a word that holds a code address.
function misplaced(binary, addr, size) {
  const at = `${addr.toString(16)} (${binary.nameAt(addr) ?? binary.sectionName(addr) ?? "unmapped"})`;
  if (binary.loaded(addr, size) === null && !binary.writesIn(addr, size).length) return `to ${at}, outside the image`;
  if (binary.isExecutable(addr)) return `into code at ${at}`;
  if (binary.isReadOnly(addr) || binary.isReadOnly(addr + BigInt(size) - 1n)) return `to ${at}, read-only once loaded`;
  if (binary.writesIn(addr, size).length) return `to ${at}, a place the loader fills (an import's slot or a relocated pointer)`;
  if (POINTER_SECTIONS.test(binary.sectionName(addr) ?? "")) return `to ${at}, in a section of pointers`;
  const word = addr & ~7n, held = binary.pointerAt(word);
  if (held !== null && held !== 0n && binary.isExecutable(held)) return `to ${at}, a word that holds a code address`;
  return null;
}

// The data object that holds `addr`: { addr, end } by its symbol's size
// or, where the symbol table records none (PE), up to the next symbol.
function objectAt(binary, addr) {
  const data = binary.symbols.filter((s) => !s.name.startsWith(".") && !binary.isExecutable(s.addr));
  const sized = data.find((s) => s.size && addr >= s.addr && addr < s.addr + BigInt(s.size));
  if (sized) return { addr: sized.addr, end: sized.addr + BigInt(sized.size) };
  if (binary.format !== "pe") return null;
  const below = data.filter((s) => s.addr <= addr).reduce((a, s) => (!a || s.addr > a.addr ? s : a), null);
  const next = data.filter((s) => s.addr > addr).reduce((a, s) => (!a || s.addr < a.addr ? s : a), null);
  return below && next ? { addr: below.addr, end: next.addr } : null;
}

// The same for a store somewhere in the data object that holds `addr` (a
// pointer stepped through an array, an array indexed by a register): the
// whole object must pass.
function misplacedObject(binary, addr) {
  const object = objectAt(binary, addr);
  if (!object) return `into the data at ${addr.toString(16)}, in no object of known size`;
  for (let at = object.addr; at < object.end; at += 8n) {
    const message = misplaced(binary, at, Math.min(8, Number(object.end - at)));
    if (message) return message;
  }
  return null;
}

// Where each store of instrs[k] goes: { at, frame } for the function's own
// stack, else { at, message, place } with message null for a place
// closure.stores allows (the program's own writable variables, errno) and
// the reason otherwise, and place the bytes it may write where known.
// `registerAt` is the provenance analysis's.
function storesOf(binary, ins, k, info, registerAt) {
  const out = [];
  for (const mem of info.info(ins).usedMemory()) {
    if (![OpAccess.Write, OpAccess.CondWrite, OpAccess.ReadWrite, OpAccess.ReadCondWrite].includes(mem.access)) continue;
    const size = MemorySizeExt.size(mem.memorySize) || 8;
    const disp = BigInt.asIntN(64, mem.displacement);
    if (mem.segment === Register.FS || mem.segment === Register.GS) {
      out.push({ at: ins.ip, message: "to the thread's own storage" });
      continue;
    }
    const base = mem.base === Register.None ? null : registerAt(k, mem.base);
    if (mem.base === Register.RSP || base?.kind === "stack") { out.push({ at: ins.ip, frame: true }); continue; }
    let addr = null;
    if (mem.base === Register.None && mem.index === Register.None) addr = BigInt.asUintN(64, disp);
    else if ((base?.kind === "address" || base?.kind === "zero") && mem.index === Register.None)
      addr = BigInt.asUintN(64, (base.target ?? 0n) + disp);
    // The first page is never mapped: a store there faults (a null pointer
    // that only a test the analysis does not follow keeps from it).
    if (addr !== null && addr < 4096n) { out.push({ at: ins.ip, message: null }); continue; }
    // Each store to the data is given the place it may write, [from, to).
    const inObject = (a) => ({ at: ins.ip, message: misplacedObject(binary, a),
                               place: objectAt(binary, a) && [objectAt(binary, a).addr, objectAt(binary, a).end] });
    if (addr !== null) out.push({ at: ins.ip, message: misplaced(binary, addr, size), place: [addr, addr + BigInt(size)] });
    else if (base?.kind === "object") out.push(inObject(base.target));
    // An array at a fixed address indexed by a register (position-dependent
    // code: mov %cl, chosen_loops(%rax)).
    else if (!base && disp > 0n && binary.sectionName(BigInt.asUintN(64, disp)) !== null && !binary.isExecutable(BigInt.asUintN(64, disp)))
      out.push(inObject(BigInt.asUintN(64, disp)));
    else if (base?.kind === "errno" && mem.index === Register.None) out.push({ at: ins.ip, message: null });
    else out.push({ at: ins.ip, message: "through an address the analysis cannot place" });
  }
  return out;
}

// The bytes of the stub or thunk at `via` (jmp *slot(%rip), after an
// endbr64 where the build adds one).
function stubRange(binary, via) {
  let ins = decodeAt(binary, via);
  if (ins.mnemonic === Mnemonic.Endbr64) ins = decodeAt(binary, ins.nextIP);
  return [via, ins.nextIP];
}

// What the call or jump at instrs[k] reaches, t its target as
// decodeReachable resolved it: { name } an import, { target } the program's
// code, { never } no call at all, { returns } a return thunk; null where
// nothing explains it.
function reachOf(binary, code, k, t, explain) {
  const ins = code.instrs[k];
  if (t.kind === "import") return { name: t.name };
  if (t.kind === "program") return { target: ins.nearBranchTarget };
  if (t.kind === "slot") return throughSlot(binary, t.slot);
  if (t.kind === "return") return { returns: true };
  if (t.kind !== "register") return null;
  const reg = t.register !== undefined ? fullRegister(t.register)
    : ins.memoryBase === Register.None ? fullRegister(ins.op0Register) : null;
  return explain(k, reg);
}

// Reads the code `start` runs: every function it reaches by direct calls
// and jumps into the program's own code. `libraryAt(addr)` names the C
// library's or runtime's function at addr (a call to it is a call by that
// name); `audited` maps each audited function's address to its name (a call
// to it is not followed: its own rules read it). Returns the
// calls out by name (each with what the provenance analysis knows of its
// arguments, argumentsAt's), the audited functions reached, the problems (each
// { at, message }), the code addresses taken, the byte ranges decoded, the
// stores (storesOf's) and the program's own functions it goes on into.
export function readCode(binary, start, { libraryAt = () => null, audited = new Map() } = {}) {
  const problems = [], calls = [], reached = [], taken = [], ranges = [], stores = [], followed = [];
  // Each function is read once for each set of arguments it is given that
  // the analysis places (a caller's stack buffer, a variable's address).
  const items = new Map(), covered = new Set();
  const keyed = (addr, args) => {
    const key = `${addr}${[...args].map(([r, t]) => ` ${r}:${t.kind}:${t.target ?? ""}:${t.name ?? ""}`).join("")}`;
    if (!items.has(key)) items.set(key, { addr, args });
    return key;
  };
  const info = new InstructionInfoFactory();
  // Reads one function, given its arguments; returns what it goes on into.
  const read = (key) => {
    const { addr, args } = items.get(key);
    if (covered.has(key)) return [];
    if (!binary.isExecutable(addr)) { problems.push({ at: addr, message: "leads to an address outside the code" }); return []; }
    // A function with the parts the compiler split off from it (NAME.cold),
    // which jump back into its body: one piece of code.
    const sym = binary.code.find((s) => s.addr === addr) ?? { addr, size: null, name: null };
    const parts = sym.name ? binary.code.filter((p) => p.name.startsWith(`${sym.name}.`)) : [];
    const code = decodeReachable(binary, sym, parts, null);
    for (const p of parts) covered.add(keyed(p.addr, args));
    const landings = new Set(code.instrs.map((ins) => ins.nearBranchTarget).filter((t) => t !== 0n));
    let prov = null;
    const callee = (ins) => {
      const t = code.targets.get(ins.ip);
      return t?.kind === "import" ? t.name : t?.kind === "program" ? libraryAt(ins.nearBranchTarget) : null;
    };
    const analysis = () => (prov ??= provenance(binary, code, callee, args));
    const next = [];
    code.instrs.forEach((ins, k) => {
      ranges.push([ins.ip, ins.nextIP]);
      if (ins.isInvalid) problems.push({ at: ins.ip, message: "bytes that do not decode" });
      if (entersKernel(ins)) problems.push({ at: ins.ip, message: "enters the kernel itself" });
      for (const target of takenAddresses(binary, ins)) taken.push({ at: ins.ip, target });
      stores.push(...storesOf(binary, ins, k, info, (j, r) => analysis().registerAt(j, r)));
      const t = code.targets.get(ins.ip);
      if (!t) return;
      if (t.via) ranges.push(stubRange(binary, t.via));
      const reach = reachOf(binary, code, k, t, (j, reg) => explainRegister(analysis(), j, reg));
      if (!reach && guardedByZero(binary, code, k, landings)) return;
      if (!reach) problems.push({ at: ins.ip, message: `reaches ${t.kind === "register" ? "an address in a register" : t.name ?? t.kind}, which no import's slot explains` });
      else if (reach.name) calls.push({ at: ins.ip, name: reach.name, args: argumentsAt(binary, analysis(), k) });
      else if (reach.target === undefined) return;
      else if (audited.has(reach.target)) reached.push({ at: ins.ip, name: audited.get(reach.target) });
      else if (libraryAt(reach.target)) calls.push({ at: ins.ip, name: libraryAt(reach.target), args: argumentsAt(binary, analysis(), k) });
      else {
        followed.push({ at: ins.ip, target: reach.target });
        next.push(keyed(reach.target, argumentsAt(binary, analysis(), k)));
      }
    });
    for (const e of code.exits) if (e.how === "falls") next.push(keyed(e.to, new Map()));
    return next;
  };
  reachable([keyed(start, new Map())], read);
  info.free();
  return { calls, reached, problems, taken, ranges, stores, followed };
}
