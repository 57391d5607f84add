// The driver's order: main runs the measuring functions one after the
// other, in variants.def's order, each once, or says on standard error that
// it skips one. main calls each by its name (src/harness/main.cpp), so
// every build makes each call a direct one: main is followed once for each
// variant due next, and each call it makes is read for what it reaches.
// What a message prints to is closure.output's to prove.

import { FlowControl, Register } from "iced-x86";
import { decodeReachable } from "../context.mjs";
import { solveForward } from "../engine.mjs";
import { valueSteps } from "../dataflow.mjs";
import { entersKernel, isCall } from "../isa.mjs";
import { readCode } from "../reading.mjs";
import { provenance } from "../provenance.mjs";
import { readProgram } from "./closure.mjs";

// The library functions that print a message (closure.output holds them to
// standard error).
const PRINTS = new Set(["fprintf", "__fprintf_chk", "vfprintf", "__vfprintf_chk", "__mingw_vfprintf", "fputs",
  "fputc", "putc", "fwrite"]);

// The parts the compiler split off from a function (NAME.cold), read with it.
const partsOf = (binary, sym) => binary.code.filter((p) => p.name.startsWith(`${sym.name}.`));

// Whether k calls, or jumps out of the function other than to return.
const outward = (code, k) => !code.returns(k) && (isCall(code.instrs[k]) ||
  code.instrs[k].flowControl === FlowControl.IndirectBranch || code.exits.some((e) => e.from === code.instrs[k].ip && e.how === "jump"));

// What the call or jump out at k reaches, as the driver may use it:
// { measuring: J } for the measuring function at J in the order,
// { prints: true } for a message, {} for what prints nothing, or
// { problem }. A function of the program's own (the detection, the flush,
// MinGW's inline fprintf) is read with all it calls: it prints a message
// where it reaches a library function that prints, and may run no
// measuring function.
function judge(env, code, k, prov) {
  const ins = code.instrs[k];
  let t = code.targets.get(ins.ip), addr = ins.nearBranchTarget;
  // A call through a register loaded from an import's slot or with a
  // function of the program's own, as the provenance analysis finds it on
  // every way into the call (a Debug build's call *%rax).
  const tag = t?.kind === "register" && ins.memoryBase === Register.None ? prov.registerAt(k, t.register ?? ins.op0Register) : null;
  if (tag?.kind === "import") t = { kind: "import", name: tag.name };
  else if (tag?.kind === "code") [t, addr] = [{ kind: "program", name: env.binary.nameAt(tag.target) }, tag.target];
  // MinGW's runtime reaches some of its functions through pointers of its
  // own, __imp_NAME beside NAME, in data that nothing else writes: a call
  // to that function.
  const held = t?.kind === "slot" && env.binary.format === "pe" ? env.binary.pointerAt(t.slot) : null;
  if (held && t.name === `__imp_${env.binary.nameAt(held)}`) [t, addr] = [{ kind: "program", name: env.binary.nameAt(held) }, held];
  if (!t || t.kind === "register" || t.kind === "slot" || t.kind === "data")
    return { problem: t?.kind === "slot" ? `calls through ${t.name ?? "a slot"}, which names no import` : "calls through a pointer" };
  if (t.kind === "program" && env.order.has(addr)) return { measuring: env.order.get(addr) };
  // The C library's or runtime's own function, where the executable holds it.
  const library = t.kind === "import" ? t.name : t.kind === "program" ? env.libraryAt(addr) : null;
  if (library) return PRINTS.has(library) ? { prints: true } : {};
  if (t.kind !== "program") return { problem: `calls ${t.name ?? t.kind}, which the driver has no use for` };
  if (!env.helpers.has(addr)) {
    const read = readCode(env.binary, addr, { audited: env.audited, libraryAt: env.libraryAt });
    env.helpers.set(addr, {
      prints: read.calls.some((c) => PRINTS.has(c.name)),
      runs: read.reached.map((r) => r.name).filter((n) => env.names.includes(n)),
    });
  }
  const h = env.helpers.get(addr);
  if (h.runs.length) return { problem: `calls ${t.name ?? addr.toString(16)}, which runs ${h.runs[0]}: only the driver runs a measuring function` };
  return h.prints ? { prints: true } : {};
}

// main followed once for each variant due next: a node is an instruction
// and the number of variants done (run, or skipped with a message), its
// state the values, which rule out the ways a branch cannot go (a skip
// message, then the test of the flag it cleared). A call of the measuring
// function due or a message while one is due moves on to the next; a call
// that breaks the order is a finding, and its path is not followed on.
function followMain(env, main) {
  const code = decodeReachable(env.binary, main, partsOf(env.binary, main), env.clock);
  const steps = valueSteps(code, env.binary);
  const prov = provenance(env.binary, code);
  const W = env.names.length + 1;
  // What instruction k does with `done` variants done: { next } or { finding }.
  const verdict = (k, done) => {
    const dueName = done < W - 1 ? env.names[done] : null;
    const ins = code.instrs[k];
    if (entersKernel(ins)) return { finding: "enters the kernel" };
    if ((code.returns(k) || code.leaves(k)) && dueName && !outward(code, k))
      return { finding: `leaves main before ${dueName} has run or been skipped with a message on standard error` };
    if (!outward(code, k)) return { next: done };
    const j = judge(env, code, k, prov);
    const where = `, where ${dueName ?? "no measuring function"} is due`;
    if (j.problem) return { finding: j.problem + where };
    if (j.measuring !== undefined && j.measuring !== done)
      return { finding: `calls ${env.names[j.measuring]} ${j.measuring < done ? "again" : "out of order"}${where}` };
    if (code.leaves(k) && !isCall(ins) && dueName) return { finding: `leaves main by a jump${where}` };
    return { next: j.measuring === done || (j.prints && dueName) ? done + 1 : done };
  };
  const solved = solveForward({
    size: code.instrs.length * W, entries: [code.entry * W], initial: () => ({ v: steps.initial() }),
    transfer: (n, s) => ({ v: steps.transfer(Math.floor(n / W), s.v), next: verdict(Math.floor(n / W), n % W).next }),
    successors: (n, out) => (out.next === undefined ? [] : steps.successors(Math.floor(n / W), out.v).map((j) => j * W + out.next)),
    join: (a, b) => ({ v: steps.join(a.v, b.v) }),
    equal: (a, b) => steps.equal(a.v, b.v),
  });
  steps.free();
  const findings = [];
  for (let n = 0; n < code.instrs.length * W; n++) {
    const finding = solved.reached(n) && verdict(Math.floor(n / W), n % W).finding;
    const at = code.instrs[Math.floor(n / W)].ip;
    // The first, with the fewest variants done, for each instruction.
    if (finding && !findings.some((f) => f.at === at)) findings.push({ at, message: finding });
  }
  return findings;
}

export default [
  {
    id: "driver.order",
    claim: "On every path from its entry to its return, main runs each measuring function once, in variants.def's " +
      "order, or writes a message to standard error in its place; it calls each directly, and nothing else it " +
      "runs calls one.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      const main = binary.code.find((s) => s.name === "main");
      if (!main) return;  // driver.calls reports it
      const measuring = audit.contexts.filter((c) => c.def.index !== undefined).sort((a, b) => a.def.index - b.def.index);
      const env = {
        binary, clock: audit.globals.clock, helpers: new Map(), names: measuring.map((c) => c.name),
        order: new Map(measuring.map((c, j) => [c.sym.addr, j])),
        audited: new Map(audit.contexts.map((c) => [c.sym.addr, c.name])), libraryAt: readProgram(audit).libraryAt,
      };
      for (const f of followMain(env, main)) report("main", f.at, f.message);
    },
  },
];
