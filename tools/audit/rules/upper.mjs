// The upper halves of the vector registers, which the variants wider than
// 128 bits must clear before handing control to code built for a lower
// level: every call (the clock, printf), every jump out and every return.

import { FlowControl, Mnemonic, RegisterExt } from "iced-x86";
import { isCall, registersOf } from "../isa.mjs";

export default [
  {
    id: "upper.clear",
    claim: "At every call, jump out and return of the functions whose loops are wider than 128 bits the upper " +
      "register halves are clear; so the clearing before the end reading lies inside the timed region.",
    scope: "function",
    appliesTo: (def) => def.clearsUpper === true,
    // A forward data flow over the function's instructions; it starts clean,
    // as the calling convention leaves it, and each call returns clean.
    check(ctx, report) {
      const { instrs, next, entry, leaves } = ctx.code;
      const wide = (ins) => registersOf(ins).some((r) => RegisterExt.isYMM(r) || RegisterExt.isZMM(r));
      const dirtyIn = new Array(instrs.length).fill(false);
      const visited = new Array(instrs.length).fill(false);
      const work = [[entry, false]];
      while (work.length) {
        const [k, dirty] = work.pop();
        if (visited[k] && (dirtyIn[k] || !dirty)) continue;
        visited[k] = true;
        dirtyIn[k] = dirtyIn[k] || dirty;
        const ins = instrs[k];
        let out = dirtyIn[k];
        if (ins.mnemonic === Mnemonic.Vzeroupper || ins.mnemonic === Mnemonic.Vzeroall || isCall(ins)) out = false;
        else if (wide(ins)) out = true;
        for (const n of next(k)) work.push([n, out]);
      }
      instrs.forEach((ins, k) => {
        if (!visited[k] || !dirtyIn[k]) return;
        if (ins.flowControl === FlowControl.Return) report(ins, "return with the upper register halves not cleared");
        else if (isCall(ins) || leaves(k)) report(ins, "call out of the function with the upper register halves not cleared");
      });
    },
  },
];
