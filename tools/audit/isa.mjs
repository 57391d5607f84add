// Instruction classes, each defined once, and small questions asked of one
// decoded instruction. Everything else in the audit names instructions
// through these.

import { Mnemonic as M, OpKind, FlowControl, RegisterExt, CpuidFeature, Register, EncodingKind, ConditionCode } from "iced-x86";

const set = (...mnemonics) => new Set(mnemonics);

export const CLASSES = {
  // Whole-register copies between vector registers (or from memory).
  copy: set(M.Movdqa, M.Movdqu, M.Movaps, M.Movups, M.Movapd, M.Movupd, M.Vmovdqa, M.Vmovdqu, M.Vmovaps,
    M.Vmovups, M.Vmovapd, M.Vmovupd, M.Vmovdqa32, M.Vmovdqa64, M.Vmovdqu8, M.Vmovdqu16, M.Vmovdqu32,
    M.Vmovdqu64, M.Lddqu, M.Vlddqu),
  xor: set(M.Pxor, M.Xorps, M.Xorpd, M.Vpxor, M.Vpxord, M.Vpxorq, M.Vxorps, M.Vxorpd),
  laneAdd: set(M.Paddq, M.Vpaddq),
  gprAdd: set(M.Add, M.Lea, M.Inc, M.Sub, M.Dec),
  compare: set(M.Cmp, M.Test),
  broadcast: set(M.Vpbroadcastq, M.Vbroadcastsd, M.Movddup, M.Vmovddup),
  // Moves of one element between general and vector registers or memory.
  element: set(M.Movq, M.Vmovq, M.Movd, M.Vmovd),
  // The reduction's lane moves: halves extracted, lanes shifted or shuffled down.
  extract: set(M.Vextracti128, M.Vextracti64x4, M.Vextracti64x2, M.Vextracti32x4, M.Vextracti32x8,
    M.Vextractf128, M.Vextractf64x4, M.Vextractf64x2, M.Vextractf32x4),
  laneShift: set(M.Psrldq, M.Vpsrldq),
  highLane: set(M.Punpckhqdq, M.Vpunpckhqdq, M.Movhlps, M.Vmovhlps, M.Unpckhpd, M.Vunpckhpd),
  shuffle: set(M.Pshufd, M.Vpshufd, M.Shufps, M.Vshufps, M.Shufpd, M.Vshufpd, M.Vpermilpd, M.Vpermilps,
    M.Punpcklqdq, M.Vpunpcklqdq, M.Punpckldq, M.Vpunpckldq, M.Unpcklpd, M.Vunpcklpd, M.Vpermq, M.Vperm2i128),
  vzero: set(M.Vzeroupper, M.Vzeroall),
  // The frame's arithmetic on the clock readings: conversions, subtraction,
  // scaling, in SSE, AVX or on the x87 unit.
  floating: set(M.Cvtsi2sd, M.Vcvtsi2sd, M.Vcvtusi2sd, M.Cvtsi2ss, M.Addsd, M.Vaddsd, M.Subsd, M.Vsubsd,
    M.Mulsd, M.Vmulsd, M.Addpd, M.Vaddpd, M.Subpd, M.Vsubpd, M.Haddpd, M.Vhaddpd, M.Movsd, M.Vmovsd,
    M.Movss, M.Vmovss, M.Movlpd, M.Vmovlpd, M.Movhpd, M.Vmovhpd, M.Comisd, M.Ucomisd, M.Vcomisd, M.Vucomisd,
    M.Andpd, M.Vandpd, M.Orpd, M.Vorpd,
    M.Fild, M.Fld, M.Fst, M.Fstp, M.Fadd, M.Faddp, M.Fsub, M.Fsubp, M.Fsubr, M.Fsubrp, M.Fmul, M.Fmulp,
    M.Fxch, M.Fldz, M.Fld1, M.Fistp, M.Fucomi, M.Fucomip, M.Fcomi, M.Fcomip),
  // General-purpose moves and arithmetic of the frame (address arithmetic,
  // the unsigned conversion's halving, flags for a branch).
  integer: set(M.Mov, M.Movzx, M.Movsx, M.Movsxd, M.Lea, M.Add, M.Sub, M.Adc, M.Sbb, M.And, M.Or,
    M.Xor, M.Not, M.Neg, M.Inc, M.Dec, M.Shl, M.Shr, M.Sar, M.Cmp, M.Test, M.Cmovae, M.Cmovb, M.Cmove,
    M.Cmovne, M.Cmovs, M.Cmovns, M.Seta, M.Setae, M.Setb, M.Setbe, M.Sete, M.Setne),
  nop: set(M.Nop),
};

export const inClass = (name, ins) => CLASSES[name].has(ins.mnemonic);

// What may run between a run's two clock readings besides the workload
// loop's own operations: moves, the frame's arithmetic, the reduction,
// branches inside the function, padding and the clearing of the upper
// halves. Nothing that traps, enters the kernel, serialises the processor,
// repeats in microcode (string instructions) or waits.
const TIMED = ["copy", "xor", "laneAdd", "broadcast", "element", "extract", "laneShift", "highLane", "shuffle",
  "vzero", "floating", "integer", "nop"];
export function allowedInTimedRegion(ins) {
  if (ins.isStringInstruction || ins.hasLockPrefix || ins.isPrivileged) return false;
  const fc = ins.flowControl;
  if (fc === FlowControl.ConditionalBranch || fc === FlowControl.UnconditionalBranch || fc === FlowControl.Call)
    return ins.isJccShortOrNear || ins.isJmpShortOrNear || ins.isCallNear;
  if (fc !== FlowControl.Next) return false;
  // xchg of a register with itself is a two-byte nop.
  if (ins.mnemonic === M.Xchg) return ins.op0Kind === OpKind.Register && ins.op0Register === ins.op1Register;
  return TIMED.some((c) => CLASSES[c].has(ins.mnemonic));
}

// Instructions that hand control to the kernel or a handler: never in a
// measuring function, which could use them to change its own code. A
// breakpoint (int3, int1: lld pads code with them) only raises SIGTRAP,
// which ends the program, since it installs no handler (closure.imports).
const TRAPS = new Set([M.Int3, M.Int1]);
export const entersKernel = (ins) => (ins.flowControl === FlowControl.Interrupt && !TRAPS.has(ins.mnemonic)) ||
  ins.mnemonic === M.Syscall || ins.mnemonic === M.Sysenter;

export const isBranch = (ins) => [FlowControl.ConditionalBranch, FlowControl.UnconditionalBranch,
  FlowControl.IndirectBranch].includes(ins.flowControl);
export const isCall = (ins) => ins.flowControl === FlowControl.Call || ins.flowControl === FlowControl.IndirectCall;
export const isIndirect = (ins) =>
  ins.flowControl === FlowControl.IndirectCall || ins.flowControl === FlowControl.IndirectBranch;
// Whether control can go on to the next instruction in memory: not past a
// trap, nor past hlt, which faults outside the kernel.
export const fallsThrough = (ins) => ![FlowControl.Return, FlowControl.UnconditionalBranch,
  FlowControl.IndirectBranch, FlowControl.Exception].includes(ins.flowControl) && !TRAPS.has(ins.mnemonic) &&
  ins.mnemonic !== M.Hlt;

// A memory operand that touches memory: lea only computes an address.
export function hasMemoryOperand(ins) {
  if (ins.mnemonic === M.Lea || ins.mnemonic === M.Nop) return false;
  for (let k = 0; k < ins.opCount; k++) {
    const kind = ins.opKind(k);
    if (kind === OpKind.Memory || (kind >= OpKind.MemorySegSI && kind <= OpKind.MemoryESRDI)) return true;
  }
  return false;
}

export function registersOf(ins) {
  const regs = [];
  for (let k = 0; k < ins.opCount; k++)
    if (ins.opKind(k) === OpKind.Register) regs.push(ins.opRegister(k));
  return regs;
}
export const vectorRegisters = (ins) => registersOf(ins).filter((r) => RegisterExt.isVectorRegister(r));
export const isImmediate = (kind) => kind >= OpKind.Immediate8 && kind <= OpKind.Immediate32to64;
export const fullRegister = (reg) => RegisterExt.fullRegister(reg);

export const featureNames = (ins) => Array.from(ins.cpuidFeatures(), (f) => CpuidFeature[f]);

// The class of an instruction in the workload loop, as the loop's shape
// counts them.
export function loopOperation(ins) {
  if (ins.isJccShortOrNear) return "branch";
  if (ins.mnemonic === M.Xor) return "xor";
  return ["laneAdd", "xor", "copy", "gprAdd", "compare"].find((c) => CLASSES[c].has(ins.mnemonic)) ?? null;
}

// ---------------------------------------------------------------------------
// What instructions compute, for the analyses that follow values: which
// operands an instruction reads, the integer operations with their flags,
// and the conditions a branch tests.

// The two source operands of a two- or three-operand form: legacy SSE and
// general instructions read their destination, VEX and EVEX name both
// sources after it.
export const sourceOperands = (ins) => (ins.encoding === EncodingKind.Legacy ? [0, 1] : [1, 2]);

// A register combined with itself by XOR or SUB: zero, whatever it held.
export const zeroingIdiom = (ins) => ins.op0Kind === OpKind.Register && ins.opKind(ins.opCount - 1) === OpKind.Register &&
  ins.opRegister(ins.opCount - 1) === ins.opRegister(ins.opCount - 2);

// A memory operand relative to FS or GS: the segment's base is the
// thread's, set by the system, so the address is not one in the file.
export const segmentRelative = (ins) => ins.memorySegment === Register.FS || ins.memorySegment === Register.GS;

// Integer operations on operands x and y of `bits` width (y is 0 for a
// unary one), each with the kind of flags it sets for flagsOf (null where
// the flags it leaves are not modelled). Shift counts are masked as the
// processor masks them.
const count = (y, bits) => y & (bits === 64 ? 63n : 31n);
export const INTEGER_OPS = new Map([
  [M.Add, { result: (x, y) => x + y, flags: "add" }],
  [M.Sub, { result: (x, y) => x - y, flags: "sub" }],
  [M.Cmp, { result: (x, y) => x - y, flags: "sub", compares: true }],
  [M.Test, { result: (x, y) => x & y, flags: "logic", compares: true }],
  [M.And, { result: (x, y) => x & y, flags: "logic" }],
  [M.Or, { result: (x, y) => x | y, flags: "logic" }],
  [M.Xor, { result: (x, y) => x ^ y, flags: "logic" }],
  [M.Inc, { result: (x) => x + 1n, flags: "inc", unary: true }],
  [M.Dec, { result: (x) => x - 1n, flags: "dec", unary: true }],
  [M.Neg, { result: (x) => -x, flags: "neg", unary: true }],
  [M.Not, { result: (x) => ~x, flags: "none", unary: true }],
  [M.Shl, { result: (x, y, bits) => x << count(y, bits), flags: null }],
  [M.Shr, { result: (x, y, bits) => x >> count(y, bits), flags: null }],
  [M.Sar, { result: (x, y, bits) => BigInt.asIntN(bits, x) >> count(y, bits), flags: null }],
  [M.Imul, { result: (x, y) => x * y, flags: null }],
]);

// The flags after an operation: each of ZF, SF, CF and OF true, false or
// unknown (undefined). `previous` is what CF was before, which inc and dec
// keep.
export function flagsOf(op, a, b, r, bits, previous) {
  const m = (1n << BigInt(bits)) - 1n, sign = 1n << BigInt(bits - 1);
  const neg = (v) => (v & sign) !== 0n;
  const f = { zf: r === 0n, sf: neg(r) };
  switch (op) {
    case "add": f.cf = a + b > m; f.of = neg(a) === neg(b) && neg(r) !== neg(a); break;
    case "sub": f.cf = a < b; f.of = neg(a) !== neg(b) && neg(r) !== neg(a); break;
    case "logic": f.cf = false; f.of = false; break;
    case "inc": f.cf = previous?.cf; f.of = r === sign; break;
    case "dec": f.cf = previous?.cf; f.of = a === sign; break;
    case "neg": f.cf = a !== 0n; f.of = a === sign; break;
    default: return null;
  }
  return f;
}

// Whether a conditional branch with condition `cc` is taken; undefined
// where a flag it reads is not known.
export function conditionHolds(f, cc) {
  if (!f) return undefined;
  const all = (...v) => (v.some((x) => x === undefined) ? undefined : true);
  const C = ConditionCode;
  const table = {
    [C.e]: () => f.zf, [C.ne]: () => !f.zf,
    [C.b]: () => f.cf, [C.ae]: () => (f.cf === undefined ? undefined : !f.cf),
    [C.be]: () => all(f.cf) && (f.cf || f.zf), [C.a]: () => all(f.cf) && !f.cf && !f.zf,
    [C.s]: () => f.sf, [C.ns]: () => !f.sf,
    [C.l]: () => all(f.of) && f.sf !== f.of, [C.ge]: () => all(f.of) && f.sf === f.of,
    [C.le]: () => all(f.of) && (f.zf || f.sf !== f.of), [C.g]: () => all(f.of) && !f.zf && f.sf === f.of,
  };
  const test = table[cc];
  return test ? test() : undefined;
}

// Where each of the first `d` quadword lanes an instruction writes comes
// from, for the moves that rearrange lanes (copies, extracts, byte shifts,
// shuffles, interleaves): { from: operand index, lane } for a lane moved,
// ZERO_LANE for a lane cleared, null for a lane not modelled. Null where the
// instruction is not such a move. Shuffles work within each 128-bit block.
export const ZERO_LANE = Object.freeze({ zero: true });
const UNPACK_HIGH = set(M.Punpckhqdq, M.Vpunpckhqdq, M.Unpckhpd, M.Vunpckhpd);
const UNPACK = set(...UNPACK_HIGH, M.Punpcklqdq, M.Vpunpcklqdq, M.Unpcklpd, M.Vunpcklpd);
export function quadwordMoves(ins, d) {
  const m = ins.mnemonic;
  const [x, y] = sourceOperands(ins);
  const imm = (i) => (isImmediate(ins.opKind(i)) ? Number(ins.immediate(i)) : null);
  const lanes = (f) => Array.from({ length: d }, (_, j) => f(j, j - (j % 2)));
  if (CLASSES.copy.has(m) && ins.opCount === 2) return lanes((j) => ({ from: 1, lane: j }));
  if (CLASSES.extract.has(m) && imm(2) !== null) return lanes((j) => ({ from: 1, lane: imm(2) * d + j }));
  if (CLASSES.laneShift.has(m)) {
    // A shift by 8 bytes moves each block's high lane down; others are not modelled.
    const by = imm(ins.opCount - 1);
    return lanes((j) => (by !== 8 ? null : j % 2 === 0 ? { from: x, lane: j + 1 } : ZERO_LANE));
  }
  if (UNPACK.has(m)) {
    const high = UNPACK_HIGH.has(m) ? 1 : 0;
    return lanes((j, block) => ({ from: j % 2 === 0 ? x : y, lane: block + high }));
  }
  // movhlps moves the second source's high lane down, under the first's.
  if (m === M.Movhlps || m === M.Vmovhlps) return [{ from: y, lane: 1 }, { from: x, lane: 1 }];
  return shuffledQuadwords(ins, d, imm(ins.opCount - 1));
}
function shuffledQuadwords(ins, d, sel) {
  const m = ins.mnemonic;
  const lanes = (f) => Array.from({ length: d }, (_, j) => f(j, j - (j % 2)));
  if (sel === null) return null;
  if (m === M.Pshufd || m === M.Vpshufd) {
    // The quadword a pair of selected doublewords makes, where they make one.
    const q = (h) => {
      const d0 = (sel >> (4 * h)) & 3, d1 = (sel >> (4 * h + 2)) & 3;
      return d0 % 2 === 0 && d1 === d0 + 1 ? d0 / 2 : null;
    };
    return lanes((j, block) => (q(j % 2) === null ? null : { from: 1, lane: block + q(j % 2) }));
  }
  if (m === M.Vpermilpd) return lanes((j, block) => ({ from: 1, lane: block + ((sel >> j) & 1) }));
  if (m === M.Shufpd || m === M.Vshufpd) {
    const [x, y] = sourceOperands(ins);
    return lanes((j, block) => ({ from: j % 2 === 0 ? x : y, lane: block + ((sel >> j) & 1) }));
  }
  return null;
}
