// audit.rules_covered: every rule of the binary audit is shown to fail by at
// least one fault executable of this build, and every rule the fault tests
// name exists. A rule that no fault ever triggers proves nothing.
//
// usage: node rules_covered.mjs --covered=ID,ID,... [--not-here=ID,...]
// --not-here names the rules whose faults this platform cannot build.
import { RULES } from "../../tools/audit/check.mjs";

const option = (name) =>
  (process.argv.find((a) => a.startsWith(`--${name}=`)) ?? `--${name}=`).slice(name.length + 3).split(",").filter(Boolean);
const covered = new Set(option("covered"));
const notHere = new Set(option("not-here"));
const ids = new Set(RULES.map((r) => r.id));

const problems = [];
for (const id of ids)
  if (!covered.has(id) && !notHere.has(id)) problems.push(`rule ${id} has no fault that it reports`);
for (const id of [...covered, ...notHere])
  if (!ids.has(id)) problems.push(`the fault tests name ${id}, which is no rule of the audit`);
for (const p of problems) console.error(`rules_covered: ${p}`);
if (problems.length) process.exit(1);
console.log(`rules_covered: all ${ids.size} rules are shown to fail${notHere.size ? ` (on this platform but ${[...notHere].join(", ")})` : ""}`);
