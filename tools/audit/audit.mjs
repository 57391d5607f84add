#!/usr/bin/env node
// Binary audit: proves from the built executable that each measuring
// function is what its results line claims. It decodes the machine code with
// iced-x86 (whose decoder names the CPUID feature every instruction needs),
// builds one context per function (its code decoded by reachability from the
// entry the driver calls, its control flow, the values it computes, its
// workload loops and timed regions) and runs the table of rules in
// rules/index.mjs over it. `--rules` prints that table. Each variant's
// candidate loops come from the program's table, src/variants/variants.def
// (--table names another copy of it).
//
// usage: node audit.mjs [--compiler gcc|clang] [--nm NM] [--table FILE] [--list] [--json] BINARY
//        node audit.mjs --rules
// Exits 0 when every rule holds; otherwise prints one line per finding,
//   FUNCTION ADDRESS [rule-id] message
// (or, with --json, every finding as JSON on standard output) and exits 1.

import { readFileSync, realpathSync } from "node:fs";
import { fileURLToPath } from "node:url";
import { Formatter, FormatterSyntax } from "iced-x86";

import { VARIANTS, CLOCK, OUTSIDE_CALLS, measuring, measuringFunctions } from "./variants.mjs";
import { loadTable, DEFAULT_TABLE } from "./table.mjs";
import { loadBinary } from "./binary.mjs";
import { functionContext } from "./context.mjs";
import { allowedCall } from "./rules/code.mjs";
import { RULES } from "./rules/index.mjs";

export { RULES };

const FUNCTIONS = [CLOCK, ...VARIANTS];

// The functions a rule applies to, as --rules lists them.
export function appliesTo(rule) {
  if (rule.scope === "binary") return "executable";
  const names = FUNCTIONS.filter((def) => rule.appliesTo(def)).map((def) => def.name);
  if (names.length === FUNCTIONS.length) return "all functions";
  if (names.length === VARIANTS.length && !names.includes(CLOCK.name)) return "measuring functions";
  return names.join(", ");
}

// Audits the executable at `path` against the loop table at `table`;
// returns its findings, each { function, address, rule, message }, and the
// contexts built.
export function audit(path, { compiler = "gcc", nm = "nm", table = DEFAULT_TABLE } = {}) {
  const functions = [CLOCK, ...measuringFunctions(loadTable(table))];
  const binary = loadBinary(readFileSync(path), path, nm);
  const findings = [];
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
  const result = { binary, findings, contexts: [] };
  const report = (id, fn, where, message) => {
    const address = where === null || where === undefined ? null : typeof where === "bigint" ? where : where.ip;
    const ctx = result.contexts.find((c) => c.name === fn);
    const text = where && typeof where === "object" && ctx ? `${ctx.describe(where)}: ${message}` : message;
    findings.push({ function: fn, address: address ?? ctx?.sym.addr ?? null, rule: id, message: text });
  };
  for (const [name, sym] of [["t", t], ["s", s]])
    if (!sym) report("driver.calls", name, null, `the measurement variable ${name} not found`);

  for (const def of functions) {
    const sym = symbolOf(def.name);
    if (!sym || globals.clock === null) continue;
    const parts = binary.code.filter((p) => p.name.startsWith(def.name + "."));
    const ctx = functionContext(binary, def, sym, parts, globals);
    ctx.compiler = compiler;
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

function parseArgs(argv) {
  const args = { compiler: "gcc", nm: "nm", table: DEFAULT_TABLE, list: false, json: false, rules: false, binary: null };
  for (let k = 0; k < argv.length; k++) {
    const a = argv[k];
    if (a === "--compiler") args.compiler = argv[++k];
    else if (a === "--nm") args.nm = argv[++k];
    else if (a === "--table") args.table = argv[++k];
    else if (a === "--list") args.list = true;
    else if (a === "--json") args.json = true;
    else if (a === "--rules") args.rules = true;
    else if (!args.binary) args.binary = a;
    else throw new Error(`unexpected argument ${a}`);
  }
  if (!args.binary && !args.rules)
    throw new Error("usage: audit.mjs [--compiler gcc|clang] [--nm NM] [--table FILE] [--list] [--json] BINARY | --rules");
  if (!["gcc", "clang"].includes(args.compiler)) throw new Error(`unknown compiler ${args.compiler}`);
  return args;
}

function main() {
  const args = parseArgs(process.argv.slice(2));
  if (args.rules) {
    const width = Math.max(...RULES.map((r) => r.id.length));
    for (const rule of RULES) console.log(`${rule.id.padEnd(width)}  [${appliesTo(rule)}]  ${rule.claim}`);
    return;
  }
  const { findings, contexts, binary } = audit(args.binary, args);
  const hex = (a) => (a === null ? "-" : a.toString(16));
  if (args.list) {
    for (const ctx of contexts) {
      if (!measuring(ctx.def)) continue;
      for (const loop of ctx.workloads) {
        const first = loop.body[0].ip, end = loop.body[loop.body.length - 1].nextIP;
        console.log(`${ctx.name} @ ${ctx.sym.addr.toString(16)}, workload loop ${loop.number} at ${first.toString(16)}, ` +
          `${first % 64n} bytes past a 64-byte boundary: ${Buffer.from(binary.read(first, Number(end - first))).toString("hex")}`);
        for (const ins of loop.body) console.log(`    ${ins.ip.toString(16)}: ${ctx.describe(ins)}`);
      }
    }
  }
  if (args.json) {
    console.log(JSON.stringify({
      binary: args.binary, compiler: args.compiler, pass: findings.length === 0,
      functions: contexts.map((c) => ({ name: c.name, address: hex(c.sym.addr) })),
      findings: findings.map((f) => ({ ...f, address: hex(f.address) })),
    }, null, 2));
  } else {
    for (const f of findings) console.error(`${f.function} ${hex(f.address)} [${f.rule}] ${f.message}`);
    if (!findings.length)
      console.log(`audit: ${args.binary}: ${contexts.map((c) => c.name).join(", ")} pass (${args.compiler})`);
  }
  if (findings.length) process.exitCode = 1;
}

// Run as a program, not when imported. A table or executable it cannot
// read is no finding: it says why and exits 2.
if (process.argv[1] && realpathSync(process.argv[1]) === realpathSync(fileURLToPath(import.meta.url))) {
  try {
    main();
  } catch (e) {
    console.error(`audit: ${e.message}`);
    process.exitCode = 2;
  }
}
