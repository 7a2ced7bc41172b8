#!/usr/bin/env python3
"""Cases of the image check: each takes a built image (the driver, or a small test image built
with one fault), optionally damages a copy, runs the check's command line on it and compares the
problems it names with the ones expected: a check that passes a bad image fails the case, and so
does one that names a problem that isn't there.

  image_cases.py --list
  image_cases.py --tool IMAGECHECK --vcombus SYS --test-images DIR --work DIR CASE
"""

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys

SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_NOT_PAGED = 0x08000000
SCN_MEM_WRITE = 0x80000000


def section(image, name):
    for s in image.sections:
        if s.name == name:
            return s
    raise AssertionError("test image has no %s section" % name)


def change_flags(name, set_bits=0, clear_bits=0):
    def mutate(image, tool):
        s = section(image, name)
        image.set_characteristics(s, (s.characteristics | set_bits) & ~clear_bits)
        image.write_checksum()
    return mutate


def corrupt_checksum(image, tool):
    image.data[image.checksum_offset] ^= 0x5A


def native_to_console(image, tool):
    image.data[image.optional_offset + 68] = 3
    image.write_checksum()


def bump_file_version(image, tool):
    # FileVersionLS follows the signature, the structure version and FileVersionMS.
    signature = bytes.fromhex("bd04effe")
    at = image.data.index(signature)
    image.data[at + 12] = 2
    image.write_checksum()


def unfix_sections(image, tool):
    change_flags("PAGE", set_bits=SCN_MEM_NOT_PAGED)(image, tool)
    change_flags("INIT", clear_bits=SCN_MEM_DISCARDABLE)(image, tool)
    change_flags(".data", clear_bits=SCN_MEM_NOT_PAGED)(image, tool)


def strip_symbols(image, tool):
    # PointerToSymbolTable and NumberOfSymbols of the file header, as a stripped image has them.
    image.data[image.pe_offset + 12:image.pe_offset + 20] = bytes(8)
    image.write_checksum()


def unfix_then_fixup(image, tool):
    unfix_sections(image, tool)
    image.data[image.checksum_offset:image.checksum_offset + 4] = b"\0\0\0\0"
    tool.fixup(image)


# case: (image, damage or None, substrings of the problems expected, one per problem)
CASES = {
    "driver_passes": ("vcombus", None, []),
    "clean_test_image_passes": ("good", None, []),
    "hal_import_is_named": ("hal", None, [
        "imports HAL.dll!KeStallExecutionProcessor: only ntoskrnl.exe is allowed"]),
    "kernel32_import_is_named": ("kernel32", None, [
        "imports KERNEL32.dll!GetTickCount: only ntoskrnl.exe is allowed"]),
    "export_is_named": ("export", None, ["exports VcbTestExported"]),
    "global_constructor_is_refused": ("constructor", None, ["1 global constructor"]),
    "missing_version_resource": ("noversion", None, ["has no version resource"]),
    "spin_lock_in_page_is_refused": ("pagedlock", None, [
        "TestPagedLocking() in PAGE calling KeAcquireSpinLockRaiseToDpc",
        "TestPagedLocking() in PAGE calling KeReleaseSpinLock",
        "TestPagedLocking() in PAGE calling IoAcquireCancelSpinLock",
        "TestPagedLocking() in PAGE calling IoReleaseCancelSpinLock",
        "TestPagedLocking() in PAGE writing CR8"]),
    "page_under_a_held_lock_is_refused": ("pagedunderlock", None, [
        "TestResidentLocking() calling TestPagedStep() in PAGE at",
        "TestResidentLocking() calling TestResidentStep() at",
        "TestPagedHolding() in PAGE still holding the spin lock that TestTakeLock() took",
        "TestHoldRequest() setting TestPagedCancel(_DEVICE_OBJECT*, _IRP*) in PAGE as a cancel routine"]),
    "image_without_symbols_names_routines_from_the_map": ("pagedlock", strip_symbols, [
        "TestPagedLocking() in PAGE calling", "TestPagedLocking() in PAGE writing CR8"]),
    "wrong_file_version": ("good", bump_file_version, ["has FileVersion 2.0.0.2"]),
    "corrupted_checksum": ("good", corrupt_checksum, ["has checksum"]),
    "console_subsystem": ("good", native_to_console, ["has subsystem 3"]),
    "writable_code": ("good", change_flags(".text", set_bits=SCN_MEM_WRITE),
                      ["section .text is both writable and executable"]),
    "unfixed_sections": ("good", unfix_sections, [
        "section PAGE is not pageable", "section INIT is not discardable",
        "section .data is pageable"]),
    "fixup_repairs_sections_and_checksum": ("good", unfix_then_fixup, []),
    "driver_checksum_corrupted": ("vcombus", corrupt_checksum, ["has checksum"]),
}


def load_tool(path):
    found = importlib.util.spec_from_file_location("imagecheck", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run_case(name, args):
    source_name, damage, expected = CASES[name]
    if source_name == "vcombus":
        source = args.vcombus
    else:
        source = os.path.join(args.test_images, "image_test_%s.sys" % source_name)
    work = os.path.join(args.work, name)
    os.makedirs(work, exist_ok=True)
    image_path = os.path.join(work, os.path.basename(source))
    shutil.copyfile(source, image_path)
    command = [sys.executable, args.tool, "check", image_path]
    source_map = os.path.splitext(source)[0] + ".map"
    if os.path.exists(source_map):
        command[3:3] = ["--map", source_map]

    if damage is not None:
        tool = load_tool(args.tool)
        with open(image_path, "rb") as f:
            image = tool.PeImage(f.read())
        damage(image, tool)
        with open(image_path, "wb") as f:
            f.write(image.data)

    result = subprocess.run(command, capture_output=True, text=True)
    prefix = "imagecheck: %s " % os.path.basename(image_path)
    reported = [line for line in result.stderr.splitlines() if line.startswith("imagecheck:")]
    failures = []
    if (result.returncode == 0) != (not expected):
        failures.append("exit status %d, expected %s" % (result.returncode,
                                                         "failure" if expected else "success"))
    for want in expected:
        if not any(line.startswith(prefix) and want in line for line in reported):
            failures.append("no problem reported containing %r" % want)
    for line in reported:
        if not any(want in line for want in expected):
            failures.append("unexpected problem: %s" % line)
    if failures:
        print("case %s on %s:" % (name, image_path))
        print(result.stdout + result.stderr)
        for failure in failures:
            print("FAIL: " + failure)
        return 1
    print("case %s: ok\n%s" % (name, (result.stdout + result.stderr).strip()))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--tool")
    parser.add_argument("--vcombus")
    parser.add_argument("--test-images")
    parser.add_argument("--work")
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    args = parser.parse_args()
    if args.list:
        print("\n".join(CASES))
        return 0
    if not (args.case and args.tool and args.vcombus and args.test_images and args.work):
        parser.error("a case needs --tool, --vcombus, --test-images and --work")
    return run_case(args.case, args)


if __name__ == "__main__":
    sys.exit(main())
