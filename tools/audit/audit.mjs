#!/usr/bin/env node
// Binary audit: proves from the built executable that each measuring
// function is what its results line claims; check.mjs does the proving with
// the table of rules in rules/index.mjs. This is its command line: the
// options, the help, the version and what it prints. `--help` says it all.
//
// Exits 0 when every rule holds; 1 with one line per finding,
//   FUNCTION ADDRESS [rule-id] message
// (or, with --json, every finding as JSON on standard output); 2 where it
// cannot audit: a file it cannot read, an option it does not know, or
// iced-x86 not yet installed (which --help and --version do not need).

import { readFileSync } from "node:fs";
import { relative } from "node:path";
import { fileURLToPath } from "node:url";
import { parseArgs } from "node:util";

const HERE = fileURLToPath(new URL(".", import.meta.url));

// Each option: its name, as parseArgs takes it, its value's name and what it does.
const OPTIONS = [
  ["compiler", { type: "string" }, "gcc|clang", "the compiler that built it; by default the one the executable names"],
  ["nm", { type: "string", default: "nm" }, "NM", "the nm that lists its symbols (default: nm)"],
  ["table", { type: "string" }, "FILE", "the program's tables, where they are not src/tables.json beside the audit"],
  ["list", { type: "boolean" }, "", "also show each workload loop: its address, offset, bytes and instructions"],
  ["json", { type: "boolean" }, "", "print the result and every finding as JSON on standard output"],
  ["rules", { type: "boolean" }, "", "print the rules: each one's id, the functions it applies to and its claim"],
  ["version", { type: "boolean" }, "", "print the version of isabench that the audit belongs to"],
  ["help", { type: "boolean", short: "h" }, "", "print this help"],
];

const USAGE = `usage: node audit.mjs [--compiler gcc|clang] [--nm NM] [--table FILE] [--list] [--json] EXECUTABLE
       node audit.mjs --rules | --version | --help`;

function help() {
  const flag = ([name, config, value]) => `${config.short ? `-${config.short}, ` : ""}--${name}${value ? ` ${value}` : ""}`;
  const width = Math.max(...OPTIONS.map((o) => flag(o).length));
  return `${USAGE}

Proves from an isabench executable (ELF or PE, not stripped) that each
measuring function's machine code is what its results line claims. Exits 0
when every rule holds; otherwise prints one line per finding,
  FUNCTION ADDRESS [rule-id] message
and exits 1. Exits 2 when it cannot audit.

${OPTIONS.map((o) => `  ${flag(o).padEnd(width)}  ${o[3]}`).join("\n")}

It needs iced-x86, installed once from the source tree's root with
  npm ci --prefix tools/audit`;
}

// A command line that names no audit: said on one line, with the usage.
class UsageError extends Error {}

function options(argv) {
  let parsed;
  try {
    parsed = parseArgs({ args: argv, options: Object.fromEntries(OPTIONS.map(([name, config]) => [name, config])),
                         allowPositionals: true, strict: true });
  } catch (e) {
    if (!e.code?.startsWith("ERR_PARSE_ARGS")) throw e;
    // Node's first sentence names the option; the rest advises on "--".
    const first = e.message.split(". ")[0];
    throw new UsageError(first[0].toLowerCase() + first.slice(1));
  }
  const { values, positionals } = parsed;
  if (values.help || values.version || values.rules) return values;
  if (positionals.length !== 1)
    throw new UsageError(positionals.length ? `one executable at a time, not ${positionals.length}` : "no executable named");
  if (values.compiler !== undefined && !["gcc", "clang"].includes(values.compiler))
    throw new UsageError(`--compiler takes gcc or clang, not ${values.compiler}`);
  return { ...values, binary: positionals[0] };
}

// isabench's one version, as project() in the source tree's CMakeLists.txt
// gives it; an audit copied out of the tree cannot know it.
function version() {
  try {
    const text = readFileSync(new URL("../../CMakeLists.txt", import.meta.url), "utf8");
    return text.match(/^\s*project\s*\(\s*isabench\s+VERSION\s+(\d+(?:\.\d+)*)/m)?.[1] ?? "unknown";
  } catch {
    return "unknown";
  }
}

// The audit itself, which needs iced-x86 from npm.
async function library() {
  try {
    return await import("./check.mjs");
  } catch (e) {
    if (e.code === "ERR_MODULE_NOT_FOUND" && e.message.includes("'iced-x86'"))
      throw new Error(`iced-x86 is not installed: run npm ci --prefix ${relative(process.cwd(), HERE) || "."} once`);
    throw e;
  }
}

async function main(argv) {
  const args = options(argv);
  if (args.help) return console.log(help());
  if (args.version) return console.log(`isabench-audit version ${version()}`);
  const { audit, appliesTo, measuring, RULES } = await library();
  if (args.rules) {
    const width = Math.max(...RULES.map((r) => r.id.length));
    for (const rule of RULES) console.log(`${rule.id.padEnd(width)}  [${appliesTo(rule)}]  ${rule.claim}`);
    return;
  }
  const { findings, contexts, binary, compiler } = audit(args.binary, args);
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
      binary: args.binary, compiler, pass: findings.length === 0,
      functions: contexts.map((c) => ({ name: c.name, address: hex(c.sym.addr) })),
      findings: findings.map((f) => ({ ...f, address: hex(f.address) })),
    }, null, 2));
  } else {
    for (const f of findings) console.error(`${f.function} ${hex(f.address)} [${f.rule}] ${f.message}`);
    if (!findings.length)
      console.log(`audit: ${args.binary}: ${contexts.map((c) => c.name).join(", ")} pass (${compiler})`);
  }
  if (findings.length) process.exitCode = 1;
}

try {
  await main(process.argv.slice(2));
} catch (e) {
  console.error(`audit: ${e.message}`);
  if (e instanceof UsageError) console.error(USAGE);
  process.exitCode = 2;
}
