// Clears the write flag in the section header of one section of an ELF
// executable, in place, and nothing else: the loader, which maps segments
// and never reads section headers, maps that section writable all the same.
// Usage: node flag_read_only.mjs EXECUTABLE SECTION
import { readFileSync, writeFileSync } from "node:fs";

const [path, name] = process.argv.slice(2);
const buf = readFileSync(path);
const shoff = Number(buf.readBigUInt64LE(0x28)), entsize = buf.readUInt16LE(0x3a), count = buf.readUInt16LE(0x3c);
const names = Number(buf.readBigUInt64LE(shoff + buf.readUInt16LE(0x3e) * entsize + 0x18));
const SHF_WRITE = 1n;
let flagged = 0;
for (let k = 0; k < count; k++) {
  const h = shoff + k * entsize, at = names + buf.readUInt32LE(h);
  if (buf.toString("latin1", at, buf.indexOf(0, at)) !== name) continue;
  buf.writeBigUInt64LE(buf.readBigUInt64LE(h + 8) & ~SHF_WRITE, h + 8);
  flagged++;
}
if (flagged !== 1) {
  console.error(`flag_read_only: ${path} has ${flagged} sections named ${name}, expected one`);
  process.exit(1);
}
writeFileSync(path, buf);
