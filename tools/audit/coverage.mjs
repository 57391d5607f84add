// Accounting for every byte of the executable's code, for closure.reachable:
// what the closure rules and the audited functions' contexts decoded, the
// linker's stubs, the padding between functions, the C library's own code
// where the executable holds it, and code that no pointer can reach. What
// is left is code something may run that the audit has not read.

import { Decoder, DecoderOptions, Mnemonic, Register } from "iced-x86";
import { isImmediate } from "./isa.mjs";

// The linker's sections of stubs: each entry jumps through its slot.
const STUB_SECTIONS = /^\.(i?plt|plt\.sec|plt\.got)$/;
// The C runtime's start-up objects, linked before the program's own
// (crtbegin.o in ELF, crt2.o and crtbegin.o in MinGW): the last of their
// functions ends the start-up.
const START_UP_LAST = ["frame_dummy", "__do_global_dtors_aux", "register_tm_clones", "deregister_tm_clones",
  "__gcc_register_frame", "__gcc_deregister_frame"];

// Each instruction decoded from `from` to `to`, as it lies; null where one
// runs past `to`.
function linear(binary, from, to) {
  const decoder = new Decoder(64, binary.read(from, Number(to - from)), DecoderOptions.None);
  decoder.ip = from;
  const out = [];
  while (decoder.canDecode) out.push(decoder.decode());
  decoder.free();
  return out.length && out[out.length - 1].nextIP === to ? out : null;
}

// Fill between functions: nops and int3 as the assemblers align with, or zeros.
function isPadding(binary, from, to) {
  if (binary.read(from, Number(to - from)).every((b) => b === 0)) return true;
  return linear(binary, from, to)?.every((ins) => ins.mnemonic === Mnemonic.Nop || ins.mnemonic === Mnemonic.Int3) ?? false;
}

// A run of the linker's stubs: endbr64, a jump through a RIP-relative slot,
// a push of an index or of a slot, a jump back to the first stub, padding.
function isStubs(binary, from, to, section) {
  const inside = (a) => a >= section.addr && a < section.addr + BigInt(section.size);
  return linear(binary, from, to)?.every((ins) => {
    if ([Mnemonic.Endbr64, Mnemonic.Nop, Mnemonic.Int3].includes(ins.mnemonic)) return true;
    const throughSlot = ins.memoryBase === Register.RIP && ins.memoryIndex === Register.None;
    if (ins.mnemonic === Mnemonic.Push) return throughSlot || isImmediate(ins.op0Kind);
    if (ins.mnemonic === Mnemonic.Jmp) return throughSlot || inside(ins.nearBranchTarget);
    return false;
  }) ?? false;
}

// Where the program's own objects lie in an executable that also holds the
// C library or runtime (static ELF, MinGW): from the end of the C runtime's
// start-up objects before the first audited function to the end of the
// last. Null for an executable whose code is all the program's.
// In an ELF executable the GNU linker puts every object's .text.unlikely,
// .text.startup and .text.hot sections (a function marked cold, main, a
// split-off part) before the start-up objects' code, the C library's and
// the program's mixed: nothing tells them apart, so the span starts at the
// first code there, and that code too must be read or reached by no
// pointer.
export function programSpan(binary, audited, holdsLibrary) {
  if (!holdsLibrary || !audited.length) return null;
  const first = audited.reduce((a, s) => (s.addr < a.addr ? s : a));
  const end = audited.reduce((e, s) => (binary.extentOf(s) > e ? binary.extentOf(s) : e), 0n);
  const startUp = binary.code.filter((s) => START_UP_LAST.includes(s.name) && s.addr < first.addr);
  const objects = startUp.reduce((e, s) => (binary.extentOf(s) > e ? binary.extentOf(s) : e), 0n);
  return { start: binary.format === "elf" ? 0n : objects, objects, end };
}

// Every address that the C library's code after the program's objects
// refers to in a static executable, { data, code }: the operands of its instructions
// (RIP-relative, absolute, immediate), the pointers in the .got slots they
// load, and its direct branches' targets. A variable so referred to is the
// C library's, not the program's, however plain its memory (printf's hook
// tables); a function of the program's so branched to replaces the C
// library's own (a malloc of the program's, which stdio would call).
// An immediate or absolute operand is an address only in an image that is
// not moved (non-PIE); direct branches count as references to functions,
// the rest as references to data.
export function libraryReferences(binary, span) {
  const { movable } = binary;
  const refs = new Set(), branches = new Set();
  for (const fn of binary.code.filter((s) => span && s.addr >= span.end)) {
    const decoder = new Decoder(64, binary.read(fn.addr, Number(binary.extentOf(fn) - fn.addr)), DecoderOptions.None);
    decoder.ip = fn.addr;
    while (decoder.canDecode) {
      const ins = decoder.decode();
      if (ins.nearBranchTarget) branches.add(ins.nearBranchTarget);
      if (ins.memoryBase === Register.RIP) {
        refs.add(ins.ipRelMemoryAddress);
        if (/^\.got/.test(binary.sectionName(ins.ipRelMemoryAddress) ?? "")) refs.add(binary.pointerAt(ins.ipRelMemoryAddress));
      } else if (!movable && ins.memoryBase === Register.None && ins.memoryDisplacementU64) refs.add(ins.memoryDisplacementU64);
      for (let j = 0; !movable && j < ins.opCount; j++) if (isImmediate(ins.opKind(j))) refs.add(BigInt.asUintN(64, ins.immediate(j)));
    }
    decoder.free();
  }
  refs.delete(null);
  return { data: refs, code: new Set([...refs, ...branches]) };
}

// Every 8-byte pointer into code that the loaded data holds, by the address
// it points at: { slot, section }. Aligned words only: the tables a runtime
// walks are arrays of pointers. In an image the loader may move (a PIE, a
// relocatable PE), a pointer is a word the loader relocates: any other
// word that looks like an address (a short string, say) is not one once
// loaded.
function codePointersInData(binary) {
  const { movable } = binary;
  const pointers = new Map();
  for (const s of binary.sections) {
    if (s.executable || !s.bytes) continue;
    for (let slot = (s.addr + 7n) & ~7n; slot + 8n <= s.addr + BigInt(s.size); slot += 8n) {
      if (movable && !binary.relocations.has(slot)) continue;
      const target = binary.pointerAt(slot);
      if (target !== null && target !== 0n && binary.isExecutable(target) && !pointers.has(target))
        pointers.set(target, { slot, section: s.name });
    }
  }
  return pointers;
}

// Merges [from, to) ranges into sorted, disjoint ones.
function merged(ranges) {
  const sorted = [...ranges].sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0));
  const out = [];
  for (const [a, b] of sorted) {
    const last = out[out.length - 1];
    if (last && a <= last[1]) { if (b > last[1]) last[1] = b; } else out.push([a, b]);
  }
  return out;
}

// The code no reading accounts for: each { from, to, pointer } with
// `pointer` the data word that points into it ({ slot, section, target });
// code that no aligned data word points into is left out, as nothing can
// run it. `ranges` are the bytes decoded; `span` the program's own (above),
// outside which the C library's code is its own.
export function unaccounted(binary, ranges, span) {
  const covered = merged(ranges);
  const pointers = codePointersInData(binary);
  const targets = [...pointers.keys()].sort((a, b) => (a < b ? -1 : 1));
  const out = [];
  for (const section of binary.sections.filter((s) => s.executable && s.bytes)) {
    const end = section.addr + BigInt(section.size);
    let at = section.addr;
    const gaps = [];
    for (const [a, b] of covered) {
      if (b <= at || a >= end) continue;
      if (a > at) gaps.push([at, a]);
      at = b > at ? b : at;
    }
    if (at < end) gaps.push([at, end]);
    for (let [from, to] of gaps) {
      if (span) { from = from > span.start ? from : span.start; to = to < span.end ? to : span.end; }
      if (from >= to || STUB_SECTIONS.test(section.name) && isStubs(binary, from, to, section)) continue;
      if (isPadding(binary, from, to)) continue;
      const target = targets.find((t) => t >= from && t < to);
      if (target !== undefined) out.push({ from, to, pointer: { ...pointers.get(target), target } });
    }
  }
  return out;
}
