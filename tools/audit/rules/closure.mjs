// Rules on the whole program: what else runs beside the measuring
// functions. A constructor, a thread, a timer's handler, a TLS callback or a
// library of the program's own loaded before the C library could change a
// loop's registers, its code or the start reading while a line is timed;
// the other rules prove the functions as they lie in the file, and these
// prove that nothing else can touch them: every way code runs is known and
// read, and the program imports nothing that makes code run beside main or
// change code once loaded.

import { Decoder, DecoderOptions, FlowControl, InstructionInfoFactory, Mnemonic, OpAccess, Register } from "iced-x86";
import { decodeReachable } from "../context.mjs";
import { entersKernel, fallsThrough, fullRegister, isImmediate } from "../isa.mjs";

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

const hex = (a) => a.toString(16);
const namesAt = (binary, addr) => binary.symbols.filter((s) => s.addr === addr).map((s) => s.name);
const isStatic = (binary) => binary.format === "elf" && binary.loader.interpreter === null;
const importAllowed = (binary, name) => (binary.format === "pe" ? PE_IMPORTS.has(name)
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

// What a call through `slot` reaches: an import by name, nothing (a slot
// that holds zero: a weak function absent at link time, which the code
// tests for before it calls), or the program's own code at the address the
// slot holds once loaded.
function throughSlot(binary, slot) {
  const imp = binary.importAt(slot);
  if (imp) return { name: imp.name };
  const target = binary.pointerAt(slot);
  if (target === 0n) return { never: true };
  return target !== null && binary.isExecutable(target) ? { target } : null;
}

// What a call or jump through a register at instrs[k] reaches, from how the
// register was loaded on the only way into it (nothing that writes it and
// no jump landing in between): from a slot (throughSlot), or zero, as the C
// runtime's start-up calls __gmon_start__ and the transactional-memory
// hooks when they are there. Null where the load does not explain it.
function explainRegister(binary, code, k, info, landings) {
  const call = code.instrs[k];
  const reg = fullRegister(call.memoryBase === Register.None ? call.op0Register : call.memoryBase);
  if (call.memoryBase !== Register.None && call.memoryIndex !== Register.None) return null;
  for (let j = k - 1; j >= 0; j--) {
    const ins = code.instrs[j], after = code.instrs[j + 1];
    if (ins.nextIP !== after.ip || landings.has(after.ip) || !fallsThrough(ins)) return null;
    const writes = info.info(ins).usedRegisters()
      .some((u) => fullRegister(u.register) === reg && u.access !== OpAccess.Read && u.access !== OpAccess.CondRead);
    if (!writes) continue;
    if (ins.mnemonic !== Mnemonic.Mov || fullRegister(ins.op0Register) !== reg) return null;
    if (ins.memoryBase === Register.RIP) return throughSlot(binary, ins.memoryDisplacementU64);
    return isImmediate(ins.op1Kind) && ins.immediate(1) === 0n ? { never: true } : null;
  }
  return null;
}

// Whether the call at instrs[k] is never made: the straight line into it
// starts at the fall-through of a JE after a test that a slot holding zero
// once loaded is zero (cmpq $0, slot(%rip)), as the C runtime's finaliser
// skips __cxa_finalize in a static executable, where it is absent.
function guardedByZero(binary, code, k, landings) {
  let j = k - 1;
  while (j >= 0 && code.instrs[j].nextIP === code.instrs[j + 1].ip && !landings.has(code.instrs[j + 1].ip) &&
         code.instrs[j].flowControl === FlowControl.Next) j--;
  if (j < 0 || code.instrs[j].mnemonic !== Mnemonic.Je) return false;
  for (let g = j - 1; g >= 0 && j - g <= 3; g--) {
    const ins = code.instrs[g];
    if (ins.mnemonic === Mnemonic.Cmp && ins.memoryBase === Register.RIP && isImmediate(ins.op1Kind) && ins.immediate(1) === 0n)
      return binary.pointerAt(ins.memoryDisplacementU64) === 0n;
    if (ins.mnemonic !== Mnemonic.Mov) return false;
  }
  return false;
}

// Reads the code a root runs: every function it reaches by direct calls
// and jumps into the program's own code, decoded by reachability. Returns
// what it calls outside the program (imports by name) and what the audit
// cannot follow or accept, each { at, message }.
function readRoot(binary, root) {
  const problems = [], calls = [];
  const work = [root.target], done = new Set();
  const info = new InstructionInfoFactory();
  const cLibrary = isStatic(binary);
  while (work.length) {
    const addr = work.pop();
    if (done.has(addr)) continue;
    done.add(addr);
    if (!binary.isExecutable(addr)) { problems.push({ at: addr, message: "leads to an address outside the code" }); continue; }
    const sym = binary.code.find((s) => s.addr === addr) ?? { addr, size: null, name: null };
    const code = decodeReachable(binary, sym, [], null);
    const landings = new Set(code.instrs.map((ins) => ins.nearBranchTarget).filter((t) => t !== 0n));
    code.instrs.forEach((ins, k) => {
      if (ins.isInvalid) problems.push({ at: ins.ip, message: "bytes that do not decode" });
      if (entersKernel(ins)) problems.push({ at: ins.ip, message: "enters the kernel itself" });
      const t = code.targets.get(ins.ip);
      if (!t) return;
      const reach = t.kind === "import" ? { name: t.name } : t.kind === "program" ? { target: ins.nearBranchTarget }
        : t.kind === "slot" ? throughSlot(binary, t.slot) : t.kind === "register" ? explainRegister(binary, code, k, info, landings)
        : null;
      if (!reach && guardedByZero(binary, code, k, landings)) return;
      if (!reach) problems.push({ at: ins.ip, message: `reaches ${t.kind === "register" ? "an address in a register" : t.name ?? t.kind}, which no import's slot explains` });
      else if (reach.name) calls.push({ at: ins.ip, name: reach.name });
      else if (reach.target === undefined) return;
      // A static executable holds the C library: its functions, known by
      // name, are what a dynamic one imports.
      else if (cLibrary && namesAt(binary, reach.target).some((n) => importAllowed(binary, n)))
        calls.push({ at: ins.ip, name: namesAt(binary, reach.target).find((n) => importAllowed(binary, n)) });
      else work.push(reach.target);
    });
    for (const e of code.exits) if (e.how === "falls") work.push(e.to);
  }
  info.free();
  return { calls, problems };
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

export default [
  {
    id: "closure.roots",
    claim: "Every way code runs besides main is known and read: the entry point is the C runtime's start, and each " +
      "initialiser, finaliser, load-time resolver, TLS callback and constructor decodes through the program's own " +
      "code, enters no kernel and calls only imports, each through its slot or a register loaded from it.",
    scope: "binary",
    check(audit, report) {
      const { binary } = audit;
      const entryNames = ENTRY_NAMES[binary.format];
      const entry = binary.loader.entry, entryName = binary.nameAt(entry);
      const defs = binary.code.filter((s) => s.name === entryName);
      if (!entryNames.includes(entryName) || defs.length !== 1)
        report(entryName ?? "-", entry, `the entry point ${hex(entry)} is ${entryName ?? "no symbol"}${defs.length > 1 ? `, defined ${defs.length} times` : ""}, not the C runtime's ${entryNames.join(" or ")}`);
      for (const root of rootsOf(binary)) {
        const what = `${root.kind}${root.slot ? ` at ${hex(root.slot)}` : ""}`;
        if (root.import) { report("-", root.slot, `the ${what} runs ${root.import}, imported`); continue; }
        // MinGW's start-up is the runtime's own, known by its name above;
        // what it runs from its tables is read like any other root.
        const name = binary.nameAt(root.target) ?? hex(root.target);
        if (binary.format === "pe" && (root.kind === "entry" ||
            PE_RUNTIME_ROOTS.has(name) && binary.code.filter((s) => s.name === name).length === 1)) continue;
        const { calls, problems } = readRoot(binary, root);
        for (const p of problems) report(name, p.at, `run as ${what}: ${p.message}`);
        for (const c of calls)
          if (!importAllowed(binary, c.name) || (c.name === "__libc_start_main" && root.kind !== "entry") ||
              PE_RUNTIME_ONLY.has(c.name))
            report(name, c.at, `run as ${what}: calls ${c.name}, which the program may not call from there`);
      }
    },
  },
  {
    id: "closure.imports",
    claim: "The program imports only what its driver, its clock and the C runtime use (no threads, timers, signals, " +
      "page protection, file access or printf hooks), loads only the C and C++ runtimes by name, through the " +
      "system's loader, without search paths of its own.",
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
    },
  },
];
