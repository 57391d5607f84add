// Rules on the executable as a whole: that it has the symbol table the
// audit finds everything by, which code the driver runs under each measuring
// function's name, and that no code can be changed once loaded.

import { VARIANTS, CLOCK } from "../variants.mjs";
import { decodeReachable } from "../context.mjs";
import { InstructionInfoFactory, Mnemonic, OpAccess, Register } from "iced-x86";
import { isCall, hasMemoryOperand, isImmediate } from "../isa.mjs";

const NAMES = [CLOCK.name, ...VARIANTS.map((v) => v.name)];

// The addresses the driver (main) can call: its direct calls, and every code
// pointer in a data object it takes the address of (the table of measuring
// functions). A slot filled at load time by a resolver (IRELATIVE) or a
// pointer to a stub is reported, since what it reaches is decided at run time.
function driverTargets(audit) {
  const { binary } = audit;
  const main = binary.code.find((s) => s.name === "main");
  if (!main) return null;
  const code = decodeReachable(binary, main, [], audit.globals.clock);
  const calls = new Set(), indirect = [], tables = [];
  const dataSymbols = binary.symbols.filter((s) => !binary.isExecutable(s.addr)).sort((a, b) => (a.addr < b.addr ? -1 : 1));
  const scanned = new Set();
  // Addresses of data the driver takes: RIP-relative, absolute (a table
  // indexed by a register), or an immediate (position-dependent code).
  const dataAddresses = (ins) => {
    const out = [];
    if (ins.isIpRelMemoryOperand) out.push(ins.ipRelMemoryAddress);
    else if (hasMemoryOperand(ins) || ins.mnemonic === Mnemonic.Lea)
      if (ins.memoryBase === Register.None) out.push(ins.memoryDisplacementU64);
    for (let k = 0; k < ins.opCount; k++)
      if (isImmediate(ins.opKind(k))) out.push(BigInt.asUintN(64, ins.immediate(k)));
    return out.filter((a) => binary.sectionName(a) && !binary.isExecutable(a));
  };
  // Every code pointer in the data object at `addr`: one that the symbol
  // table names (a table whose pointers no symbol bounds is no table the
  // audit can trust, and the functions it would reach are reported as not
  // called by the driver).
  const scan = (addr) => {
    const sym = dataSymbols.find((s) => s.addr === addr);
    if (!sym) return;
    const pointers = [];
    tables.push({ addr, pointers });
    const end = sym.size ? addr + BigInt(sym.size) : dataSymbols.find((s) => s.addr > addr)?.addr ?? addr + 256n;
    for (let p = addr; p + 8n <= end && p < addr + 4096n; p += 8n) {
      const r = binary.relocations.get(p);
      if (r?.type === "IRELATIVE") { indirect.push({ at: p, how: `a load-time resolver (${r.type})` }); continue; }
      const target = binary.pointerAt(p);
      if (target === null || !binary.isExecutable(target)) continue;
      if (/^\.(i?plt|plt\.sec|plt\.got)$/.test(binary.sectionName(target) ?? "")) {
        indirect.push({ at: p, how: `a stub in ${binary.sectionName(target)}` });
        continue;
      }
      calls.add(target);
      pointers.push({ at: p, target });
    }
  };
  for (const ins of code.instrs) {
    if (isCall(ins) && ins.nearBranchTarget) calls.add(ins.nearBranchTarget);
    for (const addr of dataAddresses(ins)) {
      if (!scanned.has(addr)) scan(addr);
      scanned.add(addr);
    }
  }
  return { calls, indirect, tables };
}

export default [
  {
    // Every other rule finds its functions and variables by name: it runs
    // first, and where it fails, none of the others runs.
    id: "symbols.table",
    claim: "The executable has its symbol table, by which the audit finds the driver, the clock, each measuring " +
      "function and the measurement variables: it is not stripped.",
    scope: "binary",
    prerequisite: true,
    check(audit, report) {
      const { binary } = audit;
      if (!binary.symbolTable) report("-", null, "needs the symbol table: the executable is stripped");
      else if (!binary.symbols.length) report("-", null, "needs the symbol table: nm lists no symbol in it");
    },
  },
  {
    id: "driver.calls",
    claim: "The driver calls each measuring function at its one definition, the code audited under its name, and " +
      "the clock has one definition: none weak, resolved at load time or defined twice.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      for (const name of NAMES) {
        const defs = binary.code.filter((s) => s.name === name);
        if (defs.length === 0) report(name, null, "not defined in the executable");
        else if (defs.length > 1)
          report(name, defs[1].addr, `defined ${defs.length} times (at ${defs.map((d) => d.addr.toString(16)).join(", ")})`);
        // Local (t) is what link-time optimisation makes of a function
        // that nothing outside the executable needs.
        else if (!["T", "t"].includes(defs[0].type))
          report(name, defs[0].addr, `defined as symbol type ${defs[0].type} (weak or resolved at load time), not one definition that the link fixes`);
      }
      const driver = driverTargets(audit);
      if (!driver) { report("main", null, "the driver (main) not found"); return; }
      for (const i of driver.indirect)
        report("main", i.at, `the driver's table holds a function pointer at ${i.at.toString(16)} filled by ${i.how}`);
      const measuring = new Set();
      for (const v of VARIANTS) {
        const sym = audit.symbolOf(v.name);
        if (sym) measuring.add(sym.addr);
        if (sym && !driver.calls.has(sym.addr))
          report(v.name, sym.addr, "the driver does not call this code: it is not what runs under this name");
      }
      // The table of measuring functions holds nothing else that runs.
      for (const { pointers } of driver.tables) {
        if (!pointers.some((p) => measuring.has(p.target))) continue;
        for (const p of pointers)
          if (!measuring.has(p.target))
            report("main", p.at, `the driver's table of measuring functions points at ${p.target.toString(16)} (${
              binary.nameAt(p.target) ?? "no symbol"}), which is none of them`);
      }
    },
  },
  {
    id: "functions.known",
    claim: "Every bench_* function in the executable is a measuring function that variants.def lists.",
    scope: "binary",
    check(audit, report) {
      const names = new Set(VARIANTS.map((v) => v.name));
      for (const s of audit.binary.code) {
        if (!s.name.startsWith("bench_") || names.has(s.name)) continue;
        if (names.has(s.name.slice(0, s.name.indexOf(".")))) continue;  // a split-off part, audited with its function
        report(s.name, s.addr, "a measuring function that the audit has no rules for");
      }
    },
  },
  {
    id: "code.closed",
    // What the loader itself writes into code is image.relocations' to report.
    claim: "No code can change once loaded: no segment or section is both writable and executable, no two loadable " +
      "segments map the same page (where the loader maps the later over the earlier), and the audited functions do not " +
      "store into code.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      const pages = (s) => [s.addr & ~0xfffn, (s.addr + BigInt(s.size) + 0xfffn) & ~0xfffn];
      binary.segments.forEach((s, k) => {
        const what = `${s.name ? `section ${s.name}` : "a loadable segment"} at ${s.addr.toString(16)}`;
        if (s.writable && s.executable) report("-", s.addr, `${what} is writable and executable`);
        const [from, to] = pages(s);
        const over = binary.segments.slice(0, k).find((e) => pages(e)[0] < to && from < pages(e)[1]);
        if (over) report("-", s.addr, `${what} maps pages that the one at ${over.addr.toString(16)} maps too: the audit reads one, the loader keeps the other`);
      });
      const info = new InstructionInfoFactory();
      for (const ctx of audit.contexts) {
        ctx.code.instrs.forEach((ins, k) => {
          if (!hasMemoryOperand(ins)) return;
          const stores = info.info(ins).usedMemory().some((m) => m.access !== OpAccess.Read && m.access !== OpAccess.NoMemAccess);
          const addr = ctx.values.addressOf(k);
          if (stores && addr !== null && binary.isExecutable(addr)) report(ctx.name, ins, "stores into code");
        });
      }
      info.free();
    },
  },
];
