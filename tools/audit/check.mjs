// Audits one executable: decodes the machine code with iced-x86 (whose
// decoder names the CPUID feature every instruction needs), builds one
// context per function (its code decoded by reachability from the entry the
// driver calls, its control flow, the values it computes, its workload loops
// and timed regions) and runs the table of rules in rules/index.mjs over it.
// Each variant's candidate loops come from the program's tables,
// src/tables.json, or another copy of them.

import { readFileSync } from "node:fs";
import { Formatter, FormatterSyntax } from "iced-x86";

import { VARIANTS, CLOCK, OUTSIDE_CALLS, measuring, measuringFunctions } from "./variants.mjs";
import { loadTable, DEFAULT_TABLE } from "./table.mjs";
import { loadBinary } from "./binary.mjs";
import { functionContext } from "./context.mjs";
import { allowedCall } from "./rules/code.mjs";
import { RULES } from "./rules/index.mjs";

export { RULES, measuring };

const FUNCTIONS = [CLOCK, ...VARIANTS];

// The functions a rule applies to, as --rules lists them.
export function appliesTo(rule) {
  if (rule.scope === "binary") return "executable";
  const names = FUNCTIONS.filter((def) => rule.appliesTo(def)).map((def) => def.name);
  if (names.length === FUNCTIONS.length) return "all functions";
  if (names.length === VARIANTS.length && !names.includes(CLOCK.name)) return "measuring functions";
  return names.join(", ");
}

// Which compiler built the executable, by the names the compilers write into
// it: "gcc", "clang", or null where none is named. A Clang-built program
// also carries GCC's name from the C runtime's objects, so Clang's wins.
function compilerOf(binary) {
  if (binary.identifications.some((text) => /\bclang version \d/i.test(text))) return "clang";
  if (binary.identifications.some((text) => text.startsWith("GCC: "))) return "gcc";
  return null;
}

// Audits the executable at `path` against the tables at `table`, built
// by `compiler` ("gcc" or "clang"; by default the one the executable
// names); returns its findings, each { function, address, rule, message },
// the contexts built and the compiler taken.
export function audit(path, { compiler = null, nm = "nm", table = DEFAULT_TABLE } = {}) {
  const functions = [CLOCK, ...measuringFunctions(loadTable(table))];
  const binary = loadBinary(readFileSync(path), path, nm);
  const findings = [];
  const result = { binary, findings, contexts: [], compiler };
  const report = (id, fn, where, message) => {
    const address = where === null || where === undefined ? null : typeof where === "bigint" ? where : where.ip;
    const ctx = result.contexts.find((c) => c.name === fn);
    const text = where && typeof where === "object" && ctx ? `${ctx.describe(where)}: ${message}` : message;
    findings.push({ function: fn, address: address ?? ctx?.sym.addr ?? null, rule: id, message: text });
  };
  // What every other rule stands on: where it fails, they would only repeat it.
  for (const rule of RULES.filter((r) => r.prerequisite))
    rule.check({ binary }, (fn, where, message) => report(rule.id, fn, where, message));
  if (findings.length) return result;
  result.compiler ??= compilerOf(binary);
  if (!result.compiler) throw new Error(`${path} does not name the compiler that built it: give --compiler gcc or clang`);

  const dataSymbol = (name) => binary.symbols.find((s) => s.name === name && /^[bBdD]$/.test(s.type));
  // The one strong definition of each name, else the first of several; the
  // rule driver.calls reports duplicates.
  const symbolOf = (name) => {
    const defs = binary.code.filter((s) => s.name === name);
    return defs.find((s) => s.type === "T" || s.type === "t") ?? defs[0];
  };
  const formatter = new Formatter(FormatterSyntax.Gas);
  formatter.gasShowMnemonicSizeSuffix = false;
  formatter.branchLeadingZeros = false;

  const clockSym = symbolOf(CLOCK.name);
  const t = dataSymbol("t"), s = dataSymbol("s"), chosen = dataSymbol("chosen_loops");
  const globals = { clock: clockSym?.addr ?? null, t: t?.addr ?? null, s: s?.addr ?? null, chosen: chosen?.addr ?? null };
  for (const [name, sym] of [["t", t], ["s", s]])
    if (!sym) report("driver.calls", name, null, `the measurement variable ${name} not found`);

  for (const def of functions) {
    const sym = symbolOf(def.name);
    if (!sym || globals.clock === null) continue;
    const parts = binary.code.filter((p) => p.name.startsWith(def.name + "."));
    const ctx = functionContext(binary, def, sym, parts, globals);
    ctx.compiler = result.compiler;
    ctx.allowedCall = (target) => allowedCall(target, def.calls ?? OUTSIDE_CALLS);
    ctx.contextOf = (name) => result.contexts.find((c) => c.name === name);
    ctx.describe = (ins) => {
      const part = ctx.code.partName(ins.ip);
      const target = ctx.code.targets.get(ins.ip)?.name ?? binary.nameAt(ins.nearBranchTarget);
      const branches = ins.nearBranchTarget !== 0n;
      return `${part ? `(${part}) ` : ""}${formatter.format(ins)}${branches && target ? ` <${target}>` : ""}`;
    };
    result.contexts.push(ctx);
  }
  const auditView = {
    binary, globals, contexts: result.contexts, symbolOf,
    functionAt: (addr) => result.contexts.find((c) => addr >= c.sym.addr && addr < binary.extentOf(c.sym))?.name ?? null,
  };
  for (const rule of RULES) {
    if (rule.prerequisite) continue;
    if (rule.scope === "binary") {
      rule.check(auditView, (fn, where, message) => report(rule.id, fn, where, message));
      continue;
    }
    for (const ctx of result.contexts) {
      if (!rule.appliesTo(ctx.def)) continue;
      rule.check(ctx, (where, message) => report(rule.id, ctx.name, where, message));
    }
  }
  return result;
}
