// Maps other code over a function's page, as a post-link edit can: the
// executable's PT_NOTE program header becomes a loadable, executable
// segment that maps the page of FROM at the page of ONTO. The loader maps
// segments in their order, so the later one replaces what the first mapped
// there: ONTO runs FROM's code, while the file's first segment at that
// address still holds ONTO's.
// Usage: node overlay_segment.mjs EXECUTABLE FROM ONTO
import { readFileSync, writeFileSync } from "node:fs";

const [path, from, onto] = process.argv.slice(2);
const buf = readFileSync(path);
const fail = (message) => { console.error(`overlay_segment: ${path}: ${message}`); process.exit(1); };
const SHT_SYMTAB = 2, PT_LOAD = 1, PT_NOTE = 4, PF_X = 1, PF_R = 4, PAGE = 0x1000n;

// Each function's address, from the symbol table.
const shoff = Number(buf.readBigUInt64LE(0x28)), shentsize = buf.readUInt16LE(0x3a), shnum = buf.readUInt16LE(0x3c);
const section = (k) => shoff + k * shentsize;
const symtab = [...Array(shnum).keys()].map(section).find((h) => buf.readUInt32LE(h + 4) === SHT_SYMTAB);
if (symtab === undefined) fail("no symbol table");
const strings = Number(buf.readBigUInt64LE(section(buf.readUInt32LE(symtab + 0x28)) + 0x18));
const symbols = Number(buf.readBigUInt64LE(symtab + 0x18)), count = Number(buf.readBigUInt64LE(symtab + 0x20)) / 24;
const addressOf = (name) => {
  for (let k = 0; k < count; k++) {
    const s = symbols + 24 * k, at = strings + buf.readUInt32LE(s);
    if (buf.toString("latin1", at, buf.indexOf(0, at)) === name) return buf.readBigUInt64LE(s + 8);
  }
  return fail(`no symbol ${name}`);
};

// The program headers: the file offset of FROM's page, and the PT_NOTE to turn.
const phoff = Number(buf.readBigUInt64LE(0x20)), phentsize = buf.readUInt16LE(0x36), phnum = buf.readUInt16LE(0x38);
const headers = [...Array(phnum).keys()].map((k) => phoff + k * phentsize);
const source = addressOf(from) & ~(PAGE - 1n);
const load = headers.find((h) => buf.readUInt32LE(h) === PT_LOAD && source >= buf.readBigUInt64LE(h + 0x10) &&
  source < buf.readBigUInt64LE(h + 0x10) + buf.readBigUInt64LE(h + 0x20));
const note = headers.find((h) => buf.readUInt32LE(h) === PT_NOTE);
if (load === undefined || note === undefined) fail("no segment holds the source page, or no PT_NOTE to turn");
const target = addressOf(onto) & ~(PAGE - 1n);
buf.writeUInt32LE(PT_LOAD, note);
buf.writeUInt32LE(PF_R | PF_X, note + 4);
buf.writeBigUInt64LE(buf.readBigUInt64LE(load + 8) + source - buf.readBigUInt64LE(load + 0x10), note + 8);
buf.writeBigUInt64LE(target, note + 0x10);
buf.writeBigUInt64LE(target, note + 0x18);
buf.writeBigUInt64LE(PAGE, note + 0x20);
buf.writeBigUInt64LE(PAGE, note + 0x28);
buf.writeBigUInt64LE(PAGE, note + 0x30);
writeFileSync(path, buf);
