#!/usr/bin/env bash
# Builds the setup program out of a package directory: DIR/vcombus-setup.exe, made by NSIS from
# package/setup.nsi with the version the bus's setup information states (DriverVer), then signed
# like every executable of the package (scripts/sign.sh). Run last: the setup program wraps the
# package's files as they are, catalog and signatures included.
#
# usage: make-setup.sh PACKAGE_DIR
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
die() { echo "make-setup.sh: $*" >&2; exit 1; }

(($# == 1)) || die "usage: make-setup.sh PACKAGE_DIR"
package=$(cd "$1" && pwd) || die "no package directory $1"
command -v makensis >/dev/null 2>&1 ||
    die "makensis is missing (install it with: scripts/ensure-deps.sh package, as root)"
for file in vcomctl.exe vcomsvc.exe vcombus.sys vcombus.inf vcomport.inf vcombus.cat; do
    [[ -f $package/$file ]] || die "the package lacks $file"
done

# DriverVer = MM/DD/YYYY,A.B.C.D: the setup program carries the driver's version.
version=$(tr -d '\r' <"$package/vcombus.inf" |
    sed -nE 's/^[[:space:]]*DriverVer[[:space:]]*=[^,]*,[[:space:]]*([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+).*/\1/p' | head -n1)
[[ -n $version ]] || die "$package/vcombus.inf states no DriverVer version"

out=$package/vcombus-setup.exe
# Made beside and moved into place whole, so that a failed build leaves no half-made program.
scratch=$(mktemp --suffix=.exe "$package/.vcombus-setup.XXXXXX")
trap 'rm -f "$scratch"' EXIT
if ! log=$(makensis -V2 -NOCD -DPACKAGE_DIR="$package" -DVERSION="$version" -DOUTFILE="$scratch" \
        "$root/package/setup.nsi" 2>&1); then
    printf '%s\n' "$log" >&2
    die "makensis failed"
fi
if [[ -x $root/scripts/sign.sh ]]; then
    "$root/scripts/sign.sh" "$scratch"
fi
chmod 644 "$scratch"
mv "$scratch" "$out"
trap - EXIT
echo "make-setup.sh: built $out (version $version)"
