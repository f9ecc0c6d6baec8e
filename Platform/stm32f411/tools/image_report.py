#!/usr/bin/env python3
"""Size, vector-table and stack report of the board image.

Flash is everything the image stores in flash (vector table, code, constants, constructor list
and the initial values of .data); static RAM is .data plus .bss (the stack is not counted there).

The worst-case stack depth combines, over the call graph of the linked image:
  * the stack frame of each function: the compiler's own figure from -fcallgraph-info=su (the
    same numbers as -fstack-usage) for the firmware's code, and the stack adjustments of its
    prologue for library code that was compiled without it;
  * the calls: read from the disassembly of the image (bl/blx and tail branches), so library
    code, helper calls the compiler inserted and the code removed by the linker are all as built;
    an indirect call may reach any function whose address is stored in the image, unless the
    caller is named with --indirect and the functions it can reach that way (picolibc's printf
    calls only the put function of the stream it is given, and snprintf's stream is a string);
  * interrupts: the thread (from Reset_Handler) plus, for each pre-emption level that can nest on
    top of it, the deepest handler of that level and one exception frame with floating-point
    context.
The figure is exact only when every reachable function has a known frame, nothing recurses and no
frame is dynamic; otherwise the report says why it is a lower bound.
"""

import argparse
import collections
import os
import re
import struct
import subprocess
import sys

FLASH = (0x08000000, 512 * 1024)
RAM = (0x20000000, 128 * 1024)
# Flash sectors 2 and 3 keep the saved settings: nothing of the image may lie there. The image
# lies in sectors 0 and 1 below them and, when it needs more, from sector 4 on.
SETTINGS = (0x08008000, 32 * 1024)
FLASH_REGIONS = [("sectors 0-1", 0x08000000, 32 * 1024), ("from sector 4", 0x08010000, 64 * 1024)]
# Exception frame with FP context (26 words) plus the alignment word the core may insert.
EXCEPTION_FRAME = 26 * 4 + 4
SYSTEM_HANDLERS = ["Reset_Handler", "NMI_Handler", "HardFault_Handler", "MemManage_Handler",
                   "BusFault_Handler", "UsageFault_Handler", None, None, None, None, "SVC_Handler",
                   "DebugMon_Handler", None, "PendSV_Handler", "SysTick_Handler"]
IRQ_COUNT = 86
# Interrupts the firmware enables, by position, and the handler that must sit there.
FIRMWARE_IRQS = {28: "TIM2_IRQHandler", 29: "TIM3_IRQHandler", 37: "USART1_IRQHandler",
                 38: "USART2_IRQHandler"}
# Pre-emption levels that can nest on top of the thread, lowest first, as the bring-up sets the
# priorities: the tick (15), the application interrupts (0, never nesting among themselves), then
# the faults and NMI.
DEFAULT_LEVELS = [["SysTick_Handler"],
                  ["TIM2_IRQHandler", "TIM3_IRQHandler", "USART1_IRQHandler",
                   "USART2_IRQHandler"],
                  ["HardFault_Handler", "MemManage_Handler", "BusFault_Handler",
                   "UsageFault_Handler"],
                  ["NMI_Handler"]]


class Elf:
    """The parts of an ELF32 little-endian file this report reads."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:4] != b"\x7fELF" or d[4] != 1 or d[5] != 1:
            raise SystemExit(f"{path}: not a 32-bit little-endian ELF file")
        shoff, = struct.unpack_from("<I", d, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from("<HHH", d, 0x2E)
        raw = [struct.unpack_from("<IIIIIIIIII", d, shoff + i * shentsize) for i in range(shnum)]
        names = raw[shstrndx]
        self.sections = []
        for (name, typ, flags, addr, off, size, link, info, align, entsize) in raw:
            self.sections.append({
                "name": self._str(names[4] + name), "type": typ, "flags": flags, "addr": addr,
                "offset": off, "size": size, "link": link, "entsize": entsize})
        self.symbols = []
        for s in self.sections:
            if s["type"] != 2:  # SHT_SYMTAB
                continue
            strtab = self.sections[s["link"]]["offset"]
            for k in range(s["size"] // 16):
                name, value, size, info, other, shndx = struct.unpack_from(
                    "<IIIBBH", d, s["offset"] + k * 16)
                self.symbols.append({"name": self._str(strtab + name), "value": value,
                                     "size": size, "type": info & 0xF, "bind": info >> 4,
                                     "shndx": shndx})

    def _str(self, off):
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode()

    def section(self, name):
        return next((s for s in self.sections if s["name"] == name), None)

    def words(self, section):
        base = section["offset"]
        return [struct.unpack_from("<I", self.data, base + i)[0]
                for i in range(0, section["size"] - 3, 4)]

    def symbol(self, name):
        return next((s for s in self.symbols if s["name"] == name), None)


def sizes(elf):
    """Flash in all, flash per region of FLASH_REGIONS, static RAM, .data and .bss."""
    flash = ram = 0
    regions = [0] * len(FLASH_REGIONS)
    for s in elf.sections:
        if not s["flags"] & 2 or s["size"] == 0:  # SHF_ALLOC
            continue
        in_flash = FLASH[0] <= s["addr"] < FLASH[0] + FLASH[1]
        in_ram = RAM[0] <= s["addr"] < RAM[0] + RAM[1]
        if in_flash or (in_ram and s["type"] != 8):  # initialised RAM data is stored in flash
            flash += s["size"]
            # .data's initial values follow the code in sectors 0-1
            addr = s["addr"] if in_flash else FLASH_REGIONS[0][1]
            for k, (_, start, size) in enumerate(FLASH_REGIONS):
                if start <= addr < start + size:
                    regions[k] += s["size"]
        if in_ram:
            ram += s["size"]
    by_name = {s["name"]: s["size"] for s in elf.sections}
    return flash, regions, ram, by_name.get(".data", 0), by_name.get(".bss", 0)


def check_vectors(elf):
    """Problems found in the vector table, as text; empty when it is as the firmware needs."""
    table = elf.section(".isr_vector")
    if table is None:
        return ["no .isr_vector section"]
    words = elf.words(table)
    problems = []
    if len(words) != 16 + IRQ_COUNT:
        problems.append(f"vector table has {len(words)} entries, expected {16 + IRQ_COUNT}")
        return problems
    func = {s["name"]: s["value"] for s in elf.symbols if s["type"] == 2}
    estack = elf.symbol("_estack")
    if estack is None or words[0] != estack["value"]:
        problems.append("entry 0 is not the initial stack pointer _estack")
    default = func.get("Unassigned_Handler")
    expected = {k + 1: n for k, n in enumerate(SYSTEM_HANDLERS) if n}
    expected.update({16 + irq: n for irq, n in FIRMWARE_IRQS.items()})
    for slot, name in expected.items():
        if name not in func or words[slot] != func[name]:
            problems.append(f"entry {slot} does not hold {name}")
        elif name != "Reset_Handler" and func[name] == default:
            problems.append(f"entry {slot}: {name} is only the default handler")
    for slot in range(16, 16 + IRQ_COUNT):
        if slot not in expected and words[slot] not in (0, default):
            problems.append(f"entry {slot} (interrupt {slot - 16}) is not the default handler")
    return problems


# ---- Stack ---------------------------------------------------------------------------------------

def linked_objects(map_path):
    """The object files the linker loaded, from its map ("LOAD path" lines), without archives."""
    objects = []
    try:
        with open(map_path, encoding="utf-8", errors="replace") as fh:
            for line in fh:
                if line.startswith("LOAD ") and line.rstrip().endswith((".o", ".obj")):
                    objects.append(line[5:].strip())
    except OSError:
        return None
    return objects


def read_callgraph_frames(root, objects=None):
    """Frame sizes from the compiler's .ci files: {assembler name: (bytes, qualifier)}, and the
    linked objects that have none. With the list of linked objects, only their .ci files count
    (a build tree keeps the files of objects it no longer links)."""
    frames = {}
    node = re.compile(r'node: \{ title: "([^"]+)" label: "[^"]*\\n(\d+) bytes \(([a-z,]+)\)"')
    wanted = None
    if objects is not None:
        # "../../CMakeFiles/x.dir/a.cpp.obj" is the object whose call graph is ".../x.dir/a.cpp.ci".
        wanted = {re.sub(r"^(\.\./)+", "", os.path.splitext(o)[0]) + ".ci": o for o in objects}
    found = set()
    for dirpath, _, files in os.walk(root):
        for f in files:
            if not f.endswith(".ci"):
                continue
            path = os.path.join(dirpath, f)
            if wanted is not None:
                match = [w for w in wanted if path.endswith(os.sep + w) or path == w]
                if not match:
                    continue
                found.update(match)
            with open(path, encoding="utf-8", errors="replace") as fh:
                for m in node.finditer(fh.read()):
                    # File-local functions are titled "file:name".
                    name = m.group(1).rsplit(":", 1)[-1]
                    size, qual = int(m.group(2)), m.group(3)
                    old = frames.get(name)
                    # Same local name in two files: keep the larger frame.
                    if old is None or size > old[0]:
                        frames[name] = (size, qual)
    missing = sorted(wanted[w] for w in wanted if w not in found) if wanted is not None else []
    return frames, missing


def disassemble(tool_prefix, elf_path):
    out = subprocess.run([tool_prefix + "objdump", "-d", "--no-show-raw-insn", elf_path],
                         check=True, capture_output=True, text=True).stdout
    funcs = collections.OrderedDict()
    current = None
    head = re.compile(r"^([0-9a-f]{8}) <([^>]+)>:$")
    for line in out.splitlines():
        m = head.match(line)
        if m:
            current = m.group(2)
            funcs[current] = {"addr": int(m.group(1), 16), "insns": []}
            continue
        if current and line.startswith(" ") and ":\t" in line:
            funcs[current]["insns"].append(line.split(":\t", 1)[1].strip())
    return funcs


REGLIST = re.compile(r"\{([^}]*)\}")


def reg_count(text):
    n = 0
    for part in REGLIST.search(text).group(1).split(","):
        part = part.strip()
        if "-" in part:
            a, b = part.split("-")
            n += int(b[1:]) - int(a[1:]) + 1
        elif part:
            n += 1
    return n


def prologue_frame(insns):
    """Stack a function claims, from its pushes and stack-pointer subtractions (an upper bound
    when different paths push differently)."""
    total = 0
    for ins in insns:
        op = ins.split()[0] if ins else ""
        if op.startswith("push") or (op.startswith("stmdb") and ins.split()[1].startswith("sp!")):
            total += 4 * reg_count(ins)
        elif op.startswith("vpush") or (op.startswith("vstmdb") and "sp!" in ins):
            n = reg_count(ins)
            total += (8 if "d" in REGLIST.search(ins).group(1) else 4) * n
        elif re.match(r"subw?(\.w)?\s+sp,\s*(sp,\s*)?#(\d+)", ins):
            total += int(re.search(r"#(\d+)", ins).group(1))
        elif re.match(r"(str|strd)(\.w)?\s+.*\[sp,\s*#-(\d+)\]!", ins):
            total += int(re.search(r"#-(\d+)\]!", ins).group(1))
    return total


def demangler(tool_prefix, names):
    """Readable names for display: {symbol: demangled}, without parameter lists."""
    names = sorted(names)
    try:
        out = subprocess.run([tool_prefix + "c++filt", "-p"], input="\n".join(names),
                             check=True, capture_output=True, text=True).stdout.splitlines()
    except (OSError, subprocess.CalledProcessError):
        return {}
    return dict(zip(names, out)) if len(out) == len(names) else {}


def stack_report(elf, elf_path, objects_dir, tool_prefix, levels, verbose, known=None):
    # Only function symbols: constant tables placed among the code are not functions.
    code = {s["name"] for s in elf.symbols if s["type"] == 2}
    funcs = {n: f for n, f in disassemble(tool_prefix, elf_path).items() if n in code}
    by_addr = {f["addr"]: name for name, f in funcs.items()}
    objects = linked_objects(os.path.splitext(elf_path)[0] + ".map")
    frames, missing = read_callgraph_frames(objects_dir, objects)
    notes = []
    if missing:
        notes.append("linked without the compiler's stack figures (-fcallgraph-info), frames read "
                     "from the prologue: " + ", ".join(os.path.basename(m) for m in missing))

    # Functions whose address is stored in the image (outside the vector table) are what an
    # indirect call can reach.
    func_addrs = {f["addr"] | 1: name for name, f in funcs.items()}
    taken = set()
    for s in elf.sections:
        if s["flags"] & 2 and s["type"] != 8 and s["name"] != ".isr_vector":
            for w in elf.words(s):
                if w in func_addrs:
                    taken.add(func_addrs[w])

    call = re.compile(r"^(?:bl|blx|b(?:eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?)"
                      r"(?:\.w|\.n)?\s+([0-9a-f]+)\s+<([^>+]+)>")
    callees = {}
    frame = {}
    source = {}
    indirect = set()
    for name, f in funcs.items():
        out = set()
        for ins in f["insns"]:
            m = call.match(ins)
            if m:
                target = int(m.group(1), 16)
                if target in by_addr and by_addr[target] != name:
                    out.add(by_addr[target])
                continue
            if re.match(r"^blx\s+r\d+", ins) or re.match(r"^bx\s+r(?!14)\d+", ins):
                indirect.add(name)
        callees[name] = out
        if name in frames:
            frame[name], qual = frames[name]
            source[name] = "compiler"
            if qual != "static":
                notes.append(f"{name}: frame is {qual}")
        else:
            frame[name] = prologue_frame(f["insns"])
            source[name] = "prologue"
    known = known or {}
    for name, targets in known.items():
        missing = [t for t in targets if t not in taken]
        if name not in funcs or missing:
            notes.append(f"--indirect {name}: not in the image or not address-taken: "
                         + ", ".join(missing or [name]))
    for name in indirect:
        callees[name] |= (set(known[name]) if name in known else taken) - {name}

    depth = {}
    path = {}
    cycles = []

    def walk(name, stack):
        if name in depth:
            return depth[name]
        if name in stack:
            cycles.append(" -> ".join(stack[stack.index(name):] + [name]))
            return 0
        stack.append(name)
        best, best_path = 0, []
        for c in sorted(callees.get(name, ())):
            d = walk(c, stack)
            if d > best:
                best, best_path = d, path.get(c, [c])
        stack.pop()
        depth[name] = frame.get(name, 0) + best
        path[name] = [name] + best_path
        return depth[name]

    shown = demangler(tool_prefix, funcs)

    def chain(name):
        return " > ".join(shown.get(n, n) for n in path.get(name, []))

    thread = walk("Reset_Handler", []) if "Reset_Handler" in funcs else 0
    total = thread
    lines = [f"  thread (Reset_Handler): {thread} B: {chain('Reset_Handler')}"]
    for level in levels:
        present = [h for h in level if h in funcs]
        if not present:
            continue
        worst = max(present, key=lambda h: walk(h, []))
        d = walk(worst, [])
        total += d + EXCEPTION_FRAME
        lines.append(f"  + {'/'.join(present)}: {d} B + {EXCEPTION_FRAME} B exception frame: "
                     f"{chain(worst)}")
    if cycles:
        notes.append("recursion: " + "; ".join(sorted(set(cycles))))
    guessed = sorted(shown.get(n, n) for n in depth if source.get(n) == "prologue")
    if verbose:
        for name in sorted(depth, key=lambda n: -depth[n]):
            lines.append(f"    {depth[name]:5d} {frame.get(name, 0):4d} {source.get(name, '?'):8s} "
                         f"{shown.get(name, name)} -> "
                         f"{', '.join(shown.get(c, c) for c in sorted(callees.get(name, ())))}")
        lines.append("    address-taken: " + ", ".join(shown.get(n, n) for n in sorted(taken)))
    return (total, lines, notes, guessed,
            sorted(shown.get(n, n) for n in indirect if n in depth and n not in known))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--elf", required=True)
    ap.add_argument("--objects", required=True, help="build tree holding the .ci files")
    ap.add_argument("--tool-prefix", default="arm-none-eabi-")
    ap.add_argument("--check", action="store_true", help="fail when a budget is exceeded")
    ap.add_argument("--flash-max", type=int, default=96 * 1024)
    ap.add_argument("--ram-max", type=int, default=4096)
    ap.add_argument("--stack-goal", type=int, default=2048)
    ap.add_argument("--level", action="append",
                    help="comma-separated handlers sharing one pre-emption level, lowest first "
                         "(default: the firmware's own levels)")
    ap.add_argument("--indirect", action="append", default=[], metavar="CALLER=F1,F2",
                    help="the only functions CALLER's indirect calls can reach")
    ap.add_argument("--verbose", action="store_true", help="list every reachable function")
    args = ap.parse_args()

    elf = Elf(args.elf)
    flash, regions, ram, data, bss = sizes(elf)
    print(f"wspr-beacon: flash {flash} B of {args.flash_max} B budget "
          f"({flash / 1024:.1f} KiB), static RAM {ram} B (data {data} + bss {bss}) "
          f"of {args.ram_max} B budget")
    print("flash by region: " + ", ".join(
        f"{name} {used} B of {size} B" for (name, _, size), used in zip(FLASH_REGIONS, regions)))

    failures = []
    if flash > args.flash_max:
        failures.append(f"flash {flash} B exceeds {args.flash_max} B")
    for (name, _, size), used in zip(FLASH_REGIONS, regions):
        if used > size:
            failures.append(f"flash {name}: {used} B exceeds {size} B")
    if ram > args.ram_max:
        failures.append(f"static RAM {ram} B exceeds {args.ram_max} B")
    for sec in elf.sections:
        if (sec["flags"] & 2 and sec["size"] and sec["addr"] < SETTINGS[0] + SETTINGS[1]
                and sec["addr"] + sec["size"] > SETTINGS[0]):
            failures.append(f"{sec['name']} lies in the settings sectors")
    if FLASH_REGIONS[0][1] + regions[0] > SETTINGS[0]:
        failures.append(f"flash {regions[0]} B would reach the settings sectors at "
                        f"0x{SETTINGS[0]:08X}")
    problems = check_vectors(elf)
    for p in problems:
        failures.append("vector table: " + p)
    if not problems:
        print(f"vector table: {16 + IRQ_COUNT} entries, firmware handlers in place")

    levels = [lv.split(",") for lv in args.level] if args.level else DEFAULT_LEVELS
    known = {}
    for entry in args.indirect:
        caller, _, targets = entry.partition("=")
        known[caller] = [t for t in targets.split(",") if t]
    total, lines, notes, guessed, indirect = stack_report(elf, args.elf, args.objects,
                                                          args.tool_prefix, levels, args.verbose,
                                                          known)
    verdict = "within" if total <= args.stack_goal else "OVER"
    print(f"worst-case stack: {total} B ({verdict} the {args.stack_goal} B goal)")
    for line in lines:
        print(line)
    if guessed:
        print("  frames read from the prologue (library code): " + ", ".join(guessed))
    if indirect:
        print("  indirect calls resolved to every address-taken function in: " +
              ", ".join(indirect))
    for n in notes:
        print("  NOT EXACT: " + n)

    if args.check and failures:
        for f in failures:
            print("FAIL: " + f, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
