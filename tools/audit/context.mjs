// The facts the rules share, computed once per function: its code decoded
// by reachability from its entry, its control flow, what each call and jump
// out of it reaches, the values the analysis knows, the workload loop with
// its data flow, and the timed regions. A fact that cannot be established
// is null, with the reason in `problems`; the rule that owns the fact
// reports it, and the rules that need it pass over the function.

import { FlowControl, Register, InstructionInfoFactory, OpAccess } from "iced-x86";
import { fallsThrough, isBranch, isCall, isIndirect, hasMemoryOperand } from "./isa.mjs";
import { analyseValues, loopGraph, upperHalvesDirty } from "./dataflow.mjs";
import { findRoles } from "./roles.mjs";
import { reachable } from "./engine.mjs";
import { NO_RETURN, decodeAt, resolveTarget, resolveSlot } from "./targets.mjs";

// Decodes a function by reachability from its entry: every instruction that
// some path from the entry can reach, following fall-through and direct
// jumps, inside the function's extent (its symbol's size, or up to the next
// symbol where the format records none) and the parts the compiler split
// off from it (NAME.cold, NAME.part.0). A path that leaves the extent any
// other way than by a call, a return or a jump is recorded in `exits`.
export function decodeReachable(binary, sym, parts, clockAddr) {
  const extents = [[sym.addr, binary.extentOf(sym), null], ...parts.map((p) => [p.addr, binary.extentOf(p), p.name])];
  const partOf = (addr) => extents.find(([a, b]) => addr >= a && addr < b);
  const decoded = new Map();
  const exits = [];
  const targets = new Map();
  // Where the instruction at `ip` goes on inside the function; what its
  // calls and jumps reach, and its ways out, recorded on the way.
  const onward = (ip) => {
    const ins = decodeAt(binary, ip);
    decoded.set(ip, ins);
    if (ins.isInvalid) return [];
    const fc = ins.flowControl, next = [];
    let continues = fallsThrough(ins);
    if (fc === FlowControl.Call || fc === FlowControl.IndirectCall) {
      let t = fc === FlowControl.Call ? resolveTarget(binary, ins.nearBranchTarget, clockAddr)
        : ins.memoryBase === Register.RIP ? resolveSlot(binary, ins.memoryDisplacementU64) : { kind: "register" };
      // A return thunk stands for a return only where it is jumped to.
      if (t.kind === "return") t = { kind: "program", name: t.name };
      targets.set(ip, t);
      if (NO_RETURN.has(t.name)) continues = false;
    }
    if (fc === FlowControl.ConditionalBranch || fc === FlowControl.UnconditionalBranch) {
      const to = ins.nearBranchTarget;
      if (partOf(to)) next.push(to);
      else {
        targets.set(ip, resolveTarget(binary, to, clockAddr));
        exits.push({ from: ip, to, how: "jump" });
      }
    }
    if (fc === FlowControl.IndirectBranch)
      targets.set(ip, ins.memoryBase === Register.RIP ? resolveSlot(binary, ins.memoryDisplacementU64) : { kind: "register" });
    if (continues && partOf(ins.nextIP)) next.push(ins.nextIP);
    else if (continues) exits.push({ from: ip, to: ins.nextIP, how: "falls" });
    return next;
  };
  reachable([sym.addr], onward);
  const instrs = [...decoded.values()].sort((a, b) => (a.ip < b.ip ? -1 : 1));
  const index = new Map(instrs.map((ins, k) => [ins.ip, k]));
  const overlaps = instrs.filter((ins, k) => k + 1 < instrs.length && ins.nextIP > instrs[k + 1].ip);
  const next = (k) => {
    const ins = instrs[k];
    const fc = ins.flowControl;
    const out = [];
    if (ins.isInvalid || fc === FlowControl.Return || fc === FlowControl.IndirectBranch) return out;
    if (fc === FlowControl.ConditionalBranch || fc === FlowControl.UnconditionalBranch) {
      if (index.has(ins.nearBranchTarget)) out.push(index.get(ins.nearBranchTarget));
      if (fc === FlowControl.UnconditionalBranch) return out;
    }
    const t = targets.get(ins.ip);
    if (fallsThrough(ins) && !(t && NO_RETURN.has(t.name)) && index.has(ins.nextIP)) out.push(index.get(ins.nextIP));
    return out;
  };
  // Ways out of the function from instruction k: a return, an indirect
  // jump, a jump or fall-through past its extent.
  const exitKinds = new Map();
  for (const e of exits) exitKinds.set(index.get(e.from), e);
  const leaves = (k) => instrs[k].flowControl === FlowControl.Return || instrs[k].flowControl === FlowControl.IndirectBranch ||
    exitKinds.has(k);
  // A return: `ret`, or a jump to a return thunk (-mfunction-return=thunk).
  const returns = (k) => instrs[k].flowControl === FlowControl.Return || targets.get(instrs[k].ip)?.kind === "return";
  return { instrs, index, entry: index.get(sym.addr), next, exits, leaves, returns, targets, overlaps,
           partName: (ip) => partOf(ip)?.[2] ?? null };
}

// The innermost loops with no call in them: the workload loops, one for
// each candidate, and any other (loop.unique's to report). Loops are found
// from backward branches; the frame's repetition loop holds the clock calls,
// and cold blocks that jump back into the body enclose other loops. A
// backward branch is a loop only where its target leads back to it: a jump
// to a trap that a split-off part holds at a lower address (the hardened
// comparisons' ud2) never returns, and repeats nothing. Each loop's data
// flow and roles are computed when first asked for.
function findInnermostLoops(def, code) {
  const { instrs, index } = code;
  const loops = [];
  instrs.forEach((ins, k) => {
    if (!isBranch(ins) || isIndirect(ins)) return;
    const target = ins.nearBranchTarget;
    if (target > ins.ip || !index.has(target) || index.get(target) > k) return;
    if (returnsTo(code, index.get(target), k)) loops.push({ first: index.get(target), last: k });
  });
  const encloses = (a, b) => a !== b && a.first <= b.first && b.last <= a.last;
  const body = (l) => instrs.slice(l.first, l.last + 1);
  const callFree = (l) => !body(l).some((ins, j) => isCall(ins) || code.leaves(l.first + j));
  return loops.filter((l) => callFree(l) && !loops.some((o) => encloses(l, o))).map((l) => {
    const loop = { ...l, body: body(l), contains: (k) => k >= l.first && k <= l.last };
    lazy(loop, "graph", () => loopGraph(loop));
    lazy(loop, "dataflow", () => findRoles(def, loop, loop.graph));
    lazy(loop, "roles", () => loop.dataflow.roles);
    return loop;
  });
}

// Whether some path from instruction `first` reaches instruction `last`
// without leaving the addresses between them.
const returnsTo = (code, first, last) =>
  reachable([first], (k) => code.next(k).filter((j) => j >= first && j <= last)).has(last);

// Which loops the driver's choice of each candidate reaches from the entry:
// the value analysis again, with this function's byte of the driver's
// choices (chosen_loops, at the variant's index) holding the candidate's
// number, so that the tests of the choice go one way. Each loop gets the
// numbers that reach it (`choices`) and, as its own, one of them (`number`,
// null where no choice reaches it) with that candidate: where several reach
// it (loop.unique's to report), the first whose offset it has, else the
// lowest.
function followChoices(ctx) {
  const { def, code, binary, globals } = ctx;
  const byNumber = new Map();
  for (const c of def.candidates) {
    const assumed = globals.chosen === null ? [] : [{ addr: globals.chosen + BigInt(def.index), bytes: [c.number] }];
    const values = analyseValues(code, binary, assumed);
    byNumber.set(c.number, ctx.loops.filter((l) => values.reached(l.first)));
  }
  for (const loop of ctx.loops) {
    loop.choices = def.candidates.map((c) => c.number).filter((n) => byNumber.get(n).includes(loop));
    const offset = Number(loop.body[0].ip % 64n);
    loop.number = loop.choices.find((n) => def.candidates.find((c) => c.number === n).offset === offset) ?? loop.choices[0] ?? null;
    loop.candidate = def.candidates.find((c) => c.number === loop.number) ?? null;
  }
  return byNumber;
}

// The timed region of a run: everything from the return of the clock call
// whose reading is stored as the run's start (its first access to `t` is a
// store) to the clock call whose reading has `t` subtracted from it (its
// first access to `t` is a read).
function findTimedRegions(ctx) {
  const { instrs } = ctx.code;
  const vals = ctx.values;
  const isClockCall = (k) => ctx.code.targets.get(instrs[k].ip)?.kind === "clock" && instrs[k].flowControl === FlowControl.Call;
  const clockCalls = instrs.map((_, k) => k).filter((k) => isClockCall(k) && vals.reached(k));
  // What a run can execute from `from`, along the paths the known values allow.
  const reach = (from, onward) => reachable(from, vals.next, onward);
  const info = new InstructionInfoFactory();
  const firstAccessToT = (c) => {
    const kinds = new Set();
    reach(vals.next(c), (k) => {
      const ins = instrs[k];
      if (isCall(ins)) return false;
      if (!hasMemoryOperand(ins) || vals.addressOf(k) !== ctx.globals.t) return true;
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
  // Each region: what a run can execute between its start reading and the
  // next clock call.
  const regions = starts.map((start) => ({
    start,
    seen: reach(vals.next(start), (k) => !isClockCall(k)),
  }));
  // Every instruction some run can execute inside its timed region.
  const inside = new Set(regions.flatMap((r) => [...r.seen]));
  return { clockCalls, starts, ends, regions, inside, reach, isClockCall };
}

// Defines obj[name] as computed by `compute` when first asked for.
function lazy(obj, name, compute) {
  Object.defineProperty(obj, name, {
    get() { const v = compute(); Object.defineProperty(obj, name, { value: v }); return v; }, configurable: true });
}

// One function's context. Facts are computed when first asked for. `loops`
// holds every innermost call-free loop; `workloads` those that a
// candidate's choice reaches, by number, each with its own data flow, roles,
// entry and reduction, whatever the other frames hold.
export function functionContext(binary, def, sym, parts, globals) {
  const ctx = { name: def.name, def, sym, binary, globals };
  ctx.code = decodeReachable(binary, sym, parts, globals.clock);
  lazy(ctx, "values", () => analyseValues(ctx.code, binary));
  lazy(ctx, "loops", () => findInnermostLoops(def, ctx.code));
  lazy(ctx, "choices", () => followChoices(ctx));
  lazy(ctx, "workloads", () => (ctx.choices, ctx.loops.filter((l) => l.number !== null)
    .sort((a, b) => a.number - b.number || a.first - b.first)));
  lazy(ctx, "timed", () => findTimedRegions(ctx));
  lazy(ctx, "upperDirty", () => upperHalvesDirty(ctx.code));
  // A fact a rule derives from the others (a fixed point of its own), under
  // `name`: computed when first asked for, once per function.
  const facts = new Map();
  ctx.fact = (name, compute) => {
    if (!facts.has(name)) facts.set(name, compute());
    return facts.get(name);
  };
  return ctx;
}
