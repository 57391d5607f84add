// Rules on the executable as a whole: that it has the symbol table the
// audit finds everything by, which code the driver runs under each measuring
// function's name, and that no code can be changed once loaded.

import { VARIANTS, CLOCK } from "../variants.mjs";
import { decodeReachable } from "../context.mjs";
import { InstructionInfoFactory, OpAccess } from "iced-x86";
import { isCall, hasMemoryOperand } from "../isa.mjs";

const NAMES = [CLOCK.name, ...VARIANTS.map((v) => v.name)];

// The addresses the driver (main, with any part split off from it) calls
// directly: how it calls each measuring function, by its name.
function driverCalls(audit) {
  const { binary } = audit;
  const main = binary.code.find((s) => s.name === "main");
  if (!main) return null;
  const code = decodeReachable(binary, main, binary.code.filter((p) => p.name.startsWith("main.")), audit.globals.clock);
  return new Set(code.instrs.filter((ins) => isCall(ins) && ins.nearBranchTarget).map((ins) => ins.nearBranchTarget));
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
      const calls = driverCalls(audit);
      if (!calls) { report("main", null, "the driver (main) not found"); return; }
      for (const v of VARIANTS) {
        const sym = audit.symbolOf(v.name);
        if (sym && !calls.has(sym.addr))
          report(v.name, sym.addr, "the driver does not call this code: it is not what runs under this name");
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
