// The roles of the workload loop's registers, read from its data flow
// (loopGraph). For every vector width:
//   b   <- b + s                      (s: the lane step, a loop constant)
//   acc <- acc + ((b + c2) XOR b)     (with b as it enters the iteration)
//   counter <- counter + d, tested by the loop's branch
// and nothing else carried from one iteration to the next, no instruction
// whose result feeds nothing. In the 128-bit loops s and c2 are one register
// (the step equals the XOR distance) and the copy must read b before its
// addition; the wider loops have two constants. The scalar loop:
//   k <- k + 1 (the counter), acc <- acc + ((k + 2) XOR k).

import { ConditionCode, Register, RegisterExt } from "iced-x86";

export function findRoles(variant, loop, g) {
  const problems = [];
  const fail = (ins, message) => problems.push({ ins, message });
  for (const p of g.problems) fail(p.ins, p.rule);
  for (const k of g.dead) fail(loop.body[k], "its result feeds neither a later iteration nor the branch");
  if (g.problems.length) return { roles: null, problems };
  const { E } = g;
  const start = (r) => E.input(r);
  const endOf = (r) => g.end.get(r);
  const first = loop.body[0], branch = loop.body[loop.body.length - 1];
  const carried = [...g.readIn].filter((r) => g.defBy.has(r));
  const invariant = [...g.readIn].filter((r) => !g.defBy.has(r) && RegisterExt.isVectorRegister(r));
  const none = () => ({ roles: null, problems });

  // The counter: the register whose step the branch tests, with jne.
  const f = g.branchFlags;
  if (!f || branch.conditionCode !== ConditionCode.ne) {
    fail(branch, "the loop's branch is not a not-equal test of its counter");
    return none();
  }
  let tested, bound;
  if (f.kind === "zero") [tested, bound] = [f.value, 0n];
  else if (f.kind === "cmp" && f.b.op === "constant") [tested, bound] = [f.a, f.b.value];
  else if (f.kind === "test" && f.a === f.b) [tested, bound] = [f.a, 0n];
  else {
    fail(branch, "the loop's branch does not compare the counter with a constant");
    return none();
  }
  const counter = carried.find((r) => RegisterExt.isGPR(r) && (tested === start(r) || tested === endOf(r)));
  const stepOf = (e, r) => (e?.op === "add" && e.args[0] === start(r) && e.args[1].op === "constant" ? e.args[1].value
    : e?.op === "add" && e.args[1] === start(r) && e.args[0].op === "constant" ? e.args[0].value : null);
  const step = counter === undefined ? null : stepOf(endOf(counter), counter);
  if (step === null) {
    fail(branch, "the branch does not test a counter that advances by a constant");
    return none();
  }
  const roles = { counter, step, bound, testsEnd: tested !== start(counter) };
  const nothingElseCarried = (inRoles) => {
    for (const r of carried)
      if (!inRoles.includes(r)) fail(first, `${Register[r]} carries a value from one iteration to the next`);
  };

  if (variant.lanes === 1) {
    const k = start(counter);
    const acc = carried.find((r) => r !== counter && endOf(r) === E.add(start(r), E.xor(E.add(E.constant(2n), k), k)));
    if (acc === undefined) {
      fail(branch, "no accumulator updated as acc + ((k + 2) XOR k) with k the counter");
      return none();
    }
    nothingElseCarried([counter, acc]);
    return { roles: { ...roles, acc, k: counter }, problems };
  }
  let found = null;
  for (const b of carried.filter((r) => RegisterExt.isVectorRegister(r))) {
    const s = invariant.find((c) => endOf(b) === E.add(start(b), start(c)));
    if (s === undefined) continue;
    for (const acc of carried.filter((r) => r !== b && RegisterExt.isVectorRegister(r))) {
      const c2 = invariant.find((c) => endOf(acc) === E.add(start(acc), E.xor(start(b), E.add(start(b), start(c)))));
      if (c2 !== undefined) found = { b, s, acc, c2 };
    }
  }
  if (!found) {
    fail(first, "no b advanced by a constant with acc <- acc + ((b + c2) XOR b) on b as it enters the iteration");
    return none();
  }
  if (variant.sharedStep !== (found.s === found.c2))
    fail(first, variant.sharedStep ? "the lane step and the XOR distance are not one register"
      : "the lane step and the XOR distance are one register");
  nothingElseCarried([found.b, found.acc, counter]);
  return { roles: { ...roles, ...found }, problems };
}
