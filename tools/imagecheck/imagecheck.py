#!/usr/bin/env python3
"""Post-link fix-up and check of the vcombus kernel image.

  imagecheck.py fixup IMAGE
      Gives the sections the characteristics the kernel loader acts on (PAGE pageable, INIT
      discardable, everything else resident) and rewrites the PE checksum, which the kernel
      verifies for drivers and the linker leaves zero.

  imagecheck.py check [--map MAP] [--remove-on-failure] IMAGE
      Fails, naming every problem, unless the image is a PE32+ AMD64 native image that imports
      from ntoskrnl.exe alone, exports nothing, carries version 2.0.0.1, has a valid checksum,
      relocations, sane section flags, and (given the linker map) no global constructors, which
      nothing would run. It also disassembles the code (which needs mingw's objdump and c++filt,
      from binutils-mingw-w64) and refuses pageable code that would run at a raised IRQL: a call
      to a spin-lock, cancel-lock or IRQL routine, or a write of CR8, inside PAGE; a call into
      PAGE while a spin lock is held; PAGE code left holding a lock a resident routine took; and
      a PAGE routine set as a cancel routine.
      Routines are named from the image's symbol table, else from the map, else by address.
"""

import argparse
import bisect
import os
import re
import struct
import subprocess
import sys

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_NATIVE = 1

DLLCHARACTERISTICS_REQUIRED = {
    0x0040: "DYNAMIC_BASE",
    0x0100: "NX_COMPAT",
    0x2000: "WDM_DRIVER",
}

SCN_CNT_CODE = 0x00000020
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_NOT_PAGED = 0x08000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_BASERELOC, DIR_TLS, DIR_DELAY_IMPORT = 0, 1, 2, 5, 9, 13

RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VFT_DRV = 3

ALLOWED_IMPORT = "ntoskrnl.exe"
EXPECTED_VERSION = (2, 0, 0, 1)


class ImageError(Exception):
    """The file is not a PE image this tool can read."""


class Section:
    def __init__(self, data, offset):
        raw_name, self.virtual_size, self.virtual_address, self.raw_size, self.raw_pointer = \
            struct.unpack_from("<8sIIII", data, offset)
        self.name = raw_name.rstrip(b"\0").decode("ascii", "replace")
        self.characteristics_offset = offset + 36
        self.characteristics = struct.unpack_from("<I", data, self.characteristics_offset)[0]


class PeImage:
    """Just enough of the PE32+ format for the fix-up and the checks."""

    def __init__(self, data):
        self.data = bytearray(data)
        d = self.data
        if len(d) < 0x40 or d[:2] != b"MZ":
            raise ImageError("not an MZ/PE image")
        self.pe_offset = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise ImageError("no PE signature")
        coff = self.pe_offset + 4
        (self.machine, section_count, _, self.symbol_table, self.symbol_count, optional_size,
         self.file_characteristics) = struct.unpack_from("<HHIIIHH", d, coff)
        self.optional_offset = coff + 20
        self.magic = struct.unpack_from("<H", d, self.optional_offset)[0]
        if self.magic != PE32_PLUS_MAGIC:
            self.directories = []
            self.sections = []
            self.checksum_offset = self.optional_offset + 64
            return
        opt = self.optional_offset
        self.checksum_offset = opt + 64
        self.image_base = struct.unpack_from("<Q", d, opt + 24)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        directory_count = struct.unpack_from("<I", d, opt + 108)[0]
        self.directories = [struct.unpack_from("<II", d, opt + 112 + 8 * i)
                            for i in range(min(directory_count, 16))]
        section_table = opt + optional_size
        self.sections = [Section(d, section_table + 40 * i) for i in range(section_count)]

    @property
    def checksum(self):
        return struct.unpack_from("<I", self.data, self.checksum_offset)[0]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset_of(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                delta = rva - s.virtual_address
                if delta >= s.raw_size:
                    raise ImageError("RVA 0x%x lies in uninitialised data" % rva)
                return s.raw_pointer + delta
        raise ImageError("RVA 0x%x is outside every section" % rva)

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset_of(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset_of(rva))[0]

    def u64(self, rva):
        return struct.unpack_from("<Q", self.data, self.offset_of(rva))[0]

    def c_string(self, rva):
        start = self.offset_of(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("ascii", "replace")

    def compute_checksum(self):
        """The PE checksum: 16-bit one's-complement sum of the file with the checksum field taken
        as zero, folded to 16 bits, plus the file length."""
        d = bytearray(self.data)
        d[self.checksum_offset:self.checksum_offset + 4] = b"\0\0\0\0"
        if len(d) % 2:
            d.append(0)
        total = sum(memoryview(d).cast("H"))
        while total > 0xFFFF:
            total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def write_checksum(self):
        struct.pack_into("<I", self.data, self.checksum_offset, self.compute_checksum())

    def set_characteristics(self, section, value):
        section.characteristics = value
        struct.pack_into("<I", self.data, section.characteristics_offset, value)

    def imports(self):
        """[(dll, [symbol, ...])] from the import directory, then the delay-load one."""
        result = []
        rva, size = self.directory(DIR_IMPORT)
        if rva and size:
            while True:
                lookup, _, _, name_rva, address = struct.unpack_from(
                    "<IIIII", self.data, self.offset_of(rva))
                if not (lookup or name_rva or address):
                    break
                result.append((self.c_string(name_rva), self._thunk_names(lookup or address)))
                rva += 20
        rva, size = self.directory(DIR_DELAY_IMPORT)
        if rva and size:
            while True:
                fields = struct.unpack_from("<8I", self.data, self.offset_of(rva))
                if not any(fields):
                    break
                names = [n + " (delay-loaded)" for n in self._thunk_names(fields[4])]
                result.append((self.c_string(fields[1]), names))
                rva += 32
        return result

    def import_slots(self):
        """{address of an import address table slot: the routine it holds}, for the calls that go
        through the slot."""
        slots = {}
        rva, size = self.directory(DIR_IMPORT)
        while rva and size:
            lookup, _, _, name_rva, address = struct.unpack_from("<IIIII", self.data, self.offset_of(rva))
            if not (lookup or name_rva or address):
                break
            for i, symbol in enumerate(self._thunk_names(lookup or address)):
                slots[self.image_base + address + 8 * i] = symbol
            rva += 20
        return slots

    def functions(self):
        """[(start, end)] addresses of every routine with unwind data (.pdata), which GCC gives
        every routine it emits for this target."""
        s = next((s for s in self.sections if s.name == ".pdata"), None)
        if s is None:
            return []
        result = []
        for at in range(s.raw_pointer, s.raw_pointer + min(s.virtual_size, s.raw_size) - 11, 12):
            begin, end, _ = struct.unpack_from("<III", self.data, at)
            if begin:
                result.append((self.image_base + begin, self.image_base + end))
        return sorted(result)

    def symbols(self):
        """{address: mangled name} of the functions in the COFF symbol table, if the image has one."""
        result = {}
        if not self.symbol_table or not self.symbol_count:
            return result
        strings = self.symbol_table + 18 * self.symbol_count
        index = 0
        while index < self.symbol_count:
            at = self.symbol_table + 18 * index
            raw, value, section, kind, _, aux = struct.unpack_from("<8sIhHBB", self.data, at)
            if kind & 0x30 == 0x20 and 0 < section <= len(self.sections):
                if raw[:4] == b"\0\0\0\0":
                    start = strings + struct.unpack_from("<I", raw, 4)[0]
                    raw = self.data[start:self.data.index(b"\0", start)]
                name = raw.rstrip(b"\0").decode("ascii", "replace")
                result.setdefault(self.image_base + self.sections[section - 1].virtual_address + value, name)
            index += 1 + aux
        return result

    def _thunk_names(self, rva):
        names = []
        while True:
            thunk = self.u64(rva)
            if thunk == 0:
                return names
            if thunk & (1 << 63):
                names.append("#%d" % (thunk & 0xFFFF))
            else:
                names.append(self.c_string((thunk & 0x7FFFFFFF) + 2))
            rva += 8

    def exports(self):
        """Names (or ordinals) of every exported function."""
        rva, size = self.directory(DIR_EXPORT)
        if not (rva and size):
            return []
        base, function_count, name_count, _, names_rva = struct.unpack_from(
            "<IIIII", self.data, self.offset_of(rva) + 16)
        names = [self.c_string(self.u32(names_rva + 4 * i)) for i in range(name_count)]
        unnamed = ["#%d" % (base + i) for i in range(max(0, function_count - name_count))]
        return names + unnamed

    def fixed_version_info(self):
        """(file version, product version, file type) from VS_FIXEDFILEINFO, or None."""
        rva, size = self.directory(DIR_RESOURCE)
        if not (rva and size):
            return None
        root = rva

        def entries(directory_rva):
            named, numbered = struct.unpack_from("<HH", self.data, self.offset_of(directory_rva) + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from(
                    "<II", self.data, self.offset_of(directory_rva + 16 + 8 * i))
                yield ident, target

        def first_entry(directory_rva, wanted=None):
            for ident, target in entries(directory_rva):
                if wanted is None or ident == wanted:
                    return target
            return None

        # type -> name -> language -> data entry; the first two levels are subdirectories.
        by_name = first_entry(root, RT_VERSION)
        if by_name is None or not by_name & 0x80000000:
            return None
        by_language = first_entry(root + (by_name & 0x7FFFFFFF))
        if by_language is None or not by_language & 0x80000000:
            return None
        data_entry = first_entry(root + (by_language & 0x7FFFFFFF))
        if data_entry is None or data_entry & 0x80000000:
            return None
        level = root + data_entry
        data_rva, data_size = struct.unpack_from("<II", self.data, self.offset_of(level))
        blob = bytes(self.data[self.offset_of(data_rva):self.offset_of(data_rva) + data_size])
        at = blob.find(struct.pack("<I", VS_FIXEDFILEINFO_SIGNATURE))
        if at < 0 or at + 52 > len(blob):
            return None
        (_, _, file_ms, file_ls, product_ms, product_ls, _, _, _, file_type, _, _, _) = \
            struct.unpack_from("<13I", blob, at)

        def split(ms, ls):
            return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        return split(file_ms, file_ls), split(product_ms, product_ls), file_type


def is_pageable_section(name):
    return name == "PAGE"


def is_init_section(name):
    return name == "INIT"


def wanted_characteristics(section):
    value = section.characteristics
    if is_pageable_section(section.name):
        return value & ~(SCN_MEM_NOT_PAGED | SCN_MEM_DISCARDABLE)
    if is_init_section(section.name):
        return (value | SCN_MEM_DISCARDABLE) & ~SCN_MEM_NOT_PAGED
    return value | SCN_MEM_NOT_PAGED


def fixup(image):
    """Section flags for the kernel loader, then the checksum (which covers the flags)."""
    for section in image.sections:
        image.set_characteristics(section, wanted_characteristics(section))
    image.write_checksum()


def global_constructor_count(map_text):
    """Entries between the linker's __CTOR_LIST__ and __DTOR_LIST__ markers: the list is framed by
    two 32-bit -1 words and two 32-bit zeros, so every 8 bytes beyond 16 is a constructor."""
    addresses = {}
    for symbol in ("__CTOR_LIST__", "__DTOR_LIST__"):
        match = re.search(r"^\s+0x([0-9a-fA-F]+)\s+" + symbol + r"\b", map_text, re.MULTILINE)
        if not match:
            return 0
        addresses[symbol] = int(match.group(1), 16)
    ctor_bytes = addresses["__DTOR_LIST__"] - addresses["__CTOR_LIST__"]
    return max(0, (ctor_bytes - 16) // 8)


# Kernel routines that raise the IRQL or run at a raised one: every kind of spin-lock acquire and
# release (the cancel spin lock's included), KeRaiseIrql and KeLowerIrql in their exported forms.
# A call to one from PAGE runs pageable code at DISPATCH_LEVEL or above.
IRQL_ROUTINE = re.compile(r"(Acquire|Release)\w*SpinLock|SpinLock\w*(Acquire|Release)|RaiseIrql|LowerIrql")
ACQUIRE_ROUTINE = re.compile(r"Acquire\w*SpinLock|SpinLock\w*Acquire")
RELEASE_ROUTINE = re.compile(r"Release\w*SpinLock|SpinLock\w*Release")
OBJDUMP = "x86_64-w64-mingw32-objdump"
CXXFILT = "x86_64-w64-mingw32-c++filt"
PREFIXES = {"rep", "repz", "repnz", "repe", "repne", "lock", "notrack", "bnd", "data16", "cs", "ds",
            "rex", "rex.W", "addr32"}


class Instruction:
    def __init__(self, address, mnemonic, operands):
        self.address, self.mnemonic, self.operands = address, mnemonic, operands
        # The address a direct branch goes to, or the one a RIP-relative operand names.
        self.target = None
        self.memory = None
        self.via = None  # for a call through a register: the import routine it holds
        direct = re.match(r"([0-9a-f]+)\b", operands)
        comment = re.search(r"#\s*(?:0x)?([0-9a-f]+)", operands)
        if direct and mnemonic.startswith(("call", "j")):
            self.target = int(direct.group(1), 16)
        elif comment and "(%rip)" in operands:
            self.memory = int(comment.group(1), 16)


def register_name(operand):
    """The 64-bit register an operand names ("%ebp" -> "rbp", "%r12d" -> "r12"), or None."""
    match = re.fullmatch(r"\s*%(r(?:[0-9]+)|[re]?([a-d])x|[re]?(si|di|bp|sp)|([a-d])l|(si|di|bp|sp)l)[dwb]?\s*",
                         operand)
    if not match:
        return None
    if match.group(1).startswith("r") and match.group(1)[1:2].isdigit():
        return re.match(r"r[0-9]+", match.group(1)).group(0)
    letter = match.group(2) or match.group(4)
    if letter:
        return "r%sx" % letter
    return "r" + (match.group(3) or match.group(5))


def disassemble(path, sections):
    """{section name: [Instruction]} of the named code sections, in address order."""
    result = subprocess.run([OBJDUMP, "-d", "-w", "--no-show-raw-insn"]
                            + [arg for name in sections for arg in ("-j", name)] + [path],
                            capture_output=True, text=True, check=True).stdout
    code = {name: [] for name in sections}
    current = None
    for line in result.splitlines():
        header = re.match(r"Disassembly of section (\S+):", line)
        if header:
            current = code.get(header.group(1))
            continue
        match = re.match(r"\s+([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if match and current is not None:
            words = [match.group(2), match.group(3)]
            while words[0] in PREFIXES and words[1]:
                words = (words[1].split(None, 1) + [""])[:2]
            current.append(Instruction(int(match.group(1), 16), words[0], words[1]))
    return code


def routine_names(image, map_text):
    """{start address: readable name}: the image's own symbols, demangled, else the map's."""
    names = image.symbols()
    if names:
        mangled = list(names.items())
        plain = subprocess.run([CXXFILT], input="\n".join(n for _, n in mangled), capture_output=True,
                               text=True, check=True).stdout.splitlines()
        return {address: readable for (address, _), readable in zip(mangled, plain)}
    found = {}
    for match in re.finditer(r"^\s+0x([0-9a-fA-F]{9,16})\s+([A-Za-z_(~].*?)\s*$", map_text or "", re.MULTILINE):
        found.setdefault(int(match.group(1), 16), match.group(2))
    return found


class Routine:
    def __init__(self, start, end, section, name):
        self.start, self.end, self.section, self.name = start, end, section, name
        self.instructions = []
        self.effect = 0  # spin locks it leaves held on return (negative: releases a caller's)
        # While reading: register -> the kernel routine (name) or PAGE routine (address) in it.
        self.registers = {}
        self.reaches_page = None  # a PAGE routine it calls, itself or through resident callees


def irql_problems(image, path, map_text):
    """The rules only the image can show, for code that runs at a raised IRQL from PAGE."""
    found = []
    code_sections = [s.name for s in image.sections if s.characteristics & SCN_CNT_CODE]
    if "PAGE" not in code_sections:
        return found
    code = disassemble(path, code_sections)
    slots = image.import_slots()
    names = routine_names(image, map_text)
    page = next(s for s in image.sections if s.name == "PAGE")
    page_start = image.image_base + page.virtual_address
    page_end = page_start + page.virtual_size

    def in_page(address):
        return page_start <= address < page_end

    routines = [Routine(start, end, "PAGE" if in_page(start) else "", names.get(start, "the routine at 0x%x" % start))
                for start, end in image.functions()]
    starts = [r.start for r in routines]
    by_start = {r.start: r for r in routines}

    def routine_of(address):
        i = bisect.bisect_right(starts, address) - 1
        return routines[i] if i >= 0 and address < routines[i].end else None

    cancel_routines = []
    for instructions in code.values():
        for instruction in instructions:
            routine = routine_of(instruction.address)
            if routine is None:
                continue
            routine.instructions.append(instruction)
            # GCC loads a kernel routine called in a loop into a saved register once, ahead of
            # the loop, and copies a routine's address between registers before storing it: what
            # a register holds is what was last loaded into it, in address order, unless
            # something else was written to it since.
            registers = routine.registers
            plain = instruction.operands.split("#")[0].strip()
            if plain.startswith("*%"):
                via = registers.get(register_name(plain[1:]))
                instruction.via = via if isinstance(via, str) else None
            exchanged = re.fullmatch(r"(%\w+),\S*\(%(?!rsp)\w+\)|\S*\(%(?!rsp)\w+\),(%\w+)", plain)
            if exchanged and instruction.mnemonic == "xchg":
                source = registers.get(register_name(exchanged.group(1) or exchanged.group(2)))
                if isinstance(source, int):
                    cancel_routines.append((routine, instruction, source))
            written = register_name(plain.rsplit(",", 1)[-1])
            if instruction.mnemonic.startswith("call"):
                for volatile in ("rax", "rcx", "rdx", "r8", "r9", "r10", "r11"):
                    registers.pop(volatile, None)
            elif written and not instruction.mnemonic.startswith(("cmp", "test", "push", "j")):
                registers.pop(written, None)
                if instruction.mnemonic == "mov" and instruction.memory in slots:
                    registers[written] = slots[instruction.memory]
                elif instruction.mnemonic == "lea" and instruction.memory and in_page(instruction.memory):
                    registers[written] = instruction.memory
                elif instruction.mnemonic == "mov" and register_name(plain.split(",")[0]) in registers:
                    registers[written] = registers[register_name(plain.split(",")[0])]

    # A kernel routine declared without dllimport is called through the linker's thunk, a jump
    # through its slot outside every routine.
    thunks = {i.address: slots[i.memory] for instructions in code.values() for i in instructions
              if i.mnemonic == "jmp" and i.memory in slots and routine_of(i.address) is None}

    def called(routine, instruction):
        """(import name, routine) that a call or jump reaches, either None."""
        if not instruction.mnemonic.startswith(("call", "jmp")):
            return None, None
        if instruction.memory in slots:
            return slots[instruction.memory], None
        if instruction.operands.startswith("*%"):
            return instruction.via, None
        if instruction.target in thunks:
            return thunks[instruction.target], None
        if instruction.target is not None:
            return None, by_start.get(instruction.target)
        return None, None

    # Rule 1: nothing in PAGE raises the IRQL or takes, holds or releases a spin lock (a load of
    # such a routine's address is how GCC calls it repeatedly).
    for instruction in code["PAGE"]:
        routine = routine_of(instruction.address)
        where = routine.name if routine else "the code at 0x%x" % instruction.address
        imported = slots.get(instruction.memory) or thunks.get(instruction.target)
        if imported and IRQL_ROUTINE.search(imported):
            found.append("has %s in PAGE calling %s at 0x%x: pageable code would run at a raised IRQL"
                         % (where, imported, instruction.address))
        elif instruction.mnemonic == "mov" and instruction.operands.endswith(",%cr8"):
            found.append("has %s in PAGE writing CR8 (the IRQL) at 0x%x: pageable code would run at a "
                         "raised IRQL" % (where, instruction.address))

    # Rules 2 and 3 follow the number of spin locks held through each routine's branches, with
    # what each callee leaves held: a call into PAGE with a lock held, and PAGE code after a call
    # that returned with one held.
    def flow(routine, report):
        """What the routine leaves held on return; with report, the problems it shows."""
        held = {}
        by_address = {i.address: n for n, i in enumerate(routine.instructions)}
        work = [(0, 0)] if routine.instructions else []
        exit_held = None
        unknown_jumps = []
        while work or unknown_jumps:
            if not work:
                # Targets of jump tables aren't known: whatever a direct branch never reached
                # starts with what the indirect jump held.
                depth = max(unknown_jumps)
                unknown_jumps = []
                work = [(n, depth) for n in range(len(routine.instructions)) if n not in held]
                if not work:
                    break
            n, depth = work.pop()
            if n in held and held[n] >= depth:
                continue
            held[n] = depth
            instruction = routine.instructions[n]
            imported, callee = called(routine, instruction)
            after = depth
            if imported and ACQUIRE_ROUTINE.search(imported):
                after = min(depth + 1, 4)
            elif imported and RELEASE_ROUTINE.search(imported):
                after = depth - 1
            elif callee is not None:
                if report and depth > 0 and callee.section == "PAGE":
                    report("has %s calling %s in PAGE at 0x%x while it holds a spin lock"
                           % (routine.name, callee.name, instruction.address))
                elif report and depth > 0 and callee.reaches_page:
                    report("has %s calling %s at 0x%x while it holds a spin lock: that reaches %s in PAGE"
                           % (routine.name, callee.name, instruction.address, callee.reaches_page.name))
                if callee is not routine:
                    after = depth + callee.effect
                if report and routine.section == "PAGE" and callee.effect > 0 and callee.section != "PAGE":
                    report("has %s in PAGE still holding the spin lock that %s took, after 0x%x"
                           % (routine.name, callee.name, instruction.address))
            mnemonic = instruction.mnemonic
            tail_call = mnemonic == "jmp" and (imported is not None or instruction.target is not None
                                               and instruction.target not in by_address)
            if mnemonic == "ret" or tail_call:
                exit_held = after if exit_held is None else max(exit_held, after)
                continue
            if mnemonic == "jmp" and instruction.target is None:
                unknown_jumps.append(after)
                continue
            if instruction.target is not None and mnemonic.startswith("j") and instruction.target in by_address:
                work.append((by_address[instruction.target], after))
                if mnemonic == "jmp":
                    continue
            if n + 1 < len(routine.instructions):
                work.append((n + 1, after))
        return max(-1, min(exit_held or 0, 1))

    # Each routine's effect depends on its callees': a few passes settle them.
    for _ in range(8):
        changed = False
        for routine in routines:
            effect = flow(routine, None)
            if effect != routine.effect:
                routine.effect, changed = effect, True
        if not changed:
            break
    # Which resident routines reach PAGE through the routines they call directly.
    for routine in routines:
        for instruction in routine.instructions:
            _, callee = called(routine, instruction)
            if callee is not None and callee.section == "PAGE" and routine.section != "PAGE":
                routine.reaches_page = callee
                break
    for _ in range(len(routines)):
        changed = False
        for routine in routines:
            if routine.reaches_page or routine.section == "PAGE":
                continue
            for instruction in routine.instructions:
                _, callee = called(routine, instruction)
                if callee is not None and callee.reaches_page:
                    routine.reaches_page, changed = callee.reaches_page, True
                    break
        if not changed:
            break

    def report(message):
        if message not in found:
            found.append(message)

    for routine in routines:
        flow(routine, report)

    # Rule 4: the I/O manager calls a cancel routine at DISPATCH_LEVEL, holding the cancel spin
    # lock, so none may be pageable. IoSetCancelRoutine is an interlocked exchange of the routine's
    # address into the request, the only way this driver exchanges a routine's address.
    for routine, instruction, address in cancel_routines:
        target = by_start.get(address)
        report("has %s setting %s in PAGE as a cancel routine at 0x%x: it runs at DISPATCH_LEVEL"
               % (routine.name, target.name if target else "the code at 0x%x" % address,
                  instruction.address))
    return found


def problems(image, name, map_text=None, path=None):
    found = []

    def report(message):
        found.append("imagecheck: %s %s" % (name, message))

    if image.magic != PE32_PLUS_MAGIC:
        report("is not a PE32+ image (optional header magic 0x%x)" % image.magic)
        return found
    if image.machine != IMAGE_FILE_MACHINE_AMD64:
        report("is built for machine 0x%x: AMD64 (0x8664) is required" % image.machine)
    if image.subsystem != IMAGE_SUBSYSTEM_NATIVE:
        report("has subsystem %d: native (1) is required" % image.subsystem)
    for bit, flag in sorted(DLLCHARACTERISTICS_REQUIRED.items()):
        if not image.dll_characteristics & bit:
            report("lacks the %s DLL characteristic" % flag)
    if image.file_characteristics & IMAGE_FILE_RELOCS_STRIPPED or not image.directory(DIR_BASERELOC)[1]:
        report("has no base relocations: the kernel loads drivers at any address")
    if image.directory(DIR_TLS)[1]:
        report("has thread-local storage, which the kernel doesn't support in drivers")

    kernel_imports = 0
    for dll, symbols in image.imports():
        if dll.lower() == ALLOWED_IMPORT:
            kernel_imports += len(symbols)
            continue
        for symbol in symbols or ["(no symbols)"]:
            report("imports %s!%s: only %s is allowed" % (dll, symbol, ALLOWED_IMPORT))
    if kernel_imports == 0:
        report("imports nothing from %s" % ALLOWED_IMPORT)

    exported = image.exports()
    if exported:
        report("exports %s: a driver exports nothing" % ", ".join(exported))

    expected_checksum = image.compute_checksum()
    if image.checksum != expected_checksum:
        report("has checksum 0x%08x: 0x%08x is correct" % (image.checksum, expected_checksum))

    version = image.fixed_version_info()
    expected = ".".join(map(str, EXPECTED_VERSION))
    if version is None:
        report("has no version resource")
    else:
        file_version, product_version, file_type = version
        for label, value in (("FileVersion", file_version), ("ProductVersion", product_version)):
            if value != EXPECTED_VERSION:
                report("has %s %s: %s is required" % (label, ".".join(map(str, value)), expected))
        if file_type != VFT_DRV:
            report("has file type %d in its version resource: VFT_DRV (3) is required" % file_type)

    for section in image.sections:
        flags = section.characteristics
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            report("section %s is both writable and executable" % section.name)
        if is_pageable_section(section.name):
            if flags & (SCN_MEM_NOT_PAGED | SCN_MEM_DISCARDABLE):
                report("section %s is not pageable (characteristics 0x%08x)" % (section.name, flags))
        elif is_init_section(section.name):
            if not flags & SCN_MEM_DISCARDABLE:
                report("section %s is not discardable (characteristics 0x%08x)" % (section.name, flags))
        elif not flags & SCN_MEM_NOT_PAGED:
            report("section %s is pageable: only PAGE may be (characteristics 0x%08x)"
                   % (section.name, flags))

    if map_text is not None:
        count = global_constructor_count(map_text)
        if count:
            report("has %d global constructor(s), which nothing runs in a kernel image" % count)
    if path is not None:
        try:
            for problem in irql_problems(image, path, map_text):
                report(problem)
        except (OSError, subprocess.CalledProcessError) as error:
            report("cannot be disassembled (%s and %s come with binutils-mingw-w64): %s"
                   % (OBJDUMP, CXXFILT, error))
    return found


def summary(image):
    imports = sum(len(symbols) for _, symbols in image.imports())
    sections = ", ".join("%s 0x%08x" % (s.name, s.characteristics) for s in image.sections)
    return "%d imports from %s; sections %s" % (imports, ALLOWED_IMPORT, sections)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    fix = commands.add_parser("fixup", help="set section flags and the checksum in place")
    fix.add_argument("image")
    check = commands.add_parser("check", help="fail unless the image is a valid vcombus driver")
    check.add_argument("image")
    check.add_argument("--map", help="the linker map, to look for global constructors and to name "
                       "routines in an image without symbols")
    check.add_argument("--remove-on-failure", action="store_true",
                       help="delete a failing image so that a build doesn't take it as done")
    args = parser.parse_args(argv)

    name = os.path.basename(args.image)
    try:
        with open(args.image, "rb") as f:
            image = PeImage(f.read())
        if args.command == "fixup":
            if image.magic != PE32_PLUS_MAGIC:
                raise ImageError("not a PE32+ image")
            fixup(image)
            with open(args.image, "r+b") as f:
                f.write(image.data)
            return 0
        map_text = None
        if args.map:
            with open(args.map, encoding="utf-8", errors="replace") as f:
                map_text = f.read()
        found = problems(image, name, map_text, args.image)
    except (ImageError, struct.error, ValueError) as error:
        found = ["imagecheck: %s cannot be read: %s" % (name, error)]
    except OSError as error:
        found = ["imagecheck: %s: %s" % (name, error.strerror)]

    if not found:
        print("imagecheck: %s ok: %s" % (name, summary(image)))
        return 0
    for line in found:
        print(line, file=sys.stderr)
    if args.command == "check" and args.remove_on_failure and os.path.exists(args.image):
        os.remove(args.image)
    return 1


if __name__ == "__main__":
    sys.exit(main())
