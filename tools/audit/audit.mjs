#!/usr/bin/env node
// Binary audit: proves from the built executable that each measuring function
// is what its results line claims. It decodes the machine code with iced-x86
// (whose decoder names the CPUID feature every instruction needs), takes the
// function bounds from the symbol table (ELF or PE), together with any part
// the compiler split off (bench_X.cold), and checks placement, instruction set
// and encoding, the workload loop's data flow and arithmetic, the timed
// region, the calls made and the state of the upper register halves at every
// exit.
//
// usage: node audit.mjs [--compiler gcc|clang] [--nm NM] [--list] BINARY
// Exits 0 when every rule holds; otherwise prints one line per broken rule,
// naming the function, the instruction and the rule, and exits 1.

import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import { Decoder, DecoderOptions, Formatter, FormatterSyntax, Mnemonic, OpKind,
         FlowControl, CpuidFeature, RegisterExt, Register, EncodingKind, InstructionInfoFactory, ConditionCode,
         MemorySizeExt,
         OpAccess } from "iced-x86";

import { VARIANTS, CLOCK, SSE4_FEATURES } from "./variants.mjs";
import { loadImage } from "./image.mjs";
import { values, loopEntryState, loopGraph, lanesOf, numberOf } from "./dataflow.mjs";

function parseArgs(argv) {
  const args = { compiler: "gcc", nm: "nm", list: false, binary: null };
  for (let k = 0; k < argv.length; k++) {
    const a = argv[k];
    if (a === "--compiler") args.compiler = argv[++k];
    else if (a === "--nm") args.nm = argv[++k];
    else if (a === "--list") args.list = true;
    else if (!args.binary) args.binary = a;
    else throw new Error(`unexpected argument ${a}`);
  }
  if (!args.binary) throw new Error("usage: audit.mjs [--compiler gcc|clang] [--nm NM] [--list] BINARY");
  if (!["gcc", "clang"].includes(args.compiler)) throw new Error(`unknown compiler ${args.compiler}`);
  return args;
}

// Text symbols with their addresses and, where the format records them, sizes.
function readSymbols(nm, binary) {
  const out = execFileSync(nm, ["-S", "--defined-only", binary], { encoding: "utf8" });
  const symbols = new Map();
  const all = [];
  for (const line of out.split("\n")) {
    const f = line.trim().split(/\s+/);
    let addr, size = null, type, name;
    if (f.length === 4) [addr, size, type, name] = f;
    else if (f.length === 3) [addr, type, name] = f;
    else continue;
    const entry = { addr: BigInt("0x" + addr), size: size === null ? null : Number(BigInt("0x" + size)), type, name };
    all.push(entry);
    if (/^[tT]$/.test(type)) symbols.set(name, entry);
  }
  return { symbols, all };
}

const formatter = new Formatter(FormatterSyntax.Gas);
formatter.gasShowMnemonicSizeSuffix = false;

// Names of the binary's functions by address, to name call targets.
const symbolAt = new Map();

// The parts split off from each audited function: [start, end, name].
const parts = [];
const partName = (ip) => parts.find(([start, end]) => ip >= start && ip < end)?.[2];

export function describe(instr) {
  const fc = instr.flowControl;
  const branches = fc === FlowControl.Call || fc === FlowControl.UnconditionalBranch || fc === FlowControl.ConditionalBranch;
  const target = branches ? symbolAt.get(instr.nearBranchTarget) : undefined;
  const part = partName(instr.ip);
  return `${part ? `(${part}) ` : ""}${instr.ip.toString(16)}: ${formatter.format(instr)}${target ? ` <${target}>` : ""}`;
}

// Decodes a function. Where the symbol table gives no size (PE), the function
// ends at the first unconditional exit (ret, jmp) past every forward branch
// target seen so far.
function decodeFunction(image, sym) {
  const maxLen = sym.size ?? 16384;
  const bytes = image.read(sym.addr, maxLen);
  const decoder = new Decoder(64, bytes, DecoderOptions.None);
  decoder.ip = sym.addr;
  const instrs = [];
  let furthest = sym.addr;
  while (decoder.canDecode) {
    const instr = decoder.decode();
    instrs.push(instr);
    if (sym.size !== null) continue;
    const fc = instr.flowControl;
    if ((fc === FlowControl.ConditionalBranch || fc === FlowControl.UnconditionalBranch) &&
        instr.nearBranchTarget > furthest && instr.nearBranchTarget < sym.addr + BigInt(maxLen))
      furthest = instr.nearBranchTarget;
    const exits = fc === FlowControl.Return || fc === FlowControl.UnconditionalBranch ||
                  fc === FlowControl.IndirectBranch;
    if (exits && instr.nextIP > furthest) break;
  }
  decoder.free();
  return instrs;
}

// A whole measuring function: its symbol's code and every part the compiler
// split off from it (bench_X.cold, bench_X.part.0) that its jumps reach,
// decoded and audited as one function.
function decodeWhole(image, sym, name, textSymbols) {
  const instrs = decodeFunction(image, sym);
  const ranges = [[sym.addr, instrs[instrs.length - 1].nextIP]];
  const inside = (addr) => ranges.some(([a, b]) => addr >= a && addr < b);
  for (let k = 0; k < instrs.length; k++) {
    const ins = instrs[k];
    if (ins.flowControl !== FlowControl.ConditionalBranch && ins.flowControl !== FlowControl.UnconditionalBranch) continue;
    const target = ins.nearBranchTarget;
    if (inside(target)) continue;
    const part = textSymbols.get(target);
    if (!part || !part.name.startsWith(name + ".")) continue;
    const more = decodeFunction(image, part);
    ranges.push([part.addr, more[more.length - 1].nextIP]);
    parts.push([part.addr, more[more.length - 1].nextIP, part.name]);
    instrs.push(...more);
  }
  return { instrs, inside };
}

const isBranch = (i) => [FlowControl.ConditionalBranch, FlowControl.UnconditionalBranch,
  FlowControl.IndirectBranch].includes(i.flowControl);
const isCall = (i) => i.flowControl === FlowControl.Call || i.flowControl === FlowControl.IndirectCall;
// A call, or a jump out of the function and its parts (a tail call, or a
// conditional jump to code elsewhere).
const isCallOut = (i, index) => isCall(i) || i.flowControl === FlowControl.IndirectBranch ||
  ((i.flowControl === FlowControl.UnconditionalBranch || i.flowControl === FlowControl.ConditionalBranch) &&
   !index.has(i.nearBranchTarget));

// Control flow inside one decoded function: each instruction's position by
// address, and the positions it can continue at. A return, an indirect jump
// or a branch out of the function (a tail call) continues nowhere inside it.
function flowOf(instrs) {
  const index = new Map(instrs.map((ins, k) => [ins.ip, k]));
  const leaves = (ins) => ins.flowControl === FlowControl.Return || ins.flowControl === FlowControl.IndirectBranch ||
    (isBranch(ins) && !index.has(ins.nearBranchTarget));
  const next = (k) => {
    const ins = instrs[k];
    const fc = ins.flowControl;
    const out = [];
    if (fc === FlowControl.Return || fc === FlowControl.IndirectBranch) return out;
    if (fc === FlowControl.ConditionalBranch || fc === FlowControl.UnconditionalBranch) {
      if (index.has(ins.nearBranchTarget)) out.push(index.get(ins.nearBranchTarget));
      if (fc === FlowControl.UnconditionalBranch) return out;
    }
    // Parts follow one another in the list: fall through only to the
    // instruction that really comes next.
    if (k + 1 < instrs.length && instrs[k + 1].ip === ins.nextIP) out.push(k + 1);
    return out;
  };
  return { index, leaves, next };
}

// A memory operand that touches memory: lea only computes an address.
function hasMemoryOperand(instr) {
  if (instr.mnemonic === Mnemonic.Lea) return false;
  for (let k = 0; k < instr.opCount; k++) {
    const kind = instr.opKind(k);
    if (kind === OpKind.Memory || kind === OpKind.MemorySegRSI || kind === OpKind.MemorySegDI ||
        kind === OpKind.MemoryESDI || kind === OpKind.MemorySegESI || kind === OpKind.MemoryESEDI ||
        kind === OpKind.MemorySegEDI || kind === OpKind.MemorySegRDI || kind === OpKind.MemoryESRDI)
      return true;
  }
  return false;
}

function registersOf(instr) {
  const regs = [];
  for (let k = 0; k < instr.opCount; k++)
    if (instr.opKind(k) === OpKind.Register) regs.push(instr.opRegister(k));
  return regs;
}

export const featureNames = (instr) => Array.from(instr.cpuidFeatures(), (f) => CpuidFeature[f]);

// The workload loop: the innermost loop with no call in it. Loops are found
// from backward branches; the frame's repetition loop holds the clock calls,
// and cold blocks that jump back into the body enclose other loops.
export function findWorkloadLoop(instrs, { index }, fn) {
  const loops = [];
  instrs.forEach((ins, k) => {
    if (!isBranch(ins) || ins.flowControl === FlowControl.IndirectBranch) return;
    const target = ins.nearBranchTarget;
    // A jump back to a part placed below the function is no loop.
    if (target > ins.ip || !index.has(target) || index.get(target) > k) return;
    loops.push({ first: index.get(target), last: k });
  });
  const encloses = (a, b) => a !== b && a.first <= b.first && b.last <= a.last;
  const body = (l) => instrs.slice(l.first, l.last + 1);
  const callFree = (l) => !body(l).some((ins) => isCallOut(ins, index));
  const candidates = loops.filter((l) => callFree(l) && !loops.some((o) => encloses(l, o)));
  if (candidates.length !== 1)
    throw new AuditError(fn, null, `expected exactly one innermost call-free loop (the workload loop), found ${candidates.length}`);
  return { ...candidates[0], body: body(candidates[0]) };
}

export class AuditError extends Error {
  constructor(fn, instr, rule) {
    super(`${fn}: ${instr ? describe(instr) + ": " : ""}${rule}`);
  }
}

function checkFeatures(fn, instrs, allowed, failures) {
  for (const ins of instrs) {
    for (const f of featureNames(ins))
      // ENDBR64, which -fcf-protection adds, is a no-op hint where CET is absent.
      if (!allowed.has(f) && !(f === "CET_IBT" && ins.mnemonic === Mnemonic.Endbr64))
        failures.push(new AuditError(fn, ins, `needs ${f}, outside this variant's instruction set`).message);
  }
}

function checkLoop(fn, variant, loop, failures) {
  const fail = (ins, rule) => failures.push(new AuditError(fn, ins, rule).message);
  const branches = loop.body.filter(isBranch);
  if (branches.length !== 1) fail(branches[1] ?? loop.body[0], `workload loop has ${branches.length} branches, expected 1`);
  const counts = new Map();
  for (const ins of loop.body) {
    if (hasMemoryOperand(ins)) fail(ins, "memory operand in the workload loop");
    const regs = registersOf(ins);
    for (const r of regs) {
      if (RegisterExt.isGPR(r)) {
        if (RegisterExt.size(r) !== 8) fail(ins, `workload loop uses ${Register[r]}, not a 64-bit general register`);
      } else if (RegisterExt.isVectorRegister(r)) {
        if (RegisterExt.size(r) * 8 !== variant.width)
          fail(ins, `workload loop uses ${Register[r]}, expected ${variant.width}-bit vector registers`);
      } else {
        fail(ins, `workload loop uses ${Register[r]}`);
      }
    }
    const role = variant.loopRole(ins);
    if (role === null) fail(ins, "instruction outside the workload loop's defined operations");
    else counts.set(role, (counts.get(role) ?? 0) + 1);
  }
  for (const [role, [min, max]] of Object.entries(variant.loopCounts)) {
    const n = counts.get(role) ?? 0;
    if (n < min || n > max)
      fail(loop.body[0], `workload loop has ${n} ${role} instruction(s), expected ${min === max ? min : `${min} to ${max}`}`);
  }
}

// The timed region of a run: everything from the return of the clock call
// whose reading is stored as the run's start (its first access to `t` is a
// store) to the clock call whose reading has `t` subtracted from it (its first
// access to `t` is a read). It must run the workload loop exactly once on
// every path, call nothing but the clock and never leave the function.
function checkTimedRegion(fn, variant, instrs, flow, vals, loop, clockAddr, tAddr, failures) {
  const fail = (ins, rule) => failures.push(new AuditError(fn, ins, rule).message);
  const isClockCall = (ins) => ins.flowControl === FlowControl.Call && ins.nearBranchTarget === clockAddr;
  const clockCalls = instrs.map((ins, k) => k).filter((k) => isClockCall(instrs[k]) && vals.reached(k));
  if (clockCalls.length < 2) {
    fail(instrs[0], `expected at least two clock calls, found ${clockCalls.length}`);
    return;
  }
  // The instructions reachable from `from` on the paths that can be taken;
  // the walk goes on past instruction k only where onward(k) says so.
  const reach = (from, onward) => {
    const seen = new Set();
    const stack = [...from];
    while (stack.length) {
      const k = stack.pop();
      if (seen.has(k)) continue;
      seen.add(k);
      if (onward(k)) stack.push(...vals.next(k));
    }
    return seen;
  };
  const info = new InstructionInfoFactory();
  // How the code after clock call c first touches `t` on each path up to the
  // next call: "store", "read", or both.
  const firstAccessToT = (c) => {
    const kinds = new Set();
    reach(vals.next(c), (k) => {
      const ins = instrs[k];
      if (isCall(ins)) return false;
      if (!hasMemoryOperand(ins) || vals.addressOf(k) !== tAddr) return true;
      const writes = info.info(ins).usedMemory().some((m) => [OpAccess.Write, OpAccess.CondWrite].includes(m.access));
      kinds.add(writes ? "store" : "read");
      return false;
    });
    return kinds;
  };
  const kindOf = new Map(clockCalls.map((c) => [c, firstAccessToT(c)]));
  info.free();
  const starts = clockCalls.filter((c) => kindOf.get(c).size === 1 && kindOf.get(c).has("store"));
  const ends = new Set(clockCalls.filter((c) => kindOf.get(c).has("read")));
  if (starts.length === 0) {
    fail(instrs[clockCalls[0]], "no clock reading is stored in t as the start of a run");
    return;
  }
  const inLoop = (k) => k >= loop.first && k <= loop.last;
  for (const start of starts) {
    const seen = reach(vals.next(start), (k) => {
      const ins = instrs[k];
      if (isClockCall(ins)) {
        if (!ends.has(k)) fail(ins, "the run's timed region ends at a clock reading that t is not subtracted from");
        return false;
      }
      if (isCall(ins)) fail(ins, "call inside the timed region other than the clock");
      if (flow.leaves(ins)) fail(ins, "the timed region can leave the function before the second clock reading");
      return true;
    });
    if (!seen.has(loop.first)) {
      fail(instrs[start], "the workload loop does not lie between this run's start reading and the reading subtracted from it");
      continue;
    }
    // With the loop taken as one step, the region must hold no cycle (an
    // outer loop would run the workload more than once per run) and no path
    // to the end reading that avoids the loop.
    const node = (k) => (inLoop(k) ? loop.first : k);
    const succ = (k) => {
      const from = k === loop.first ? [loop.last] : [k];
      const out = [];
      for (const f of from)
        for (const j of vals.next(f))
          if (seen.has(j) && !(inLoop(f) && inLoop(j) && j !== loop.first) && !(f === loop.last && j === loop.first))
            out.push(node(j));
      return out;
    };
    const state = new Map();
    let cycle = false;
    const visit = (k) => {
      state.set(k, "open");
      if (!isClockCall(instrs[k]))
        for (const j of succ(k)) {
          if (state.get(j) === "open") cycle = true;
          else if (!state.has(j)) visit(j);
        }
      state.set(k, "done");
    };
    for (const j of vals.next(start)) if (!state.has(node(j))) visit(node(j));
    if (cycle) fail(instrs[loop.first], "the workload loop can run more than once per run: a loop around it inside the timed region");
    const around = reach(vals.next(start), (k) => !inLoop(k) && !isClockCall(instrs[k]));
    const skipped = [...around].find((k) => isClockCall(instrs[k]));
    if (skipped !== undefined)
      fail(instrs[skipped], "a path through the timed region reaches the second clock reading without running the workload loop");
    if (variant.clearsUpper) {
      // The clearing of the upper register halves before the second reading
      // belongs to the timed region.
      const cleared = [...seen].some((k) => instrs[k].mnemonic === Mnemonic.Vzeroupper);
      if (!cleared) fail(instrs[start], "no vzeroupper inside the timed region");
    }
  }
}

// Every exit from the function (calls to the clock and printf, tail jumps,
// conditional jumps out, returns) finds the upper register halves clear: on every path to it, each use of a
// 256- or 512-bit register has been followed by a vzeroupper. A forward data
// flow over the function's instructions; it starts clean, as the calling
// convention leaves it, and each call returns clean.
function checkUpperHalvesCleared(fn, instrs, flow, failures) {
  const wide = (ins) => registersOf(ins).some((r) => RegisterExt.isYMM(r) || RegisterExt.isZMM(r));
  const dirtyIn = new Array(instrs.length).fill(false);
  const visited = new Array(instrs.length).fill(false);
  const work = [[0, false]];
  while (work.length) {
    const [k, dirty] = work.pop();
    if (visited[k] && (dirtyIn[k] || !dirty)) continue;
    visited[k] = true;
    dirtyIn[k] = dirtyIn[k] || dirty;
    const ins = instrs[k];
    let out = dirtyIn[k];
    if (ins.mnemonic === Mnemonic.Vzeroupper || ins.mnemonic === Mnemonic.Vzeroall || isCall(ins)) out = false;
    else if (wide(ins)) out = true;
    for (const n of flow.next(k)) work.push([n, out]);
  }
  instrs.forEach((ins, k) => {
    if (!visited[k] || !dirtyIn[k]) return;
    if (isCallOut(ins, flow.index))
      failures.push(new AuditError(fn, ins, "call out of the function with the upper register halves not cleared").message);
    else if (ins.flowControl === FlowControl.Return)
      failures.push(new AuditError(fn, ins, "return with the upper register halves not cleared").message);
  });
}

// A measuring function calls or jumps only to the clock, its own parts and
// the C library. A library call goes through the dynamic linker's stubs
// (ELF .plt) or an import thunk, or through a slot the loader fills (the GOT,
// the PE import address table). Any other target is code of the program,
// perhaps built for another instruction set (a single copy of shared code),
// and a function pointer in writable data can lead anywhere.
function checkCallTargets(fn, instrs, { index }, clockAddr, image, failures) {
  const fail = (ins, rule) => failures.push(new AuditError(fn, ins, rule).message);
  const isImportThunk = (addr) => {
    const decoder = new Decoder(64, image.read(addr, 16), DecoderOptions.None);
    decoder.ip = addr;
    const first = decoder.decode();
    decoder.free();
    return first.flowControl === FlowControl.IndirectBranch && first.memoryBase === Register.RIP &&
      image.isImportSlot(first.memoryDisplacementU64);
  };
  for (const ins of instrs) {
    if (!isCallOut(ins, index)) continue;
    if (ins.flowControl === FlowControl.IndirectCall || ins.flowControl === FlowControl.IndirectBranch) {
      if (ins.memoryBase !== Register.RIP)
        fail(ins, "indirect call or jump through a register");
      else if (!image.isImportSlot(ins.memoryDisplacementU64))
        fail(ins, `indirect call or jump through ${ins.memoryDisplacementU64.toString(16)} ` +
          `(${image.sectionName(ins.memoryDisplacementU64) ?? "no section"}), not a GOT or import table slot`);
      continue;
    }
    const target = ins.nearBranchTarget;
    if (target === clockAddr || image.isStub(target) || isImportThunk(target)) continue;
    fail(ins, isCall(ins) ? "calls code outside this variant's build, which may be built for another instruction set"
      : "jumps to code outside this function and its own parts, which may be built for another instruction set");
  }
}

const vectorRegs = (ins) => registersOf(ins).filter((r) => RegisterExt.isVectorRegister(r));
const isVectorInstr = (ins) => vectorRegs(ins).length > 0;

// Encoding and register width over the whole function.
function checkEncodingAndWidth(fn, variant, instrs, failures) {
  const fail = (ins, rule) => failures.push(new AuditError(fn, ins, rule).message);
  const maxWidth = Math.max(variant.width, 128);
  for (const ins of instrs) {
    if (!isVectorInstr(ins)) continue;
    for (const r of vectorRegs(ins))
      if (RegisterExt.size(r) * 8 > maxWidth) fail(ins, `uses ${Register[r]}, wider than this variant's ${maxWidth} bits`);
    const enc = ins.encoding;
    if (variant.encoding === "legacy" && enc !== EncodingKind.Legacy) fail(ins, "VEX or EVEX encoding in a legacy-SSE variant");
    if (variant.encoding === "vex" && enc !== EncodingKind.VEX) fail(ins, "vector instruction not VEX-encoded");
    if (variant.encoding === "evex" && enc === EncodingKind.Legacy) fail(ins, "legacy SSE encoding in an AVX-512 variant");
  }
}

// The loop as a dependency graph: each value's end-of-iteration expression
// over the values it entered with. For every vector width:
//   b   <- b + s                      (s: the lane step, a loop constant)
//   acc <- acc + ((b + c2) XOR b)     (with b as it enters the iteration)
//   counter <- counter + d, tested by the loop's branch
// and nothing else carried from one iteration to the next, no instruction
// whose result feeds nothing. In the 128-bit loops s and c2 are one register
// (the step equals the XOR distance) and the copy must read b before its
// addition; the wider loops have two constants. The scalar loop:
//   k <- k + 1 (the counter), acc <- acc + ((k + 2) XOR k).
// Returns the registers in each role, or null.
function checkDataFlow(fn, variant, loop, failures) {
  const fail = (ins, rule) => failures.push(new AuditError(fn, ins, `loop data flow: ${rule}`).message);
  const g = loopGraph(loop);
  for (const p of g.problems) fail(p.ins, p.rule);
  for (const k of g.dead) fail(loop.body[k], "its result feeds neither a later iteration nor the branch");
  if (g.problems.length) return null;
  const key = (r) => `in:${Register[r]}`;
  const add = (a, b) => `add(${[a, b].sort().join(",")})`;
  const xor = (a, b) => `xor(${[a, b].sort().join(",")})`;
  const endOf = (r) => g.end.get(r)?.key;
  const branch = loop.body[loop.body.length - 1];
  const carried = [...g.readIn].filter((r) => g.defBy.has(r));
  const invariant = [...g.readIn].filter((r) => !g.defBy.has(r) && RegisterExt.isVectorRegister(r));

  // The counter: the register whose step the branch tests, with jne.
  const f = g.branchFlags;
  if (!f || branch.conditionCode !== ConditionCode.ne) {
    fail(branch, "the loop's branch is not a not-equal test of its counter");
    return null;
  }
  let tested, bound;
  if (f.kind === "zero") [tested, bound] = [f.value, 0n];
  else if (f.kind === "cmp" && f.b.key.startsWith("#")) [tested, bound] = [f.a, BigInt(f.b.key.slice(1))];
  else if (f.kind === "test" && f.a.key === f.b.key) [tested, bound] = [f.a, 0n];
  else {
    fail(branch, "the loop's branch does not compare the counter with a constant");
    return null;
  }
  const counter = carried.find((r) => RegisterExt.isGPR(r) && (tested.key === key(r) || tested.key === endOf(r)));
  const step = counter === undefined ? null : /^add\(#(\d+),in:/.exec(endOf(counter) ?? "");
  if (!step || endOf(counter) !== add(`#${step[1]}`, key(counter))) {
    fail(branch, "the branch does not test a counter that advances by a constant");
    return null;
  }
  const roles = { counter, step: BigInt(step[1]), bound, testsEnd: tested.key !== key(counter) };
  const others = (inRoles) => {
    for (const r of carried)
      if (!inRoles.includes(r)) fail(loop.body[0], `${Register[r]} carries a value from one iteration to the next`);
  };

  if (variant.width === 64) {
    const acc = carried.find((r) => r !== counter &&
      endOf(r) === add(key(r), xor(add("#2", key(counter)), key(counter))));
    if (acc === undefined) {
      fail(branch, "no accumulator updated as acc + ((k + 2) XOR k) with k the counter");
      return null;
    }
    others([counter, acc]);
    return { ...roles, acc, k: counter };
  }
  let found = null;
  for (const b of carried.filter((r) => RegisterExt.isVectorRegister(r))) {
    const s = invariant.find((c) => endOf(b) === add(key(b), key(c)));
    if (s === undefined) continue;
    for (const acc of carried.filter((r) => r !== b && RegisterExt.isVectorRegister(r))) {
      const c2 = invariant.find((c) => endOf(acc) === add(key(acc), xor(key(b), add(key(b), key(c)))));
      if (c2 !== undefined) found = { b, s, acc, c2 };
    }
  }
  if (!found) {
    fail(loop.body[0], "no b advanced by a constant with acc <- acc + ((b + c2) XOR b) on b as it enters the iteration");
    return null;
  }
  if ((variant.width === 128) !== (found.s === found.c2))
    fail(loop.body[0], variant.width === 128 ? "the lane step and the XOR distance are not one register"
      : "the lane step and the XOR distance are one register");
  others([found.b, found.acc, counter]);
  return { ...roles, ...found };
}

// The arithmetic, from the binary alone: the values every run enters the loop
// with (on every path into it), the constants' lanes and where they come
// from, and the trip count. With the data flow above they fix the sum.
function checkArithmetic(fn, variant, instrs, loop, roles, vals, failures) {
  const fail = (rule) => failures.push(new AuditError(fn, loop.body[0], rule).message);
  const entry = loopEntryState(instrs, loop, vals);
  if (!entry) {
    fail("no path leads into the workload loop");
    return;
  }
  const lanes = variant.width === 64 ? 1 : variant.width / 64;
  const value = (r) => entry.regs.get(r);
  const show = (ls) => `{${ls.map((v) => (v === null ? "?" : v.toString())).join(", ")}}`;
  const c0 = value(roles.counter) ? numberOf(value(roles.counter).bytes, 0, 8) : null;
  if (c0 === null) fail(`the counter ${Register[roles.counter]} does not start from a known value in every run`);
  else {
    // Iterations until the counter (before or after its step) equals the bound.
    const d = BigInt.asIntN(64, roles.step);
    let diff = BigInt.asIntN(64, BigInt.asUintN(64, roles.bound - c0));
    if (!roles.testsEnd) diff += d;
    if (d === 0n || diff % d !== 0n || diff / d <= 0n) fail("the loop's trip count is not finite");
    else if ((diff / d) * BigInt(lanes) !== 1000000000n)
      fail(`the loop runs ${diff / d} iterations of ${lanes} lane(s): ${(diff / d) * BigInt(lanes)} elements, expected 1000000000`);
  }
  const expectLanes = (reg, expected, what) => {
    const got = lanesOf(value(reg), lanes);
    if (got.some((v, j) => v !== expected[j]))
      fail(`${what} (${Register[reg]}) enters the loop as ${show(got)} in some run, expected ${show(expected)}`);
  };
  expectLanes(roles.acc, new Array(lanes).fill(0n), "acc");
  if (variant.width === 64) {
    expectLanes(roles.k, [0n], "k");
    return;
  }
  expectLanes(roles.b, Array.from({ length: lanes }, (_, j) => BigInt(j)), "b");
  expectLanes(roles.c2, new Array(lanes).fill(2n), "the XOR distance c2");
  expectLanes(roles.s, new Array(lanes).fill(BigInt(lanes)), "the lane step");
  // The constants come from read-only data, directly or through a stack slot
  // filled from there.
  for (const r of new Set([roles.c2, roles.s])) {
    const src = value(r)?.src ?? "unknown";
    if (src !== "rodata")
      fail(`constant register ${Register[r]} is not loaded from read-only data (the value reaching the loop comes from ${
        { writable: "writable data", imm: "an immediate", zero: "a zeroing idiom" }[src] ?? "no single read-only load"})`);
  }
}

function checkConversions(fn, variant, instrs, failures) {
  if (!variant.unsignedConversions) return;
  const unsigned = instrs.filter((i) => i.mnemonic === Mnemonic.Vcvtusi2sd);
  const signed = instrs.filter((i) => [Mnemonic.Cvtsi2sd, Mnemonic.Vcvtsi2sd].includes(i.mnemonic));
  if (unsigned.length < variant.unsignedConversions)
    failures.push(new AuditError(fn, instrs[0], `expected ${variant.unsignedConversions} VCVTUSI2SD clock conversions, found ${unsigned.length}`).message);
  for (const ins of signed) failures.push(new AuditError(fn, ins, "clock reading converted without VCVTUSI2SD").message);
}

// The loop's form and placement, exactly as chosen for this variant: its
// first instruction the chosen number of bytes past a 64-byte boundary, its
// length, and its instructions in order with what each does. The same
// operations in another order, with another counter or at another offset run
// at another speed on some processor (up to 30% on Intel's Sapphire Rapids
// class; a loop crossing a line at the wrong point runs half as fast on Zen
// 4), and the line would no longer show the speed its form was chosen for.
// What each instruction does comes from the data flow's roles; where the data
// flow failed, only the mnemonics are compared.
function checkLoopForm(fn, variant, loop, roles, failures) {
  const fail = (ins, rule) => failures.push(new AuditError(fn, ins, rule).message);
  const expected = variant.loop;
  const first = loop.body[0], branch = loop.body[loop.body.length - 1];
  const offset = Number(first.ip % 64n);
  if (offset !== expected.offset)
    fail(first, `workload loop starts ${offset} bytes past a 64-byte boundary, expected ${expected.offset}`);
  const bytes = Number(branch.nextIP - first.ip);
  if (bytes !== expected.bytes) fail(first, `workload loop is ${bytes} bytes long, expected ${expected.bytes}`);
  const operation = (ins) => {
    if (ins.isJccShortOrNear) return "branch";
    if (ins.mnemonic === Mnemonic.Cmp || ins.mnemonic === Mnemonic.Test) return "compare";
    const dst = ins.op0Kind === OpKind.Register ? RegisterExt.fullRegister(ins.op0Register) : null;
    if (dst === roles.counter) return "step";
    if (dst === roles.acc) return "accumulate";
    if (dst === roles.b) return "advance";
    const role = variant.loopRole(ins);
    if (role === "register copy") return "copy";
    if (role === "XOR") return "xor";
    return variant.width === 64 ? "add-2" : "add-c2";
  };
  const found = loop.body.map((ins) => `${Mnemonic[ins.mnemonic].toLowerCase()}${roles ? `:${operation(ins)}` : ""}`);
  const want = roles ? expected.form : expected.form.map((f) => f.split(":")[0]);
  if (found.join(" ") !== want.join(" "))
    fail(first, `workload loop is ${found.join(" ")}; expected ${want.join(" ")}`);
}

// The SSE4.2 variant is the SSE2 variant's code built for a higher level:
// only instructions from SSE3 to SSE4.2 may differ, and where the two read
// memory, the data read must be the same.
function checkSameSequence(a, b, image, failures) {
  // Immediates stay; an address is replaced by what decides the result: the
  // bytes it holds where they are read-only, else the symbol it names; a
  // branch target by its distance from the function's start.
  const norm = (ins, fnStart, fnIps) => {
    let text = formatter.format(ins);
    if (ins.isIpRelMemoryOperand) {
      const addr = ins.memoryDisplacementU64;
      const size = Math.max(MemorySizeExt.size(ins.memorySize), 1);
      const what = image.isReadOnly(addr) ? `data:${Buffer.from(image.read(addr, size)).toString("hex")}`
        : `sym:${symbolAt.get(addr) ?? "?"}`;
      // A string's address (the format) may differ; the data loaded may not.
      text = text.replace(new RegExp(`0x0*${addr.toString(16)}\\b`, "i"),
        ins.mnemonic === Mnemonic.Lea && image.isReadOnly(addr) ? "address" : what);
    }
    if (isBranch(ins) || isCall(ins)) {
      const target = ins.nearBranchTarget;
      // Inside the function by its distance from the start (or from its
      // part's); outside it by the address itself: the same callee.
      const part = parts.find(([start, end]) => target >= start && target < end);
      const where = part ? `${part[2].slice(part[2].indexOf("."))}+${target - part[0]}`
        : fnIps.has(target) ? `+${target - fnStart}` : `0x${target.toString(16)}`;
      text = text.replace(/0x[0-9a-f]+/i, where);
    }
    return `${Mnemonic[ins.mnemonic]} ${text}`;
  };

  const ipsA = new Set(a.instrs.map((i) => i.ip)), ipsB = new Set(b.instrs.map((i) => i.ip));
  const n = Math.max(a.instrs.length, b.instrs.length);
  for (let k = 0; k < n; k++) {
    const x = a.instrs[k], y = b.instrs[k];
    if (!x || !y) {
      failures.push(`${b.name}: ${a.instrs.length} instructions against ${b.instrs.length} in ${a.name}; expected the same sequence`);
      return;
    }
    if (norm(x, a.instrs[0].ip, ipsA) === norm(y, b.instrs[0].ip, ipsB)) continue;
    if (featureNames(y).some((f) => SSE4_FEATURES.has(f))) continue;
    failures.push(new AuditError(b.name, y, `differs from ${a.name}'s ${describe(x)}; expected the same instruction sequence`).message);
    return;
  }
}

function main() {
  const args = parseArgs(process.argv.slice(2));
  const image = loadImage(readFileSync(args.binary));
  const { symbols, all } = readSymbols(args.nm, args.binary);
  // Section symbols (".text") share addresses with functions: name the function.
  for (const sym of all)
    if (!symbolAt.has(sym.addr) || symbolAt.get(sym.addr).startsWith(".")) symbolAt.set(sym.addr, sym.name);
  const failures = [];
  const lookup = (name) => symbols.get(name);
  const textAt = new Map([...symbols.values()].map((sym) => [sym.addr, sym]));
  // `t`, which holds a run's start reading: the audit finds the timed region
  // by what is stored there and read back.
  const tSym = all.find((sym) => sym.name === "t" && /^[bBdD]$/.test(sym.type));
  if (!tSym) {
    console.error(`audit: the measurement variable t not found in ${args.binary}`);
    process.exit(1);
  }

  const clock = lookup(CLOCK.name);
  if (!clock) {
    console.error(`audit: ${CLOCK.name} not found in ${args.binary}`);
    process.exit(1);
  }
  const checked = [];
  const decoded = new Map();
  for (const fnDef of [CLOCK, ...VARIANTS]) {
    const sym = lookup(fnDef.name);
    if (!sym) { failures.push(`${fnDef.name}: missing from the binary`); continue; }
    if (sym.addr % 4096n !== 0n)
      failures.push(`${fnDef.name}: starts at ${sym.addr.toString(16)}, not on a 4096-byte boundary`);
    const { instrs } = fnDef === CLOCK ? { instrs: decodeFunction(image, sym) } : decodeWhole(image, sym, fnDef.name, textAt);
    decoded.set(fnDef.name, { name: fnDef.name, instrs });
    const allowed = fnDef.features(args.compiler);
    checkFeatures(fnDef.name, instrs, allowed, failures);
    if (fnDef === CLOCK) continue;
    checkEncodingAndWidth(fnDef.name, fnDef, instrs, failures);
    checkConversions(fnDef.name, fnDef, instrs, failures);
    const flow = flowOf(instrs);
    checkCallTargets(fnDef.name, instrs, flow, clock.addr, image, failures);
    const vals = values(instrs, flow, image, image.format === "pe" ? "win64" : "sysv");
    try {
      const loop = findWorkloadLoop(instrs, flow, fnDef.name);
      checkLoop(fnDef.name, fnDef, loop, failures);
      const roles = checkDataFlow(fnDef.name, fnDef, loop, failures);
      checkLoopForm(fnDef.name, fnDef, loop, roles, failures);
      if (roles) checkArithmetic(fnDef.name, fnDef, instrs, loop, roles, vals, failures);
      checkTimedRegion(fnDef.name, fnDef, instrs, flow, vals, loop, clock.addr, tSym.addr, failures);
      if (fnDef.clearsUpper) checkUpperHalvesCleared(fnDef.name, instrs, flow, failures);
      if (args.list) {
        const first = loop.body[0].ip, end = loop.body[loop.body.length - 1].nextIP;
        console.log(`${fnDef.name} @ ${sym.addr.toString(16)}, workload loop ${first % 64n} bytes past a 64-byte ` +
          `boundary: ${Buffer.from(image.read(first, Number(end - first))).toString("hex")}`);
        for (const ins of loop.body) console.log(`    ${describe(ins)}`);
      }
    } catch (e) {
      if (!(e instanceof AuditError)) throw e;
      failures.push(e.message);
    }
    checked.push(fnDef.name);
  }
  if (decoded.has("bench_sse2") && decoded.has("bench_sse42"))
    checkSameSequence(decoded.get("bench_sse2"), decoded.get("bench_sse42"), image, failures);
  for (const f of failures) console.error(`audit: ${f}`);
  if (failures.length) process.exit(1);
  console.log(`audit: ${args.binary}: ${CLOCK.name} and ${checked.join(", ")} pass (${args.compiler})`);
}

main();
