#!/usr/bin/env bash
# Builds the cabinet that the platform's attestation signing service (Partner Center's hardware
# dashboard) takes: the driver package (image, setup information, catalog) in one folder of its
# own, as the service wants every driver package, and the cabinet signed with the organisation's
# extended-validation certificate (SIGN_PFX), which is how the service knows who submits it.
#
# usage: submission.sh --check                   fail unless SIGN_PFX names a readable file
#        submission.sh PACKAGE_DIR OUTPUT.cab    make the signed cabinet from a signed package
#
# docs/signing.md says how to submit it and what comes back.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
folder=vcombus
driver_files=(vcombus.sys vcombus.inf vcomport.inf vcombus.cat)

die() { echo "submission.sh: $*" >&2; exit 1; }

check_signer() {
    [[ -n ${SIGN_PFX:-} ]] ||
        die "SIGN_PFX is not set: the attestation signing service takes only a cabinet signed with your organisation's EV code-signing certificate; set SIGN_PFX (and SIGN_PASSWORD) to its PKCS #12 file (see docs/signing.md)"
    [[ -r $SIGN_PFX ]] || die "SIGN_PFX: cannot read $SIGN_PFX"
}

if [[ ${1:-} == --check ]]; then
    check_signer
    exit 0
fi
(($# == 2)) || { echo "usage: submission.sh --check | submission.sh PACKAGE_DIR OUTPUT.cab" >&2; exit 2; }
check_signer
package=$1
output=$2
command -v gcab >/dev/null 2>&1 || die "gcab is missing (install it with: scripts/ensure-deps.sh package, as root)"
for file in "${driver_files[@]}"; do
    [[ -f $package/$file ]] || die "the package lacks $file (run make package first)"
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$folder"
cp "${driver_files[@]/#/$package/}" "$stage/$folder/"
mkdir -p "$(dirname "$output")"
rm -f "$output"
# Compressed (MSZIP), the paths kept: the service refuses files at the cabinet's root.
(cd "$stage" && gcab --create --zip "$stage/out.cab" "${driver_files[@]/#/$folder/}") ||
    die "gcab could not make the cabinet"
"$root/scripts/sign.sh" "$stage/out.cab"
mv "$stage/out.cab" "$output"
echo "submission.sh: $output: ${driver_files[*]/#/$folder/}, signed with $SIGN_PFX"
