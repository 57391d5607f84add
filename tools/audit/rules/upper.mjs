// The upper halves of the vector registers, which the variants wider than
// 128 bits must clear before handing control to code built for a lower
// level: every call (the clock, printf), every jump out and every return.

import { FlowControl } from "iced-x86";
import { isCall } from "../isa.mjs";

export default [
  {
    id: "upper.clear",
    claim: "At every call, jump out and return of the functions whose loops are wider than 128 bits the upper " +
      "register halves are clear; so the clearing before the end reading lies inside the timed region.",
    scope: "function",
    appliesTo: (def) => def.clearsUpper === true,
    // The function's context follows the upper halves' state along every path.
    check(ctx, report) {
      const { instrs, leaves } = ctx.code;
      const dirty = ctx.upperDirty;
      instrs.forEach((ins, k) => {
        if (!dirty.reached(k) || !dirty.before(k)) return;
        if (ins.flowControl === FlowControl.Return) report(ins, "return with the upper register halves not cleared");
        else if (isCall(ins) || leaves(k)) report(ins, "call out of the function with the upper register halves not cleared");
      });
    },
  },
];
