#!/usr/bin/env node
// Binary audit: proves from the built executable that each measuring function
// is what its results line claims. It decodes the machine code with iced-x86
// (whose decoder names the CPUID feature every instruction needs), takes the
// function bounds from the symbol table, and checks placement, instruction
// set, the workload loop's shape and the contents of the timed region.
//
// usage: node audit.mjs [--compiler gcc|clang] [--nm NM] [--list] BINARY
// Exits 0 when every rule holds; otherwise prints one line per broken rule,
// naming the function, the instruction and the rule, and exits 1.

import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import { Decoder, DecoderOptions, Formatter, FormatterSyntax, Mnemonic, OpKind,
         FlowControl, CpuidFeature, RegisterExt, Register } from "iced-x86";

import { VARIANTS, CLOCK } from "./variants.mjs";
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
    // PE symbols of C functions may carry no decoration; ELF ones never do.
    if (/^[tT]$/.test(type)) symbols.set(name, entry);
  }
  return { symbols, all };
}

const formatter = new Formatter(FormatterSyntax.Gas);
formatter.gasShowMnemonicSizeSuffix = false;

export function describe(instr) {
  return `${instr.ip.toString(16)}: ${formatter.format(instr)}`;
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
const isNop = (i) => i.mnemonic === Mnemonic.Nop;

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
export function findWorkloadLoop(instrs, fn) {
  const index = new Map(instrs.map((ins, k) => [ins.ip, k]));
  const loops = [];
  instrs.forEach((ins, k) => {
    if (!isBranch(ins) || ins.flowControl === FlowControl.IndirectBranch) return;
    const target = ins.nearBranchTarget;
    if (target > ins.ip || !index.has(target)) return;
    loops.push({ first: index.get(target), last: k });
  });
  const encloses = (a, b) => a !== b && a.first <= b.first && b.last <= a.last;
  const body = (l) => instrs.slice(l.first, l.last + 1);
  const candidates = loops.filter((l) => !body(l).some(isCall) && !loops.some((o) => encloses(l, o)));
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
function checkTimedRegion(fn, variant, instrs, loop, clockAddr, failures) {
  const fail = (ins, rule) => failures.push(new AuditError(fn, ins, rule).message);
  const index = new Map(instrs.map((ins, k) => [ins.ip, k]));
  const isClockCall = (ins) => ins.flowControl === FlowControl.Call && ins.nearBranchTarget === clockAddr;
  const clockCalls = instrs.map((ins, k) => [ins, k]).filter(([ins]) => isClockCall(ins));
  if (clockCalls.length < 2) {
    fail(instrs[0], `expected at least two clock calls, found ${clockCalls.length}`);
    return;
  }
  let timedRegions = 0;
  for (const [, start] of clockCalls) {
    const seen = new Set();
    const stack = [start + 1];
    const calls = [];
    const exits = [];
    while (stack.length) {
      const k = stack.pop();
      if (k === undefined || k >= instrs.length || seen.has(k)) continue;
      seen.add(k);
      const ins = instrs[k];
      if (isClockCall(ins)) continue;
      if (isCall(ins)) calls.push(ins);
      const fc = ins.flowControl;
      if (fc === FlowControl.Return || fc === FlowControl.IndirectBranch) { exits.push(ins); continue; }
      if (fc === FlowControl.ConditionalBranch || fc === FlowControl.UnconditionalBranch) {
        if (!index.has(ins.nearBranchTarget)) { exits.push(ins); continue; }  // tail call out
        stack.push(index.get(ins.nearBranchTarget));
        if (fc === FlowControl.UnconditionalBranch) continue;
      }
      stack.push(k + 1);
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
  if (variant.clearsUpper) {
    // Every call out of the function (clock and printf) follows a vzeroupper,
    // and nothing branches in between.
    const targets = new Set(instrs.filter(isBranch).map((i) => i.nearBranchTarget));
    instrs.forEach((ins, k) => {
      const out = isCall(ins) || (ins.flowControl === FlowControl.UnconditionalBranch && !index.has(ins.nearBranchTarget));
      if (!out) return;
      let j = k - 1;
      while (j >= 0 && !targets.has(instrs[j + 1].ip) && instrs[j].mnemonic !== Mnemonic.Vzeroupper &&
             !isBranch(instrs[j]) && !isCall(instrs[j]) && !RegisterExt.isVectorRegister(registersOf(instrs[j])[0] ?? Register.None))
        j--;
      if (j < 0 || instrs[j].mnemonic !== Mnemonic.Vzeroupper || targets.has(ins.ip))
        fail(ins, "call out of the function without clearing the upper register halves first");
    });
  }
}

function main() {
  const args = parseArgs(process.argv.slice(2));
  const image = loadImage(readFileSync(args.binary));
  const { symbols } = readSymbols(args.nm, args.binary);
  const failures = [];
  const lookup = (name) => symbols.get(name) ?? symbols.get("_" + name);

  const clock = lookup(CLOCK.name);
  if (!clock) {
    console.error(`audit: ${CLOCK.name} not found in ${args.binary}`);
    process.exit(1);
  }
  const checked = [];
  for (const fnDef of [CLOCK, ...VARIANTS]) {
    const sym = lookup(fnDef.name);
    if (!sym) { failures.push(`${fnDef.name}: missing from the binary`); continue; }
    if (sym.addr % 4096n !== 0n)
      failures.push(`${fnDef.name}: starts at ${sym.addr.toString(16)}, not on a 4096-byte boundary`);
    const instrs = decodeFunction(image, sym);
    const allowed = fnDef.features(args.compiler);
    checkFeatures(fnDef.name, instrs, allowed, failures);
    if (fnDef === CLOCK) continue;
    try {
      const loop = findWorkloadLoop(instrs, fnDef.name);
      checkLoop(fnDef.name, fnDef, loop, failures);
      checkTimedRegion(fnDef.name, fnDef, instrs, loop, clock.addr, failures);
      for (const extra of fnDef.extraChecks ?? []) extra(fnDef.name, instrs, loop, failures, args);
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
  for (const f of failures) console.error(`audit: ${f}`);
  if (failures.length) process.exit(1);
  console.log(`audit: ${args.binary}: ${CLOCK.name} and ${checked.join(", ")} pass (${args.compiler})`);
}

main();
