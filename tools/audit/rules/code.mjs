// Rules on where each audited function lies and where its paths lead.

import { isCall } from "../isa.mjs";
import { OUTSIDE_CALLS } from "../variants.mjs";

const describeTarget = (t) => ({
  import: () => `${t.name}, ${t.linked ? "the C library's, linked in" : "imported"}`,
  slot: () => `a slot at ${t.slot.toString(16)} (${t.name ?? "no section"}) that the loader fills with no imported function`,
  register: () => `an address in a register${t.via ? ` (through the thunk ${t.name ?? t.via.toString(16)})` : ""}`,
  program: () => `the program's own code${t.name ? ` (${t.name})` : ""}`,
  data: () => `data${t.name ? ` (${t.name})` : ""}`,
}[t.kind]?.() ?? t.kind);

// The runtimes of the options that instrument every function they build,
// each by the entry points its instrumented code calls or registers with.
// The configure refuses these options (cmake/refused-flags.cmake); an
// executable built with one anyway is named here once, not once for each
// call it adds. UndefinedBehaviorSanitizer is not among them: the measured
// code is built without it, and a check of its elsewhere changes nothing timed.
const INSTRUMENTATION = [
  { option: "-fsanitize=address", names: ["__asan_init"], adds: "a check before every memory access" },
  { option: "-fsanitize=hwaddress", names: ["__hwasan_init"], adds: "a check before every memory access" },
  { option: "-fsanitize=thread", names: ["__tsan_init"], adds: "a call at every memory access" },
  { option: "-fsanitize=memory", names: ["__msan_init"], adds: "shadow updates at every memory access" },
  { option: "-pg", names: ["mcount", "_mcount", "__fentry__"], adds: "a call to the profiler at every function's entry" },
  { option: "-fprofile-generate, -fprofile-arcs or --coverage", names: ["__gcov_init", "__gcov_merge_add"],
    adds: "a counter on every edge" },
  { option: "-fprofile-instr-generate or -fprofile-generate", names: ["__llvm_profile_runtime"], adds: "a counter on every edge" },
  { option: "-finstrument-functions", names: ["__cyg_profile_func_enter"], adds: "a call at every function's entry and exit" },
];

// The names the executable defines or imports.
function namesIn(binary) {
  const names = new Set(binary.symbols.map((s) => s.name));
  for (const r of binary.relocations.values()) if (r.symbol && !r.symbol.defined) names.add(r.symbol.name.replace(/@.*/, ""));
  return names;
}

export default [
  {
    // Where it fails, every measuring function would fail calls.targets or
    // timed.instructions for each call the option adds: it runs first, and alone.
    id: "code.instrumentation",
    claim: "No instrumentation runtime is linked in or imported (AddressSanitizer, ThreadSanitizer, MemorySanitizer, " +
      "-pg, profile generation or coverage, -finstrument-functions), whose option would add calls or counters to " +
      "the measuring functions: such a build is one finding, naming the option.",
    scope: "binary",
    prerequisite: true,
    check(audit, report) {
      const names = namesIn(audit.binary);
      for (const i of INSTRUMENTATION) {
        const found = i.names.find((n) => names.has(n));
        if (found) report("-", null, `built with ${i.option}: it carries ${found}, the runtime of the option that adds ${i.adds}; build without it`);
      }
    },
  },
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
      "import entry names it, or in a static executable the C library's own copy under all its names; a jump to a " +
      "return thunk is a return: never the program's own code built for another instruction set.",
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
  // A tail jump to a return thunk is the function's return.
  if (t.kind === "clock" || t.kind === "return") return true;
  // The C library's functions, imported or, in a static executable, linked in.
  if (t.kind === "import") return names.has(t.name);
  // The clock's time function may be linked into the program (MinGW).
  return t.kind === "program" && names !== OUTSIDE_CALLS && names.has(t.name);
}
