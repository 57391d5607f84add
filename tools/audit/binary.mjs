// What the audit reads from an executable (ELF64 or PE32+) besides the
// machine code itself: sections and segments with their permissions, the
// bytes at any address, the symbol table, the slots the loader fills (with
// the imported name each one receives), where the loader patches memory and
// the compilers that name themselves in it.

import { execFileSync } from "node:child_process";

// ELF constants.
const SHT_SYMTAB = 2, SHT_RELA = 4, SHT_NOBITS = 8, STB_LOCAL = 0;
const SHF_WRITE = 1n, SHF_EXECINSTR = 4n;
const PT_LOAD = 1, PT_GNU_RELRO = 0x6474e552, PF_X = 1, PF_W = 2;
// The program header of the dynamic section, and the entries of that
// section that locate the relocation tables and the symbols they name.
const DYNAMIC_SEGMENT = 2;
const DT = { PLTRELSZ: 2, STRTAB: 5, SYMTAB: 6, RELA: 7, RELASZ: 8, RELAENT: 9, SYMENT: 11, PLTREL: 20,
             JMPREL: 23, RELRSZ: 35, RELR: 36 };
// Relocation types by number: name and the bytes each writes (COPY: its
// symbol's size; NONE: nothing; a type not listed: 8, the most any writes).
const R_X86_64 = { 0: ["NONE", 0], 1: ["64", 8], 2: ["PC32", 4], 5: ["COPY", null], 6: ["GLOB_DAT", 8],
                   7: ["JUMP_SLOT", 8], 8: ["RELATIVE", 8], 10: ["32", 4], 11: ["32S", 4], 16: ["DTPMOD64", 8],
                   17: ["DTPOFF64", 8], 18: ["TPOFF64", 8], 37: ["IRELATIVE", 8] };
// x86-64 pages: what the loader maps and protects, whole.
const PAGE = 4096n;
const pageDown = (a) => a & ~(PAGE - 1n), pageUp = (a) => pageDown(a + PAGE - 1n);
// PE constants.
const SCN_EXECUTE = 0x20000000, SCN_WRITE = 0x80000000;
// The bytes each type of base relocation patches: HIGH, LOW, HIGHLOW,
// HIGHADJ, DIR64.
const BASE_RELOCATION_SIZE = { 1: 2, 2: 2, 3: 4, 4: 2, 10: 8 };

function readElf(buf) {
  const shoff = Number(buf.readBigUInt64LE(0x28));
  const shentsize = buf.readUInt16LE(0x3a), shnum = buf.readUInt16LE(0x3c), shstrndx = buf.readUInt16LE(0x3e);
  const header = (k) => {
    const h = shoff + k * shentsize;
    return { nameOff: buf.readUInt32LE(h), type: buf.readUInt32LE(h + 4), flags: buf.readBigUInt64LE(h + 8),
             addr: buf.readBigUInt64LE(h + 0x10), offset: Number(buf.readBigUInt64LE(h + 0x18)),
             size: Number(buf.readBigUInt64LE(h + 0x20)), link: buf.readUInt32LE(h + 0x28),
             entsize: Number(buf.readBigUInt64LE(h + 0x38)) };
  };
  const headers = Array.from({ length: shnum }, (_, k) => header(k));
  const cString = (off) => buf.toString("latin1", off, buf.indexOf(0, off));
  const names = headers[shstrndx].offset;
  const sections = headers
    .map((h) => ({ name: cString(names + h.nameOff), addr: h.addr, offset: h.offset, size: h.size,
                   bytes: h.type !== SHT_NOBITS, writable: (h.flags & SHF_WRITE) !== 0n,
                   executable: (h.flags & SHF_EXECINSTR) !== 0n }))
    .filter((s) => s.addr !== 0n);
  // Each object's compiler names itself in .comment, which is not loaded.
  const comment = headers.find((h) => cString(names + h.nameOff) === ".comment" && h.type !== SHT_NOBITS);
  const identifications = comment ? nulSeparated(buf.subarray(comment.offset, comment.offset + comment.size)) : [];

  const { segments, relro, dynamic } = elfSegments(buf);
  // A static executable has no dynamic section: its C runtime applies the
  // IRELATIVE table from __rela_iplt_start to __rela_iplt_end, addresses
  // its code holds; the relocation sections are read too, in case the
  // symbols are not what the code holds.
  const iplt = () => {
    const [from, to] = ["__rela_iplt_start", "__rela_iplt_end"].map((n) => symbolValue(buf, headers, cString, n));
    const offset = from === null || to === null ? null : fileOffsetIn(segments, from);
    return offset === null || to <= from ? [] : [{ offset, size: Number(to - from), entsize: 24 }];
  };
  const tables = dynamic ? elfDynamicTables(buf, segments, dynamic)
    : { rela: [...iplt(), ...headers.filter((h) => h.type === SHT_RELA && h.addr !== 0n).map((h) => ({ offset: h.offset, size: h.size, entsize: 24 }))],
        relr: null, symbol: () => null, symbols: [] };
  return { sections, segments, relro, relocations: elfRelocations(buf, segments, tables), imports: new Map(),
           identifications, symbolTable: headers.some((h) => h.type === SHT_SYMTAB), dynamicSymbols: tables.symbols };
}

// The value of the symbol `name` in the symbol table (.symtab), or null.
function symbolValue(buf, headers, cString, name) {
  const symtab = headers.find((h) => h.type === SHT_SYMTAB);
  if (!symtab || !headers[symtab.link]) return null;
  const strings = headers[symtab.link].offset;
  for (let s = symtab.offset + 24; s + 24 <= symtab.offset + symtab.size; s += 24)
    if (cString(strings + buf.readUInt32LE(s)) === name) return buf.readBigUInt64LE(s + 8);
  return null;
}

// The loader's view of an ELF executable, from its program headers alone
// (the loader never reads section headers): each loadable segment with the
// permissions its pages get, the pages made read-only once relocated
// (PT_GNU_RELRO, whole pages only: glibc rounds both ends down), and the
// dynamic section.
function elfSegments(buf) {
  const phoff = Number(buf.readBigUInt64LE(0x20));
  const phentsize = buf.readUInt16LE(0x36), phnum = buf.readUInt16LE(0x38);
  const segments = [], relro = [];
  let dynamic = null;
  for (let k = 0; k < phnum; k++) {
    const p = phoff + k * phentsize;
    const type = buf.readUInt32LE(p), flags = buf.readUInt32LE(p + 4), addr = buf.readBigUInt64LE(p + 0x10);
    const fileSize = Number(buf.readBigUInt64LE(p + 0x20)), size = Number(buf.readBigUInt64LE(p + 0x28));
    if (type === PT_LOAD)
      segments.push({ addr, size, offset: Number(buf.readBigUInt64LE(p + 8)), fileSize: Math.min(fileSize, size),
                      writable: (flags & PF_W) !== 0, executable: (flags & PF_X) !== 0 });
    else if (type === PT_GNU_RELRO) relro.push({ from: pageDown(addr), to: pageDown(addr + BigInt(size)) });
    else if (type === DYNAMIC_SEGMENT) dynamic = { addr, size: fileSize };
  }
  return { segments, relro, dynamic };
}

// Where the file holds the byte mapped at `addr`: null where no segment maps
// file contents there.
function fileOffsetIn(segments, addr) {
  const s = segments.find((x) => addr >= x.addr && addr < x.addr + BigInt(x.fileSize));
  return s ? s.offset + Number(addr - s.addr) : null;
}

// The relocation tables the dynamic section names, as glibc's loader reads
// them at their addresses: DT_RELA, DT_JMPREL where DT_PLTREL says RELA
// (x86-64's loader applies no REL table) and DT_RELR; and the dynamic
// symbol each RELA entry names.
function elfDynamicTables(buf, segments, dynamic) {
  const tags = new Map();
  const start = fileOffsetIn(segments, dynamic.addr);
  for (let off = start; off !== null && off + 16 <= start + dynamic.size; off += 16) {
    const tag = Number(buf.readBigInt64LE(off));
    if (tag === 0) break;
    if (!tags.has(tag)) tags.set(tag, buf.readBigUInt64LE(off + 8));
  }
  const table = (addrTag, sizeTag, entsize) => {
    const offset = tags.has(addrTag) ? fileOffsetIn(segments, tags.get(addrTag)) : null;
    return offset === null ? null : { offset, size: Number(tags.get(sizeTag) ?? 0n), entsize };
  };
  const rela = [table(DT.RELA, DT.RELASZ, Number(tags.get(DT.RELAENT) ?? 24n))];
  if ((tags.get(DT.PLTREL) ?? BigInt(DT.RELA)) === BigInt(DT.RELA)) rela.push(table(DT.JMPREL, DT.PLTRELSZ, 24));
  const symtab = tags.has(DT.SYMTAB) ? fileOffsetIn(segments, tags.get(DT.SYMTAB)) : null;
  const strtab = tags.has(DT.STRTAB) ? fileOffsetIn(segments, tags.get(DT.STRTAB)) : null;
  const symbol = (index) => {
    if (symtab === null || strtab === null) return { name: "?", defined: false, value: 0n, size: null };
    const s = symtab + index * Number(tags.get(DT.SYMENT) ?? 24n), name = strtab + buf.readUInt32LE(s);
    return { name: buf.toString("latin1", name, buf.indexOf(0, name)), defined: buf.readUInt16LE(s + 6) !== 0,
             value: buf.readBigUInt64LE(s + 8), size: Number(buf.readBigUInt64LE(s + 16)),
             bind: buf[s + 4] >> 4, type: buf[s + 4] & 15 };
  };
  const count = dynamicSymbolCount(buf, (tag) => (tags.has(tag) ? fileOffsetIn(segments, tags.get(tag)) : null));
  const symbols = symtab === null ? [] : Array.from({ length: count }, (_, k) => symbol(k)).slice(1);
  return { rela: rela.filter(Boolean), relr: table(DT.RELR, DT.RELRSZ, 8), symbol, symbols };
}

// How many entries the dynamic symbol table holds, as the loader's lookups
// see it: the hash table's chain count (DT_HASH), or one past the last
// symbol the GNU hash table's chains reach (DT_GNU_HASH). `at(tag)` is the
// file offset of the table a tag names.
const DT_HASH = 4, DT_GNU_HASH = 0x6ffffef5;
function dynamicSymbolCount(buf, at) {
  let count = 0;
  if (at(DT_HASH) !== null) count = buf.readUInt32LE(at(DT_HASH) + 4);
  const gnu = at(DT_GNU_HASH);
  if (gnu === null) return count;
  const buckets = buf.readUInt32LE(gnu), offset = buf.readUInt32LE(gnu + 4), bloom = buf.readUInt32LE(gnu + 8);
  const bucketAt = gnu + 16 + 8 * bloom, chainAt = bucketAt + 4 * buckets;
  let last = 0;
  for (let k = 0; k < buckets; k++) last = Math.max(last, buf.readUInt32LE(bucketAt + 4 * k));
  if (last >= offset) while (!(buf.readUInt32LE(chainAt + 4 * (last - offset)) & 1)) last++;
  return Math.max(count, last >= offset ? last + 1 : offset);
}

// Every dynamic relocation, by the address it writes: { type, symbol,
// addend, size }, size the bytes it writes. A RELR entry is a relative
// relocation whose addend is the word already at its address. Two at one
// address are recorded as one, of both types, that no rule takes for a
// plain pointer, unless they are the same.
function elfRelocations(buf, segments, { rela, relr, symbol }) {
  const relocations = new Map();
  const add = (where, r) => {
    const old = relocations.get(where);
    // The same entry read twice (a static executable's table by its symbols and by its section).
    if (old && old.type === r.type && old.addend === r.addend) return;
    relocations.set(where, old ? { type: `${old.type}+${r.type}`, symbol: null, addend: null,
                                   size: Math.max(old.size, r.size) } : r);
  };
  for (const t of rela)
    for (let off = t.offset; off + 24 <= t.offset + t.size; off += t.entsize || 24) {
      const info = buf.readBigUInt64LE(off + 8), number = Number(info & 0xffffffffn), symIndex = Number(info >> 32n);
      const [type, size] = R_X86_64[number] ?? [`type ${number}`, 8];
      const sym = symIndex !== 0 ? symbol(symIndex) : null;
      add(buf.readBigUInt64LE(off), { type, symbol: sym, addend: buf.readBigUInt64LE(off + 16), size: size ?? sym?.size ?? 8 });
    }
  // DT_RELR: an even entry is an address; an odd one a bitmap of the 63
  // words that follow the last address covered.
  const relative = (where) => {
    const off = fileOffsetIn(segments, where);
    add(where, { type: "RELR", symbol: null, addend: off === null ? 0n : buf.readBigUInt64LE(off), size: 8 });
  };
  let next = 0n;
  for (let off = relr?.offset; relr && off + 8 <= relr.offset + relr.size; off += 8) {
    const entry = buf.readBigUInt64LE(off);
    if ((entry & 1n) === 0n) { relative(entry); next = entry + 8n; continue; }
    for (let bit = 1n; bit < 64n; bit++) if ((entry >> bit) & 1n) relative(next + (bit - 1n) * 8n);
    next += 63n * 8n;
  }
  return relocations;
}

// The NUL-terminated texts in `bytes`, empty ones left out.
function nulSeparated(bytes) {
  return bytes.toString("latin1").split("\0").filter(Boolean);
}

function readPe(buf) {
  const pe = buf.readUInt32LE(0x3c);
  if (buf.toString("latin1", pe, pe + 4) !== "PE\0\0") throw new Error("not a PE image");
  const count = buf.readUInt16LE(pe + 6);
  // The COFF symbol table, which strip removes, and its count of entries.
  const symbolTable = buf.readUInt32LE(pe + 12) !== 0 && buf.readUInt32LE(pe + 16) !== 0;
  const optSize = buf.readUInt16LE(pe + 20);
  const opt = pe + 24;
  if (buf.readUInt16LE(opt) !== 0x20b) throw new Error("not a PE32+ (64-bit) image");
  const imageBase = buf.readBigUInt64LE(opt + 24);
  const directory = (k) => ({ rva: buf.readUInt32LE(opt + 112 + 8 * k), size: buf.readUInt32LE(opt + 112 + 8 * k + 4) });
  const sections = [];
  for (let k = 0; k < count; k++) {
    const h = opt + optSize + k * 40;
    const flags = buf.readUInt32LE(h + 36);
    sections.push({ name: buf.toString("latin1", h, h + 8).replace(/\0+$/, ""),
                    addr: imageBase + BigInt(buf.readUInt32LE(h + 12)), offset: buf.readUInt32LE(h + 20),
                    size: Math.min(buf.readUInt32LE(h + 8) || buf.readUInt32LE(h + 16), buf.readUInt32LE(h + 16)),
                    bytes: buf.readUInt32LE(h + 16) > 0, memorySize: buf.readUInt32LE(h + 8) || buf.readUInt32LE(h + 16),
                    writable: (flags & SCN_WRITE) !== 0, executable: (flags & SCN_EXECUTE) !== 0 });
  }
  const fileOffset = (rva) => {
    const s = sections.find((x) => imageBase + BigInt(rva) >= x.addr && imageBase + BigInt(rva) < x.addr + BigInt(x.size));
    return s ? s.offset + Number(imageBase + BigInt(rva) - s.addr) : null;
  };
  const cString = (off) => buf.toString("latin1", off, buf.indexOf(0, off));

  // Import directory: each DLL's import address table, slot by slot, with
  // the name the loader puts there.
  const imports = new Map();
  const dir = directory(1);
  for (let d = fileOffset(dir.rva); d !== null && dir.size && buf.readUInt32LE(d + 12) !== 0; d += 20) {
    const dll = cString(fileOffset(buf.readUInt32LE(d + 12)));
    const lookup = buf.readUInt32LE(d) || buf.readUInt32LE(d + 16), iat = buf.readUInt32LE(d + 16);
    for (let k = 0; ; k++) {
      const entry = buf.readBigUInt64LE(fileOffset(lookup) + 8 * k);
      if (entry === 0n) break;
      const name = entry >> 63n ? `#${entry & 0xffffn}` : cString(fileOffset(Number(entry & 0x7fffffffn)) + 2);
      imports.set(imageBase + BigInt(iat + 8 * k), { name, dll });
    }
  }
  // Base relocations: the places the loader patches when it moves the image.
  const relocations = new Map();
  const rel = directory(5);
  for (let off = fileOffset(rel.rva), end = off + rel.size; off !== null && rel.size && off < end;) {
    const page = buf.readUInt32LE(off), blockSize = buf.readUInt32LE(off + 4);
    if (blockSize < 8) break;
    for (let e = off + 8; e < off + blockSize; e += 2) {
      const entry = buf.readUInt16LE(e);
      if (entry >> 12 === 0) continue;  // padding
      relocations.set(imageBase + BigInt(page + (entry & 0xfff)),
                      { type: `base ${entry >> 12}`, symbol: null, addend: null, size: BASE_RELOCATION_SIZE[entry >> 12] ?? 8 });
    }
    off += blockSize;
  }
  // PE has no program headers: each section is mapped as its flags say, its
  // raw data first and zeros up to its virtual size.
  const segments = sections.map((s) => ({ addr: s.addr, size: s.memorySize, offset: s.offset, fileSize: s.size,
                                          writable: s.writable, executable: s.executable, name: s.name }));
  // GCC for Windows names itself in each object's .rdata$zzz, which the
  // linker merges into .rdata among the program's own strings.
  const identifications = sections
    .filter((s) => s.bytes && (s.name === ".rdata" || s.name === ".comment"))
    .flatMap((s) => nulSeparated(buf.subarray(s.offset, s.offset + s.size)))
    .filter((text) => /^GCC: \(|\bclang version \d/.test(text));
  return { sections: sections.filter((s) => s.bytes), segments, relro: [], relocations, imports, identifications,
           symbolTable };
}

// What the loader runs and loads besides main, as the executable's headers
// give it (the closure rules read it): the entry point, the
// initialisers and finalisers (each with the slot that holds it), the
// resolvers of functions resolved at load time, the libraries it loads
// and where it looks for them. Each runnable root is { kind, slot, target }
// with `target` an address, or { kind, slot, import } where the loader
// fills the slot with an imported function.
const PT_DYNAMIC = 2, PT_INTERP = 3;
const SHT_INIT_ARRAY = 14, SHT_FINI_ARRAY = 15, SHT_PREINIT_ARRAY = 16;
const DT_NEEDED = 1, DT_STRTAB = 5, DT_INIT = 12, DT_FINI = 13, DT_RPATH = 15, DT_RUNPATH = 29;
// Entries that make the loader load more than DT_NEEDED names: auxiliary and
// filter libraries, and auditing libraries.
const DT_LOADS = { 0x7ffffffd: "DT_AUXILIARY", 0x7fffffff: "DT_FILTER", 0x6ffffefc: "DT_AUDIT", 0x6ffffefb: "DT_DEPAUDIT" };
// Each array of code pointers: its address tag, its size tag, its section type.
const DT_ARRAYS = [["preinit_array", 32, 33, SHT_PREINIT_ARRAY], ["init_array", 25, 27, SHT_INIT_ARRAY],
                   ["fini_array", 26, 28, SHT_FINI_ARRAY]];

// The dynamic array as glibc's loader reads it: from PT_DYNAMIC's address
// up to the first DT_NULL, whatever PT_DYNAMIC's size says, so entries
// past that size run all the same (the last DT_INIT, for one, is the one
// called). Such entries, and a second entry of a tag that names code to
// run, go to view.dynamicProblems for closure.roots. Each tag's values.
const DT_RUNS = new Map([[12, "DT_INIT"], [13, "DT_FINI"], [25, "DT_INIT_ARRAY"], [26, "DT_FINI_ARRAY"],
  [27, "DT_INIT_ARRAYSZ"], [28, "DT_FINI_ARRAYSZ"], [32, "DT_PREINIT_ARRAY"], [33, "DT_PREINIT_ARRAYSZ"]]);
function elfDynamicArray(buf, headers, fileOffset, view) {
  const dynamic = new Map();
  view.dynamicProblems = [];
  const dyn = headers.find((h) => h.type === PT_DYNAMIC);
  if (!dyn) return dynamic;
  const start = fileOffset(dyn.vaddr) ?? dyn.offset;
  const load = headers.find((h) => h.type === PT_LOAD && start >= h.offset && start < h.offset + h.filesz);
  const limit = load ? load.offset + load.filesz : buf.length;
  for (let off = start; off + 16 <= limit; off += 16) {
    const tag = Number(buf.readBigInt64LE(off)), value = buf.readBigUInt64LE(off + 8);
    if (tag === 0) break;
    const at = dyn.vaddr + BigInt(off - start);
    if (off + 16 > start + dyn.filesz)
      view.dynamicProblems.push({ at, message: `the dynamic array's entry ${tag} at ${at.toString(16)} lies past PT_DYNAMIC's size, where the loader still reads it` });
    if (DT_RUNS.has(tag) && dynamic.has(tag))
      view.dynamicProblems.push({ at, message: `the dynamic array names ${DT_RUNS.get(tag)} again at ${at.toString(16)}` });
    if (!dynamic.has(tag)) dynamic.set(tag, []);
    dynamic.get(tag).push(value);
  }
  return dynamic;
}

function elfLoaderView(buf, relocations, dynamicSymbols) {
  const phoff = Number(buf.readBigUInt64LE(0x20)), phentsize = buf.readUInt16LE(0x36), phnum = buf.readUInt16LE(0x38);
  const headers = Array.from({ length: phnum }, (_, k) => {
    const p = phoff + k * phentsize;
    return { type: buf.readUInt32LE(p), offset: Number(buf.readBigUInt64LE(p + 8)), vaddr: buf.readBigUInt64LE(p + 0x10),
             filesz: Number(buf.readBigUInt64LE(p + 0x20)) };
  });
  const fileOffset = (addr) => {
    const p = headers.find((h) => h.type === PT_LOAD && addr >= h.vaddr && addr < h.vaddr + BigInt(h.filesz));
    return p ? p.offset + Number(addr - p.vaddr) : null;
  };
  const cString = (off) => buf.toString("latin1", off, buf.indexOf(0, off));
  const interp = headers.find((h) => h.type === PT_INTERP);
  const view = { entry: buf.readBigUInt64LE(0x18), interpreter: interp ? cString(interp.offset) : null,
                 libraries: [], searchPaths: [], roots: [], undefined: [] };

  const dynamic = elfDynamicArray(buf, headers, fileOffset, view);
  const strtab = dynamic.has(DT_STRTAB) ? fileOffset(dynamic.get(DT_STRTAB)[0]) : null;
  const dynString = (value) => (strtab === null ? "?" : cString(strtab + Number(value)));
  for (const v of dynamic.get(DT_NEEDED) ?? []) view.libraries.push({ name: dynString(v), how: "DT_NEEDED" });
  for (const [tag, how] of Object.entries(DT_LOADS))
    for (const v of dynamic.get(Number(tag)) ?? []) view.libraries.push({ name: dynString(v), how });
  for (const [tag, how] of [[DT_RPATH, "DT_RPATH"], [DT_RUNPATH, "DT_RUNPATH"]])
    for (const v of dynamic.get(tag) ?? []) view.searchPaths.push({ path: dynString(v), how });

  // The symbols the loader binds and the symbols the executable offers to
  // every library's lookups, from the dynamic section as the loader reads it.
  const global = dynamicSymbols.filter((s) => s.name && s.bind !== STB_LOCAL);
  view.undefined = global.filter((s) => !s.defined).map((s) => s.name.replace(/@.*/, ""));
  view.exported = global.filter((s) => s.defined);
  const slotRoot = (kind, slot) => {
    const r = relocations.get(slot);
    if (r?.type === "RELATIVE" || r?.type === "RELR") return { kind, slot, target: r.addend };
    if (r?.symbol && !r.symbol.defined) return { kind, slot, import: r.symbol.name.replace(/@.*/, "") };
    if (r) return { kind, slot, target: r.symbol?.defined ? r.symbol.value : 0n };
    const off = fileOffset(slot);
    return { kind, slot, target: off === null ? 0n : buf.readBigUInt64LE(off) };
  };
  view.roots.push({ kind: "entry", slot: null, target: view.entry });
  for (const [tag, kind] of [[DT_INIT, "DT_INIT"], [DT_FINI, "DT_FINI"]])
    for (const v of dynamic.get(tag) ?? []) view.roots.push({ kind, slot: null, target: v });
  // The arrays as the dynamic section gives them and, for a static
  // executable that has none, as their sections do.
  const slots = new Set();
  const addArray = (kind, addr, size) => {
    for (let slot = addr; slot < addr + BigInt(size); slot += 8n)
      if (!slots.has(slot)) { slots.add(slot); view.roots.push(slotRoot(kind, slot)); }
  };
  for (const [kind, tagAddr, tagSize] of DT_ARRAYS)
    (dynamic.get(tagAddr) ?? []).forEach((a, k) => addArray(kind, a, Number(dynamic.get(tagSize)?.[k] ?? 0n)));
  for (const s of elfSectionHeaders(buf)) {
    const array = DT_ARRAYS.find((d) => d[3] === s.type);
    if (array) addArray(array[0], s.addr, s.size);
  }
  // Two relocations at one slot keep no addend: a root that leads nowhere.
  for (const [slot, r] of relocations)
    if (r.type.split("+").includes("IRELATIVE")) view.roots.push({ kind: "IRELATIVE", slot, target: r.addend ?? 0n });
  return view;
}

// The section headers, whose arrays of initialisers and finalisers are read
// beside the dynamic section's (a static executable has none).
function elfSectionHeaders(buf) {
  const shoff = Number(buf.readBigUInt64LE(0x28)), shentsize = buf.readUInt16LE(0x3a), shnum = buf.readUInt16LE(0x3c);
  return Array.from({ length: shnum }, (_, k) => {
    const h = shoff + k * shentsize;
    return { type: buf.readUInt32LE(h + 4), addr: buf.readBigUInt64LE(h + 0x10), offset: Number(buf.readBigUInt64LE(h + 0x18)),
             size: Number(buf.readBigUInt64LE(h + 0x20)), link: buf.readUInt32LE(h + 0x28) };
  });
}

// The same for a PE image: its entry point, the TLS directory's callbacks,
// every code pointer in .CRT (the C runtime's tables of initialisers and
// terminators, __xi_a to __xi_z, __xc_a to __xc_z, and the TLS callbacks
// __xl_a to __xl_z), and the DLLs it loads, delay-loaded ones included.
function peLoaderView(buf, imports) {
  const pe = buf.readUInt32LE(0x3c), count = buf.readUInt16LE(pe + 6), optSize = buf.readUInt16LE(pe + 20);
  const opt = pe + 24, imageBase = buf.readBigUInt64LE(opt + 24);
  const directory = (k) => ({ rva: buf.readUInt32LE(opt + 112 + 8 * k), size: buf.readUInt32LE(opt + 112 + 8 * k + 4) });
  const sections = Array.from({ length: count }, (_, k) => {
    const h = opt + optSize + k * 40;
    return { name: buf.toString("latin1", h, h + 8).replace(/\0+$/, ""), rva: buf.readUInt32LE(h + 12),
             size: buf.readUInt32LE(h + 16), offset: buf.readUInt32LE(h + 20),
             executable: (buf.readUInt32LE(h + 36) & SCN_EXECUTE) !== 0 };
  });
  const fileOffset = (rva) => {
    const s = sections.find((x) => rva >= x.rva && rva < x.rva + x.size);
    return s ? s.offset + rva - s.rva : null;
  };
  const isCode = (va) => sections.some((s) => s.executable && va >= imageBase + BigInt(s.rva) && va < imageBase + BigInt(s.rva + s.size));
  const cString = (off) => buf.toString("latin1", off, buf.indexOf(0, off));
  const view = { entry: imageBase + BigInt(buf.readUInt32LE(opt + 16)), interpreter: null, libraries: [], searchPaths: [],
                 roots: [], undefined: [...imports.values()].map((i) => i.name), importSlots: imports };
  view.roots.push({ kind: "entry", slot: null, target: view.entry });
  // Import descriptors are 20 bytes, delay-load descriptors 32; both end at a zero name.
  for (const [k, size, nameAt, how] of [[1, 20, 12, "import"], [13, 32, 4, "delay-load import"]]) {
    const dir = directory(k);
    for (let d = dir.size ? fileOffset(dir.rva) : null; d !== null && buf.readUInt32LE(d + nameAt) !== 0; d += size)
      view.libraries.push({ name: cString(fileOffset(buf.readUInt32LE(d + nameAt))), how });
  }
  const pointer = (va) => {
    const off = fileOffset(Number(va - imageBase));
    return off === null ? 0n : buf.readBigUInt64LE(off);
  };
  const tls = directory(9);
  if (tls.size)
    for (let slot = buf.readBigUInt64LE(fileOffset(tls.rva) + 24); slot && pointer(slot); slot += 8n)
      view.roots.push({ kind: "TLS callback", slot, target: pointer(slot) });
  for (const s of sections.filter((x) => x.name === ".CRT"))
    for (let rva = s.rva; rva + 8 <= s.rva + s.size; rva += 8) {
      const slot = imageBase + BigInt(rva), target = pointer(slot);
      if (isCode(target) && !view.roots.some((r) => r.slot === slot)) view.roots.push({ kind: ".CRT", slot, target });
    }
  return view;
}

// Text symbols as nm lists them, with address, size where the format
// records one (ELF), type letter and name.
function readSymbols(nm, path) {
  const out = execFileSync(nm, ["-S", "--defined-only", path],
                           { encoding: "utf8", maxBuffer: 64 << 20, stdio: ["ignore", "pipe", "pipe"] });
  const all = [];
  for (const line of out.split("\n")) {
    const f = line.trim().split(/\s+/);
    let addr, size = null, type, name;
    if (f.length === 4) [addr, size, type, name] = f;
    else if (f.length === 3) [addr, type, name] = f;
    else continue;
    all.push({ addr: BigInt("0x" + addr), size: size === null ? null : Number(BigInt("0x" + size)), type, name });
  }
  return all;
}

// The image as the program sees it once loaded: the segments' bytes, zeros
// past their file contents; the places the loader writes (every dynamic or
// base relocation, every import slot); and the pages that are read-only
// while the program runs.
function loadedImage(buf, { segments, relro, relocations, imports }) {
  const segmentOf = (addr) => segments.find((s) => addr >= s.addr && addr < s.addr + BigInt(s.size));
  const fileWord = (addr) => {
    const s = segmentOf(addr), at = s ? Number(addr - s.addr) : 0;
    return s && at + 8 <= s.fileSize ? buf.readBigUInt64LE(s.offset + at) : null;
  };
  // Each place the loader writes: { addr, size, type, value }, `value` the
  // address a relative relocation points at, in the image's own addresses
  // (where the audit places everything: the loader moves them all alike),
  // else null: a resolver's result, a symbol's address, an import.
  const writes = [...relocations].map(([addr, r]) => {
    const value = r.type === "RELATIVE" || r.type === "RELR" ? r.addend : r.type === "base 10" ? fileWord(addr) : null;
    return { addr, size: r.size, type: r.type, value };
  });
  for (const slot of imports.keys()) writes.push({ addr: slot, size: 8, type: "import", value: null });
  const writesIn = (addr, size) => writes.filter((w) => w.addr < addr + BigInt(size) && addr < w.addr + BigInt(w.size));

  const loaded = (addr, size) => {
    const s = segmentOf(addr);
    if (!s || addr + BigInt(size) > s.addr + BigInt(s.size)) return null;
    const at = Number(addr - s.addr);
    const bytes = Array.from({ length: size }, (_, k) => (at + k < s.fileSize ? buf[s.offset + at + k] ?? null : 0));
    for (const w of writesIn(addr, size))
      for (let k = 0; k < w.size; k++) {
        const j = Number(w.addr - addr) + k;
        if (j >= 0 && j < size) bytes[j] = w.value === null ? null : Number((w.value >> BigInt(8 * k)) & 0xffn);
      }
    return bytes;
  };
  return {
    writesIn, loaded,
    // Writable: any page a writable segment maps, unless the loader made it
    // read-only once it had relocated (RELRO).
    isReadOnly: (addr) => segmentOf(addr) !== undefined &&
      (relro.some((r) => addr >= r.from && addr < r.to) ||
       !segments.some((s) => s.writable && addr >= pageDown(s.addr) && addr < pageUp(s.addr + BigInt(s.size)))),
    read(addr, length) {
      const s = segmentOf(addr), at = s ? Number(addr - s.addr) : 0;
      if (!s || at >= s.fileSize) throw new Error(`address ${addr.toString(16)} lies in no segment with file contents`);
      return buf.subarray(s.offset + at, s.offset + Math.min(at + length, s.fileSize));
    },
    pointerAt(addr) {
      const bytes = loaded(addr, 8);
      return bytes && !bytes.includes(null) ? Buffer.from(bytes).readBigUInt64LE(0) : null;
    },
  };
}

export function loadBinary(buf, path, nm = "nm") {
  let parsed, format;
  if (buf.readUInt32BE(0) === 0x7f454c46) [parsed, format] = [readElf(buf), "elf"];
  else if (buf.toString("latin1", 0, 2) === "MZ") [parsed, format] = [readPe(buf), "pe"];
  else throw new Error("neither an ELF nor a PE executable");
  const { sections, segments, relocations, imports, identifications, symbolTable } = parsed;
  const sectionOf = (addr) => sections.find((s) => addr >= s.addr && addr < s.addr + BigInt(s.size));
  const symbols = symbolTable ? readSymbols(nm, path) : [];
  const code = symbols.filter((s) => /^[tTwWiV]$/.test(s.type) && sectionOf(s.addr)?.executable);
  // Section symbols (".text") share addresses with functions: name the function.
  const nameAt = new Map();
  for (const s of symbols)
    if (!nameAt.has(s.addr) || nameAt.get(s.addr).startsWith(".")) nameAt.set(s.addr, s.name);
  const starts = [...new Set(code.map((s) => s.addr))].sort((a, b) => (a < b ? -1 : 1));
  const image = loadedImage(buf, parsed);

  const binary = {
    format,
    abi: format === "pe" ? "win64" : "sysv",
    sections, segments, relocations,
    // Whether the loader may place the image elsewhere than it was linked
    // for: a position-independent ELF executable (linked at 0), a PE image
    // with base relocations. There a word or an immediate is an address
    // only where the loader relocates it.
    movable: format === "pe" ? [...relocations.values()].some((r) => r.type === "base 10") : segments.some((s) => s.addr === 0n),
    // What the loader runs and loads besides main (the closure rules' to judge).
    loader: format === "pe" ? peLoaderView(buf, imports) : elfLoaderView(buf, relocations, parsed.dynamicSymbols),
    // Whether it still has the symbol table that every function is found by.
    symbolTable,
    symbols, code,
    // The compilers' own names for themselves, one per object at most:
    // "GCC: (Debian 12.2.0-14) 12.2.0", "Debian clang version 14.0.6".
    identifications,
    nameAt: (addr) => nameAt.get(addr),
    sectionName: (addr) => sectionOf(addr)?.name ?? null,
    // Whether `addr` lies in memory that the program cannot write once it
    // runs, as the loader maps it (segments, not section headers).
    isReadOnly: image.isReadOnly,
    // The `size` bytes at `addr` as loaded, each a number, or null where
    // the loader writes a value that the file does not fix (a relative
    // relocation's is its target, in the image's own addresses); null
    // where they are not all mapped.
    loaded: image.loaded,
    // The places the loader writes that overlap `size` bytes at `addr`.
    writesIn: image.writesIn,
    isExecutable: (addr) => sectionOf(addr)?.executable === true,
    // Where a function without a recorded size ends: at the next code symbol.
    extentOf(sym) {
      if (sym.size) return sym.addr + BigInt(sym.size);
      const next = starts.find((a) => a > sym.addr);
      const s = sectionOf(sym.addr);
      return next ?? (s ? s.addr + BigInt(s.size) : sym.addr);
    },
    // The file's bytes that the loader maps from `addr` on, up to `length`,
    // cut where the segment's file contents end; before relocation.
    read: image.read,
    // The imported function whose address the loader puts into `slot`:
    // { name, from } for a relocation or import-table entry that names an
    // imported symbol, otherwise null (a local slot, an IFUNC, plain data).
    importAt(slot) {
      if (format === "pe") {
        const imp = imports.get(slot);
        return imp ? { name: imp.name, from: imp.dll } : null;
      }
      const r = relocations.get(slot);
      if (!r || !["GLOB_DAT", "JUMP_SLOT", "64"].includes(r.type) || !r.symbol || r.symbol.defined) return null;
      return { name: r.symbol.name.replace(/@.*/, ""), from: "dynamic" };
    },
    // The 64-bit pointer stored at `addr` as the program sees it after
    // loading, in the image's own addresses (a relative relocation's
    // target); null where the loader writes any other value there.
    pointerAt: image.pointerAt,
  };
  return binary;
}
