// Changes the section header of one section of an ELF executable, in place,
// and nothing else: the loader maps segments and reads the dynamic section,
// never section headers, so it loads the executable as before.
// Usage: node section_header.mjs EXECUTABLE SECTION read-only|hide-last
//   read-only  clears the write flag (the section is mapped writable all
//              the same);
//   hide-last  shrinks the section by its last entry (a relocation table's
//              last relocation, which the loader still applies).
import { readFileSync, writeFileSync } from "node:fs";

const [path, name, change] = process.argv.slice(2);
const buf = readFileSync(path);
const shoff = Number(buf.readBigUInt64LE(0x28)), entsize = buf.readUInt16LE(0x3a), count = buf.readUInt16LE(0x3c);
const names = Number(buf.readBigUInt64LE(shoff + buf.readUInt16LE(0x3e) * entsize + 0x18));
const SHF_WRITE = 1n;
const changes = {
  "read-only": (h) => buf.writeBigUInt64LE(buf.readBigUInt64LE(h + 8) & ~SHF_WRITE, h + 8),
  "hide-last": (h) => buf.writeBigUInt64LE(buf.readBigUInt64LE(h + 0x20) - buf.readBigUInt64LE(h + 0x38), h + 0x20),
};
if (!changes[change]) {
  console.error(`section_header: unknown change ${change} (read-only or hide-last)`);
  process.exit(1);
}
let changed = 0;
for (let k = 0; k < count; k++) {
  const h = shoff + k * entsize, at = names + buf.readUInt32LE(h);
  if (buf.toString("latin1", at, buf.indexOf(0, at)) !== name) continue;
  changes[change](h);
  changed++;
}
if (changed !== 1) {
  console.error(`section_header: ${path} has ${changed} sections named ${name}, expected one`);
  process.exit(1);
}
writeFileSync(path, buf);
