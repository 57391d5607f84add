// The one fixed-point engine of the audit's analyses over a function's
// instructions. Every analysis that carries a state along the control flow
// (the known values, the upper register halves, the reduction's lanes) is a
// problem given to solveForward; every question of what a path can reach is
// asked of reachable. Keeping the iteration in one place means a fix to it
// (termination, the order of visits) holds for all of them.

// solveForward({ size, entries, initial, successors, transfer, join, equal })
//   size: number of instructions (nodes 0..size-1); entries: node indexes
//   where the analysis starts; initial(k): the state at entry node k;
//   transfer(k, stateIn) -> stateOut; successors(k, stateOut) -> node
//   indexes; join(a, b) -> state; equal(a, b) -> bool.
// Returns { before(k), after(k), reached(k), next(k) }: the state on entry
// to and on leaving node k (undefined where no path reaches it), and the
// successors its outgoing state allows ([] where unreached).
//
// The states must form a lattice of finite height under join, so that the
// iteration ends; a state equal to the one already held stops the walk.
export function solveForward({ size, entries, initial, successors, transfer, join, equal }) {
  const before = new Array(size);
  const after = new Array(size);
  const work = [];
  for (const k of entries) {
    const s = initial(k);
    before[k] = before[k] === undefined ? s : join(before[k], s);
    work.push(k);
  }
  while (work.length) {
    const k = work.pop();
    const out = transfer(k, before[k]);
    after[k] = out;
    for (const j of successors(k, out)) {
      if (before[j] === undefined) { before[j] = out; work.push(j); continue; }
      const merged = join(before[j], out);
      if (!equal(before[j], merged)) { before[j] = merged; work.push(j); }
    }
  }
  return {
    before: (k) => before[k],
    after: (k) => after[k],
    reached: (k) => before[k] !== undefined,
    next: (k) => (after[k] === undefined ? [] : successors(k, after[k])),
  };
}

// The nodes reachable from `from`: each node found is in the set; the walk
// goes on past it only where onward(k) holds.
export function reachable(from, successors, onward = () => true) {
  const seen = new Set();
  const stack = [...from];
  while (stack.length) {
    const k = stack.pop();
    if (seen.has(k)) continue;
    seen.add(k);
    if (onward(k)) stack.push(...successors(k));
  }
  return seen;
}
