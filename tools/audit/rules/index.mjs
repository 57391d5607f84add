// The audit's rules, in the order they run and are listed. Each rule has an
// id, the one-sentence claim it proves, the functions it applies to
// (`appliesTo`, or the whole executable for scope "binary"), and a check
// that reports findings.

import binary from "./binary.mjs";
import driver from "./driver.mjs";
import image from "./image.mjs";
import code from "./code.mjs";
import isa from "./isa.mjs";
import loop from "./loop.mjs";
import arith from "./arith.mjs";
import timed from "./timed.mjs";
import upper from "./upper.mjs";
import reduction from "./reduction.mjs";
import same from "./same.mjs";
import closure from "./closure.mjs";
import clock from "./clock.mjs";
import printed from "./printed.mjs";
import runs from "./runs.mjs";

export const RULES = [...binary, ...driver, ...image, ...code, ...isa, ...loop, ...arith, ...timed, ...reduction, ...upper, ...same, ...clock, ...printed, ...runs, ...closure];
