// Rules on each instruction's set, encoding and width.

import { Mnemonic, Register, RegisterExt, EncodingKind } from "iced-x86";
import { featureNames, vectorRegisters } from "../isa.mjs";

export default [
  {
    id: "isa.features",
    claim: "Every instruction reached is in the function's instruction set (ENDBR64, a no-op hint where CET is " +
      "absent, excepted).",
    scope: "function",
    appliesTo: () => true,
    check(ctx, report) {
      const allowed = ctx.def.features(ctx.compiler);
      for (const ins of ctx.code.instrs)
        for (const f of featureNames(ins))
          if (!allowed.has(f) && !(f === "CET_IBT" && ins.mnemonic === Mnemonic.Endbr64))
            report(ins, `needs ${f}, outside this variant's instruction set`);
    },
  },
  {
    id: "isa.encoding",
    claim: "Every vector instruction has the variant's encoding (legacy SSE, VEX, or EVEX and VEX) and no register " +
      "wider than its loop's width (128 bits at least).",
    scope: "function",
    appliesTo: (def) => def.width !== undefined,
    check(ctx, report) {
      const v = ctx.def;
      const maxWidth = Math.max(v.width, 128);
      for (const ins of ctx.code.instrs) {
        const regs = vectorRegisters(ins);
        if (regs.length === 0) continue;
        for (const r of regs)
          if (RegisterExt.size(r) * 8 > maxWidth) report(ins, `uses ${Register[r]}, wider than this variant's ${maxWidth} bits`);
        const enc = ins.encoding;
        if (v.encoding === "legacy" && enc !== EncodingKind.Legacy) report(ins, "VEX or EVEX encoding in a legacy-SSE variant");
        if (v.encoding === "vex" && enc !== EncodingKind.VEX) report(ins, "vector instruction not VEX-encoded");
        if (v.encoding === "evex" && enc === EncodingKind.Legacy) report(ins, "legacy SSE encoding in an AVX-512 variant");
      }
    },
  },
  {
    id: "isa.conversion",
    claim: "The AVX-512 frame converts each clock reading with VCVTUSI2SD and never as a signed number.",
    scope: "function",
    appliesTo: (def) => def.unsignedConversions > 0,
    check(ctx, report) {
      const instrs = ctx.code.instrs;
      const unsigned = instrs.filter((i) => i.mnemonic === Mnemonic.Vcvtusi2sd);
      if (unsigned.length < ctx.def.unsignedConversions)
        report(null, `expected ${ctx.def.unsignedConversions} VCVTUSI2SD clock conversions, found ${unsigned.length}`);
      for (const ins of instrs)
        if ([Mnemonic.Cvtsi2sd, Mnemonic.Vcvtsi2sd].includes(ins.mnemonic)) report(ins, "clock reading converted without VCVTUSI2SD");
    },
  },
];
