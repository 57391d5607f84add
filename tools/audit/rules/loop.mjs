// Rules on the workload loops: that each candidate of the variant's family
// has exactly one, reached by the driver's choice of it, how each is
// entered, its shape, its data flow and its exact form and placement.

import { Mnemonic, OpKind, Register, RegisterExt } from "iced-x86";
import { hasMemoryOperand, isBranch, registersOf, loopOperation, fullRegister } from "../isa.mjs";
import { measuring } from "../variants.mjs";
import { expectedLength } from "../forms.mjs";

const at = (loop) => loop.body[0].ip.toString(16);
const numbers = (list) => list.join(" or ");

// What the instructions of `loop` do, each as MNEMONIC:OPERATION (only the
// mnemonic where its data flow failed): the operation named by the
// register it writes, as the roles give them.
function operations(ctx, loop) {
  const { roles } = loop;
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
  return loop.body.map((ins) => `${Mnemonic[ins.mnemonic].toLowerCase()}${roles ? `:${operation(ins)}` : ""}`);
}

// The registers of the loop's roles, with x the register its XOR writes.
function roleRegisters(loop) {
  const xor = loop.body.find((ins) => loopOperation(ins) === "xor" && ins.op0Kind === OpKind.Register);
  return { ...loop.roles, x: xor ? fullRegister(xor.op0Register) : undefined };
}

export default [
  {
    id: "loop.unique",
    claim: "For each candidate loop of its variant's family in variants.def, the driver's choice of its number leads " +
      "from the entry to exactly one innermost loop without calls, a loop no other choice reaches; the function " +
      "holds no other such loop.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      if (ctx.globals.chosen === null) report(null, "the driver's choice of loops (chosen_loops) not found");
      for (const [number, loops] of ctx.choices)
        if (loops.length !== 1)
          report(loops[1]?.body[0] ?? null, `choosing loop ${number} leads to ${loops.length} innermost call-free loops` +
            `${loops.length ? ` (at ${loops.map(at).join(", ")})` : ""}, expected exactly one`);
      for (const loop of ctx.loops) {
        if (loop.choices.length === 0)
          report(loop.body[0], "an innermost call-free loop that no choice of a candidate leads to: none of the candidates");
        else if (loop.choices.length > 1)
          report(loop.body[0], `the same loop runs whether loop ${numbers(loop.choices)} is chosen: not a loop of each candidate's own`);
      }
    },
  },
  {
    id: "loop.entry",
    claim: "Every path into each workload loop enters at its first instruction, where the values it starts from are proven.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      const { code } = ctx;
      for (const loop of ctx.workloads)
        code.instrs.forEach((ins, k) => {
          if (loop.contains(k)) return;
          for (const j of code.next(k))
            if (loop.contains(j) && j !== loop.first)
              report(ins, `enters workload loop ${loop.number} at ${code.instrs[j].ip.toString(16)}, past its first instruction`);
        });
    },
  },
  {
    id: "loop.shape",
    claim: "Each workload loop handles one group of lanes per iteration: one branch, the variant's count of each " +
      "operation, 64-bit general registers and vector registers of the variant's width only.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      for (const loop of ctx.workloads) checkShape(ctx.def, loop, report);
    },
  },
  {
    id: "loop.memory",
    claim: "No workload loop has a memory operand.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      for (const loop of ctx.workloads)
        for (const ins of loop.body) if (hasMemoryOperand(ins)) report(ins, `memory operand in workload loop ${loop.number}`);
    },
  },
  {
    id: "loop.dataflow",
    claim: "Evaluated once around, each workload loop advances b by a constant s and sets acc to acc + ((b + c2) XOR b) " +
      "on b as it entered (the scalar loop: acc + ((k + 2) XOR k) with k its counter), its branch is a not-equal test " +
      "of a counter's step, nothing else is carried and every result is used.",
    scope: "function",
    appliesTo: measuring,
    check(ctx, report) {
      for (const loop of ctx.workloads) for (const p of loop.dataflow.problems) report(p.ins, p.message);
    },
  },
  {
    id: "loop.form",
    claim: "Each workload loop is the candidate whose choice reaches it, as variants.def gives it: its first " +
      "instruction that many bytes past a 64-byte boundary, its instructions in that order, each doing that " +
      "operation, and their exact length, the shortest encoding of each in the registers the loop uses.",
    scope: "function",
    appliesTo: measuring,
    // The same operations in another order, with another counter or at
    // another offset run at another speed on some processor (up to 30% on
    // Intel's Sapphire Rapids class; a loop crossing a line at the wrong point
    // runs half as fast on Zen 4), and the line would no longer show the speed
    // its form was chosen for. Offset and length together fix where a loop
    // that crosses a line is split. What each instruction does comes from the
    // data flow's roles; where the data flow failed, only the mnemonics are
    // compared and the length is not derived.
    check(ctx, report) {
      for (const loop of ctx.workloads) checkForm(ctx, loop, report);
    },
  },
];

function checkShape(def, loop, report) {
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
}

function checkForm(ctx, loop, report) {
  const { candidate } = loop, expected = candidate.expected;
  const first = loop.body[0], branch = loop.body[loop.body.length - 1];
  const name = `workload loop ${loop.number}`;
  const offset = Number(first.ip % 64n);
  if (offset !== candidate.offset)
    report(first, `${name} starts ${offset} bytes past a 64-byte boundary, expected ${candidate.offset}`);
  const found = operations(ctx, loop);
  const want = expected.map((e) => (loop.roles ? `${e.mnemonic}:${e.operation}` : e.mnemonic));
  if (found.join(" ") !== want.join(" ")) {
    report(first, `${name} is ${found.join(" ")}; expected ${want.join(" ")}`);
    return;
  }
  if (!loop.roles) return;
  const bytes = Number(branch.nextIP - first.ip);
  const length = expectedLength(expected, roleRegisters(loop), ctx.def.width, first.ip);
  if (length === null) report(first, `${name}: no encoding of its expected instructions in the registers it uses`);
  else if (bytes !== length) report(first, `${name} is ${bytes} bytes long, expected ${length}`);
}
