// Whether the C runtime's start-up hands over to main, for closure.roots: a
// start-up of the program's own, named as the runtime's, could hand the C
// library another function as main, which would print lines of its own
// while the real main, and every measuring function with it, never runs.

import { decodeReachable } from "./context.mjs";
import { isCall } from "./isa.mjs";
import { Register } from "iced-x86";

const hex = (a) => a.toString(16);

// What the provenance analysis knows a register holds, in words.
function described(binary, tag) {
  if (!tag) return "a value the analysis cannot place";
  if (tag.kind === "code") return `the address of ${binary.nameAt(tag.target) ?? hex(tag.target)}`;
  return tag.kind === "zero" ? "zero" : `${tag.kind}${tag.name ? ` ${tag.name}` : ""}`;
}

// ELF: the entry's code (`read`, readCode's) goes on only by one call, to
// __libc_start_main, with main's address as its first argument and zero
// for the initialiser and finaliser, which the C library would otherwise
// run in place of the program's init and fini arrays.
// The reading goes on past the hlt that ends the entry into whatever the
// linker put next, which is read as its own; what counts is the entry's own
// code.
function elfProblems(binary, read, main, entry) {
  const problems = [];
  const own = (c) => c.at >= entry.addr && c.at < binary.extentOf(entry);
  const others = [...read.calls.filter((c) => c.name !== "__libc_start_main"), ...read.followed, ...read.reached].filter(own);
  for (const o of others) problems.push({ at: o.at, message: `goes on to ${o.name ?? hex(o.target)}, not only to __libc_start_main` });
  const starts = read.calls.filter((c) => c.name === "__libc_start_main" && own(c));
  if (starts.length !== 1) problems.push({ at: null, message: `calls __libc_start_main ${starts.length} times, not once` });
  for (const c of starts) {
    const passed = c.args.get(Register.RDI);
    if (!main || passed?.kind !== "code" || passed.target !== main.addr)
      problems.push({ at: c.at, message: `hands __libc_start_main ${described(binary, passed)} as main, not main` });
    for (const [reg, what] of [[Register.RCX, "initialiser"], [Register.R8, "finaliser"]])
      if (c.args.get(reg)?.kind !== "zero")
        problems.push({ at: c.at, message: `hands __libc_start_main ${described(binary, c.args.get(reg))} as its ${what}, not zero` });
  }
  return problems;
}

// The direct calls that the function `sym` makes, decoded by reachability.
// MinGW's mainCRTStartup brackets its call with the labels .l_start and
// .l_end, for its unwind data: code of the same function.
function directCalls(binary, sym) {
  const labels = binary.code.filter((s) => s.name.startsWith(".l_") && s.addr > sym.addr && s.addr < binary.extentOf(sym) + 64n);
  return decodeReachable(binary, sym, labels, null).instrs
    .filter((ins) => isCall(ins) && ins.nearBranchTarget !== 0n).map((ins) => ins.nearBranchTarget);
}

// MinGW: the entry calls the runtime's __tmainCRTStartup, which calls main
// by its symbol (after the runtime's own set-up, which closure.roots takes
// by name).
function peProblems(binary, entry, main) {
  const starts = binary.code.filter((s) => s.name === "__tmainCRTStartup");
  if (starts.length !== 1 || !directCalls(binary, entry).includes(starts[0].addr))
    return [{ at: entry.addr, message: "does not call the C runtime's one __tmainCRTStartup" }];
  if (!main || !directCalls(binary, starts[0]).includes(main.addr))
    return [{ at: starts[0].addr, message: "__tmainCRTStartup does not call main" }];
  return [];
}

// Each way the entry at `entry` (its symbol) fails to hand over to main:
// { at, message }. `read` is the closure's reading of the entry (ELF).
export function startProblems(binary, entry, read) {
  const main = binary.code.find((s) => s.name === "main") ?? null;
  if (binary.format === "pe") return peProblems(binary, entry, main);
  return read ? elfProblems(binary, read, main, entry) : [{ at: entry.addr, message: "is not read as a root" }];
}
