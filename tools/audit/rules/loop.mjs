// Rules on the workload loop: that there is one, how it is entered, its
// shape, its data flow and its exact form and placement.

import { Mnemonic, OpKind, Register, RegisterExt } from "iced-x86";
import { hasMemoryOperand, isBranch, registersOf, loopOperation, fullRegister } from "../isa.mjs";

const variants = (def) => def.loop !== undefined;

export default [
  {
    id: "loop.unique",
    claim: "The function holds exactly one innermost loop without calls: the workload loop.",
    scope: "function",
    appliesTo: variants,
    check(ctx, report) {
      if (!ctx.loop)
        report(null, `expected exactly one innermost call-free loop (the workload loop), found ${ctx.workload.count}`);
    },
  },
  {
    id: "loop.entry",
    claim: "Every path into the workload loop enters at its first instruction, where the values it starts from are proven.",
    scope: "function",
    appliesTo: variants,
    needs: ["loop"],
    check(ctx, report) {
      const { loop, code } = ctx;
      code.instrs.forEach((ins, k) => {
        if (loop.contains(k)) return;
        for (const j of code.next(k))
          if (loop.contains(j) && j !== loop.first) report(ins, `enters the workload loop at ${code.instrs[j].ip.toString(16)}, past its first instruction`);
      });
    },
  },
  {
    id: "loop.shape",
    claim: "The loop handles one group of lanes per iteration: one branch, the variant's count of each operation, " +
      "64-bit general registers and vector registers of the variant's width only.",
    scope: "function",
    appliesTo: variants,
    needs: ["loop"],
    check(ctx, report) {
      const { loop, def } = ctx;
      const branches = loop.body.filter(isBranch);
      if (branches.length !== 1) report(branches[1] ?? loop.body[0], `workload loop has ${branches.length} branches, expected 1`);
      const counts = new Map();
      for (const ins of loop.body) {
        for (const r of registersOf(ins)) {
          if (RegisterExt.isGPR(r)) {
            if (RegisterExt.size(r) !== 8) report(ins, `workload loop uses ${Register[r]}, not a 64-bit general register`);
          } else if (RegisterExt.isVectorRegister(r)) {
            if (RegisterExt.size(r) * 8 !== def.width) report(ins, `workload loop uses ${Register[r]}, expected ${def.width}-bit vector registers`);
          } else report(ins, `workload loop uses ${Register[r]}`);
        }
        const op = loopOperation(ins);
        if (op === null || !(op in def.counts)) report(ins, "instruction outside the workload loop's defined operations");
        else counts.set(op, (counts.get(op) ?? 0) + 1);
      }
      for (const [op, [min, max]] of Object.entries(def.counts)) {
        const n = counts.get(op) ?? 0;
        if (n < min || n > max)
          report(loop.body[0], `workload loop has ${n} ${op} instruction(s), expected ${min === max ? min : `${min} to ${max}`}`);
      }
    },
  },
  {
    id: "loop.memory",
    claim: "The workload loop has no memory operand.",
    scope: "function",
    appliesTo: variants,
    needs: ["loop"],
    check(ctx, report) {
      for (const ins of ctx.loop.body) if (hasMemoryOperand(ins)) report(ins, "memory operand in the workload loop");
    },
  },
  {
    id: "loop.dataflow",
    claim: "Evaluated once around, the loop advances b by a constant s and sets acc to acc + ((b + c2) XOR b) on b as " +
      "it entered (the scalar loop: acc + ((k + 2) XOR k) with k its counter), its branch is a not-equal test of a " +
      "counter's step, nothing else is carried and every result is used.",
    scope: "function",
    appliesTo: variants,
    needs: ["loop"],
    check(ctx, report) {
      for (const p of ctx.dataflow.problems) report(p.ins, p.message);
    },
  },
  {
    id: "loop.form",
    claim: "The loop is the variant's chosen form: its first instruction the chosen number of bytes past a 64-byte " +
      "boundary, its exact length, and its instructions in the chosen order, each doing the chosen operation.",
    scope: "function",
    appliesTo: variants,
    needs: ["loop"],
    // The same operations in another order, with another counter or at
    // another offset run at another speed on some processor (up to 30% on
    // Intel's Sapphire Rapids class; a loop crossing a line at the wrong point
    // runs half as fast on Zen 4), and the line would no longer show the speed
    // its form was chosen for. What each instruction does comes from the data
    // flow's roles; where the data flow failed, only the mnemonics are compared.
    check(ctx, report) {
      const { loop, roles } = ctx, expected = ctx.def.loop;
      const first = loop.body[0], branch = loop.body[loop.body.length - 1];
      const offset = Number(first.ip % 64n);
      if (offset !== expected.offset)
        report(first, `workload loop starts ${offset} bytes past a 64-byte boundary, expected ${expected.offset}`);
      const bytes = Number(branch.nextIP - first.ip);
      if (bytes !== expected.bytes) report(first, `workload loop is ${bytes} bytes long, expected ${expected.bytes}`);
      const operation = (ins) => {
        const op = loopOperation(ins);
        if (op === "branch" || op === "compare") return op;
        const dst = ins.op0Kind === OpKind.Register ? fullRegister(ins.op0Register) : null;
        if (dst === roles.counter) return "step";
        if (dst === roles.acc) return "accumulate";
        if (dst === roles.b) return "advance";
        if (op === "copy" || op === "xor") return op;
        return ctx.def.lanes === 1 ? "add-2" : "add-c2";
      };
      const found = loop.body.map((ins) => `${Mnemonic[ins.mnemonic].toLowerCase()}${roles ? `:${operation(ins)}` : ""}`);
      const want = roles ? expected.form : expected.form.map((f) => f.split(":")[0]);
      if (found.join(" ") !== want.join(" ")) report(first, `workload loop is ${found.join(" ")}; expected ${want.join(" ")}`);
    },
  },
];
