// Each loop of variants.def as the instructions lanes*.h writes for it, and
// its exact length. A row's tokens (order, counter, position, copy, xor_op)
// name pieces of assembler text; here each piece is the instruction it
// assembles to, in Intel operand order, with registers named by their role
// in the loop's data flow (roles.mjs): counter, acc, b, c2, s (the lane
// step), x (what the XOR writes: the scalar loop's element). The length is
// what an assembler makes of them: the shortest encoding of each, with the
// registers the loop in the executable uses.

import { Code, CodeExt, Encoder, Instruction, MemoryOperand, Mnemonic, OpCodeOperandKind, Register,
         RegisterExt } from "iced-x86";

const ELEMENTS = 1000000000;

// The counter's step and test (lanes.h: ISABENCH_STEP_c, ISABENCH_TEST_c):
// the test compares with the trip count, the element count, or nothing
// (the branch reads the step's own flags).
const COUNTERS = {
  down: { step: ["sub", 1], test: null },
  dec: { step: ["dec"], test: null },
  up: { step: ["add", 1], test: "trips" },
  upinc: { step: ["inc"], test: "trips" },
  elem: { step: ["add", "lanes"], test: "elements" },
  neg: { step: ["add", 1], test: null },
  neginc: { step: ["inc"], test: null },
};
// The scalar loop's k is its counter (lanes64.h: ISABENCH_SCALAR_k_*).
const SCALAR_STEPS = { k_add: ["add", 1], k_inc: ["inc"] };

const op = (mnemonic, operation, ...operands) => ({ mnemonic, operation, operands });

function token(table, value, what, row) {
  if (!Object.hasOwn(table, value))
    throw new Error(`variants.def: loop ${row.family} ${row.number}: ${what} "${value}" is none of ${Object.keys(table).join(", ")}`);
  return table[value];
}

function counterOf(row, lanes) {
  const c = token(COUNTERS, row.counter, "counter", row);
  const [mnemonic, by] = c.step;
  const step = op(mnemonic, "step", "counter", ...(by === undefined ? [] : [by === "lanes" ? lanes : by]));
  const bound = { trips: ELEMENTS / lanes, elements: ELEMENTS }[c.test];
  return { step, test: c.test ? [op("cmp", "compare", "counter", bound)] : [] };
}

// The vector operations of one iteration (lanes128.h, lanes256.h): legacy
// SSE writes its first source, VEX and EVEX name the destination apart.
function vectorOperations(row, shape, encoding) {
  const legacy = encoding === "legacy";
  const add = legacy ? "paddq" : "vpaddq";
  const update = (mnemonic, operation, dst, src) => op(mnemonic, operation, ...(legacy ? [dst, src] : [dst, dst, src]));
  if (shape === "two-lane") {
    token({ copyfirst: 0 }, row.order, "order", row);
    return [op(row.copy, "copy", "x", "b"), update(add, "advance", "b", "c2"), update(row.xor_op, "xor", "x", "b"),
      update(add, "accumulate", "acc", "x")];
  }
  const accumulate = update(add, "accumulate", "acc", "x"), advance = update(add, "advance", "b", "s");
  const order = token({ accfirst: [accumulate, advance], advfirst: [advance, accumulate] }, row.order, "order", row);
  return [op(add, "add-c2", "x", "b", "c2"), update(row.xor_op, "xor", "x", "b"), ...order];
}

// The instructions of loop `row` for a variant of `shape` (scalar, two-lane,
// wide), `lanes` lanes and `encoding`, in order, the branch back last.
export function expectedLoop(row, { shape, lanes, encoding }) {
  const branch = op("jne", "branch", "loop");
  if (shape === "scalar") {
    const [mnemonic, by] = token(SCALAR_STEPS, row.counter, "counter", row);
    const step = op(mnemonic, "step", "counter", ...(by === undefined ? [] : [by]));
    const accumulate = op("add", "accumulate", "acc", "x");
    const order = token({ accfirst: [accumulate, step], incfirst: [step, accumulate] }, row.order, "order", row);
    return [op("lea", "add-2", "x", { base: "counter", displacement: 2 }), op("xor", "xor", "x", "counter"), ...order,
      op("cmp", "compare", "counter", ELEMENTS), branch];
  }
  const { step, test } = counterOf(row, lanes);
  const operations = vectorOperations(row, shape, encoding);
  const body = token({ first: [step, ...operations], last: [...operations, step] }, row.position, "position", row);
  return [...body, ...test, branch];
}

// Every encoding iced-x86 knows in 64-bit mode, by mnemonic.
let codesByMnemonic = null;
function codesOf(mnemonic) {
  if (!codesByMnemonic) {
    codesByMnemonic = new Map();
    for (let c = 0; Code[c] !== undefined; c++) {
      const info = CodeExt.opCode(c);
      if (info.mode64 && info.isInstruction) {
        const kinds = Array.from({ length: info.opCount }, (_, k) => OpCodeOperandKind[info.opKind(k)]);
        if (!codesByMnemonic.has(info.mnemonic)) codesByMnemonic.set(info.mnemonic, []);
        codesByMnemonic.get(info.mnemonic).push({ code: c, kinds });
      }
      info.free();
    }
  }
  return codesByMnemonic.get(mnemonic) ?? [];
}

// Whether an encoding's operand of kind `kind` can take `operand`.
function accepts(kind, operand) {
  if (operand.register !== undefined) {
    const r = operand.register;
    if (RegisterExt.isGPR64(r)) return /^r64_(reg|rm|opcode|vvvv|or_mem)$/.test(kind) || (kind === "rax" && r === Register.RAX);
    const file = RegisterExt.isXMM(r) ? "xmm" : RegisterExt.isYMM(r) ? "ymm" : RegisterExt.isZMM(r) ? "zmm" : null;
    return file !== null && new RegExp(`^${file}_(reg|rm|vvvv|or_mem)$`).test(kind);
  }
  if (operand.immediate !== undefined) {
    const v = operand.immediate;
    return (kind === "imm8sex64" && v >= -128 && v <= 127) || (kind === "imm32sex64" && v >= -(2 ** 31) && v < 2 ** 31);
  }
  if (operand.memory) return kind === "mem";
  return kind === "br64_1" || kind === "br64_4";
}

function create(code, operands, target) {
  const [a, b, c] = operands;
  const shape = operands.map((o) => (o.register !== undefined ? "R" : o.immediate !== undefined ? "I" : o.memory ? "M" : "B")).join("");
  switch (shape) {
    case "R": return Instruction.createReg(code, a.register);
    case "RR": return Instruction.createRegReg(code, a.register, b.register);
    case "RRR": return Instruction.createRegRegReg(code, a.register, b.register, c.register);
    case "RI": return Instruction.createRegI32(code, a.register, b.immediate);
    case "RM": return Instruction.createRegMem(code, a.register, b.memory);
    case "B": return Instruction.createBranch(code, target);
    default: throw new Error(`no instruction of operands ${shape}`);
  }
}

// The length of the shortest encoding of `mnemonic` with these operands at
// `ip`, a branch to `target`; null where none encodes.
function shortest(mnemonic, operands, ip, target) {
  let best = null;
  for (const { code, kinds } of codesOf(mnemonic)) {
    if (kinds.length !== operands.length || !kinds.every((k, j) => accepts(k, operands[j]))) continue;
    const ins = create(code, operands, target);
    const encoder = new Encoder(64);
    try {
      const length = encoder.encode(ins, ip);
      if (best === null || length < best) best = length;
    } catch {
      // Not this encoding: an immediate or a branch distance out of its range.
    } finally {
      encoder.free();
      ins.free();
    }
  }
  return best;
}

// The register of role `name` (a full register, as roles.mjs gives them) at
// the loop's vector width.
function sized(register, width) {
  if (!RegisterExt.isVectorRegister(register)) return register;
  const base = { 128: Register.XMM0, 256: Register.YMM0, 512: Register.ZMM0 }[width];
  return base + RegisterExt.number(register);
}

// The length in bytes of `expected` placed at `start`, with each role in
// the register `registers` names for it; null where a role has no register
// or an instruction has no encoding.
export function expectedLength(expected, registers, width, start) {
  let ip = start;
  for (const ins of expected) {
    const operands = ins.operands.map((o) => {
      if (typeof o === "number") return { immediate: o };
      if (o === "loop") return { branch: true };
      if (typeof o === "object") {
        const base = registers[o.base];
        return base === undefined ? null : { memory: new MemoryOperand(base, Register.None, 1, BigInt(o.displacement), 1, false, Register.None) };
      }
      return registers[o] === undefined ? null : { register: sized(registers[o], width) };
    });
    if (operands.includes(null)) return null;
    const mnemonic = Mnemonic[ins.mnemonic.charAt(0).toUpperCase() + ins.mnemonic.slice(1)];
    const length = mnemonic === undefined ? null : shortest(mnemonic, operands, ip, start);
    if (length === null) return null;
    ip += BigInt(length);
  }
  return Number(ip - start);
}
