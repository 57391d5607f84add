// Rules on where each audited function lies and where its paths lead.

import { isCall } from "../isa.mjs";
import { OUTSIDE_CALLS } from "../variants.mjs";

const describeTarget = (t) => ({
  import: () => `${t.name}, imported`,
  slot: () => `a slot at ${t.slot.toString(16)} (${t.name ?? "no section"}) that the loader fills with no imported function`,
  register: () => "an address in a register",
  program: () => `the program's own code${t.name ? ` (${t.name})` : ""}`,
  data: () => `data${t.name ? ` (${t.name})` : ""}`,
}[t.kind]?.() ?? t.kind);

export default [
  {
    id: "placement.page",
    claim: "Each measuring function and the clock start on their own 4096-byte boundary.",
    scope: "function",
    appliesTo: () => true,
    check(ctx, report) {
      if (ctx.sym.addr % 4096n !== 0n) report(null, `starts at ${ctx.sym.addr.toString(16)}, not on a 4096-byte boundary`);
    },
  },
  {
    id: "flow.bounds",
    claim: "Every path from the function's entry stays inside it and its split-off parts until it calls, jumps out " +
      "or returns: none runs on past its end, and the code decodes, without overlaps.",
    scope: "function",
    appliesTo: () => true,
    check(ctx, report) {
      const { code } = ctx;
      // Jumps out are calls.targets' to judge.
      for (const e of code.exits)
        if (e.how === "falls")
          report(code.instrs[code.index.get(e.from)], `runs on past the end of the function into ${e.to.toString(16)}`);
      for (const ins of code.instrs) if (ins.isInvalid) report(ins, "bytes that do not decode, on a path from the entry");
      for (const ins of code.overlaps) report(ins, "overlaps the next instruction reached: one byte decoded two ways");
    },
  },
  {
    id: "calls.targets",
    claim: "Calls, tail jumps and any other jumps out reach only the clock, or an imported function named in the allowed list (printf, " +
      "the stack-protector and fortify failures; the clock: its time function) through a slot whose relocation or " +
      "import entry names it: never the program's own code built for another instruction set.",
    scope: "function",
    appliesTo: () => true,
    check(ctx, report) {
      const { code } = ctx;
      for (const ins of code.instrs) {
        const t = code.targets.get(ins.ip);
        if (!t || ctx.allowedCall(t)) continue;
        const what = isCall(ins) ? "calls" : "jumps to";
        if (t.kind === "import")
          report(ins, `${what} ${t.name}, which is not among the functions ${ctx.def.calls ? "the clock" : "a measuring function"} may call`);
        else report(ins, `${what} ${describeTarget(t)}, outside this function and its parts, which may be built for another instruction set`);
      }
    },
  },
];

// Whether a call or tail jump may reach `t` from a function whose own
// allowed list is `names` (the clock's) or the measuring functions' list.
export function allowedCall(t, names = OUTSIDE_CALLS) {
  if (t.kind === "clock") return true;
  if (t.kind === "import") return names.has(t.name);
  // The clock's time function may be linked into the program (MinGW).
  return t.kind === "program" && names !== OUTSIDE_CALLS && names.has(t.name);
}
