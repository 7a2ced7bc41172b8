#!/usr/bin/python3
"""Makes the driver package's catalog (vcombus.cat) on Linux.

usage: makecat.py --package DIR --out FILE.cat [--inf NAME.inf]...
       makecat.py --list FILE.cat      (prints each member: tag, algorithm, file name)

The catalog covers the setup information files (by default every *.inf in DIR) and every file
they copy ([SourceDisksFiles] and the CopyFiles sections). It is what Windows' own catalog tools
make: an unsigned PKCS #7 SignedData whose content is a certificate trust list of catalog members,
one per file and hash algorithm, each tagged with the upper-case hex of its hash and carrying the
file's indirect data (the Authenticode hash of a PE image, the plain hash of any other file), its
file name and its subject type. scripts/sign.sh signs it afterwards.

Every file is listed twice, with a SHA-1 and a SHA-256 hash, in a catalog of the first version
(member type 1.3.6.1.4.1.311.12.1.2): the layout Inf2Cat writes for Windows 10 targets. Code
integrity on Windows 10 and 11 finds a kernel image by its SHA-256 page and image hashes, while
setup and CryptCATAdminCalcHashFromFileHandle look members up by their SHA-1 tag; a version 2
catalog (SHA-256 only) would leave the second group without a match.

The setup information must agree with what ships: CatalogFile names this catalog, and DriverVer's
version is the version resource of every image the file copies. The tool refuses otherwise.

Needs Debian's python3-asn1crypto (run it with /usr/bin/python3).
"""

import argparse
import datetime
import hashlib
import os
import re
import struct
import sys
import uuid

try:
    from asn1crypto import algos, cms, core
except ImportError:
    sys.exit("makecat.py: asn1crypto is missing (install python3-asn1crypto; run with /usr/bin/python3)")

OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"

# Subject interface packages: which of Windows' hashing rules a member's hash follows.
SIP_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT_IMAGE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
# The subject-type version Windows' catalog tools record with every member.
MEMBER_INFO_VERSION = 512

# CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII: a plain-text
# name and value, covered by the catalog's signature.
NAMEVALUE_FLAGS = 0x10010001
# Windows 10 and 11 (x64 and server alike), as Inf2Cat writes for the 10_X64 family of targets:
# platform 2 (Windows NT), version 10.0.
OS_ATTR = "2:10.0"

PE_EXTENSIONS = (".sys", ".dll", ".exe", ".ocx", ".cpl", ".drv", ".efi", ".mui")
HASHES = (("sha1", hashlib.sha1), ("sha256", hashlib.sha256))


class CatalogError(Exception):
    pass


# --- ASN.1 ----------------------------------------------------------------------------------


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [
        ("type", core.ObjectIdentifier),
        ("value", core.Any, {"optional": True}),
    ]


class DigestInfo(core.Sequence):
    _fields = [
        ("digest_algorithm", algos.DigestAlgorithm),
        ("digest", core.OctetString),
    ]


class SpcIndirectDataContent(core.Sequence):
    _fields = [
        ("data", SpcAttributeTypeAndOptionalValue),
        ("message_digest", DigestInfo),
    ]


class SpcString(core.Choice):
    _alternatives = [
        ("unicode", core.BMPString, {"implicit": 0}),
        ("ascii", core.IA5String, {"implicit": 1}),
    ]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("moniker", core.Any, {"implicit": 1}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [
        ("flags", core.BitString),
        ("file", SpcLink, {"explicit": 0, "optional": True}),
    ]


class CatNameValue(core.Sequence):
    _fields = [
        ("tag", core.BMPString),
        ("flags", core.Integer),
        ("value", core.OctetString),
    ]


class CatMemberInfo(core.Sequence):
    _fields = [
        ("subject_guid", core.BMPString),
        ("cert_version", core.Integer),
    ]


class AnySet(core.SetOf):
    _child_spec = core.Any


class CatAttribute(core.Sequence):
    _fields = [
        ("type", core.ObjectIdentifier),
        ("values", AnySet),
    ]


class CatAttributes(core.SetOf):
    _child_spec = CatAttribute


class TrustedSubject(core.Sequence):
    _fields = [
        ("subject_identifier", core.OctetString),
        ("subject_attributes", CatAttributes, {"optional": True}),
    ]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class CtlExtension(core.Sequence):
    _fields = [
        ("extn_id", core.ObjectIdentifier),
        ("critical", core.Boolean, {"default": False}),
        ("extn_value", core.OctetString),
    ]


class CtlExtensions(core.SequenceOf):
    _child_spec = CtlExtension


class CertificateTrustList(core.Sequence):
    _fields = [
        ("version", core.Integer, {"default": 0}),
        ("subject_usage", SubjectUsage),
        ("list_identifier", core.OctetString, {"optional": True}),
        ("sequence_number", core.Integer, {"optional": True}),
        ("this_update", core.UTCTime),
        ("next_update", core.UTCTime, {"optional": True}),
        ("subject_algorithm", SpcAttributeTypeAndOptionalValue),
        ("trusted_subjects", TrustedSubjects, {"optional": True}),
        ("extensions", CtlExtensions, {"explicit": 0, "optional": True}),
    ]


# A catalog is a SignedData whose content is the trust list itself (PKCS #7's ANY content, not an
# octet string), so the content's type has to be known to the ContentInfo that carries it.
cms.ContentInfo._oid_specs[OID_CTL] = CertificateTrustList


def wide(text):
    """A string as Windows stores it in a catalog value: UTF-16LE with its terminating null."""
    return (text + "\0").encode("utf-16-le")


def name_value(tag, value):
    return CatNameValue({"tag": tag, "flags": NAMEVALUE_FLAGS, "value": wide(value)})


def obsolete_link():
    # What Windows' signing tools put where a file link once went.
    return SpcLink(name="file", value=SpcString(name="unicode", value="<<<Obsolete>>>"))


# --- hashes ---------------------------------------------------------------------------------


def is_pe(data):
    if len(data) < 0x40 or data[:2] != b"MZ":
        return False
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    return pe_offset + 24 <= len(data) and data[pe_offset:pe_offset + 4] == b"PE\0\0"


def authenticode_ranges(data, name):
    """The byte ranges of a PE image that its Authenticode hash covers: everything but the
    checksum, the certificate table's directory entry and the certificate table itself."""
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    optional = pe_offset + 24
    if optional + 2 > len(data):
        raise CatalogError(f"{name}: truncated PE header")
    (magic,) = struct.unpack_from("<H", data, optional)
    if magic == 0x20B:      # PE32+
        directories = optional + 112
    elif magic == 0x10B:    # PE32
        directories = optional + 96
    else:
        raise CatalogError(f"{name}: unknown optional header magic {magic:#x}")
    (directory_count,) = struct.unpack_from("<I", data, directories - 4)
    checksum = optional + 64
    certificate_entry = directories + 4 * 8
    if directory_count < 5 or certificate_entry + 8 > len(data):
        raise CatalogError(f"{name}: the PE header has no certificate table entry")
    table_offset, table_size = struct.unpack_from("<II", data, certificate_entry)
    end = len(data)
    if table_size:
        if table_offset + table_size != len(data) or table_offset < certificate_entry + 8:
            raise CatalogError(f"{name}: the certificate table is not at the end of the image")
        end = table_offset
    return [(0, checksum), (checksum + 4, certificate_entry), (certificate_entry + 8, end)]


def file_digest(data, name, pe, hasher):
    h = hasher()
    if pe:
        for start, stop in authenticode_ranges(data, name):
            h.update(data[start:stop])
    else:
        h.update(data)
    return h.digest()


def image_version(data):
    """The file version in an image's version resource, as 'a.b.c.d', or None."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0 or at + 16 > len(data):
        return None
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


# --- setup information ----------------------------------------------------------------------


def read_inf(path):
    """The sections of a setup information file: name (lower case) -> list of lines, comments
    and blank lines removed, quoted text kept whole."""
    raw = open(path, "rb").read()
    if raw.startswith(b"\xff\xfe"):
        text = raw[2:].decode("utf-16-le")
    else:
        text = raw.decode("utf-8-sig")
    sections, current = {}, None
    for line in text.splitlines():
        out, quoted = [], False
        for ch in line:
            if ch == '"':
                quoted = not quoted
            elif ch == ";" and not quoted:
                break
            out.append(ch)
        line = "".join(out).strip()
        if not line:
            continue
        m = re.fullmatch(r"\[([^\]]+)\]", line)
        if m:
            current = sections.setdefault(m.group(1).strip().lower(), [])
        elif current is not None:
            current.append(line)
    return sections


def key_value(line):
    if "=" not in line:
        return None, line.strip()
    key, value = line.split("=", 1)
    return key.strip(), value.strip()


def inf_files(inf_path):
    """The files a setup information file copies, by source name."""
    sections = read_inf(inf_path)
    name = os.path.basename(inf_path)
    files = []

    def add(file_name):
        file_name = file_name.strip().strip('"')
        if file_name and file_name.lower() not in (f.lower() for f in files):
            files.append(file_name)

    for section, lines in sections.items():
        if section == "sourcedisksfiles" or section.startswith("sourcedisksfiles."):
            for line in lines:
                key, _ = key_value(line)
                add(key)
    for lines in sections.values():
        for line in lines:
            key, value = key_value(line)
            if key is None or key.lower() != "copyfiles":
                continue
            for entry in value.split(","):
                entry = entry.strip()
                if not entry:
                    continue
                if entry.startswith("@"):
                    add(entry[1:])
                    continue
                copy_section = sections.get(entry.lower())
                if copy_section is None:
                    raise CatalogError(f"{name}: CopyFiles names a missing section [{entry}]")
                for copy_line in copy_section:
                    fields = [f.strip() for f in copy_line.split(",")]
                    # destination[,source[,temporary[,flags]]]: the source name when given.
                    add(fields[1] if len(fields) > 1 and fields[1] else fields[0])
    return sections, files


def version_value(sections, key):
    for line in sections.get("version", []):
        k, v = key_value(line)
        if k is not None and k.lower() == key.lower():
            return v.strip().strip('"')
    return None


def check_inf(inf_path, sections, package, catalog_name, copied):
    name = os.path.basename(inf_path)
    catalog = version_value(sections, "CatalogFile")
    for line in sections.get("version", []):
        k, v = key_value(line)
        if k is not None and k.lower().startswith("catalogfile"):
            if v.strip().strip('"').lower() != catalog_name.lower():
                raise CatalogError(f"{name}: {k} is {v}, but the package's catalog is {catalog_name}")
    if catalog is None:
        raise CatalogError(f"{name}: [Version] names no CatalogFile")
    driver_ver = version_value(sections, "DriverVer")
    m = re.fullmatch(r"(\d{2})/(\d{2})/(\d{4})\s*,\s*(\d+\.\d+\.\d+\.\d+)", driver_ver or "")
    if not m:
        raise CatalogError(f"{name}: DriverVer is '{driver_ver}', not mm/dd/yyyy,a.b.c.d")
    try:
        datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2)))
    except ValueError:
        raise CatalogError(f"{name}: DriverVer's date {m.group(1)}/{m.group(2)}/{m.group(3)} is no date")
    for file_name in copied:
        if not file_name.lower().endswith(PE_EXTENSIONS):
            continue
        data = open(os.path.join(package, file_name), "rb").read()
        version = image_version(data)
        if version is not None and version != m.group(4):
            raise CatalogError(f"{name}: DriverVer says {m.group(4)}, but {file_name} is version {version}")


# --- the catalog ----------------------------------------------------------------------------


def member(file_name, data, algorithm, hasher):
    pe = file_name.lower().endswith(PE_EXTENSIONS)
    if pe and not is_pe(data):
        raise CatalogError(f"{file_name}: not a PE image")
    digest = file_digest(data, file_name, pe, hasher)
    if pe:
        subject = SpcAttributeTypeAndOptionalValue({
            "type": OID_SPC_PE_IMAGE_DATA,
            "value": SpcPeImageData({"flags": core.BitString(()), "file": obsolete_link()}),
        })
    else:
        subject = SpcAttributeTypeAndOptionalValue({"type": OID_SPC_CAB_DATA, "value": obsolete_link()})
    indirect = SpcIndirectDataContent({
        "data": subject,
        "message_digest": {"digest_algorithm": {"algorithm": algorithm, "parameters": core.Null()},
                           "digest": digest},
    })
    info = CatMemberInfo({"subject_guid": SIP_PE_IMAGE if pe else SIP_FLAT_IMAGE,
                          "cert_version": MEMBER_INFO_VERSION})
    tag = digest.hex().upper()
    attributes = [
        CatAttribute({"type": OID_CAT_NAMEVALUE, "values": [core.Any(name_value("File", file_name))]}),
        CatAttribute({"type": OID_CAT_NAMEVALUE, "values": [core.Any(name_value("OSAttr", OS_ATTR))]}),
        CatAttribute({"type": OID_CAT_MEMBERINFO, "values": [core.Any(info)]}),
        CatAttribute({"type": OID_SPC_INDIRECT_DATA, "values": [core.Any(indirect)]}),
    ]
    return tag, TrustedSubject({"subject_identifier": wide(tag), "subject_attributes": attributes})


def build_catalog(package, infs, catalog_name, when):
    files = []
    for inf in infs:
        inf_path = os.path.join(package, inf)
        if not os.path.isfile(inf_path):
            raise CatalogError(f"no setup information {inf_path}")
        sections, copied = inf_files(inf_path)
        for file_name in copied:
            if not os.path.isfile(os.path.join(package, file_name)):
                raise CatalogError(f"{inf}: copies {file_name}, which the package lacks")
        check_inf(inf_path, sections, package, catalog_name, copied)
        for file_name in [inf] + copied:
            if file_name.lower() not in (f.lower() for f in files):
                files.append(file_name)

    members = {}
    for file_name in files:
        data = open(os.path.join(package, file_name), "rb").read()
        for algorithm, hasher in HASHES:
            tag, subject = member(file_name, data, algorithm, hasher)
            members[tag] = subject
    # Sorted by tag, and identified by what it lists: the same files make the same catalog.
    subjects = [members[tag] for tag in sorted(members)]
    identifier = uuid.UUID(bytes=hashlib.sha256("".join(sorted(members)).encode()).digest()[:16],
                           version=4)
    ctl = CertificateTrustList({
        "subject_usage": [OID_CATALOG_LIST],
        "list_identifier": identifier.bytes_le,
        "this_update": when,
        "subject_algorithm": {"type": OID_CATALOG_LIST_MEMBER, "value": core.Null()},
        "trusted_subjects": subjects,
        "extensions": [CtlExtension({"extn_id": OID_CAT_NAMEVALUE,
                                     "extn_value": name_value("OSAttr", OS_ATTR).dump()})],
    })
    signed = cms.SignedData({
        "version": "v1",
        "digest_algorithms": [],
        "encap_content_info": cms.ContentInfo({"content_type": OID_CTL, "content": ctl}),
        "signer_infos": [],
    })
    return cms.ContentInfo({"content_type": "signed_data", "content": signed}).dump(), files


def list_catalog(path):
    info = cms.ContentInfo.load(open(path, "rb").read())
    encap = info["content"]["encap_content_info"]
    if encap["content_type"].dotted != OID_CTL:
        raise CatalogError(f"{path}: not a catalog (content type {encap['content_type'].dotted})")
    ctl = encap["content"]
    for subject in ctl["trusted_subjects"]:
        tag = subject["subject_identifier"].native.decode("utf-16-le").rstrip("\0")
        name = algorithm = "?"
        for attribute in subject["subject_attributes"]:
            value = attribute["values"][0]
            if attribute["type"].dotted == OID_CAT_NAMEVALUE:
                nv = CatNameValue.load(value.dump())
                if nv["tag"].native == "File":
                    name = nv["value"].native.decode("utf-16-le").rstrip("\0")
            elif attribute["type"].dotted == OID_SPC_INDIRECT_DATA:
                algorithm = SpcIndirectDataContent.load(value.dump())["message_digest"]["digest_algorithm"]["algorithm"].native
        print(f"{tag} {algorithm} {name}")


def main():
    parser = argparse.ArgumentParser(description="Makes the driver package's catalog.")
    parser.add_argument("--package", help="the package directory")
    parser.add_argument("--out", help="the catalog to write")
    parser.add_argument("--inf", action="append", help="a setup information file (default: every *.inf)")
    parser.add_argument("--list", metavar="CATALOG", help="print the members of a catalog")
    args = parser.parse_args()
    try:
        if args.list:
            list_catalog(args.list)
            return 0
        if not args.package or not args.out:
            parser.error("--package and --out are required")
        infs = args.inf or sorted(f for f in os.listdir(args.package) if f.lower().endswith(".inf"))
        if not infs:
            raise CatalogError(f"{args.package} holds no setup information (*.inf)")
        # A reproducible build sets SOURCE_DATE_EPOCH; the catalog's date is then the source's.
        epoch = os.environ.get("SOURCE_DATE_EPOCH")
        when = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc) if epoch
                else datetime.datetime.now(datetime.timezone.utc)).replace(microsecond=0)
        catalog, files = build_catalog(args.package, infs, os.path.basename(args.out), when)
        temporary = args.out + ".new"
        with open(temporary, "wb") as out:
            out.write(catalog)
        os.replace(temporary, args.out)
        print(f"makecat.py: {args.out}: {len(files)} files ({', '.join(files)})")
        return 0
    except (CatalogError, OSError, ValueError) as error:
        print(f"makecat.py: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
