// The image as loaded. The audit reads every value as the loader leaves it
// (binary.mjs applies the relocations of every kind, RELR included, and
// takes permissions from the segments): what a relocation writes is known
// only where it is a relative one, whose value is an address in the image.
// Any other value the loader writes is decided at load time (by a resolver,
// a library, a symbol lookup), so it must not reach code, nor the read-only
// data from which the audited functions take their values.

import { InstructionInfoFactory, OpAccess, FlowControl, MemorySizeExt, Mnemonic, OpKind, RegisterExt } from "iced-x86";
import { hasMemoryOperand } from "../isa.mjs";

const hex = (a) => a.toString(16);
const what = (w) => (w.type === "import" ? "an import's slot" : `relocation ${w.type}`);

// The GNU linker puts a PE image's lists of constructors and destructors
// into .text: data, each a -1, the functions' addresses and a 0, which the
// C runtime reads and never runs. Their addresses are relocated as the
// image moves. Returns each list's extent, [from, to).
function constructorLists(binary) {
  if (binary.format !== "pe") return [];
  return binary.symbols.filter((s) => s.name === "__CTOR_LIST__" || s.name === "__DTOR_LIST__").map((s) => {
    let end = s.addr + 8n;
    while (end < s.addr + 8n * 1024n && binary.pointerAt(end) !== 0n && binary.pointerAt(end) !== null) end += 8n;
    return [s.addr, end + 8n];
  });
}

// Every place the loader writes inside an executable segment, whoever's
// code it is: code that changes at load time is not the code decoded. Only
// an address in a list of constructors, which is data, is let be.
function writesIntoCode(audit, report) {
  const { binary } = audit;
  const lists = constructorLists(binary);
  const listed = (w) => w.value !== null && lists.some(([from, to]) => w.addr >= from && w.addr + BigInt(w.size) <= to);
  for (const s of binary.segments.filter((x) => x.executable))
    for (const w of binary.writesIn(s.addr, s.size))
      if (!listed(w)) report(audit.functionAt(w.addr) ?? "-", w.addr, `the loader writes into code at ${hex(w.addr)} (${what(w)})`);
}

// Every read by an audited function, other than a call's or jump's slot
// (calls.targets judges those), of read-only bytes whose value the loader
// decides.
function readsOfLoadTimeValues(ctx, info, report) {
  const { binary } = ctx;
  ctx.code.instrs.forEach((ins, k) => {
    if (!hasMemoryOperand(ins) || ins.flowControl !== FlowControl.Next) return;
    const reads = info.info(ins).usedMemory().some((m) => [OpAccess.Read, OpAccess.CondRead, OpAccess.ReadWrite,
      OpAccess.ReadCondWrite].includes(m.access));
    const addr = ctx.values.addressOf(k);
    if (!reads || addr === null || !binary.isReadOnly(addr)) return;
    const size = Math.max(MemorySizeExt.size(ins.memorySize), 1);
    // A relative relocation's word is its addend plus the load base once
    // loaded: an address, read as a pointer by a 64-bit move into a
    // general register, never a number (a tick length, a factor).
    const pointerLoad = ins.mnemonic === Mnemonic.Mov && size === 8 && ins.op0Kind === OpKind.Register &&
      RegisterExt.isGPR64(ins.op0Register);
    const decided = binary.writesIn(addr, size).filter((w) => w.value === null || !pointerLoad);
    if (decided.length)
      report(ins, `reads read-only data at ${hex(addr)} whose value the loader decides at load time, not the file${
        pointerLoad ? "" : ", as a number"} (${
        what(decided[0])} at ${hex(decided[0].addr)}${decided.length > 1 ? ` and ${decided.length - 1} more` : ""})`);
  });
}

// MinGW's start-up (_pei386_runtime_relocator) patches the image from its
// list of pseudo-relocations, which the linker makes for data imported
// without __declspec(dllimport): the program's own build imports none, so
// its list is empty. Any entry would rewrite code or data (a constant the
// audited functions read) once started, a write neither the loader nor the
// audit sees. The list is read where the runtime finds it, through the
// words .refptr.__RUNTIME_PSEUDO_RELOC_LIST__ and ..._END__ hold, and by
// its symbols.
const PSEUDO_LIST = ["__RUNTIME_PSEUDO_RELOC_LIST__", "__RUNTIME_PSEUDO_RELOC_LIST_END__"];
function pseudoRelocations(binary, report) {
  if (binary.format !== "pe") return;
  const bounds = (names) => names.map((n) => binary.symbols.find((s) => s.name === n)?.addr ?? null);
  const [from, to] = bounds(PSEUDO_LIST);
  const [refFrom, refTo] = bounds(PSEUDO_LIST.map((n) => `.refptr.${n}`)).map((a) => (a === null ? null : binary.pointerAt(a)));
  if (from === null || to === null) report("-", null, "has no symbols bounding its list of pseudo-relocations");
  for (const [a, b] of [[from, to], ...(refFrom === from && refTo === to ? [] : [[refFrom, refTo]])])
    if (a !== null && b !== null && a !== b)
      report("-", a, `the C runtime patches the image at start-up from a list of pseudo-relocations at ${hex(a)}-${hex(b)}`);
}

export default [
  {
    id: "image.relocations",
    claim: "What the loader writes changes no code and no value the audited functions read: no relocation or import " +
      "slot lies in an executable segment, and the read-only data they read holds the file's bytes or, read as a " +
      "pointer, a relative relocation's address, never a value decided at load time; a MinGW image's list of pseudo-relocations, " +
      "which its runtime applies at start-up, is empty.",
    scope: "binary",
    check(audit, report) {
      writesIntoCode(audit, report);
      pseudoRelocations(audit.binary, report);
      const info = new InstructionInfoFactory();
      for (const ctx of audit.contexts) readsOfLoadTimeValues(ctx, info, (where, message) => report(ctx.name, where, message));
      info.free();
    },
  },
];
