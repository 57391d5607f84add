// The SSE4.2 variant is the SSE2 variant's code built for a higher level.

import { OpKind, Mnemonic, MemorySizeExt, Register } from "iced-x86";
import { featureNames, isImmediate } from "../isa.mjs";

// What decides an instruction's effect, field by field: its mnemonic and
// operands, with every address replaced by what it stands for. A memory
// operand at a fixed address (RIP-relative or absolute) by the bytes it
// reads where they are read-only, else by the symbol it names; the address
// of read-only data taken into a register (the format string) by "address";
// a branch target inside the function by its distance from the start of the
// function or of its part, outside it by what it reaches.
function fields(ctx, ins) {
  const { binary, code } = ctx;
  const at = (addr) => {
    if (!binary.sectionName(addr)) return null;
    return binary.isReadOnly(addr) ? "address" : `symbol ${binary.nameAt(addr) ?? addr.toString(16)}`;
  };
  const out = [Mnemonic[ins.mnemonic]];
  for (let k = 0; k < ins.opCount; k++) {
    const kind = ins.opKind(k);
    if (kind === OpKind.Register) out.push(Register[ins.opRegister(k)]);
    else if (isImmediate(kind)) {
      const v = BigInt.asUintN(64, ins.immediate(k));
      // A 32- or 64-bit immediate that is an address (position-dependent code).
      out.push((ins.mnemonic === Mnemonic.Mov && (kind === OpKind.Immediate32 || kind === OpKind.Immediate64 ||
        kind === OpKind.Immediate32to64) && at(v)) || `imm ${v}`);
    } else if (kind === OpKind.Memory) {
      const fixed = ins.memoryBase === Register.RIP ? ins.memoryDisplacementU64
        : ins.memoryBase === Register.None && ins.memoryIndex === Register.None ? ins.memoryDisplacementU64 : null;
      if (fixed !== null && binary.sectionName(fixed)) {
        const size = Math.max(MemorySizeExt.size(ins.memorySize), 1);
        out.push(ins.mnemonic === Mnemonic.Lea ? at(fixed)
          : binary.isReadOnly(fixed) ? `data ${Buffer.from(binary.read(fixed, size)).toString("hex")}` : at(fixed));
      } else
        out.push(`[${Register[ins.memoryBase]}+${Register[ins.memoryIndex]}*${ins.memoryIndexScale}+${ins.memoryDisplacementU64}]`);
    } else if (kind === OpKind.NearBranch64) {
      const t = ins.nearBranchTarget;
      const part = code.partName(t);
      if (code.index.has(t))
        out.push(part ? `${part.slice(part.indexOf("."))}+${t - binary.code.find((s) => s.name === part).addr}` : `+${t - ctx.sym.addr}`);
      else {
        const r = code.targets.get(ins.ip);
        out.push(r ? `${r.kind} ${r.name}` : `target ${t.toString(16)}`);
      }
    } else out.push(`kind ${kind}`);
  }
  return out.join(" ");
}

export default [
  {
    id: "same.sequence",
    claim: "A measuring function whose family an earlier variant's runs (variants.def) is that one's instruction " +
      "sequence, with the same immediates and the same read-only data; only its format string and the instructions " +
      "of the extensions it adds may differ.",
    scope: "function",
    appliesTo: (def) => def.sameCodeAs !== null && def.sameCodeAs !== undefined,
    check(ctx, report) {
      const other = ctx.contextOf(ctx.def.sameCodeAs);
      if (!other) return;
      const a = other.code.instrs, b = ctx.code.instrs;
      for (let k = 0; k < Math.max(a.length, b.length); k++) {
        const x = a[k], y = b[k];
        if (!x || !y) {
          report(y ?? null, `${b.length} instructions against ${a.length} in ${other.name}; expected the same sequence`);
          return;
        }
        if (fields(other, x) === fields(ctx, y)) continue;
        if (featureNames(y).some((f) => ctx.def.newFeatures.has(f))) continue;
        report(y, `differs from ${other.name}'s ${other.describe(x)}; expected the same instruction sequence`);
        return;
      }
    },
  },
];
