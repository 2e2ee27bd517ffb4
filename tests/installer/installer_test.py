#!/usr/bin/env python3
"""The installer packages under Wine's msiexec, each scenario in a fresh
prefix copied from a template.

    installer_test.py --make-packages   builds the packages the tests use
    installer_test.py TestCase.test     runs one test (CTest runs each)

Configuration comes from the environment (tests/installer/CMakeLists.txt):
QUELLAN_SOURCE_DIR, QUELLAN_SHIPPED_DIR (x86_64 build), QUELLAN_SHIPPED_DIR_I686,
QUELLAN_INSTALLER_WORK (scratch folder) and QUELLAN_INSTALLER_PROBE.
"""

import getpass
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineprefix  # noqa: E402
from wineprefix import Prefix, changes, windows_path  # noqa: E402

SOURCE = os.environ.get("QUELLAN_SOURCE_DIR", "")
X64 = os.environ.get("QUELLAN_SHIPPED_DIR", "")
X86 = os.environ.get("QUELLAN_SHIPPED_DIR_I686", "")
WORK = os.environ.get("QUELLAN_INSTALLER_WORK", "")
PROBE = os.environ.get("QUELLAN_INSTALLER_PROBE", "")

TEMPLATE = os.path.join(WORK, "template")
PACKAGES = os.path.join(WORK, "packages")
DIR64 = r"C:\Program Files\Quellan"
DIR32 = r"C:\Program Files (x86)\Quellan"
BINARIES = {"quellan.dll": "module", "QuellanHost.exe": "host", "QuellanCtl.exe": "ctl"}

# Windows Installer's own records of installed products: checked on their
# own, never part of the product's registration.
INSTALLER_RECORDS = (
    "software\\classes\\installer\\",
    "software\\microsoft\\windows\\currentversion\\installer\\",
    "software\\microsoft\\windows\\currentversion\\uninstall\\",
)


def package_env():
    values = {}
    with open(os.path.join(X64, "tools", "installer", "package.env")) as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                name, _, value = line.strip().partition("=")
                values[name] = value.strip("'")
    return values


ENV = package_env() if X64 else {}
VERSION = ENV.get("QUELLAN_VERSION", "")
UPGRADE_CODE = "{" + ENV.get("QUELLAN_UPGRADE_CODE", "") + "}"


def older_version(version):
    """A version that Windows Installer orders before `version`."""
    major, minor = (int(p) for p in version.split(".")[:2])
    return f"{major}.{minor - 1}.0.0" if minor else f"{major - 1}.99.0.0"


def package(platform, version=None):
    return os.path.join(PACKAGES, f"Quellan-{version or VERSION}-{platform}.msi")


def make_packages():
    build = os.path.dirname(X64)
    assert os.path.samefile(os.path.join(build, "i686"), X86), "package.sh expects build/x64 and build/i686"
    env = dict(os.environ, QUELLAN_BUILD=build)
    script = os.path.join(SOURCE, "tools", "package.sh")
    subprocess.run([script, "--no-build", "--output", PACKAGES], env=env, check=True)
    subprocess.run([script, "--no-build", "--output", PACKAGES, "--version", older_version(VERSION)], env=env,
                   check=True)
    subprocess.run([os.path.join(SOURCE, "tools", "wine-prefix.sh"), TEMPLATE], check=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def resolve(text, references):
    """A formatted string of our registry rows as the installer resolves it:
    [\\x] escapes and [reference] from `references`."""
    def replace(match):
        inner = match.group(1)
        return inner[1] if inner.startswith("\\") else references[inner]
    return re.sub(r"\[(\\.|[^\[\]]+)\]", replace, text)


def msi_table(msi, table):
    """Rows of an installer table as dictionaries, read with msiinfo."""
    text = subprocess.run(["msiinfo", "export", msi, table], check=True, capture_output=True,
                          text=True).stdout
    lines = text.split("\r\n") if "\r\n" in text else text.split("\n")
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


# Kept when a helper object removes its menu entries (the browser's keys).
BROWSER_MENU_PARENTS = {("software\\microsoft\\internet explorer\\extensions", None),
                        ("software\\microsoft\\internet explorer\\menuext", None)}


def ours(entries):
    """The product's registration among a registry diff: what is under
    HKLM\\Software, without Windows Installer's records. Install folders
    become <DIR64> and <DIR32>."""
    result = {}
    for (key, value), (key_name, value_name, data) in entries.items():
        if not key.startswith("software\\") or key.startswith(INSTALLER_RECORDS):
            continue
        if data and data[0] in ("sz", "expand"):
            text = data[1]
            for folder, token in ((DIR32, "<DIR32>"), (DIR64, "<DIR64>")):
                start = text.lower().find(folder.lower())
                if start >= 0:
                    text = text[:start] + token + text[start + len(folder):]
            data = (data[0], text)
        result[(key, value)] = (key_name, value_name, data)
    return result


def leaves_only(entries):
    """Drops the bare existence of keys that only lead to other entries: the
    installer and the registrar create such parents alike, but which of them
    existed before differs between the two registry views."""
    keys = {key for key, _ in entries}
    parents = {k for k in keys if any(other.startswith(k + "\\") for other in keys)}
    return {entry: data for entry, data in entries.items() if not (entry[1] is None and entry[0] in parents)}


# Registry views as Windows 7 and Wine keep them: under Classes, AppID and
# TypeLib are shared by both views; every other key of HKLM\Software has a
# 32-bit twin under Wow6432Node.
SHARED_CLASSES = ("appid", "typelib")


def to_32bit_view(key):
    classes = "software\\classes\\"
    if key.startswith(classes):
        rest = key[len(classes):]
        if rest.split("\\")[0] in SHARED_CLASSES or rest.startswith("wow6432node\\"):
            return key
        return classes + "wow6432node\\" + rest
    if key.startswith("software\\wow6432node\\"):
        return key
    return "software\\wow6432node\\" + key[len("software\\"):]


def registration_32bit(entries):
    """What the i686 library registers in the 32-bit view, from what the
    x86_64 library registered in the 64-bit view."""
    result = {}
    for (key, value), (key_name, value_name, data) in entries.items():
        new_key = to_32bit_view(key).replace("\\0\\win64", "\\0\\win32")
        if data and data[0] == "sz" and not key.endswith("\\helpdir"):
            data = ("sz", data[1].replace("<DIR64>", "<DIR32>"))
        result[(new_key, value)] = (new_key, value_name, data)
    return result


def describe(entries):
    return "\n".join(
        f"  {key_name} [{value_name if value_name is not None else '(key)'}] = {data}"
        for key_name, value_name, data in sorted(entries.values(), key=lambda e: (e[0].lower(), e[1] or "")))


class InstallerTest(unittest.TestCase):
    """Each test gets fresh prefixes, closed (server stopped, files removed)
    at the end."""

    def setUp(self):
        self.prefixes = []
        self.template_registry = wineprefix.read_registry(os.path.join(TEMPLATE, wineprefix.MACHINE))
        self.template_user_registry = wineprefix.read_registry(os.path.join(TEMPLATE, wineprefix.USER))

    def tearDown(self):
        for prefix in self.prefixes:
            prefix.close()

    def new_prefix(self, name):
        prefix = Prefix(TEMPLATE, os.path.join(WORK, "scratch", self.id().rsplit(".", 1)[-1] + "-" + name))
        self.prefixes.append(prefix)
        return prefix

    def msiexec(self, prefix, *args):
        """msiexec's exit code; a failure also prints the end of its log,
        which the assertion alone does not show."""
        log = "C:\\msiexec.log"
        code, out, err = prefix.run("msiexec", *args, "/qn", "/l*v", log)
        if code not in (0, 3010):
            try:
                data = read(prefix.unix_path(log))
                text = data.decode("utf-16" if data[:2] == b"\xff\xfe" else "utf-8", errors="replace")
                tail = [line for line in text.splitlines() if not line.startswith("Property(")][-40:]
            except OSError as e:
                tail = [f"(no log: {e})"]
            print(f"msiexec {' '.join(args)}: exit {code}\n{out}{err}" + "\n".join(tail), file=sys.stderr)
        return code

    def probe(self, prefix, *args):
        code, out, err = prefix.run(PROBE, *args)
        self.assertEqual(0, code, f"installer_probe {' '.join(args)}: {err}")
        return out.strip()

    def installed_products(self, prefix, how="named"):
        """[product code, version] of every installed product named as ours
        (how="named") or of our upgrade code (how="related")."""
        what = ENV["QUELLAN_PRODUCT_NAME"] if how == "named" else UPGRADE_CODE
        return [line.split() for line in self.probe(prefix, how, what).splitlines() if line]

    def todo_wine(self, works, reason):
        """A check that holds on Windows and fails under Wine for `reason`:
        reported when it starts to hold (then drop the marker)."""
        self.assertFalse(works, "todo_wine check now passes under Wine: " + reason)

    def user_data(self, prefix):
        """The user's store files, created with distinct content."""
        folder = os.path.join(prefix.path, "drive_c", "users", getpass.getuser(), "AppData", "LocalLow",
                              "Quellan")
        os.makedirs(folder, exist_ok=True)
        files = {}
        for name in ("storage.bin", "settings.bin"):
            path = os.path.join(folder, name)
            content = os.urandom(4096) + name.encode()
            with open(path, "wb") as f:
                f.write(content)
            files[path] = content
        return files

    def assertUserDataKept(self, files, when):
        for path, content in files.items():
            with open(path, "rb") as f:
                self.assertEqual(content, f.read(), f"{os.path.basename(path)} changed by {when}")

    def assertNothingLeft(self, prefix, when):
        """No file, folder or registry entry of the product; nothing of what
        the machine had is gone but empty keys (Wine's installer removes
        empty parents of what it removes)."""
        for folder in (DIR64, DIR32):
            self.assertFalse(os.path.exists(prefix.unix_path(folder)), f"{folder} left by {when}")
        added, removed = changes(self.template_registry, prefix.registry())
        left = ours(added)
        self.assertEqual({}, left, f"left in the registry by {when}:\n{describe(left)}")
        # A per-machine package writes nothing for the user who runs it. A
        # helper object that a test created is a browser process of the
        # user: it installed the browser menu entries and removed them when
        # it went, keeping the browser's own parent keys of menu entries.
        user = ours(changes(self.template_user_registry, prefix.registry(wineprefix.USER))[0])
        user = {entry: data for entry, data in user.items() if entry not in BROWSER_MENU_PARENTS}
        self.assertEqual({}, user, f"left in the user's registry by {when}:\n{describe(user)}")
        records = {entry: data for entry, data in added.items()
                   if entry[0].startswith(INSTALLER_RECORDS) and entry[1] is not None}
        self.assertEqual({}, records, f"installer records left by {when}:\n{describe(records)}")
        lost = {entry: data for entry, data in ours(removed).items() if entry[1] is not None}
        self.assertEqual({}, lost, f"removed from the machine by {when}:\n{describe(lost)}")

    def assertInstalledFiles(self, prefix, version):
        """The built binaries in their folders, each with the version."""
        installed = {DIR64 + "\\" + name: os.path.join(X64, folder, name) for name, folder in BINARIES.items()}
        installed[DIR32 + "\\quellan.dll"] = os.path.join(X86, "module", "quellan.dll")
        for path, built in installed.items():
            self.assertEqual(read(built), read(prefix.unix_path(path)), path)
        self.assertEqual([version] * len(installed), self.probe(prefix, "version", *installed).split(), "versions")

    def package_keys(self, msi, table):
        """Keys of a package's registry table rows, as HKLM paths in the view
        of their component."""
        components = {r["Component"]: r for r in msi_table(msi, "Component")}
        keys = []
        for row in msi_table(msi, table):
            # Root 0 is HKCR of a per-machine install, 2 HKLM: both under HKLM.
            key = ("software\\classes\\" if row["Root"] == "0" else "") + resolve(row["Key"], {}).lower()
            if not int(components[row["Component_"]]["Attributes"]) & COMPONENT_64BIT:
                key = to_32bit_view(key)
            keys.append(key)
        return keys

    def assertRegistered(self, prefix, msi):
        """Every registry row of the package is in the registry, resolved as
        the installer resolves it, in the view of its component."""
        registry = prefix.registry()
        components = {r["Component"]: r for r in msi_table(msi, "Component")}
        files = {r["File"]: r for r in msi_table(msi, "File")}
        folders = {"INSTALLDIR": DIR64 + "\\", "INSTALLDIR32": DIR32 + "\\"}
        references = {f"#{name}": folders[components[f["Component_"]]["Directory_"]] + f["FileName"]
                      for name, f in files.items()}
        references.update(folders)
        for row, key in zip(msi_table(msi, "Registry"), self.package_keys(msi, "Registry")):
            where = f"{row['Registry']}: {key} [{row['Name']}]"
            if components[row["Component_"]]["Condition"]:
                continue  # installed only on request (LISTS): checked on its own
            if row["Name"] == "-":
                continue  # removed with the product, never written
            if row["Name"] in ("+", "*") and not row["Value"]:
                self.assertTrue(registry.has_key(key), where)
                continue
            value = resolve(row["Value"], references)
            expected = ("dword", int(value[1:])) if value.startswith("#") and not value.startswith("##") \
                else ("sz", value[1:] if value.startswith("##") else value)
            self.assertEqual(expected, registry.value(key, resolve(row["Name"], {})), where)


class X64Package(InstallerTest):

    def test_install_registers_what_self_registration_does(self):
        # The binaries in the same folder, registered as the README says:
        # the library, then the host.
        selfreg = self.new_prefix("selfreg")
        os.makedirs(selfreg.unix_path(DIR64))
        for name, folder in BINARIES.items():
            shutil.copy(os.path.join(X64, folder, name), selfreg.unix_path(DIR64))
        code, _, err = selfreg.run("regsvr32", "/s", DIR64 + "\\quellan.dll")
        self.assertEqual(0, code, err)
        library = ours(changes(self.template_registry, selfreg.registry())[0])
        code, _, err = selfreg.run(DIR64 + "\\QuellanHost.exe", "/RegServer")
        self.assertEqual(0, code, err)
        both = ours(changes(self.template_registry, selfreg.registry())[0])
        self.assertTrue(set(library) < set(both), "the host registers nothing of its own")

        # Keys that self-registration writes afresh (ForceRemove) lose what an
        # earlier registration left in them when the package installs.
        installed = self.new_prefix("msiexec")
        stale = os.path.join(installed.path, "drive_c", "stale.reg")
        with open(stale, "w", encoding="utf-16") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n")
            for key in self.package_keys(package("x64"), "RemoveRegistry"):
                f.write(f"[HKEY_LOCAL_MACHINE\\{key}\\Stale]\r\n\"Left\"=\"over\"\r\n\r\n")
        code, _, err = installed.run("regedit", "/s", "C:\\stale.reg")
        self.assertEqual(0, code, err)
        os.remove(stale)
        self.assertEqual(0, self.msiexec(installed, "/i", windows_path(package("x64"))))
        registry = installed.registry()
        package_rows = ours(changes(self.template_registry, registry)[0])

        # The i686 library registers in the 32-bit view as the x86_64 one does
        # in the 64-bit view; the host serves both from the 64-bit view.
        expected = dict(both)
        expected.update(registration_32bit({e: d for e, d in library.items() if "wow6432node" not in e[0]}))
        typelib = next(k for k, _ in library if k.endswith("\\1.0\\flags")).rsplit("\\", 1)[0]
        # Wine differences, each kept as the value Windows writes; a check
        # fails when Wine starts writing the same (then drop the exception).
        #  - Windows records FLAGS without LIBFLAG_FHASDISKIMAGE, Wine with it.
        flags = (typelib + "\\flags", "")
        self.assertEqual(("sz", "8"), both[flags][2], "todo_wine: Wine now writes FLAGS as Windows does")
        expected[flags] = (expected[flags][0], "", ("sz", "0"))
        #  - HELPDIR: the package names the install folder as a folder
        #    reference, which ends with a separator; RegisterTypeLib without
        #    a help folder writes the library's folder without it.
        helpdir = (typelib + "\\helpdir", "")
        self.assertEqual(("sz", "<DIR64>"), both[helpdir][2])
        expected[helpdir] = (expected[helpdir][0], "", ("sz", "<DIR64>\\"))

        expected, actual = leaves_only(expected), leaves_only(package_rows)
        missing = {e: d for e, d in expected.items() if e not in actual or actual[e][2] != d[2]}
        extra = {e: d for e, d in actual.items() if e not in expected or expected[e][2] != d[2]}
        self.assertEqual(({}, {}), (missing, extra),
                         f"self-registration (and the library's 32-bit twin) wrote, the package did not:\n{describe(missing)}\n"
                         f"the package wrote, self-registration did not:\n{describe(extra)}")

        # A client creates the helper object by its ProgID from the
        # installed library, and the broker out of process from the installed
        # host, through the registered type library; the product is listed
        # under Add/Remove Programs.
        self.assertEqual((DIR64 + "\\quellan.dll").lower(), self.probe(installed, "create", "Quellan.BHO").lower())
        self.probe(installed, "serve", "Quellan.Broker")
        self.assertInstalledFiles(installed, VERSION)
        products = self.installed_products(installed)
        self.assertEqual([VERSION], [v for _, v in products])
        self.assertEqual(products, self.installed_products(installed, "related"))

        # An older package does not replace the installed product.
        self.assertNotEqual(0, self.msiexec(installed, "/i", windows_path(package("x64", older_version(VERSION)))))
        self.assertEqual(products, self.installed_products(installed), "after a refused downgrade")
        arp = "software\\microsoft\\windows\\currentversion\\uninstall\\" + products[0][0].lower()
        self.assertEqual(("sz", "Quellan"), registry.value(arp, "DisplayName"))
        self.assertEqual(("sz", ENV["QUELLAN_MANUFACTURER"]), registry.value(arp, "Publisher"))
        self.assertEqual(("sz", VERSION), registry.value(arp, "DisplayVersion"))

        # The broker host started above would keep its file in use for the
        # seconds of its idle time-out (Windows Installer then leaves the
        # file to be deleted at the next restart): end it.
        installed.stop()
        self.assertEqual(0, self.msiexec(installed, "/x", windows_path(package("x64"))))
        self.assertNothingLeft(installed, "uninstall")

    def test_lists_property_subscribes_each_user_once(self):
        prefix = self.new_prefix("lists")
        lists = "http://intranet/easylist.txt;http://intranet/extra.txt ftp://ignored/x.txt"
        # (Wine's msiexec turns a run of spaces in a property into one.)
        self.assertEqual(0, self.msiexec(prefix, "/i", windows_path(package("x64", older_version(VERSION))),
                                         f"LISTS={lists}"))
        self.assertEqual(("sz", lists), prefix.registry().value("software\\quellan", "Lists"),
                         "in the 64-bit view, which both browsers read")
        self.assertEqual(0, self.msiexec(prefix, "/i", windows_path(package("x64"))))
        self.assertEqual(("sz", lists), prefix.registry().value("software\\quellan", "Lists"),
                         "kept by an upgrade without LISTS")
        # The user's first use subscribes to each usable address; nothing is
        # fetched yet (the next due update does).
        ctl = DIR64 + "\\QuellanCtl.exe"
        code, out, err = prefix.run(ctl, "lists")
        self.assertEqual(0, code, out + err)
        self.assertEqual([["easylist", "http://intranet/easylist.txt"], ["extra", "http://intranet/extra.txt"]],
                         [line.split("\t")[:2] for line in out.splitlines() if line])
        # Removed by the user, a list does not come back.
        code, _, err = prefix.run(ctl, "lists", "remove", "extra")
        self.assertEqual(0, code, err)
        code, out, err = prefix.run(ctl, "lists")
        self.assertEqual(["easylist"], [line.split("\t")[0] for line in out.splitlines() if line])

        self.assertEqual(0, self.msiexec(prefix, "/x", windows_path(package("x64"))))
        self.assertNothingLeft(prefix, "uninstall of a package given LISTS")

    def test_upgrade_repair_and_uninstall_keep_the_user_data(self):
        prefix = self.new_prefix("upgrade")
        data = self.user_data(prefix)
        older = older_version(VERSION)
        self.assertEqual(0, self.msiexec(prefix, "/i", windows_path(package("x64", older))))
        self.assertEqual([older], [v for _, v in self.installed_products(prefix)])

        self.assertEqual(0, self.msiexec(prefix, "/i", windows_path(package("x64"))))
        self.assertEqual([VERSION], [v for _, v in self.installed_products(prefix)], "one product after upgrade")
        # Wine removes the older product after installing the newer one, and
        # its removal deletes the whole upgrade-code record, the newer
        # product's entry included.
        self.todo_wine([VERSION] == [v for _, v in self.installed_products(prefix, "related")],
                       "the upgrade code lists the product after an upgrade")
        self.assertInstalledFiles(prefix, VERSION)
        self.assertRegistered(prefix, package("x64"))
        self.assertEqual((DIR64 + "\\quellan.dll").lower(), self.probe(prefix, "create", "Quellan.BHO").lower())
        self.assertUserDataKept(data, "the upgrade")

        # A repair puts back a damaged file and the registration.
        with open(prefix.unix_path(DIR64 + "\\quellan.dll"), "wb") as f:
            f.write(b"damaged")
        self.probe(prefix, "repair", self.installed_products(prefix)[0][0])
        self.assertInstalledFiles(prefix, VERSION)
        self.assertRegistered(prefix, package("x64"))
        self.assertUserDataKept(data, "a repair")

        self.assertEqual(0, self.msiexec(prefix, "/x", windows_path(package("x64"))))
        self.assertEqual([], self.installed_products(prefix))
        self.assertUserDataKept(data, "the uninstall")
        self.assertNothingLeft(prefix, "uninstall after upgrade")

    def test_running_again_and_removal_in_use_leave_no_copy_behind(self):
        prefix = self.new_prefix("again")
        custom = r"C:\Tools\Quellan"
        self.assertEqual(0, self.msiexec(prefix, "/i", windows_path(package("x64")), f"INSTALLDIR={custom}\\"))
        # Run again without INSTALLDIR, the product stays where it is.
        self.assertEqual(0, self.msiexec(prefix, "/i", windows_path(package("x64"))))
        self.assertFalse(os.path.exists(prefix.unix_path(DIR64)), "a second copy in the default folder")
        self.assertEqual((custom + "\\quellan.dll").lower(), self.probe(prefix, "create", "Quellan.BHO").lower())

        # Removed while a browser process holds the library, its broker
        # having written the user's menu entries.
        holder = subprocess.Popen(["wine", PROBE, "hold"], env=prefix.env(), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        try:
            self.assertEqual(b"held", holder.stdout.readline().strip())
            code = self.msiexec(prefix, "/x", windows_path(package("x64")))
        finally:
            holder.stdin.close()
            holder.wait(120)
        self.assertIn(code, (0, 3010), "3010: done, restart needed")
        self.assertEqual([], self.installed_products(prefix))
        # A file in use goes at the next start of the system: Windows
        # Installer schedules it (MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT)
        # and says a restart is needed; Wine's leaves it where it is.
        prefix.run("wineboot", "-r")
        library = prefix.unix_path(custom + "\\quellan.dll")
        self.todo_wine(not os.path.exists(library), "msi does not schedule files in use for removal at restart")
        if os.path.exists(library):
            os.remove(library)
        self.assertNothingLeft(prefix, "removal in use")

    def test_packages_that_must_not_install_leave_nothing(self):
        prefix = self.new_prefix("refused")
        data = self.user_data(prefix)
        with open(package("x64"), "rb") as f:
            good = f.read()
        damaged = {
            "truncated": good[:len(good) // 2],
            # Garbage over the middle of the file, inside the embedded
            # cabinet that holds the binaries.
            "corrupted": good[:len(good) // 2] + bytes(range(256)) * 64 + good[len(good) // 2 + 16384:],
        }
        folder = tempfile.mkdtemp(dir=WORK)
        try:
            for name, content in damaged.items():
                path = os.path.join(folder, name + ".msi")
                with open(path, "wb") as f:
                    f.write(content)
                self.assertNotEqual(0, self.msiexec(prefix, "/i", windows_path(path)), name)
                self.assertEqual([], self.installed_products(prefix), name)
                self.assertNothingLeft(prefix, f"a {name} package")
        finally:
            shutil.rmtree(folder)
        # The 32-bit package is for 32-bit Windows only.
        self.assertNotEqual(0, self.msiexec(prefix, "/i", windows_path(package("x86"))))
        self.assertEqual([], self.installed_products(prefix))
        self.assertNothingLeft(prefix, "the x86 package on 64-bit Windows")
        self.assertUserDataKept(data, "refused packages")


def pe_machine(path):
    with open(path, "rb") as f:
        header = f.read(4096)
    offset = int.from_bytes(header[0x3C:0x40], "little")
    assert header[offset:offset + 4] == b"PE\0\0", path
    return int.from_bytes(header[offset + 4:offset + 6], "little")


I386, AMD64 = 0x14C, 0x8664
COMPONENT_64BIT = 256


class PackageTables(unittest.TestCase):
    """What only the tables can show: 32-bit programs do not run here."""

    def extract(self, msi):
        folder = tempfile.mkdtemp(dir=WORK)
        self.addCleanup(shutil.rmtree, folder)
        subprocess.run(["msiextract", "-C", folder, msi], check=True, capture_output=True)
        found = {}
        for directory, _, names in os.walk(folder):
            for name in names:
                found[os.path.relpath(os.path.join(directory, name), folder)] = os.path.join(directory, name)
        return found

    def registry_rows(self, msi, component, file_key, table="Registry"):
        """A component's rows, with its own name and file key made neutral."""
        rows = [r for r in msi_table(msi, table) if r["Component_"] == component]
        for row in rows:
            del row[table], row["Component_"]
            if "Value" in row:
                row["Value"] = row["Value"].replace("[#" + file_key + "]", "[#FILE]")
        return sorted(tuple(sorted(r.items())) for r in rows)

    def test_x86_package_carries_the_i686_binaries_in_32bit_components(self):
        msi = package("x86")
        properties = {r["Property"]: r["Value"] for r in msi_table(msi, "Property")}
        self.assertEqual(VERSION, properties["ProductVersion"])
        self.assertEqual(UPGRADE_CODE, properties["UpgradeCode"])
        self.assertEqual(ENV["QUELLAN_MANUFACTURER"], properties["Manufacturer"])
        self.assertEqual("1", properties["ALLUSERS"])
        summary = subprocess.run(["msiinfo", "suminfo", msi], check=True, capture_output=True, text=True).stdout
        self.assertIn("Template: Intel;1033", summary)
        conditions = [r["Condition"] for r in msi_table(msi, "LaunchCondition")]
        self.assertIn("NOT VersionNT64", conditions)

        components = {r["Component"]: r for r in msi_table(msi, "Component")}
        self.assertEqual({"Library", "Host", "Ctl", "MachineLists"}, set(components))
        for name, row in components.items():
            self.assertEqual(0, int(row["Attributes"]) & COMPONENT_64BIT, name)
        files = {r["FileName"]: r for r in msi_table(msi, "File")}
        self.assertEqual(set(BINARIES), set(files))
        for row in files.values():
            self.assertEqual(VERSION, row["Version"])

        built = [os.path.join(X86, folder, name) for name, folder in BINARIES.items()]
        for path in built:
            self.assertEqual(I386, pe_machine(path), path)
        contents = sorted(read(p) for p in self.extract(msi).values())
        self.assertEqual(sorted(read(p) for p in built), contents)

        # The i686 library registers the same rows in both packages, and the
        # same as the x86_64 library but for its platform key; the host the
        # same in both.
        x64 = package("x64")
        for table in ("Registry", "RemoveRegistry"):
            rows = self.registry_rows(msi, "Host", "QuellanHostExe", table)
            self.assertTrue(rows, table)
            self.assertEqual(self.registry_rows(x64, "Host", "QuellanHostExe", table), rows, table)
        for table in ("Registry", "RemoveRegistry"):
            rows = self.registry_rows(msi, "Library", "QuellanDll", table)
            self.assertTrue(rows, table)
            self.assertEqual(self.registry_rows(x64, "Library32", "QuellanDll32", table), rows, table)
            rows64 = [tuple((c, v.replace("\\0\\win64", "\\0\\win32")) for c, v in row)
                      for row in self.registry_rows(x64, "Library", "QuellanDll", table)]
            self.assertEqual(sorted(rows64), rows, table)

    def test_x64_package_puts_each_binary_in_its_view(self):
        msi = package("x64")
        summary = subprocess.run(["msiinfo", "suminfo", msi], check=True, capture_output=True, text=True).stdout
        self.assertIn("Template: x64;1033", summary)
        directories = {r["Directory"]: r["Directory_Parent"] for r in msi_table(msi, "Directory")}
        components = {r["Component"]: r for r in msi_table(msi, "Component")}
        built = {
            "QuellanDll": (os.path.join(X64, "module", "quellan.dll"), AMD64),
            "QuellanHostExe": (os.path.join(X64, "host", "QuellanHost.exe"), AMD64),
            "QuellanCtlExe": (os.path.join(X64, "ctl", "QuellanCtl.exe"), AMD64),
            "QuellanDll32": (os.path.join(X86, "module", "quellan.dll"), I386),
        }
        files = {r["File"]: r for r in msi_table(msi, "File")}
        self.assertEqual(set(built), set(files))
        for key, (path, machine) in built.items():
            self.assertEqual(machine, pe_machine(path), path)
            self.assertEqual(os.path.getsize(path), int(files[key]["FileSize"]), key)
            component = components[files[key]["Component_"]]
            bits64 = int(component["Attributes"]) & COMPONENT_64BIT
            parent = directories[component["Directory_"]]
            if machine == AMD64:
                self.assertEqual((COMPONENT_64BIT, "ProgramFiles64Folder"), (bits64, parent), key)
            else:
                self.assertEqual((0, "ProgramFilesFolder"), (bits64, parent), key)
        contents = sorted(read(p) for p in self.extract(msi).values())
        self.assertEqual(sorted(read(p) for p, _ in built.values()), contents)


if __name__ == "__main__":
    if sys.argv[1:] == ["--make-packages"]:
        make_packages()
        sys.exit(0)
    unittest.main(verbosity=2)
