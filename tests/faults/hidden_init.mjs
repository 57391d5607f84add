// Gives an ELF executable an initialiser that only the loader sees: the
// address of FUNCTION goes into the dynamic section's first spare DT_NULL
// as a DT_INIT, and PT_DYNAMIC is shrunk to end before it. The loader reads
// the dynamic array up to its first DT_NULL whatever PT_DYNAMIC's size, and
// the last DT_INIT it meets wins: it runs FUNCTION before main.
// Usage: node hidden_init.mjs EXECUTABLE FUNCTION
import { readFileSync, writeFileSync } from "node:fs";

const [path, name] = process.argv.slice(2);
const buf = readFileSync(path);
const fail = (message) => { console.error(`hidden_init: ${path}: ${message}`); process.exit(1); };
const SHT_SYMTAB = 2, PT_DYNAMIC = 2, DT_NULL = 0n, DT_INIT = 12n;

// The function's address, from the symbol table.
const shoff = Number(buf.readBigUInt64LE(0x28)), shentsize = buf.readUInt16LE(0x3a), shnum = buf.readUInt16LE(0x3c);
const section = (k) => shoff + k * shentsize;
const symtab = [...Array(shnum).keys()].map(section).find((h) => buf.readUInt32LE(h + 4) === SHT_SYMTAB);
if (symtab === undefined) fail("no symbol table");
const strings = Number(buf.readBigUInt64LE(section(buf.readUInt32LE(symtab + 0x28)) + 0x18));
let address = null;
for (let s = Number(buf.readBigUInt64LE(symtab + 0x18)), end = s + Number(buf.readBigUInt64LE(symtab + 0x20)); s < end; s += 24) {
  const at = strings + buf.readUInt32LE(s);
  if (buf.toString("latin1", at, buf.indexOf(0, at)) === name) address = buf.readBigUInt64LE(s + 8);
}
if (address === null) fail(`no symbol ${name}`);

// The dynamic array: its first DT_NULL, and a spare one after it.
const phoff = Number(buf.readBigUInt64LE(0x20)), phentsize = buf.readUInt16LE(0x36), phnum = buf.readUInt16LE(0x38);
const dynamic = [...Array(phnum).keys()].map((k) => phoff + k * phentsize).find((p) => buf.readUInt32LE(p) === PT_DYNAMIC);
if (dynamic === undefined) fail("no PT_DYNAMIC");
const start = Number(buf.readBigUInt64LE(dynamic + 8)), size = Number(buf.readBigUInt64LE(dynamic + 0x20));
let first = start;
while (first < start + size && buf.readBigInt64LE(first) !== DT_NULL) first += 16;
if (first + 32 > start + size) fail("no spare entry in the dynamic array");
buf.writeBigInt64LE(DT_INIT, first);
buf.writeBigUInt64LE(address, first + 8);
// PT_DYNAMIC ends before the new entry: what reads it by its size misses it.
buf.writeBigUInt64LE(BigInt(first - start), dynamic + 0x20);
buf.writeBigUInt64LE(BigInt(first - start), dynamic + 0x28);
writeFileSync(path, buf);
