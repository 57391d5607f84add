// What the code beside the measuring functions may print, for
// closure.output: a results line printed by main, a constructor, a
// destructor or a callback would look like a measured one while timing
// nothing. Only a measuring function (read by its own rules, never by the
// closure) writes to standard output; the rest may write to standard error
// alone, and flush or test any stream.

import { argumentRegisters } from "./provenance.mjs";

// The library's functions that write to standard output whatever they are
// given (MinGW's own printf among them).
const TO_STANDARD_OUTPUT = new Set(["printf", "__printf_chk", "vprintf", "__vprintf_chk", "puts", "putchar",
  "putchar_unlocked", "__mingw_printf", "__mingw_vprintf"]);
// Those that write to the stream they are given, by the number of the
// argument that names it.
const STREAM_ARGUMENT = new Map([["fprintf", 0], ["__fprintf_chk", 0], ["vfprintf", 0], ["__vfprintf_chk", 0],
  ["__mingw_fprintf", 0], ["__mingw_vfprintf", 0], ["fputs", 1], ["fputc", 1], ["putc", 1], ["fwrite", 3]]);

// Each call out of read code (readCode's `calls`) that may print to a
// stream other than standard error: { at, message }.
export function outputProblems(binary, calls) {
  const problems = [];
  for (const c of calls) {
    if (TO_STANDARD_OUTPUT.has(c.name)) {
      problems.push({ at: c.at, message: `calls ${c.name}, which prints to standard output` });
      continue;
    }
    if (!STREAM_ARGUMENT.has(c.name)) continue;
    const stream = c.args?.get(argumentRegisters(binary)[STREAM_ARGUMENT.get(c.name)]);
    if (stream?.kind !== "stream" || stream.name !== "stderr")
      problems.push({ at: c.at, message: `calls ${c.name} on ${stream?.kind === "stream" ? stream.name : "a stream the analysis cannot place"}, not on standard error` });
  }
  return problems;
}
