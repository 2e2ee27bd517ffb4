#!/usr/bin/env bash
# Builds the Windows Installer packages from the release binaries:
#
#   Quellan-<version>-x86.msi  the i686 binaries, for 32-bit Windows
#   Quellan-<version>-x64.msi  the x86_64 binaries for the 64-bit browser and
#                              the i686 library (32-bit registry view) for
#                              the 32-bit browser, for 64-bit Windows
#
#   tools/package.sh [--output DIR] [--version X.Y.Z.W] [--no-build]
#
# The version is the binaries' own (the project() line of CMakeLists.txt);
# --version stamps another one on the package alone, for upgrade tests.
# --no-build takes the binaries as they are. Packages go to build/packages
# unless --output says otherwise. The registry rows are read out of the
# binaries by QuellanRegistryRows, which runs under Wine: in $WINEPREFIX if
# set, else in a private prefix under the build folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
output=$build/packages
version=""
compile=1
while [ $# -gt 0 ]; do
  case $1 in
    --output) output=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --no-build) compile=0; shift ;;
    *) echo "usage: tools/package.sh [--output DIR] [--version X.Y.Z.W] [--no-build]" >&2; exit 2 ;;
  esac
done

if [ $compile -eq 1 ]; then
  for target in "x64 x86_64-win32" "i686 i686-win32"; do
    set -- $target
    cmake -S "$root" -B "$build/$1" -G Ninja --toolchain "$root/cmake/$2.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build/$1"
  done
fi

# shellcheck source=/dev/null
. "$build/x64/tools/installer/package.env"
version=${version:-$QUELLAN_VERSION}

own_prefix=0
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$build/packages-wineprefix
  own_prefix=1
fi
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"

work=$(mktemp -d)
cleanup() {
  rm -rf "$work"
  if [ $own_prefix -eq 1 ]; then wineserver -k 2>/dev/null || true; fi
}
trap cleanup EXIT

windows_path() { echo "Z:${1//\//\\}"; }

mkdir -p "$output"
for platform in x86 x64; do
  # KIND:COMPONENT:FILEKEY:FOLDER:BINARY for QuellanRegistryRows. The type
  # library key is shared by both registry views: the i686 library names the
  # same help folder as the x86_64 one, so that neither overwrites the other.
  if [ $platform = x64 ]; then
    arch=x64
    binaries=("library:Library:QuellanDll:INSTALLDIR:$(windows_path "$build/x64/module/quellan.dll")"
              "host:Host:QuellanHostExe:INSTALLDIR:$(windows_path "$build/x64/host/QuellanHost.exe")"
              "library:Library32:QuellanDll32:INSTALLDIR:$(windows_path "$build/i686/module/quellan.dll")")
  else
    arch=x86
    binaries=("library:Library:QuellanDll:INSTALLDIR:$(windows_path "$build/i686/module/quellan.dll")"
              "host:Host:QuellanHostExe:INSTALLDIR:$(windows_path "$build/i686/host/QuellanHost.exe")")
  fi
  package=$work/Quellan-$platform.msi
  # wixl takes file sources relative to the current folder only.
  (cd "$build" && wixl -a $arch -o "$package" \
    -D Platform=$platform -D Version="$version" -D UpgradeCode="$QUELLAN_UPGRADE_CODE" \
    -D ProductName="$QUELLAN_PRODUCT_NAME" -D Manufacturer="$QUELLAN_MANUFACTURER" \
    -D X64Bin=x64 -D X86Bin=i686 "$root/tools/installer/Quellan.wxs")
  rows=$work/rows-$platform
  mkdir -p "$rows"
  wine "$build/x64/tools/installer/QuellanRegistryRows.exe" "$(windows_path "$rows")" "${binaries[@]}"
  # The "Don't block on this site" entry is added to the rows here: MSI's SQL
  # has no way to write the quote in its name.
  printf 'UserMenuAllowSite\t1\t%s\t-\t\tHost\r\n' \
    "Software\\Microsoft\\Internet Explorer\\MenuExt\\Don't block on this site" >>"$rows/Registry.idt"
  (cd "$rows" && msibuild "$package" -i Registry.idt -i RemoveRegistry.idt)
  # Run again (without INSTALLDIR) or upgraded, the package installs where
  # the product already is, never a second copy: AppSearch sets each install
  # folder to the folder of its library component wherever that component
  # is installed (CompLocator type 1, the key path is a file, with no
  # Signature row: the property gets the folder that holds that file), and
  # leaves the folder as it was when it is not installed. wixl writes no
  # CompLocator table; the component ids are those wixl chose.
  sql=("CREATE TABLE \`CompLocator\` (\`Signature_\` CHAR(72) NOT NULL, \`ComponentId\` CHAR(38) NOT NULL, \`Type\` SHORT PRIMARY KEY \`Signature_\`)")
  while IFS=$'\t' read -r component id folder _; do
    case $component in Library|Library32) ;; *) continue ;; esac
    sql+=("INSERT INTO \`CompLocator\` (\`Signature_\`, \`ComponentId\`, \`Type\`) VALUES ('Installed$component', '$id', 1)"
          "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('$folder', 'Installed$component')")
  done < <(msiinfo export "$package" Component | tail -n +4 | tr -d '\r')
  for table in InstallExecuteSequence InstallUISequence; do
    sql+=("INSERT INTO \`$table\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)")
  done
  # Removal takes away the browser menu entries that the broker wrote for the
  # user who removes the product ("-": deleted when the component goes,
  # never written). Other users' entries are out of reach: their registry
  # is not loaded.
  menu='Software\Microsoft\Internet Explorer'
  sql+=("INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('UserMenuSettings', 1, '$menu\Extensions\{$QUELLAN_MENU_EXTENSION}', '-', 'Host')"
        "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('UserMenuItems', 1, '$menu\MenuExt\&List Blockable Items...', '-', 'Host')"
        "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('UserMenuDisallowSite', 1, '$menu\MenuExt\Block on this site again', '-', 'Host')")
  # The machine's lists are written only when the LISTS property is given;
  # an upgrade or repair without it keeps the value there is (found in the
  # 64-bit view on 64-bit Windows: RegLocator type raw + 64-bit), while a
  # LISTS given on the command line wins.
  # Its value's row is wixl's (the component's key path), put back after the
  # import above replaced wixl's Registry table.
  lists64=$([ "$platform" = x64 ] && echo 18 || echo 2)
  listsRow=$(msiinfo export "$package" Component | tr -d '\r' | awk -F'\t' '$1 == "MachineLists" { print $6 }')
  sql+=("UPDATE \`Component\` SET \`Condition\` = 'LISTS' WHERE \`Component\` = 'MachineLists'"
        "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('$listsRow', 2, 'Software\\Quellan', 'Lists', '[LISTS]', 'MachineLists')"
        "INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Name\`, \`Type\`) VALUES ('InstalledLists', 2, 'Software\\Quellan', 'Lists', $lists64)"
        "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('INSTALLEDLISTS', 'InstalledLists')"
        "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('KeepInstalledLists', 51, 'LISTS', '[INSTALLEDLISTS]')")
  for table in InstallExecuteSequence InstallUISequence; do
    sql+=("INSERT INTO \`$table\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('KeepInstalledLists', 'NOT LISTS AND INSTALLEDLISTS', 51)")
  done
  queries=()
  for query in "${sql[@]}"; do queries+=(-q "$query"); done
  msibuild "$package" "${queries[@]}"
  # wixl leaves the File table's versions empty, which would make the
  # installer treat the binaries as unversioned data files (compared by
  # hash); they carry the product version in their version resources.
  msibuild "$package" -q "UPDATE \`File\` SET \`Version\` = '$QUELLAN_VERSION', \`Language\` = '1033'" \
    -q "DROP TABLE \`MsiFileHash\`"
  mv "$package" "$output/Quellan-$version-$platform.msi"
  echo "$output/Quellan-$version-$platform.msi"
done
