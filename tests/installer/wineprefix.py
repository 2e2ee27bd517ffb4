"""Scratch Wine prefixes and their registry, for the installer tests.

A scratch prefix is a copy of a ready template prefix (a copy costs about a
second, a new prefix several). Its registry is read from the files the
wineserver writes when it stops, so every reading stops the prefix first.
"""

import os
import re
import shutil
import subprocess
import tempfile

MACHINE = "system.reg"
USER = "user.reg"


class Prefix:
    """A Wine prefix copied from `template` into `path`, removed by close()."""

    def __init__(self, template, path):
        self.path = path
        self._serving = False
        if os.path.exists(path):
            self._server("-k")
            shutil.rmtree(path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["cp", "-a", template, path], check=True)

    def env(self):
        env = dict(os.environ)
        env.update(WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        return env

    def run(self, *args, timeout=300):
        """Runs a Windows program; returns (exit code, stdout, stderr)."""
        if not self._serving:
            # A persistent server starts each program in a fraction of the
            # second or more a cold one costs.
            self._server("-p")
            self._serving = True
        # Output goes through files, not pipes: services that a program
        # starts (msiexec's) inherit its handles and outlive it.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run(["wine", *args], env=self.env(), stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            return done.returncode, out.read().decode(errors="replace"), err.read().decode(errors="replace")

    def stop(self):
        """Stops the prefix's wineserver, which writes the registry files
        as it goes."""
        self._server("-k")
        self._serving = False

    def _server(self, flag):
        subprocess.run(["wineserver", flag], env=self.env(), check=False, timeout=120)

    def registry(self, name=MACHINE):
        self.stop()
        return read_registry(os.path.join(self.path, name))

    def unix_path(self, windows_path):
        """The file behind a C: path of this prefix."""
        drive, _, rest = windows_path.partition(":")
        assert drive.upper() == "C", windows_path
        return os.path.join(self.path, "drive_c", *[p for p in rest.split("\\") if p])

    def close(self):
        self._server("-k")
        shutil.rmtree(self.path, ignore_errors=True)


def windows_path(unix_path):
    """The Z: path Wine gives a file of this machine."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def _unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                m = re.match(r"[0-9a-fA-F]{1,4}", text[i + 2:])
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t", "0": "\0"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def _quoted(line, start):
    """The string that starts with a quote at `start`, and the index after it."""
    i = start + 1
    while line[i] != '"':
        i += 2 if line[i] == "\\" else 1
    return _unescape(line[start + 1:i]), i + 1


def read_registry(path):
    """A Wine registry file as {key path: {value name: data}}.

    Paths keep their letter case but compare without it (see Registry);
    the default value is named "". Data is ("sz", text), ("expand", text),
    ("multi", text), ("dword", number) or ("hex", type, bytes as text).
    """
    keys = {}
    values = None
    pending = ""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for raw in f:
            line = pending + raw.rstrip("\n")
            if line.endswith("\\") and not line.startswith("["):
                pending = line[:-1].strip() if pending else line[:-1]
                continue
            pending = ""
            if line.startswith("["):
                name = line[1:line.rindex("]")]
                keys[_unescape(name.replace("\\\\", "\x01")).replace("\x01", "\\")] = values = {}
            elif line.startswith("@=") or line.startswith('"'):
                if line.startswith("@="):
                    name, rest = "", 1
                else:
                    name, rest = _quoted(line, 0)
                data = line[rest + 1:]
                values[name] = _parse_data(data)
    return Registry(keys)


def _parse_data(data):
    if data.startswith('"'):
        return ("sz", _quoted(data, 0)[0])
    match = re.match(r"str\((\d+)\):", data)
    if match:
        kind = {"2": "expand", "7": "multi"}.get(match.group(1), "str" + match.group(1))
        return (kind, _quoted(data, match.end())[0])
    if data.startswith("dword:"):
        return ("dword", int(data[6:], 16))
    match = re.match(r"hex(\((\w+)\))?:(.*)", data)
    if match:
        return ("hex", match.group(2) or "3", match.group(3).replace(" ", ""))
    raise ValueError("unknown registry data: " + data)


class Registry:
    """Keys and values of one registry file, compared without letter case."""

    def __init__(self, keys):
        self.keys = {k.lower(): (k, {n.lower(): (n, d) for n, d in v.items()}) for k, v in keys.items()}

    def entries(self):
        """{(key, None): key's name} and {(key, value): (key's name, value's name, data)}."""
        result = {}
        for key, (name, values) in self.keys.items():
            result[(key, None)] = (name, None, None)
            for value, (value_name, data) in values.items():
                result[(key, value)] = (name, value_name, data)
        return result

    def value(self, key, name=""):
        entry = self.keys.get(key.lower())
        if entry is None:
            return None
        found = entry[1].get(name.lower())
        return found[1] if found else None

    def has_key(self, key):
        return key.lower() in self.keys


def changes(before, after):
    """What `after` adds or changes over `before`, and what it no longer has.

    Both are {(key, value or None): (key's name, value's name, data)}.
    """
    old, new = before.entries(), after.entries()
    added = {k: v for k, v in new.items() if k not in old or old[k][2] != v[2]}
    removed = {k: v for k, v in old.items() if k not in new}
    return added, removed
