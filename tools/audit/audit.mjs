#!/usr/bin/env node
// Binary audit: proves from the built executable that each measuring function
// is what its results line claims. It decodes the machine code with iced-x86
// (whose decoder names the CPUID feature every instruction needs), takes the
// function bounds from the symbol table (ELF or PE), and checks placement,
// instruction set and encoding, the workload loop's shape, the contents of
// the timed region, the calls made and the state of the upper register
// halves at each of them.
//
// usage: node audit.mjs [--compiler gcc|clang] [--nm NM] [--list] BINARY
// Exits 0 when every rule holds; otherwise prints one line per broken rule,
// naming the function, the instruction and the rule, and exits 1.

import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import { Decoder, DecoderOptions, Formatter, FormatterSyntax, Mnemonic, OpKind,
         FlowControl, CpuidFeature, RegisterExt, Register, EncodingKind, InstructionInfoFactory,
         OpAccess } from "iced-x86";

import { VARIANTS, CLOCK, SSE4_FEATURES } from "./variants.mjs";
import { loadImage } from "./image.mjs";

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

export function describe(instr) {
  const fc = instr.flowControl;
  const branches = fc === FlowControl.Call || fc === FlowControl.UnconditionalBranch || fc === FlowControl.ConditionalBranch;
  const target = branches ? symbolAt.get(instr.nearBranchTarget) : undefined;
  return `${instr.ip.toString(16)}: ${formatter.format(instr)}${target ? ` <${target}>` : ""}`;
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

const isBranch = (i) => [FlowControl.ConditionalBranch, FlowControl.UnconditionalBranch,
  FlowControl.IndirectBranch].includes(i.flowControl);
const isCall = (i) => i.flowControl === FlowControl.Call || i.flowControl === FlowControl.IndirectCall;
// A call, or a jump out of the function (a tail call).
const isCallOut = (i, index) => isCall(i) || i.flowControl === FlowControl.IndirectBranch ||
  (i.flowControl === FlowControl.UnconditionalBranch && !index.has(i.nearBranchTarget));

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
    if (k + 1 < instrs.length) out.push(k + 1);
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
    if (target > ins.ip || !index.has(target)) return;
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
      if (!allowed.has(f))
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

// The timed region: every instruction reachable from the return of a clock
// call up to the next clock call. It must hold the workload loop, reach the
// second reading on every path, and call nothing but the clock.
function checkTimedRegion(fn, variant, instrs, flow, loop, clockAddr, failures) {
  const fail = (ins, rule) => failures.push(new AuditError(fn, ins, rule).message);
  const isClockCall = (ins) => ins.flowControl === FlowControl.Call && ins.nearBranchTarget === clockAddr;
  const clockCalls = instrs.map((ins, k) => [ins, k]).filter(([ins]) => isClockCall(ins));
  if (clockCalls.length < 2) {
    fail(instrs[0], `expected at least two clock calls, found ${clockCalls.length}`);
    return;
  }
  let timedRegions = 0;
  for (const [, start] of clockCalls) {
    const seen = new Set();
    const stack = [...flow.next(start)];
    const calls = [];
    const exits = [];
    while (stack.length) {
      const k = stack.pop();
      if (seen.has(k)) continue;
      seen.add(k);
      const ins = instrs[k];
      if (isClockCall(ins)) continue;
      if (isCall(ins)) calls.push(ins);
      if (flow.leaves(ins)) exits.push(ins);
      stack.push(...flow.next(k));
    }
    if (!seen.has(loop.first)) continue;  // the region after the second reading
    timedRegions++;
    for (const c of calls) fail(c, "call inside the timed region other than the clock");
    for (const e of exits) fail(e, "the timed region can leave the function before the second clock reading");
    if (variant.clearsUpper) {
      // The clearing of the upper register halves before the second reading
      // belongs to the timed region.
      const cleared = [...seen].some((k) => instrs[k].mnemonic === Mnemonic.Vzeroupper);
      if (!cleared) fail(instrs[start], "no vzeroupper inside the timed region");
    }
  }
  if (timedRegions === 0) fail(instrs[loop.first], "the workload loop lies outside every timed region");
  if (variant.clearsUpper) checkUpperHalvesCleared(fn, instrs, flow, failures);
}

// Every call out of the function (clock and printf, tail jumps included)
// finds the upper register halves clear: on every path to it, each use of a
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
    if (visited[k] && dirtyIn[k] && isCallOut(ins, flow.index))
      failures.push(new AuditError(fn, ins, "call out of the function with the upper register halves not cleared").message);
  });
}

// A measuring function calls only the clock and the C library, through the
// dynamic linker's stubs (ELF .plt) or the import table (PE). A direct call
// to any other function of the program reaches code built for some other
// instruction set: shared code the linker kept a single copy of.
function checkCallTargets(fn, instrs, { index }, clockAddr, image, failures) {
  const isImportThunk = (addr) => {
    const decoder = new Decoder(64, image.read(addr, 16), DecoderOptions.None);
    decoder.ip = addr;
    const first = decoder.decode();
    decoder.free();
    return first.flowControl === FlowControl.IndirectBranch && first.memoryBase === Register.RIP;
  };
  for (const ins of instrs) {
    if (!isCallOut(ins, index)) continue;
    if (ins.flowControl === FlowControl.IndirectCall || ins.flowControl === FlowControl.IndirectBranch) {
      if (ins.memoryBase !== Register.RIP)
        failures.push(new AuditError(fn, ins, "indirect call through a register").message);
      continue;
    }
    const target = ins.nearBranchTarget;
    if (target === clockAddr || (image.sectionName(target) ?? "").startsWith(".plt") || isImportThunk(target)) continue;
    failures.push(new AuditError(fn, ins, "calls code outside this variant's build, which may be built for another instruction set").message);
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

// The loop's constants (c2, and the lane step where it differs) sit in
// registers the loop only reads, set up outside it: loaded from read-only
// data or, where a compiler prefers, built from an immediate.
function checkConstants(fn, variant, instrs, loop, image, failures) {
  const info = new InstructionInfoFactory();
  const written = new Set();
  const read = new Set();
  for (const ins of loop.body) {
    for (const u of info.info(ins).usedRegisters()) {
      const r = RegisterExt.fullRegister(u.register);
      if (!RegisterExt.isVectorRegister(u.register)) continue;
      if ([OpAccess.Write, OpAccess.ReadWrite, OpAccess.CondWrite, OpAccess.ReadCondWrite].includes(u.access)) written.add(r);
      else read.add(r);
    }
  }
  const invariant = [...read].filter((r) => !written.has(r));
  if (invariant.length !== variant.constants)
    failures.push(new AuditError(fn, loop.body[0], `workload loop reads ${invariant.length} constant vector register(s), expected ${variant.constants}`).message);
  const loadsInto = (reg) => instrs.filter((ins) => ins.op0Kind === OpKind.Register && hasMemoryOperand(ins) &&
    RegisterExt.fullRegister(ins.op0Register) === reg);
  const fromReadOnly = (ins) => ins.memoryBase === Register.RIP && image.isReadOnly(ins.memoryDisplacementU64);
  const sameSlot = (a, b) => a.memoryBase === b.memoryBase && a.memoryIndex === b.memoryIndex &&
    a.memoryDisplacementU64 === b.memoryDisplacementU64;
  // Vector registers do not survive a call, so a compiler may keep the
  // constants in a stack slot across the clock calls: that slot must be
  // filled from read-only data.
  const fromSpilledReadOnly = (load) => [Register.RSP, Register.RBP].includes(load.memoryBase) &&
    instrs.some((st) => st.op0Kind === OpKind.Memory && sameSlot(st, load) && st.op1Kind === OpKind.Register &&
      loadsInto(RegisterExt.fullRegister(st.op1Register)).some(fromReadOnly));
  // Where the convention keeps vector registers across calls (Windows: XMM6
  // to XMM15), GCC may instead build a constant once from an immediate: a
  // general register moved into the vector register and broadcast.
  const fromImmediate = (reg) => instrs.some((ins) => [Mnemonic.Movq, Mnemonic.Vmovq].includes(ins.mnemonic) &&
    ins.op0Kind === OpKind.Register && RegisterExt.fullRegister(ins.op0Register) === reg &&
    ins.op1Kind === OpKind.Register && RegisterExt.isGPR(ins.op1Register));
  for (const r of invariant) {
    const loads = loadsInto(r).filter((ins) => fromReadOnly(ins) || fromSpilledReadOnly(ins));
    if (loads.length === 0 && !fromImmediate(r))
      failures.push(new AuditError(fn, loop.body[0], `constant register ${Register[r]} is not loaded from read-only data`).message);
  }
  info.free();
}

function checkConversions(fn, variant, instrs, failures) {
  if (!variant.unsignedConversions) return;
  const unsigned = instrs.filter((i) => i.mnemonic === Mnemonic.Vcvtusi2sd);
  const signed = instrs.filter((i) => [Mnemonic.Cvtsi2sd, Mnemonic.Vcvtsi2sd].includes(i.mnemonic));
  if (unsigned.length < variant.unsignedConversions)
    failures.push(new AuditError(fn, instrs[0], `expected ${variant.unsignedConversions} VCVTUSI2SD clock conversions, found ${unsigned.length}`).message);
  for (const ins of signed) failures.push(new AuditError(fn, ins, "clock reading converted without VCVTUSI2SD").message);
}

// A workload loop that straddles a 64-byte line runs at a different speed
// from the same loop inside one line. Intel's microcode for the jump erratum
// also slows a jump that crosses or ends on a 32-byte boundary: the loop
// lies inside one 32-byte block and does not end on its last byte.
function checkLoopPlacement(fn, loop, failures) {
  const first = loop.body[0].ip;
  const end = loop.body[loop.body.length - 1].nextIP;
  if (first / 64n !== (end - 1n) / 64n)
    failures.push(new AuditError(fn, loop.body[0], "workload loop straddles a 64-byte line").message);
  if (first / 32n !== (end - 1n) / 32n || end % 32n === 0n)
    failures.push(new AuditError(fn, loop.body[loop.body.length - 1],
      "workload loop crosses or ends on a 32-byte boundary").message);
}

// The SSE4.2 variant is the SSE2 variant's code built for a higher level:
// apart from addresses, only instructions from SSE3 to SSE4.2 may differ.
function checkSameSequence(a, b, failures) {
  const norm = (ins) => {
    const text = formatter.format(ins).replace(/0x[0-9a-f]+/gi, "X");
    return `${Mnemonic[ins.mnemonic]} ${text}`;
  };
  const n = Math.max(a.instrs.length, b.instrs.length);
  for (let k = 0; k < n; k++) {
    const x = a.instrs[k], y = b.instrs[k];
    if (!x || !y) {
      failures.push(`${b.name}: ${a.instrs.length} instructions against ${b.instrs.length} in ${a.name}; expected the same sequence`);
      return;
    }
    if (norm(x) === norm(y)) continue;
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
    const instrs = decodeFunction(image, sym);
    decoded.set(fnDef.name, { name: fnDef.name, instrs });
    const allowed = fnDef.features(args.compiler);
    checkFeatures(fnDef.name, instrs, allowed, failures);
    if (fnDef === CLOCK) continue;
    checkEncodingAndWidth(fnDef.name, fnDef, instrs, failures);
    checkConversions(fnDef.name, fnDef, instrs, failures);
    const flow = flowOf(instrs);
    checkCallTargets(fnDef.name, instrs, flow, clock.addr, image, failures);
    try {
      const loop = findWorkloadLoop(instrs, flow, fnDef.name);
      checkLoop(fnDef.name, fnDef, loop, failures);
      checkLoopPlacement(fnDef.name, loop, failures);
      checkConstants(fnDef.name, fnDef, instrs, loop, image, failures);
      checkTimedRegion(fnDef.name, fnDef, instrs, flow, loop, clock.addr, failures);
      if (args.list) {
        console.log(`${fnDef.name} @ ${sym.addr.toString(16)}, workload loop:`);
        for (const ins of loop.body) console.log(`    ${describe(ins)}`);
      }
    } catch (e) {
      if (!(e instanceof AuditError)) throw e;
      failures.push(e.message);
    }
    checked.push(fnDef.name);
  }
  if (decoded.has("bench_sse2") && decoded.has("bench_sse42"))
    checkSameSequence(decoded.get("bench_sse2"), decoded.get("bench_sse42"), failures);
  for (const f of failures) console.error(`audit: ${f}`);
  if (failures.length) process.exit(1);
  console.log(`audit: ${args.binary}: ${CLOCK.name} and ${checked.join(", ")} pass (${args.compiler})`);
}

main();
