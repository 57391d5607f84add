// The program's own tables, src/variants/variants.def (the variants and the
// loops each can run) and src/harness/cpu_features.def (the extensions they
// need), as src/tables.json holds them: the compiler's preprocessor reads the
// .def files and the configure checks the file against them. The audit takes
// every variant's instruction set, encoding and lanes and every loop's form
// and offset from there, never from a copy of its own.

import { readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";

// Where the tables lie beside the audit in the source tree.
export const DEFAULT_TABLE = fileURLToPath(new URL("../../src/tables.json", import.meta.url));

// { variants: [{ NAME, function, needs, lanes, encoding, family, index, ... }],
//   loops: [{ family, number, order, counter, position, copy, xor_op, offset, ... }],
//   features: [{ NAME, decoder, text, ... }] }: each variant's needs the extensions its row adds, and the extensions
// and register states in cpu_features.def's order, each state with no decoder name (no instruction brings it).
// Throws where the tables are not what the build would accept: a family's loops not numbered 0, 1, ... in order,
// an offset outside a 64-byte line, or a variant whose family has no loop.
export function loadTable(path = DEFAULT_TABLE) {
  const tables = JSON.parse(readFileSync(path, "utf8"));
  const next = new Map();
  for (const l of tables.loops) {
    if (l.number !== (next.get(l.family) ?? 0))
      throw new Error(`${path}: loop ${l.family} ${l.number} out of order; expected number ${next.get(l.family) ?? 0}`);
    next.set(l.family, l.number + 1);
    if (!Number.isInteger(l.offset) || l.offset < 0 || l.offset > 63)
      throw new Error(`${path}: loop ${l.family} ${l.number} has offset ${l.offset}, not 0 to 63`);
  }
  for (const v of tables.variants)
    if (!next.has(v.family)) throw new Error(`${path}: variant ${v.NAME}'s family ${v.family} has no loop`);
  return { variants: tables.variants.map((v, index) => ({ ...v, index })), loops: tables.loops,
           features: [...tables.features, ...tables.states.map((s) => ({ ...s, decoder: null }))] };
}
