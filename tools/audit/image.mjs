// Maps virtual addresses of an ELF64 or PE32+ executable to its file bytes.

function elfSections(buf) {
  const shoff = Number(buf.readBigUInt64LE(0x28));
  const shentsize = buf.readUInt16LE(0x3a);
  const shnum = buf.readUInt16LE(0x3c);
  const shstrndx = buf.readUInt16LE(0x3e);
  const names = Number(buf.readBigUInt64LE(shoff + shstrndx * shentsize + 0x18));
  const nameAt = (off) => buf.toString("latin1", names + off, buf.indexOf(0, names + off));
  const sections = [];
  for (let k = 0; k < shnum; k++) {
    const h = shoff + k * shentsize;
    const type = buf.readUInt32LE(h + 4);
    if (type === 8) continue;  // SHT_NOBITS: no bytes in the file
    const flags = buf.readBigUInt64LE(h + 8);
    sections.push({ name: nameAt(buf.readUInt32LE(h)), addr: buf.readBigUInt64LE(h + 0x10),
                    offset: Number(buf.readBigUInt64LE(h + 0x18)), size: Number(buf.readBigUInt64LE(h + 0x20)),
                    writable: (flags & 1n) !== 0n });
  }
  return sections.filter((s) => s.addr !== 0n);
}

function peSections(buf) {
  const pe = buf.readUInt32LE(0x3c);
  if (buf.toString("latin1", pe, pe + 4) !== "PE\0\0") throw new Error("not a PE image");
  const count = buf.readUInt16LE(pe + 6);
  const optSize = buf.readUInt16LE(pe + 20);
  const opt = pe + 24;
  if (buf.readUInt16LE(opt) !== 0x20b) throw new Error("not a PE32+ (64-bit) image");
  const imageBase = buf.readBigUInt64LE(opt + 24);
  // Data directory 12: the import address table, the slots the loader
  // fills with the addresses of imported functions.
  const iatRva = buf.readUInt32LE(opt + 112 + 12 * 8), iatSize = buf.readUInt32LE(opt + 112 + 12 * 8 + 4);
  const sections = [];
  for (let k = 0; k < count; k++) {
    const h = opt + optSize + k * 40;
    sections.push({ name: buf.toString("latin1", h, h + 8).replace(/\0+$/, ""),
                    addr: imageBase + BigInt(buf.readUInt32LE(h + 12)), offset: buf.readUInt32LE(h + 20),
                    size: buf.readUInt32LE(h + 16), writable: (buf.readUInt32LE(h + 36) & 0x80000000) !== 0 });
  }
  sections.importTable = { start: imageBase + BigInt(iatRva), end: imageBase + BigInt(iatRva + iatSize) };
  return sections;
}

export function loadImage(buf) {
  let sections, format;
  if (buf.readUInt32BE(0) === 0x7f454c46) [sections, format] = [elfSections(buf), "elf"];
  else if (buf.toString("latin1", 0, 2) === "MZ") [sections, format] = [peSections(buf), "pe"];
  else throw new Error("neither an ELF nor a PE executable");
  const sectionOf = (addr) => sections.find((s) => addr >= s.addr && addr < s.addr + BigInt(s.size));
  return {
    format,
    // Whether `addr` is a slot that the dynamic loader fills with the address
    // of a library function: the GOT (ELF) or the import address table (PE).
    isImportSlot(addr) {
      if (format === "pe") return addr >= sections.importTable.start && addr < sections.importTable.end;
      return [".got", ".got.plt"].includes(sectionOf(addr)?.name);
    },
    // Whether `addr` lies among the dynamic linker's call stubs (ELF).
    isStub(addr) {
      return format === "elf" && [".plt", ".plt.sec", ".plt.got"].includes(sectionOf(addr)?.name);
    },
    // Whether `addr` lies in a section the program cannot write.
    isReadOnly(addr) {
      const s = sectionOf(addr);
      return s !== undefined && !s.writable;
    },
    // Name of the section holding `addr`, or null.
    sectionName(addr) {
      return sectionOf(addr)?.name ?? null;
    },
    // Bytes from `addr` up to `length`, cut at the end of the section.
    read(addr, length) {
      const s = sectionOf(addr);
      if (!s) throw new Error(`address ${addr.toString(16)} lies in no section with file contents`);
      const start = s.offset + Number(addr - s.addr);
      return buf.subarray(start, Math.min(start + length, s.offset + s.size));
    },
  };
}
