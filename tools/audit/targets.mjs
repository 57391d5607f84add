// What a call or jump out of an audited function reaches: the clock, an
// imported function through a slot the loader fills, a function of the C
// library linked into a static executable, a compiler's thunk that stands
// for a return or an indirect branch, or the program's own code.

import { Decoder, DecoderOptions, FlowControl, MemorySize, Mnemonic, OpKind, Register } from "iced-x86";

// Calls that do not return: the code after them is not reached from them.
export const NO_RETURN = new Set(["__stack_chk_fail", "__chk_fail", "__fortify_fail", "abort", "exit", "_exit"]);

export function decodeAt(binary, ip) {
  const decoder = new Decoder(64, binary.read(ip, 15), DecoderOptions.None);
  decoder.ip = ip;
  const ins = decoder.decode();
  decoder.free();
  return ins;
}

// Where a call or jump to `addr` lands: the clock, an imported function
// through a loader-filled slot (named by its relocation or import entry), a
// slot the loader fills with something other than an import, the C
// library's own code in a static executable (as an import, `linked`), a
// return or indirect-branch thunk, or the program's own code.
export function resolveTarget(binary, addr, clockAddr) {
  if (addr === clockAddr) return { kind: "clock", name: binary.nameAt(addr) };
  if (!binary.isExecutable(addr)) return { kind: "data", name: binary.nameAt(addr) ?? binary.sectionName(addr) };
  // A stub or thunk: jmp *slot(%rip), after an endbr64 where the build adds one.
  let ins = decodeAt(binary, addr);
  if (ins.mnemonic === Mnemonic.Endbr64) ins = decodeAt(binary, ins.nextIP);
  if (ins.flowControl === FlowControl.IndirectBranch && ins.memoryBase === Register.RIP)
    return resolveSlot(binary, ins.memoryDisplacementU64, addr);
  const thunk = thunkAt(binary, addr);
  if (thunk) return { ...thunk, name: binary.nameAt(addr), via: addr };
  // Every rule treats the C library's function as it treats the import of it.
  const library = libraryFunctionAt(binary, addr);
  if (library) return { kind: "import", name: library, via: addr, linked: true };
  return { kind: "program", name: binary.nameAt(addr) };
}
export function resolveSlot(binary, slot, via = null) {
  const imp = binary.importAt(slot);
  if (imp) return { kind: "import", name: imp.name, via };
  return { kind: "slot", slot, name: binary.nameAt(slot) ?? binary.sectionName(slot), via };
}

// The C library's functions that a measuring function or the clock may
// reach, each with the other names glibc defines at the same address. A
// static link copies them into the executable, where they are the
// program's own code; they are taken for the library's only in an
// executable that imports nothing and names no interpreter (so no name in
// it can stand in front of a library's), and only where the symbol table
// holds all of glibc's names for the function at its address and it lies
// after the program's own objects: a program that defines a `printf` or
// `gettimeofday` of its own has no `_IO_printf` or `__gettimeofday` beside
// it, or has it among its own code.
const LIBRARY_NAMES = [
  ["printf", "_IO_printf"],
  ["__printf_chk", "___printf_chk"],
  ["gettimeofday", "__gettimeofday"],
  ["__stack_chk_fail", "__stack_chk_fail_local"],
  ["__chk_fail"],
  ["__fortify_fail"],
];

// Whether the executable is linked statically: an ELF file with no
// interpreter and no relocation that names an imported symbol.
const linkedStatically = (binary) => binary.format === "elf" && !binary.sections.some((s) => s.name === ".interp") &&
  ![...binary.relocations.values()].some((r) => r.symbol && !r.symbol.defined);

// Where the program's own objects end in an executable that also holds its
// C library or runtime (static ELF, MinGW): after the last of the measuring
// functions and the clock, which its sources put there, before the
// libraries the linker adds after them. A function of that name before it
// is the program's own, however it is named.
const ends = new WeakMap();
export function programEnd(binary) {
  if (!ends.has(binary))
    ends.set(binary, binary.code.filter((s) => /^(bench_[a-z0-9_]+|read_ticks)$/.test(s.name))
      .reduce((e, s) => (binary.extentOf(s) > e ? binary.extentOf(s) : e), 0n));
  return ends.get(binary);
}

// The public name of the C library's function at `addr`, or null.
function libraryFunctionAt(binary, addr) {
  if (!linkedStatically(binary) || addr < programEnd(binary)) return null;
  const here = new Set(binary.symbols.filter((s) => s.addr === addr && /^[TW]$/.test(s.type)).map((s) => s.name));
  return LIBRARY_NAMES.find((names) => names.every((n) => here.has(n)))?.[0] ?? null;
}

// The thunks that GCC (-mfunction-return=thunk, -mindirect-branch=thunk)
// and Clang (-mretpoline) put in place of a return or an indirect branch,
// recognised by their code, whatever their names: a return thunk stands
// for `ret`, an indirect-branch thunk for a branch through its register.
// Only the retpoline is a thunk: a jump to any other code of the program,
// a bare `ret` included, is a jump into code the audit does not follow.
//   call 1f; 2: pause; lfence; jmp 2b; [pad]  the retpoline: the speculation
//   1: lea 8(%rsp),%rsp; ret                  is caught in the pause loop,
//   1: mov %REG,(%rsp); ret                   the return goes to REG
// Returns { kind: "return" }, { kind: "register", register } or null.
function thunkAt(binary, addr) {
  const at = (ip) => decodeAt(binary, ip);
  let first = at(addr);
  if (first.mnemonic === Mnemonic.Endbr64) first = at(first.nextIP);
  const plainReturn = (ins) => ins.mnemonic === Mnemonic.Ret && ins.opCount === 0;
  if (first.mnemonic !== Mnemonic.Call || first.nearBranchTarget <= first.nextIP) return null;
  // The capture loop between the call and its target.
  const pause = at(first.nextIP), fence = at(pause.nextIP), back = at(fence.nextIP);
  // Clang aligns the call's target: padding that nothing reaches may lie between.
  if (pause.mnemonic !== Mnemonic.Pause || fence.mnemonic !== Mnemonic.Lfence || back.mnemonic !== Mnemonic.Jmp ||
      back.nearBranchTarget !== pause.ip || first.nearBranchTarget < back.nextIP || first.nearBranchTarget - back.nextIP >= 16n)
    return null;
  const set = at(first.nearBranchTarget), ret = at(set.nextIP);
  if (!plainReturn(ret)) return null;
  // [rsp + disp], nothing else in the address.
  const onStack = (disp) => set.memoryBase === Register.RSP && set.memoryIndex === Register.None &&
    set.memoryDisplacementU64 === disp && set.segmentPrefix === Register.None;
  if (set.mnemonic === Mnemonic.Lea && set.op0Register === Register.RSP && onStack(8n)) return { kind: "return" };
  if (set.mnemonic === Mnemonic.Mov && set.op0Kind === OpKind.Memory && onStack(0n) && set.op1Kind === OpKind.Register &&
      set.memorySize === MemorySize.UInt64)
    return { kind: "register", register: set.op1Register };
  return null;
}
