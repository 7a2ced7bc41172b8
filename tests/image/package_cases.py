#!/usr/bin/python3
"""Cases of the signed package: each stages the build's install into its own directory, signs it
and makes its catalog as `make package` does (scripts/package.sh, with a test certificate of the
case's own), and checks the result with osslsigncode, a second implementation of Authenticode
and of catalogs.

  package_cases.py --list
  package_cases.py --cmake CMAKE --build WINDOWS_BUILD_DIR --imagecheck IMAGECHECK --work DIR CASE
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "catalog"))
import makecat  # noqa: E402  (the catalog's reader, and the setup information's file lists)

PACKAGE_SH = os.path.join(ROOT, "scripts", "package.sh")
MAKECAT = os.path.join(ROOT, "tools", "catalog", "makecat.py")
PE_SUFFIXES = (".sys", ".exe", ".dll")


class Failure(Exception):
    pass


def run(command, env=None, expect_success=True):
    result = subprocess.run(command, capture_output=True, text=True, env=env, timeout=300)
    if expect_success and result.returncode != 0:
        raise Failure("%s exited with %d:\n%s%s" % (" ".join(command), result.returncode,
                                                   result.stdout, result.stderr))
    return result


def stage(args, work):
    """The package as make package leaves it, signed with a certificate made for this case."""
    shutil.rmtree(work, ignore_errors=True)
    package = os.path.join(work, "package")
    run([args.cmake, "--install", args.build, "--prefix", package])
    env = dict(os.environ, SIGN_DIR=os.path.join(work, "signing"))
    for key in ("SIGN_PFX", "SIGN_PASSWORD", "SIGN_TIMESTAMP_URL"):
        env.pop(key, None)
    run([PACKAGE_SH, package], env=env)
    return package, env, os.path.join(work, "signing", "vcombus-test.pem")


def verify(path, cert, catalog=None):
    command = ["osslsigncode", "verify", "-CAfile", cert, "-in", path]
    if catalog:
        command[2:2] = ["-catalog", catalog]
    return run(command, expect_success=False)


def catalog_members(path):
    """(tag, algorithm, file name) of every member, as the catalog tool reads them back."""
    lines = run(["/usr/bin/python3", MAKECAT, "--list", path]).stdout.splitlines()
    return [tuple(line.split(" ", 2)) for line in lines]


def embedded_digest(path, cert):
    """The SHA-256 Authenticode hash of a signed image, as osslsigncode computes it."""
    out = verify(path, cert).stdout
    m = re.search(r"Calculated message digest\s*:\s*([0-9A-F]+)", out)
    if not m:
        raise Failure("osslsigncode printed no digest for %s:\n%s" % (path, out))
    return m.group(1)


def case_signed_and_catalogued(args, work):
    package, env, cert = stage(args, work)
    catalog = os.path.join(package, "vcombus.cat")
    problems = []

    images = sorted(f for f in os.listdir(package) if f.lower().endswith(PE_SUFFIXES))
    for name in images:
        result = verify(os.path.join(package, name), cert)
        if result.returncode != 0 or not re.search(r"^Message digest algorithm\s*: SHA256", result.stdout, re.M):
            problems.append("%s: no valid SHA-256 signature by the test certificate:\n%s%s"
                            % (name, result.stdout, result.stderr))

    members = catalog_members(catalog)
    listed = set()
    for inf in sorted(f for f in os.listdir(package) if f.endswith(".inf")):
        _, copied = makecat.inf_files(os.path.join(package, inf))
        listed.update([inf] + copied)
    for required in ("vcombus.sys", "vcombus.inf", "vcomport.inf"):
        if required not in listed:
            problems.append("the setup information no longer names %s" % required)
    for name in sorted(listed):
        path = os.path.join(package, name)
        data = open(path, "rb").read()
        tags = {algorithm: tag for tag, algorithm, member in members if member == name}
        if set(tags) != {"sha1", "sha256"}:
            problems.append("%s: catalog members by algorithm: %s, expected sha1 and sha256"
                            % (name, sorted(tags)))
            continue
        if name.endswith(PE_SUFFIXES):
            # osslsigncode finds the image by its SHA-1 member and checks the catalog's
            # signature; the SHA-256 member must be the hash the image's own signature signs.
            result = verify(path, cert, catalog)
            if result.returncode != 0:
                problems.append("%s: osslsigncode verify -catalog failed:\n%s%s"
                                % (name, result.stdout, result.stderr))
            if tags["sha256"] != embedded_digest(path, cert):
                problems.append("%s: SHA-256 member %s is not its Authenticode hash"
                                % (name, tags["sha256"]))
        else:
            for algorithm in ("sha1", "sha256"):
                want = hashlib.new(algorithm, data).hexdigest().upper()
                if tags[algorithm] != want:
                    problems.append("%s: %s member %s, the file's hash is %s"
                                    % (name, algorithm, tags[algorithm], want))

    shipped = os.path.join(package, "vcombus-test.cer")
    expected = subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER"],
                              capture_output=True, timeout=60).stdout
    if not os.path.exists(shipped) or open(shipped, "rb").read() != expected:
        problems.append("vcombus-test.cer is not the certificate that signed the package")

    # Signing rewrites the image's checksum, which the kernel checks for drivers.
    result = run([sys.executable, args.imagecheck, "check", os.path.join(package, "vcombus.sys")],
                 expect_success=False)
    if result.returncode != 0:
        problems.append("the signed image fails the image check:\n" + result.stderr)

    # A rebuild re-signs in place with the same certificate, so a machine that trusts it once
    # goes on trusting the tree's builds.
    before = open(cert, "rb").read()
    run([args.cmake, "--install", args.build, "--prefix", package])
    run([PACKAGE_SH, package], env=env)
    if open(cert, "rb").read() != before:
        problems.append("a second package run made a new test certificate")
    if verify(os.path.join(package, "vcombus.sys"), cert, catalog).returncode != 0:
        problems.append("vcombus.sys is not in the catalog after a second package run")
    # Signing a signed file leaves it with the one new signature, not a second beside the first.
    run([os.path.join(ROOT, "scripts", "sign.sh"), os.path.join(package, "vcomctl.exe")], env=env)
    result = verify(os.path.join(package, "vcomctl.exe"), cert)
    if result.returncode != 0 or "Number of verified signatures: 1\n" not in result.stdout:
        problems.append("vcomctl.exe signed twice:\n" + result.stdout)
    if problems:
        raise Failure("\n".join(problems))


def edit(path, old, new):
    text = open(path).read()
    if old not in text:
        raise Failure("%s has no %r to change" % (path, old))
    open(path, "w").write(text.replace(old, new, 1))


def case_faults_refused(args, work):
    package, env, cert = stage(args, work)
    catalog = os.path.join(package, "vcombus.cat")
    problems = []

    # A changed image is no longer the one the catalog lists.
    tampered = os.path.join(work, "tampered.sys")
    data = bytearray(open(os.path.join(package, "vcombus.sys"), "rb").read())
    data[0x1000] ^= 0xFF
    open(tampered, "wb").write(data)
    if verify(tampered, cert, catalog).returncode == 0:
        problems.append("osslsigncode accepts a changed vcombus.sys against the catalog")

    # Setup information that disagrees with what ships: the catalog tool refuses it, naming why.
    refusals = [
        ("DriverVer", "vcombus.inf", ",2.0.0.1", ",2.0.0.7",
         "DriverVer says 2.0.0.7, but vcombus.sys is version 2.0.0.1"),
        ("CatalogFile", "vcomport.inf", "CatalogFile = vcombus.cat", "CatalogFile = other.cat",
         "CatalogFile is other.cat, but the package's catalog is vcombus.cat"),
        ("missing file", "vcombus.inf", "[Bus_CopyFiles]\nvcombus.sys", "[Bus_CopyFiles]\nvcombus.sys\nhelper.dll",
         "copies helper.dll, which the package lacks"),
    ]
    for what, inf, old, new, message in refusals:
        copy = os.path.join(work, "refuse-" + what.replace(" ", "-"))
        shutil.copytree(package, copy)
        edit(os.path.join(copy, inf), old, new)
        result = run(["/usr/bin/python3", MAKECAT, "--package", copy, "--out",
                      os.path.join(copy, "vcombus.cat")], expect_success=False)
        if result.returncode == 0 or message not in result.stderr:
            problems.append("%s: the catalog tool exited %d with %r, expected a refusal naming %r"
                            % (what, result.returncode, result.stderr.strip(), message))
    if problems:
        raise Failure("\n".join(problems))


def case_submission_cabinet(args, work):
    package, env, _ = stage(args, work)
    cabinet = os.path.join(work, "submission", "vcombus.cab")
    submission = [os.path.join(ROOT, "scripts", "submission.sh"), package, cabinet]
    problems = []

    # The service needs the organisation's certificate: without one, nothing is made.
    result = run(submission, env=env, expect_success=False)
    if result.returncode == 0 or "SIGN_PFX is not set" not in result.stderr or os.path.exists(cabinet):
        problems.append("without SIGN_PFX: exit %d, %r" % (result.returncode, result.stderr.strip()))

    # A stand-in for the EV certificate, as a PKCS #12 file with a password.
    key, cert, pfx = (os.path.join(work, name) for name in ("ev.key", "ev.pem", "ev.pfx"))
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=vcombus EV test",
         "-addext", "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert])
    run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pfx, "-passout", "pass:secret"])
    run(submission, env=dict(env, SIGN_PFX=pfx, SIGN_PASSWORD="secret"))
    listed = sorted(line.split()[0] for line in run(["gcab", "--list", cabinet]).stdout.splitlines())
    expected = sorted("vcombus\\" + name for name in ("vcombus.sys", "vcombus.inf", "vcomport.inf", "vcombus.cat"))
    if listed != expected:
        problems.append("the cabinet holds %s, expected %s" % (listed, expected))
    result = verify(cabinet, cert)
    if result.returncode != 0:
        problems.append("the cabinet's signature does not verify:\n" + result.stdout + result.stderr)

    # What the service sends back replaces our image and catalog as it is, and only with the
    # setup information it was made from.
    returned = os.path.join(work, "returned")
    shutil.copytree(package, returned)
    data = bytearray(open(os.path.join(returned, "vcombus.sys"), "rb").read())
    open(os.path.join(returned, "vcombus.sys"), "wb").write(data + b"returned")
    with_returned = dict(env, SIGNED_DRIVER_DIR=returned)
    run([PACKAGE_SH, package], env=with_returned)
    if open(os.path.join(package, "vcombus.sys"), "rb").read() != data + b"returned":
        problems.append("with SIGNED_DRIVER_DIR the package's vcombus.sys is not the returned one")
    edit(os.path.join(returned, "vcomport.inf"), "[Version]", "; changed\n[Version]")
    result = run([PACKAGE_SH, package], env=with_returned, expect_success=False)
    if result.returncode == 0 or "vcomport.inf differs" not in result.stderr:
        problems.append("a returned driver made from other setup information was taken: %r" % result.stderr)
    if problems:
        raise Failure("\n".join(problems))


CASES = {
    "package_signed_and_catalogued": case_signed_and_catalogued,
    "package_faults_refused": case_faults_refused,
    "submission_cabinet": case_submission_cabinet,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--cmake")
    parser.add_argument("--build")
    parser.add_argument("--imagecheck")
    parser.add_argument("--work")
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    args = parser.parse_args()
    if args.list:
        print("\n".join(CASES))
        return 0
    if not (args.case and args.cmake and args.build and args.imagecheck and args.work):
        parser.error("a case needs --cmake, --build, --imagecheck and --work")
    try:
        CASES[args.case](args, os.path.join(args.work, args.case))
    except (Failure, subprocess.TimeoutExpired) as failure:
        print("case %s: FAIL\n%s" % (args.case, failure))
        return 1
    print("case %s: ok" % args.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
