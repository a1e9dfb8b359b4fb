#!/usr/bin/env python3
"""Holds the driver's INF to the driver's own tables: every interface it installs is a category
that a subdevice registers under that reference string, and every one registered is installed;
every section and %string% it names exists; the service loads conduit.sys from a root device.

Usage: check-inf.py [--source ROOT] [INF]   (ROOT: the source tree whose driver/ is the truth)
"""
import glob
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USAGE = "usage: check-inf.py [--source ROOT] [INF]"
arguments = sys.argv[1:]
source_root = ROOT
if arguments[:1] == ["--source"]:
    if len(arguments) < 2:
        sys.exit(USAGE)
    source_root, arguments = arguments[1], arguments[2:]
if len(arguments) > 1:
    sys.exit(USAGE)
inf_path = arguments[0] if arguments else os.path.join(ROOT, "driver", "conduit.inf")
if not os.path.isfile(inf_path):
    print(f"check-inf: no such INF: {inf_path}", file=sys.stderr)
    sys.exit(2)
inf_name = os.path.basename(inf_path)
errors = []


def fail(message, line=None):
    where = f"{inf_name}:{line}: " if line else ""
    errors.append(f"check-inf: {where}{message}")


def finish():
    for message in errors:
        print(message, file=sys.stderr)
    sys.exit(1 if errors else 0)


# ---- What the driver registers, read from its sources --------------------------------------

GUID_PATTERN = re.compile(r"^\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}$")


def guid_text(parts):
    data1, data2, data3, *rest = parts
    tail = "".join(f"{byte:02X}" for byte in rest)
    return f"{{{data1:08X}-{data2:04X}-{data3:04X}-{tail[:4]}-{tail[4:]}}}"


def split_top(text):
    """Splits at commas that are not inside (), {} or []."""
    parts, depth, current = [], 0, ""
    for char in text:
        if char in "({[":
            depth += 1
        elif char in ")}]":
            depth -= 1
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    if current.strip():
        parts.append(current.strip())
    return parts


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def read_sources(pattern):
    return {path: strip_comments(open(path).read()) for path in sorted(glob.glob(pattern))}


def named_guids():
    """Every DEFINE_GUID of the host platform's Windows headers, by name."""
    found = {}
    for text in read_sources(f"{source_root}/host/include/*.h").values():
        flat = re.sub(r"\s+", " ", text)
        for match in re.finditer(r"DEFINE_GUID\((\w+), ([0-9A-Fa-fxX, ]*)\)", flat):
            found[match.group(1)] = guid_text([int(part, 16) for part in match.group(2).split(",")])
    return found


class Driver:
    def __init__(self):
        self.sources = read_sources(f"{source_root}/driver/audio/*.cpp")
        self.text = "\n".join(self.sources.values())
        self.guids = named_guids()
        if not self.sources or not self.guids:
            sys.exit(f"check-inf: no driver sources or GUID declarations under {source_root}")
        self.subdevices = {}  # reference string -> {guid: category name}
        self.node_names = {}  # GUID -> the driver's name for it
        self.read_subdevices()
        self.read_node_names()

    def broken(self, message):
        # The checks lean on these readings; a driver they cannot read must not pass unread.
        sys.exit(f"check-inf: cannot read the driver's tables: {message}")

    def read_subdevices(self):
        if not re.search(r"PcRegisterSubdevice\([^;]*->\s*subdeviceName", self.text):
            self.broken("no PcRegisterSubdevice call names a miniport's subdeviceName")
        for path, text in self.sources.items():
            if "PrintString(subdeviceName" not in text:
                continue
            name = re.search(r'PrintString\(\s*subdeviceName\s*,[^,]*,\s*L"%s%s"\s*,\s*L"(\w+)"\s*,'
                             r'\s*isCapture\s*\?\s*L"(\w+)"\s*:\s*L"(\w+)"\s*\)', text)
            chosen = re.search(r"::GetDescription\([^)]*\)\s*\{[^}]*?isCapture\s*\?\s*&(\w+)\s*:"
                               r"\s*&(\w+)", text)
            if not name or not chosen:
                self.broken(f"{os.path.relpath(path, source_root)}: subdevice name or its"
                            " descriptor choice not in the expected form")
            base, capture_suffix, render_suffix = name.groups()
            for suffix, descriptor in ((capture_suffix, chosen.group(1)),
                                       (render_suffix, chosen.group(2))):
                self.subdevices[base + suffix] = self.categories_of(descriptor)
        if not self.subdevices:
            self.broken("no miniport forms a subdevice name")

    def categories_of(self, descriptor):
        match = re.search(rf"PCFILTER_DESCRIPTOR\s+{descriptor}\s*=\s*(.*?);", self.text, re.S)
        if not match:
            self.broken(f"no definition of {descriptor}")
        value = match.group(1).strip()
        call = re.fullmatch(r"(\w+)\s*\((.*)\)", value, re.S)
        if call:
            builder = re.search(rf"PCFILTER_DESCRIPTOR\s+{call.group(1)}\s*\(([^)]*)\)\s*\{{\s*"
                                r"return\s*\{(.*?)\};\s*\}", self.text, re.S)
            if not builder:
                self.broken(f"{descriptor}: no builder {call.group(1)} returning a descriptor")
            params = [param.split()[-1].lstrip("*&") for param in split_top(builder.group(1))]
            args = dict(zip(params, split_top(call.group(2))))
            fields = split_top(builder.group(2))
        elif value.startswith("{") and value.endswith("}"):
            args, fields = {}, split_top(value[1:-1])
        else:
            self.broken(f"{descriptor}: neither an aggregate nor a builder call")
        if len(fields) != 12:
            self.broken(f"{descriptor}: {len(fields)} fields, a filter descriptor has 12")

        def resolve(field):
            return args.get(field.strip(), field).strip().lstrip("&").strip()

        array = resolve(fields[11])
        entries = self.guid_array(array)
        count = resolve(fields[10])
        counted = re.fullmatch(r"RTL_NUMBER_OF\((\w+)\)", count)
        if counted:
            count = len(self.guid_array(resolve(counted.group(1))))
        elif re.fullmatch(r"\d+", count):
            count = int(count)
        else:
            self.broken(f"{descriptor}: category count {count!r} not a number or RTL_NUMBER_OF")
        if count > len(entries):
            self.broken(f"{descriptor}: counts {count} categories in {array} of {len(entries)}")
        # Only the counted entries are registered.
        return {self.guids[name]: name for name in entries[:count]}

    def guid_array(self, array):
        match = re.search(rf"const\s+GUID\s+{array}\s*\[\s*\]\s*=\s*\{{(.*?)\}};", self.text, re.S)
        if not match:
            self.broken(f"no GUID array {array}")
        names = []
        for entry in split_top(match.group(1)):
            known = [word for word in re.findall(r"\w+", entry) if word in self.guids]
            if len(known) != 1:
                self.broken(f"{array}: entry {entry!r} names no single known GUID")
            names.append(known[0])
        return names

    def read_node_names(self):
        for table in re.finditer(r"PCNODE_DESCRIPTOR\s+\w+\s*\[\s*\]\s*=\s*\{(.*?)\};", self.text,
                                 re.S):
            for node in split_top(table.group(1)):
                fields = split_top(node.strip()[1:-1])
                if len(fields) != 4:
                    self.broken(f"node descriptor {node!r} does not have 4 fields")
                name = fields[3].lstrip("&").strip()
                if name in ("nullptr", "NULL", "0"):
                    continue
                if name in self.guids:
                    self.node_names[self.guids[name]] = name
                    continue
                value = re.search(rf"const\s+GUID\s+{name}\s*=\s*\{{(.*?)\}};", self.text, re.S)
                if not value:
                    self.broken(f"no GUID value for the node name {name}")
                parts = [int(part, 16) for part in re.findall(r"0x[0-9A-Fa-f]+", value.group(1))]
                if len(parts) != 11:
                    self.broken(f"node name {name}: {len(parts)} GUID parts")
                self.node_names[guid_text(parts)] = name


# ---- The INF -------------------------------------------------------------------------------


def split_inf_line(text):
    """(key or None, [values]) with quotes honoured; the comment is already gone."""
    key, rest = None, text
    in_quotes = False
    for index, char in enumerate(text):
        if char == '"':
            in_quotes = not in_quotes
        elif char == "=" and not in_quotes:
            key, rest = text[:index].strip(), text[index + 1:]
            break
    values, current, in_quotes = [], "", False
    for char in rest:
        if char == '"':
            in_quotes = not in_quotes
            current += char
        elif char == "," and not in_quotes:
            values.append(current.strip())
            current = ""
        else:
            current += char
    values.append(current.strip())
    return key, values


def without_comment(text):
    in_quotes = False
    for index, char in enumerate(text):
        if char == '"':
            in_quotes = not in_quotes
        elif char == ";" and not in_quotes:
            return text[:index]
    return text


def unquote(value):
    if len(value) >= 2 and value.startswith('"') and value.endswith('"'):
        return value[1:-1].replace('""', '"')
    return value


class Inf:
    def __init__(self, path):
        self.sections = {}  # lower-case name -> (name, [(line, key, values, raw)])
        current = None
        pending, pending_line = "", 0
        for number, raw in enumerate(open(path, encoding="utf-8-sig"), 1):
            text = without_comment(raw.rstrip("\r\n"))
            if not pending:
                pending_line = number
            if text.rstrip().endswith("\\") and not text.rstrip().endswith("\\\\"):
                pending += text.rstrip()[:-1]
                continue
            text, pending = pending + text, ""
            stripped = text.strip()
            if not stripped:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", stripped)
            if header:
                name = header.group(1).strip()
                current = self.sections.setdefault(name.lower(), (name, []))[1]
                continue
            if current is None:
                fail("text before the first section", pending_line)
                continue
            key, values = split_inf_line(stripped)
            current.append((pending_line, key, values, stripped))
        self.strings = {}
        for line, key, values, _ in self.lines("Strings"):
            if key is None:
                fail("a [Strings] line without a key", line)
                continue
            self.strings[key.lower()] = unquote(",".join(values))

    def has(self, name):
        return name.lower() in self.sections

    def name(self, name):
        return self.sections[name.lower()][0]

    def lines(self, name):
        return self.sections.get(name.lower(), (name, []))[1]

    def entries(self, section, key):
        return [(line, values) for line, found, values, _ in self.lines(section)
                if found is not None and found.lower() == key.lower()]

    def value(self, section, key):
        found = self.entries(section, key)
        return self.expand(unquote(found[0][1][0]), found[0][0]) if found else None

    def expand(self, text, line):
        def token(match):
            name = match.group(1)
            if name == "":
                return "%"
            if name.isdigit():  # a directory id, resolved at install time
                return match.group(0)
            if name.lower() not in self.strings:
                return match.group(0)  # reported once, by check_tokens
            return self.strings[name.lower()]

        return re.sub(r"%([^%\s,]*)%", token, text)

    def check_tokens(self):
        for lower, (name, lines) in self.sections.items():
            if lower == "strings":
                continue
            for line, _, _, raw in lines:
                for token in re.findall(r"%([^%\s,]*)%", raw):
                    if token and not token.isdigit() and token.lower() not in self.strings:
                        fail(f"%{token}% in [{name}] has no entry in [Strings]", line)


def require_section(inf, name, key, owner, line):
    if not inf.has(name):
        fail(f"section [{name}] named by {key} in [{owner}] does not exist", line)
        return False
    return True


# Directives whose values are section names; Include and Needs name sections of system INFs.
SECTION_DIRECTIVES = {"copyfiles", "addreg", "delreg", "bitreg", "delfiles", "renfiles",
                      "updateinis", "addproperty", "delproperty"}
KS_PROXY = "{17CCA71B-ECD7-11D0-B908-00A0C9223196}"
MEDIA_CLASS = "{4D36E96C-E325-11CE-BFC1-08002BE10318}"
MEDIA_CATEGORIES = "system\\currentcontrolset\\control\\mediacategories\\"


def check_directives(inf, section, registry_sections):
    for line, key, values, _ in inf.lines(section):
        if key is None or key.lower() not in SECTION_DIRECTIVES:
            continue
        for value in values:
            value = value.strip()
            if not value or key.lower() == "copyfiles" and value.startswith("@"):
                continue
            if require_section(inf, value, key, inf.name(section), line):
                if key.lower() == "addreg":
                    registry_sections.append(value)
                elif key.lower() == "copyfiles":
                    check_copy_section(inf, value, line)


def check_copy_section(inf, section, line):
    destinations = {key.lower() for _, key, _, _ in inf.lines("DestinationDirs") if key}
    if section.lower() not in destinations and "defaultdestdir" not in destinations:
        fail(f"[{inf.name(section)}] has no directory in [DestinationDirs]", line)
    sources = {key.lower() for _, key, _, _ in inf.lines("SourceDisksFiles") if key}
    for file_line, key, values, _ in inf.lines(section):
        name = (key if key is not None else values[0]).strip()
        if name.lower() not in sources:
            fail(f"{name} in [{inf.name(section)}] is not listed in [SourceDisksFiles]", file_line)


def registry_values(inf, sections):
    """(root, subkey, value name, value) of every AddReg line, tokens expanded."""
    found = []
    for section in sections:
        for line, key, values, _ in inf.lines(section):
            fields = [inf.expand(unquote(value), line) for value in ([key] if key else []) + values]
            fields += [""] * (5 - len(fields))
            found.append((line, fields[0].upper(), fields[1], fields[2], fields[4], fields))
    return found


def check_version(inf):
    if not inf.has("Version"):
        fail("no [Version] section")
        return
    expected = {"Signature": "$Windows NT$", "Class": "MEDIA", "ClassGuid": MEDIA_CLASS}
    for key, value in expected.items():
        found = inf.value("Version", key)
        if found is None or found.upper() != value.upper():
            fail(f"[Version] {key} is {found!r}, not {value!r}")
    for key in ("Provider", "CatalogFile"):
        if not inf.value("Version", key):
            fail(f"[Version] has no {key}")
    version = inf.entries("Version", "DriverVer")
    if not version or not re.fullmatch(r"\d\d/\d\d/\d{4},\d+\.\d+\.\d+\.\d+",
                                       ",".join(v.strip() for v in version[0][1])):
        fail("[Version] DriverVer is not mm/dd/yyyy,w.x.y.z")


def install_sections(inf):
    """The x64 DDInstall sections that the models name, as Windows picks their decoration."""
    found = []
    for line, key, values, _ in inf.lines("Manufacturer"):
        base, decorations = values[0], [value.strip() for value in values[1:] if value.strip()]
        if not any(deco.lower().startswith("ntamd64") for deco in decorations):
            fail(f"manufacturer {key} has no NTamd64 models section", line)
        for models in [f"{base}.{deco}" for deco in decorations] or [base]:
            if not require_section(inf, models, "the models", "Manufacturer", line):
                continue
            for model_line, description, fields, _ in inf.lines(models):
                if len(fields) < 2 or not fields[1]:
                    fail(f"model {description} in [{models}] has no hardware id", model_line)
                    continue
                if not fields[1].upper().startswith("ROOT\\"):
                    fail(f'hardware id "{fields[1]}" in [{models}] lacks ROOT\\ (the device is'
                         " root-enumerated)", model_line)
                choices = [f"{fields[0]}.NTamd64", f"{fields[0]}.NT", fields[0]]
                chosen = next((name for name in choices if inf.has(name)), None)
                if chosen is None:
                    fail(f"section [{fields[0]}] (nor .NTamd64 nor .NT) named by model"
                         f" {description} in [{models}] does not exist", model_line)
                else:
                    found.append(chosen)
    if not inf.has("Manufacturer"):
        fail("no [Manufacturer] section")
    return found


def check_services(inf, install):
    services = f"{install}.Services"
    if not inf.has(services):
        fail(f"no [{services}] section: nothing would load the driver")
        return
    associated = 0
    for line, values in inf.entries(services, "AddService"):
        if len(values) < 3 or not require_section(inf, values[2], "AddService", services, line):
            continue
        try:
            associated += (int(values[1] or "0", 0) & 0x2) != 0
        except ValueError:
            fail(f"AddService flags {values[1]!r} are not a number", line)
        service = values[2]
        for key, value in (("ServiceType", 1), ("StartType", 3), ("ErrorControl", 1)):
            found = inf.value(service, key)
            if found is None or not re.fullmatch(r"(0x)?\d+", found) or int(found, 0) != value:
                fail(f"[{service}] {key} is {found}, not {value}", line)
        binary = inf.value(service, "ServiceBinary") or ""
        if not re.fullmatch(r"(?i)%1[23]%\\conduit\.sys", binary):
            fail(f"service binary {binary!r} in [{service}] is not conduit.sys in %12% or %13%",
                 line)
    if associated != 1:
        fail(f"[{services}] has {associated} function-driver services (flag 0x2), not one")


def check_interfaces(inf, install, driver):
    interfaces = f"{install}.Interfaces"
    installed, sections = set(), set()
    count = 0
    for line, values in inf.entries(interfaces, "AddInterface"):
        count += 1
        if len(values) < 3:
            fail(f"AddInterface in [{interfaces}] needs a GUID, a reference string and a section",
                 line)
            continue
        guid = inf.expand(unquote(values[0]), line).upper()
        reference = inf.expand(unquote(values[1]), line)
        if not GUID_PATTERN.match(guid):
            fail(f"interface class {values[0]} is not a GUID", line)
        elif reference not in driver.subdevices:
            fail(f'reference string "{reference}" is not a subdevice the driver registers'
                 f" ({', '.join(sorted(driver.subdevices))})", line)
        elif guid not in driver.subdevices[reference]:
            known = ", ".join(sorted(driver.subdevices[reference].values()))
            fail(f'interface {guid} on "{reference}" is not a category the driver registers'
                 f" for it ({known})", line)
        else:
            installed.add((reference, guid))
        if values[2].lower() in sections:
            continue
        sections.add(values[2].lower())
        if require_section(inf, values[2], "AddInterface", interfaces, line):
            check_interface_section(inf, values[2], line)
    for reference, categories in sorted(driver.subdevices.items()):
        for guid, name in sorted(categories.items(), key=lambda item: item[1]):
            if (reference, guid) not in installed:
                fail(f'the driver registers {name} {guid} on "{reference}" but no AddInterface'
                     f" in [{interfaces}] installs it")
    return count


def check_interface_section(inf, section, line):
    registry = []
    check_directives(inf, section, registry)
    values = {}
    for _, root, subkey, name, value, _ in registry_values(inf, registry):
        if root == "HKR" and not subkey:
            values[name.lower()] = value
    if values.get("clsid", "").upper() != KS_PROXY:
        fail(f"[{section}] does not set CLSID to the kernel-streaming proxy {KS_PROXY}", line)
    if not values.get("friendlyname"):
        fail(f"[{section}] sets no FriendlyName", line)


def check_node_names(inf, registry, driver):
    named = {}
    for line, root, subkey, name, value, _ in registry_values(inf, registry):
        if root in ("HKLM", "HKEY_LOCAL_MACHINE") and subkey.lower().startswith(MEDIA_CATEGORIES):
            guid = subkey[len(MEDIA_CATEGORIES):].upper()
            if name.lower() == "name":
                named[guid] = value
            if guid not in driver.node_names:
                fail(f"media category {guid} is no node name of the driver", line)
    for guid, name in sorted(driver.node_names.items()):
        if not named.get(guid):
            fail(f"the driver's node name {name} {guid} gets no Name under MediaCategories")


driver = Driver()
inf = Inf(inf_path)
inf.check_tokens()
check_version(inf)
interfaces = 0
for install in install_sections(inf):
    registry = []
    check_directives(inf, install, registry)
    check_node_names(inf, registry, driver)
    check_services(inf, install)
    interfaces += check_interfaces(inf, install, driver)
if not errors:
    print(f"check-inf: OK ({interfaces} interfaces, {len(inf.sections)} sections)")
finish()
