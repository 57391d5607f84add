// The program's own tables, read as the build reads them, one row per line:
// src/variants/variants.def, the variants (ISABENCH_VARIANT) and the loops
// each can run (ISABENCH_LOOP); src/harness/cpu_features.def, the extensions
// they need (ISABENCH_FEATURE, ISABENCH_STATE). The audit takes every
// variant's instruction set, encoding and lanes and every loop's form and
// offset from there, never from a copy of its own.

import { readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";

// Where the tables lie beside the audit in the source tree.
export const DEFAULT_TABLE = fileURLToPath(new URL("../../src/variants/variants.def", import.meta.url));
const DEFAULT_FEATURES = fileURLToPath(new URL("../../src/harness/cpu_features.def", import.meta.url));

const VARIANT_FIELDS = ["NAME", "function", "tag", "label", "needs", "lanes", "encoding", "family"];
const FEATURE_FIELDS = ["NAME", "source", "mask", "compiler", "decoder", "cpuinfo", "text"];
const STATE_FIELDS = ["NAME", "mask", "text"];
const LOOP_FIELDS = ["family", "number", "processors", "order", "counter", "position", "copy", "xor_op", "offset"];

// The arguments of one row, split at the commas outside string literals.
function splitArguments(text) {
  const args = [];
  let current = "", quoted = false;
  for (const c of text) {
    if (c === '"') quoted = !quoted;
    if (c === "," && !quoted) { args.push(current.trim()); current = ""; }
    else current += c;
  }
  args.push(current.trim());
  return args;
}

function rowsOf(text, macro, fields, path) {
  const rows = [];
  for (const [k, line] of text.split("\n").entries()) {
    const m = line.match(new RegExp(`^${macro}\\((.*)\\)\\s*$`));
    if (!m) continue;
    const args = splitArguments(m[1]);
    if (args.length !== fields.length)
      throw new Error(`${path}:${k + 1}: ${macro} has ${args.length} arguments, expected ${fields.length}`);
    rows.push(Object.fromEntries(fields.map((f, j) => [f, args[j].replace(/^"(.*)"$/, "$1")])));
  }
  return rows;
}

// { variants: [{ NAME, function, needs, lanes, encoding, family, index, ... }],
//   loops: [{ family, number, order, counter, position, copy, xor_op, offset, ... }] },
// numbers as numbers, string literals without their quotes, and each variant's needs as the names of the
// extensions its row adds (FEATURE_ left off). Throws where the table is not what the build would accept: a
// family's loops not numbered 0, 1, ... in order, an offset outside a 64-byte line, or a variant whose family has
// no loop.
export function loadTable(path = DEFAULT_TABLE) {
  const text = readFileSync(path, "utf8");
  const variants = rowsOf(text, "ISABENCH_VARIANT", VARIANT_FIELDS, path).map((v, index) => ({
    ...v, lanes: Number(v.lanes), index,
    needs: v.needs === "0" ? [] : v.needs.split("|").map((n) => n.trim().replace(/^FEATURE_/, "")),
  }));
  const loops = rowsOf(text, "ISABENCH_LOOP", LOOP_FIELDS, path).map((l) => ({
    ...l, number: Number(l.number), offset: Number(l.offset),
  }));
  const next = new Map();
  for (const l of loops) {
    if (l.number !== (next.get(l.family) ?? 0))
      throw new Error(`${path}: loop ${l.family} ${l.number} out of order; expected number ${next.get(l.family) ?? 0}`);
    next.set(l.family, l.number + 1);
    if (!Number.isInteger(l.offset) || l.offset < 0 || l.offset > 63)
      throw new Error(`${path}: loop ${l.family} ${l.number} has offset ${l.offset}, not 0 to 63`);
  }
  for (const v of variants)
    if (!next.has(v.family)) throw new Error(`${path}: variant ${v.NAME}'s family ${v.family} has no loop`);
  return { variants, loops };
}

// The extensions and register states of cpu_features.def, in its order: [{ NAME, decoder, text, ... }], each state
// with no decoder name (no instruction brings it).
export function loadFeatures(path = DEFAULT_FEATURES) {
  const text = readFileSync(path, "utf8");
  return [...rowsOf(text, "ISABENCH_FEATURE", FEATURE_FIELDS, path),
    ...rowsOf(text, "ISABENCH_STATE", STATE_FIELDS, path).map((s) => ({ ...s, decoder: null }))];
}
