// Rules on the whole program: what else runs beside the measuring
// functions. A constructor, a thread, a timer's handler, a TLS callback or a
// library of the program's own loaded before the C library could change a
// loop's registers, its code or the start reading while a line is timed;
// the other rules prove the functions as they lie in the file, and these
// prove that nothing else can touch them: every way code runs is known and
// read, and the program imports nothing that makes code run beside main or
// change code once loaded.

import { Decoder, DecoderOptions, FlowControl } from "iced-x86";
import { readCode } from "../reading.mjs";
import { libraryReferences, programSpan, unaccounted } from "../coverage.mjs";
import { VARIANTS, CLOCK } from "../variants.mjs";
import { startProblems } from "../startup.mjs";
import { outputProblems } from "../output.mjs";
import { entersKernel } from "../isa.mjs";
import { reachable } from "../engine.mjs";

// What an ELF build imports, the whole program together: the C runtime's
// start-up and shutdown (crt1.o, crti.o, crtbegin.o), the driver's output
// and the detection's texts, their fortified and protected forms, and the
// clock's time function. Nothing that starts a thread, arms a timer or a
// signal, changes a page's protection, opens a file (/proc/self/mem) or
// hooks printf's conversions.
const ELF_STARTUP = ["__libc_start_main", "__cxa_finalize", "__gmon_start__", "_ITM_registerTMCloneTable",
  "_ITM_deregisterTMCloneTable", "__register_frame_info", "__deregister_frame_info"];
const ELF_IMPORTS = new Set([...ELF_STARTUP,
  "printf", "fprintf", "snprintf", "fflush", "ferror", "fputc", "fwrite", "strerror", "__errno_location", "strncmp",
  "memcpy", "memset", "memmove", "strlen", "stdout", "stderr",
  "__printf_chk", "__fprintf_chk", "__snprintf_chk", "__stack_chk_fail", "__chk_fail", "__fortify_fail",
  "gettimeofday", "clock_gettime"]);
// A -fsanitize=undefined build reports through its runtime's handlers.
const ELF_IMPORT_PREFIXES = ["__ubsan_handle_"];

// The runtime's own uses of what the program may not call: MinGW's start-up
// makes the sections its pseudo-relocations patch writable for the time it
// patches them (VirtualQuery, VirtualProtect), installs its exception
// handler (SetUnhandledExceptionFilter, signal), waits for another thread's
// start-up (Sleep), runs thread-key destructors (TlsGetValue), and its
// gettimeofday looks up the precise time function (GetModuleHandleA,
// GetProcAddress). Each import named here may be used by these functions
// of the runtime, by name, and by no other code.
const PE_RUNTIME_ONLY = new Map([
  ["VirtualQuery", ["mark_section_writable"]],
  ["VirtualProtect", ["_pei386_runtime_relocator", "mark_section_writable", "restore_modified_sections"]],
  ["SetUnhandledExceptionFilter", ["__tmainCRTStartup"]],
  ["signal", ["_gnu_exception_handler"]],
  ["Sleep", ["__tmainCRTStartup", "dtoa_lock"]],
  ["TlsGetValue", ["__mingwthr_run_key_dtors", "__mingwthr_run_key_dtors.part.0"]],
  ["GetModuleHandleA", ["getntptimeofday"]],
  ["GetProcAddress", ["getntptimeofday"]],
]);
// What a MinGW build imports besides those: the C runtime's start-up and
// its stdio, locale and memory functions, the clock's time functions, the
// driver's output.
const PE_IMPORTS = new Set([...PE_RUNTIME_ONLY.keys(),
  "DeleteCriticalSection", "EnterCriticalSection", "InitializeCriticalSection", "LeaveCriticalSection", "GetLastError",
  "GetStartupInfoA", "GetSystemTimeAsFileTime", "GetSystemTimePreciseAsFileTime", "GetTimeZoneInformation",
  "IsDBCSLeadByteEx", "MultiByteToWideChar", "WideCharToMultiByte", "__C_specific_handler",
  "___lc_codepage_func", "___mb_cur_max_func", "__getmainargs", "__wgetmainargs", "__initenv", "__winitenv",
  "__iob_func", "__acrt_iob_func", "__set_app_type", "__setusermatherr", "_acmdln", "_wcmdln", "_amsg_exit", "_cexit",
  "_commode", "_errno", "_fmode", "_initterm", "_lock", "_onexit", "_unlock", "abort", "calloc", "exit", "free",
  "malloc", "realloc", "memcpy", "memmove", "memset", "strlen", "wcslen", "strncmp", "localeconv",
  "printf", "fprintf", "vfprintf", "fputc", "fwrite", "fflush", "ferror", "strerror", "_snprintf", "_vsnprintf"]);

// The libraries each format may load, by name: the C and C++ runtimes.
const ELF_LIBRARIES = new Set(["libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2",
  "libubsan.so.1"]);
const PE_LIBRARIES = new Set(["kernel32.dll", "msvcrt.dll"]);
const ELF_INTERPRETER = "/lib64/ld-linux-x86-64.so.2";
// The C runtime's entry point, where the loader starts the program.
const ENTRY_NAMES = { elf: ["_start"], pe: ["mainCRTStartup", "WinMainCRTStartup"] };
// MinGW's start-up runs its own code from the tables it reads (.CRT, the
// TLS callbacks, __CTOR_LIST__): these functions, each defined once, are its
// own, and run thread-key destructors and the program's constructors
// through pointers that only the tables' other entries fill. Every other
// entry is read.
const PE_RUNTIME_ROOTS = new Set(["__dyn_tls_init", "__dyn_tls_dtor", "pre_c_init", "pre_cpp_init", "__mingw_TLScallback",
  "register_frame_ctor"]);

// MinGW's C runtime is linked into the program: the functions of it that
// the program's own code calls by name (the constructors' runner, the
// stdio that <stdio.h>'s inline printf family calls).
const PE_RUNTIME_FUNCTIONS = new Set(["__main", "__mingw_vfprintf", "__mingw_vsnprintf", "__mingw_vsprintf",
  "__mingw_vprintf"]);

const hex = (a) => a.toString(16);
const namesAt = (binary, addr) => binary.symbols.filter((s) => s.addr === addr).map((s) => s.name);
const isStatic = (binary) => binary.format === "elf" && binary.loader.interpreter === null;
const importAllowed = (binary, name) => (binary.format === "pe" ? PE_IMPORTS.has(name) || PE_RUNTIME_FUNCTIONS.has(name)
  : ELF_IMPORTS.has(name) || ELF_IMPORT_PREFIXES.some((p) => name.startsWith(p)));

// Every root the loader or the C runtime runs, as the headers give them,
// with the .init and .fini sections where no dynamic section names them (a
// static executable), each function resolved at load time, and MinGW's
// lists of constructors and destructors (__CTOR_LIST__, __DTOR_LIST__: -1,
// the pointers, 0), which its __main runs.
function rootsOf(binary) {
  const roots = [...binary.loader.roots];
  const known = new Set(roots.map((r) => r.target));
  const add = (kind, target, slot = null) => {
    if (!known.has(target)) { known.add(target); roots.push({ kind, slot, target }); }
  };
  if (binary.format === "elf") {
    for (const s of binary.sections) if (s.executable && (s.name === ".init" || s.name === ".fini")) add(s.name, s.addr);
    for (const s of binary.symbols) if (s.type === "i") add("IFUNC symbol", s.addr);
  }
  for (const list of ["__CTOR_LIST__", "__DTOR_LIST__"]) {
    const sym = binary.symbols.find((s) => s.name === list);
    if (!sym || binary.format !== "pe") continue;
    for (let slot = sym.addr + 8n; ; slot += 8n) {
      const target = binary.pointerAt(slot);
      if (!target || target === 0xffffffffffffffffn) break;
      add(list, target, slot);
    }
  }
  return roots;
}

// The names of the functions whose code refers to each of `slots` (an
// import's slot): through a RIP-relative operand, or by a direct call or
// jump to a thunk that jumps through the slot. Each function's code is
// decoded from its start to its end, as it lies.
function referrers(binary, slots) {
  const byTarget = new Map();
  for (const fn of binary.code.filter((f) => !f.name.startsWith("."))) {
    const bytes = binary.read(fn.addr, Number(binary.extentOf(fn) - fn.addr));
    const decoder = new Decoder(64, bytes, DecoderOptions.None);
    decoder.ip = fn.addr;
    while (decoder.canDecode) {
      const ins = decoder.decode();
      const target = ins.isIpRelMemoryOperand ? ins.ipRelMemoryAddress : ins.nearBranchTarget || null;
      if (target === null || !slots.has(target)) continue;
      if (!byTarget.has(target)) byTarget.set(target, new Set());
      byTarget.get(target).add(fn.name);
    }
    decoder.free();
  }
  return byTarget;
}

// On PE: each import kept for the runtime is used by no code but the
// runtime's functions that need it (and the import's own thunk).
function runtimeOnlyUses(binary, report) {
  const slots = new Map();
  for (const [slot, imp] of binary.loader.importSlots) if (PE_RUNTIME_ONLY.has(imp.name)) slots.set(slot, imp.name);
  const thunks = new Map();
  for (const fn of binary.code) {
    const decoder = new Decoder(64, binary.read(fn.addr, 15), DecoderOptions.None);
    decoder.ip = fn.addr;
    const ins = decoder.decode();
    decoder.free();
    if (ins.flowControl === FlowControl.IndirectBranch && slots.has(ins.ipRelMemoryAddress))
      thunks.set(fn.addr, { name: slots.get(ins.ipRelMemoryAddress), thunk: fn.name });
  }
  const targets = new Set([...slots.keys(), ...thunks.keys()]);
  for (const [target, users] of referrers(binary, targets)) {
    const name = slots.get(target) ?? thunks.get(target).name;
    for (const user of users)
      if (!PE_RUNTIME_ONLY.get(name).includes(user) && user !== name && user !== thunks.get(target)?.thunk)
        report(user, target, `${user} uses ${name}, which only the C runtime's start-up may use`);
  }
}

// MinGW's lists of constructors and destructors lie in its code section:
// rootsOf reads their entries; their bytes are tables, not code.
function runtimeTables(binary) {
  if (binary.format !== "pe") return [];
  return ["__CTOR_LIST__", "__DTOR_LIST__"].flatMap((list) => {
    const sym = binary.symbols.find((s) => s.name === list);
    if (!sym) return [];
    let slot = sym.addr + 8n;
    while (binary.pointerAt(slot)) slot += 8n;
    return [[sym.addr, slot + 8n]];
  });
}

// The symbols a dynamic executable may offer to the libraries' lookups: the
// C library's streams, copied into it (COPY relocations) where its code
// addresses them directly, and the C runtime's _IO_stdin_used. Any other
// definition, a function above all, would be bound by the C library in
// place of its own (malloc, say, which stdio calls by name), and run from
// there, where no root of the closure's leads.
const ELF_EXPORTS = new Set(["_IO_stdin_used"]);
function unexpectedExports(binary) {
  if (binary.format !== "elf") return [];
  const copied = new Set([...binary.relocations.values()].filter((r) => r.type === "COPY" && r.symbol?.defined)
    .map((r) => r.symbol.name));
  return binary.loader.exported.filter((s) => !ELF_EXPORTS.has(s.name) && !(copied.has(s.name) && s.type === STT_OBJECT));
}
const STT_OBJECT = 1;

// Every instruction of the program's own code that enters the kernel,
// decoded as it lies, whether any root reaches it or not: a system call of
// the program's own (mprotect, say) could change the code or the data the
// audit proved, from code run in a way the audit does not know. A dynamic
// executable's code is all the program's; elsewhere, its objects' (code
// before the start-up objects, the C library's and the program's mixed,
// is read from its roots or reached by no pointer: closure.reachable).
function kernelEntries(binary, span) {
  const own = binary.code.filter((s) => !span || (s.addr >= span.objects && s.addr < span.end));
  const out = [];
  for (const fn of own) {
    const decoder = new Decoder(64, binary.read(fn.addr, Number(binary.extentOf(fn) - fn.addr)), DecoderOptions.None);
    decoder.ip = fn.addr;
    while (decoder.canDecode) {
      const ins = decoder.decode();
      if (entersKernel(ins)) out.push({ name: fn.name, at: ins.ip });
    }
    decoder.free();
  }
  return out;
}

// Whether the bytes [from, to) that a store may write hold an address the
// C library's code refers to (libraryReferences'): its variable, not the
// program's.
const libraryVariable = (refs, place) => place && [...refs].some((a) => a >= place[0] && a < place[1]);

// The roots the loader runs while it relocates, before it protects RELRO.
const isResolver = (root) => root.kind === "IRELATIVE" || root.kind === "IFUNC symbol";

// A dynamic executable's import slots that the program could still write
// once loaded: lazy binding leaves .got.plt writable, and without RELRO the
// GOT stays so. Read-only slots keep a store the analysis places wrongly
// from redirecting an import.
function writableImportSlots(binary) {
  if (binary.format !== "elf" || isStatic(binary)) return [];
  return [...binary.relocations.keys()].filter((slot) => binary.importAt(slot) && !binary.isReadOnly(slot));
}

// The whole program read once from every root, for closure.roots and
// closure.reachable: the loader's and C runtime's roots, main (the symbol,
// which the C runtime's start-up passes to __libc_start_main, read there as
// an address it takes), and every code address that code so read takes,
// each read as a root of its own. Audited functions are not followed: their
// own rules read them. Each read: { root, what, name, calls, problems, ranges }.
const readings = new WeakMap();
export function readProgram(audit) {
  const { binary } = audit;
  if (readings.has(binary)) return readings.get(binary);
  const audited = new Map();
  for (const def of [CLOCK, ...VARIANTS]) {
    const sym = audit.symbolOf(def.name);
    if (sym) audited.set(sym.addr, def.name);
  }
  const holdsLibrary = isStatic(binary) || binary.format === "pe";
  const span = programSpan(binary, binary.code.filter((s) => audited.has(s.addr)), holdsLibrary);
  const outside = (a) => span !== null && (a < span.start || a >= span.end);
  // The C library's functions by the names a dynamic executable imports
  // them by; in MinGW, the runtime's outside the program's objects.
  const libraryAt = (a) => (binary.format === "pe" ? (outside(a) ? namesAt(binary, a).find((n) => PE_RUNTIME_FUNCTIONS.has(n)) : null)
    : isStatic(binary) ? namesAt(binary, a).find((n) => importAllowed(binary, n)) : null) ?? null;
  const options = { libraryAt, audited };
  const roots = rootsOf(binary);
  const main = binary.code.find((s) => s.name === "main");
  if (main) roots.push({ kind: "main", slot: null, target: main.addr });
  const reads = [], seen = new Set(roots.map((r) => r.target));
  // Reads one root; returns the code addresses it takes, each a root.
  const readRoot = (root) => {
    const what = `${root.kind}${root.slot ? ` at ${hex(root.slot)}` : ""}`;
    const name = root.import ? "-" : binary.nameAt(root.target) ?? hex(root.target);
    // MinGW's start-up is the runtime's own, known by its name; what it
    // runs from its tables is read like any other root.
    if (binary.format === "pe" && (root.kind === "entry" ||
        PE_RUNTIME_ROOTS.has(name) && binary.code.filter((s) => s.name === name).length === 1)) return [];
    if (root.import) { reads.push({ root, what, name, calls: [], problems: [], ranges: [] }); return []; }
    const read = readCode(binary, root.target, options);
    reads.push({ root, what, name, ...read });
    return read.taken.filter((t) => !seen.has(t.target) && !audited.has(t.target) && !libraryAt(t.target) && !outside(t.target))
      .map((t) => { seen.add(t.target); return { kind: `address taken at ${hex(t.at)}`, slot: null, target: t.target }; });
  };
  reachable(roots, readRoot);
  const result = { reads, span, libraryAt, libraryRefs: isStatic(binary) ? libraryReferences(binary, span) : { data: new Set(), code: new Set() } };
  readings.set(binary, result);
  return result;
}

export default [
  {
    id: "closure.roots",
    claim: "Every way code runs is known and read: the entry point is the C runtime's start, which goes on only by " +
      "handing main to the C library (ELF: __libc_start_main with main's address and no initialiser or finaliser; " +
      "MinGW: __tmainCRTStartup, which calls main), and main, each " +
      "initialiser, finaliser, load-time resolver, TLS callback and constructor decodes through the program's own " +
      "code, enters no kernel and calls only imports, each through its slot or a register loaded from it (and main " +
      "alone the measuring functions, directly); no code of the program's own, read or not, " +
      "enters the kernel, in a static executable the C library's code refers to none of the program's functions, " +
      "and (ELF) the dynamic array, read to its DT_NULL as the loader reads it, ends within PT_DYNAMIC's size and " +
      "names each initialiser and finaliser tag once.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      const entryNames = ENTRY_NAMES[binary.format];
      const entry = binary.loader.entry, entryName = binary.nameAt(entry);
      const defs = binary.code.filter((s) => s.name === entryName);
      const reading = readProgram(audit);
      if (!entryNames.includes(entryName) || defs.length !== 1)
        report(entryName ?? "-", entry, `the entry point ${hex(entry)} is ${entryName ?? "no symbol"}${defs.length > 1 ? `, defined ${defs.length} times` : ""}, not the C runtime's ${entryNames.join(" or ")}`);
      else {
        // Named as the runtime's start, it must also hand over as it does.
        const read = reading.reads.find((r) => r.root.kind === "entry");
        for (const p of startProblems(binary, defs[0], read)) report(entryName, p.at ?? entry, `the entry point ${p.message}`);
      }
      for (const { root, what, name, calls, problems, reached } of reading.reads) {
        if (root.import) { report("-", root.slot, `the ${what} runs ${root.import}, imported`); continue; }
        for (const p of problems) report(name, p.at, `run as ${what}: ${p.message}`);
        // main's own calls are driver.order's to follow.
        for (const r of reached)
          if (root.kind !== "main" && r.name !== CLOCK.name) report(name, r.at, `run as ${what}: runs ${r.name}, which only main may run`);
        for (const c of calls)
          if (!importAllowed(binary, c.name) || (c.name === "__libc_start_main" && root.kind !== "entry") ||
              PE_RUNTIME_ONLY.has(c.name))
            report(name, c.at, `run as ${what}: calls ${c.name}, which the program may not call from there`);
      }
      for (const p of binary.loader.dynamicProblems ?? []) report("-", p.at, p.message);
      for (const k of kernelEntries(binary, reading.span)) report(k.name, k.at, "enters the kernel itself (the program's own code)");
      for (const fn of binary.code.filter((s) => reading.span && s.addr >= reading.span.objects && s.addr < reading.span.end))
        if (reading.libraryRefs.code.has(fn.addr))
          report(fn.name, fn.addr, `the C library's code refers to ${fn.name}, a function of the program's, which runs where the library calls it`);
    },
  },
  {
    id: "closure.output",
    claim: "Only the measuring functions print to standard output: the code the closure reads (main, the start-up, " +
      "each initialiser, finaliser, resolver and callback, and what they call) calls no function that prints to " +
      "it, and prints through fprintf, fputs, fputc or fwrite only to the stream read from stderr.",
    scope: "binary",
    check(audit, report) {
      for (const { root, what, name, calls } of readProgram(audit).reads)
        if (!root.import) for (const p of outputProblems(audit.binary, calls)) report(name, p.at, `run as ${what}: ${p.message}`);
    },
  },
  {
    id: "closure.reachable",
    claim: "No code runs that the audit has not read: every byte of code is decoded from a root (the entry, main, " +
      "an initialiser, finaliser, resolver or callback, a measuring function, the clock, or code whose address " +
      "code so read takes), is a linker's stub, padding, or the C library's own in an executable that holds it, " +
      "or is code that no pointer in the data reaches.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      const reading = readProgram(audit);
      const ranges = [...reading.reads.flatMap((r) => r.ranges), ...audit.contexts.flatMap((c) => c.code.instrs.map((ins) => [ins.ip, ins.nextIP])),
        ...runtimeTables(binary)];
      for (const u of unaccounted(binary, ranges, reading.span)) {
        const name = binary.nameAt(u.pointer.target) ?? hex(u.pointer.target);
        report(name, u.pointer.target, `code at ${hex(u.from)}-${hex(u.to)} that nothing the audit reads runs, ` +
          `though ${u.pointer.section} holds its address at ${hex(u.pointer.slot)}: what runs it, and when, is not known`);
      }
    },
  },
  {
    id: "closure.stores",
    claim: "The code the closure reads stores only into its own stack frame, the program's own writable variables " +
      "(in a static executable, none that the C library's code refers to) and errno: never into an import's slot, data read-only once loaded, pointers the loader " +
      "fills, or code, nor through an address it cannot place; a load-time resolver of the program's own stores " +
      "only into its frame and calls nothing; and a dynamic executable's import slots are read-only once loaded.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      const reading = readProgram(audit);
      for (const { root, what, name, stores, followed, calls } of reading.reads) {
        if (root.import) continue;
        const resolver = isResolver(root) && !(reading.span && (root.target < reading.span.start || root.target >= reading.span.end));
        for (const st of stores)
          if (st.message) report(name, st.at, `run as ${what}: stores ${st.message}`);
          else if (libraryVariable(reading.libraryRefs.data, st.place))
            report(name, st.at, `run as ${what}: stores into the C library's variable at ${hex(st.place[0])} (${binary.nameAt(st.place[0]) ?? "-"}), which its code refers to`);
          else if (resolver && !st.frame) report(name, st.at, `run as ${what}, before the loader protects its data: stores outside its frame`);
        if (resolver)
          for (const c of [...calls, ...followed]) report(name, c.at, `run as ${what}, before the loader protects its data: calls ${c.name ?? hex(c.target)}`);
      }
      const writable = writableImportSlots(binary);
      if (writable.length)
        report("-", writable[0], `${writable.length} import slots, the first at ${hex(writable[0])}, stay writable once loaded (linked without -z relro -z now)`);
    },
  },
  {
    id: "closure.imports",
    claim: "The program imports only what its driver, its clock and the C runtime use (no threads, timers, signals, " +
      "page protection, file access or printf hooks), loads only the C and C++ runtimes by name, through the " +
      "system's loader, without search paths of its own, and (ELF) offers the libraries' lookups no symbol but the " +
      "C library's streams it copies and _IO_stdin_used.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      const { loader } = binary;
      for (const name of loader.undefined)
        if (!importAllowed(binary, name)) report("-", null, `imports ${name}, which the program has no use for`);
      const libraries = binary.format === "pe" ? PE_LIBRARIES : ELF_LIBRARIES;
      for (const lib of loader.libraries)
        if (lib.how !== "DT_NEEDED" && lib.how !== "import" || !libraries.has(binary.format === "pe" ? lib.name.toLowerCase() : lib.name))
          report("-", null, `loads ${lib.name} (${lib.how}), which is not the C or C++ runtime`);
      if (binary.format === "elf" && loader.interpreter !== null && loader.interpreter !== ELF_INTERPRETER)
        report("-", null, `is loaded by ${loader.interpreter}, not the system's loader ${ELF_INTERPRETER}`);
      for (const p of loader.searchPaths)
        report("-", null, `looks for its libraries in ${p.path} (${p.how}) before the system's directories`);
      if (binary.format === "pe") runtimeOnlyUses(binary, report);
      for (const s of unexpectedExports(binary))
        report(s.name, s.value, `defines ${s.name} in its dynamic symbol table, for the libraries to bind to in place of their own`);
    },
  },
];
