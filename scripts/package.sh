#!/usr/bin/env bash
# Turns the installed package directory into one Windows installs: signs every executable it
# ships, makes the catalog of what the setup information files copy, signs the catalog, and in a
# test build (no SIGN_PFX) ships the test certificate that signed it as vcombus-test.cer.
#
# usage: package.sh PACKAGE_DIR     (make package runs it on out/package after cmake --install)
#
# The signer and the time stamp come from the environment, as scripts/sign.sh describes. With
# SIGNED_DRIVER_DIR set to the folder the attestation signing service returned, the driver image
# and catalog come from there instead, and only the other executables are signed here.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
(($# == 1)) || { echo "usage: package.sh PACKAGE_DIR" >&2; exit 2; }
package=$1
[[ -d $package ]] || { echo "package.sh: no package directory $package" >&2; exit 1; }
# Debian's interpreter: the catalog tool needs its python3-asn1crypto.
python=/usr/bin/python3

# The setup program of an earlier build is no image of the package: make-setup.sh makes it anew
# at the end, and signing the old one first would only cost time.
rm -f "$package/vcombus-setup.exe"
shopt -s nullglob nocaseglob
images=("$package"/*.sys "$package"/*.exe "$package"/*.dll)
shopt -u nocaseglob
((${#images[@]})) || { echo "package.sh: $package holds no images to sign" >&2; exit 1; }

if [[ -n ${SIGNED_DRIVER_DIR:-} ]]; then
    # The driver as the attestation signing service sent it back (docs/signing.md): its image and
    # catalog carry Microsoft's signatures and replace ours; the catalog lists the setup
    # information files by their hashes, so those must be the ones submitted, byte for byte.
    for file in vcombus.sys vcombus.cat; do
        [[ -f $SIGNED_DRIVER_DIR/$file ]] || { echo "package.sh: SIGNED_DRIVER_DIR: no $SIGNED_DRIVER_DIR/$file" >&2; exit 1; }
    done
    for inf in "$package"/*.inf; do
        signed_inf=$SIGNED_DRIVER_DIR/$(basename "$inf")
        [[ -f $signed_inf ]] && cmp -s "$inf" "$signed_inf" || {
            echo "package.sh: $(basename "$inf") differs from the one in $SIGNED_DRIVER_DIR: the signed catalog does not cover it" >&2
            exit 1
        }
    done
    cp "$SIGNED_DRIVER_DIR/vcombus.sys" "$SIGNED_DRIVER_DIR/vcombus.cat" "$package/"
    others=()
    for image in "${images[@]}"; do
        [[ $(basename "$image") == vcombus.sys ]] || others+=("$image")
    done
    ((${#others[@]} == 0)) || "$root/scripts/sign.sh" "${others[@]}"
else
    # The images first: the catalog lists a PE image by its Authenticode hash, which leaves out
    # the image's own signature, so the catalog stays valid for the signed files.
    "$root/scripts/sign.sh" "${images[@]}"
    "$python" "$root/tools/catalog/makecat.py" --package "$package" --out "$package/vcombus.cat"
    "$root/scripts/sign.sh" "$package/vcombus.cat"
fi

if [[ -z ${SIGN_PFX:-} ]]; then
    "$root/scripts/sign.sh" --public-cert "$package/vcombus-test.cer"
else
    # A production signature needs no certificate of ours on the user's machine.
    rm -f "$package/vcombus-test.cer"
fi
if [[ -n ${SIGNED_DRIVER_DIR:-} ]]; then
    echo "package.sh: $package holds the driver and catalog from $SIGNED_DRIVER_DIR"
else
    echo "package.sh: signed ${#images[@]} images and vcombus.cat in $package"
fi

# Last, the setup program: it wraps the package as it now is, signatures and catalog included,
# and is signed itself.
"$root/scripts/make-setup.sh" "$package"
