#!/usr/bin/env python3
"""The INF check must refuse an INF that would install something other than what the driver
registers: feed it broken copies of driver/conduit.inf (and the real INF against altered copies
of the driver's tables) and require each refusal with its reason."""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
INF = os.path.join(ROOT, "driver", "conduit.inf")
CHECK = os.path.join(ROOT, "scripts", "check-inf.py")
failures = []


def replaced(path, old, new):
    """The file with one exact replacement; a change that no longer applies fails this test
    rather than making a silently vacuous case."""
    text = open(path, newline="").read()
    if text.count(old) != 1:
        failures.append(f'"{old}" is not in {path} exactly once')
    return text.replace(old, new)


def check(inf, source=ROOT):
    result = subprocess.run([sys.executable, CHECK, "--source", source, inf], capture_output=True,
                            text=True)
    return result.returncode, result.stdout + result.stderr


def expect_refusal(case, inf, source, reasons):
    status, output = check(inf, source)
    if status == 0:
        failures.append(f"{case}: accepted")
    failures.extend(f'{case}: no "{reason}" in: {output}' for reason in reasons
                    if reason not in output)


# (case, old text of the INF, new text, reasons)
BROKEN_INFS = [
    ("missing-addreg", "[Conduit.TopoCapture.AddReg]", "[Conduit.TopoCapture.Registry]",
     ["section [Conduit.TopoCapture.AddReg] named by AddReg in [Conduit.TopoCapture] does not"
      " exist"]),
    ("missing-copyfiles", "[Conduit.CopyFiles]", "[Conduit.Files]",
     ["section [Conduit.CopyFiles] named by CopyFiles in [Conduit.Device.NTamd64] does not"
      " exist"]),
    ("missing-service", "[Conduit.Service]", "[Conduit.Svc]",
     ["section [Conduit.Service] named by AddService"]),
    ("missing-interface-section", "[Conduit.WaveRender]", "[Conduit.WaveRenderer]",
     ["section [Conduit.WaveRender] named by AddInterface"]),
    ("missing-install", "Conduit.Device, ROOT", "Conduit.Install, ROOT",
     ["section [Conduit.Install] (nor .NTamd64 nor .NT) named by model"]),
    ("unknown-token", "FriendlyName,,%Conduit.WaveCapture.Name%",
     "FriendlyName,,%Conduit.WaveIn.Name%",
     ["%Conduit.WaveIn.Name% in [Conduit.WaveCapture.AddReg] has no entry in [Strings]"]),
    ("unknown-token-in-version", "Provider    = %ProviderName%", "Provider    = %Vendor%",
     ["%Vendor% in [Version] has no entry in [Strings]"]),
    ("category-on-wrong-filter", "AddInterface = %KSCATEGORY_CAPTURE%,  %KSNAME_WaveCapture%",
     "AddInterface = %KSCATEGORY_RENDER%,  %KSNAME_WaveCapture%",
     ['interface {65E8773E-8F56-11D0-A3B9-00A0C9223196} on "wave_c" is not a category the driver'
      " registers",
      "the driver registers KSCATEGORY_CAPTURE {65E8773D-8F56-11D0-A3B9-00A0C9223196} on"
      ' "wave_c" but no AddInterface']),
    ("mistyped-guid", '"{EB115FFC-10C8-4964-831D-6DCB02E6F23F}"',
     '"{EB115FFC-10C8-4964-831D-6DCB02E6F23E}"',
     ['interface {EB115FFC-10C8-4964-831D-6DCB02E6F23E} on "wave_r" is not a category',
      'interface {EB115FFC-10C8-4964-831D-6DCB02E6F23E} on "wave_c" is not a category']),
    ("unknown-reference", 'KSNAME_TopoCapture = "topo_c"', 'KSNAME_TopoCapture = "topo_in"',
     ['reference string "topo_in" is not a subdevice the driver registers',
      "the driver registers KSCATEGORY_TOPOLOGY {DDA54A40-1E4C-11D1-A050-405705C10000} on"
      ' "topo_c" but no AddInterface']),
    ("missing-interface",
     "AddInterface = %KSCATEGORY_REALTIME%, %KSNAME_WaveRender%,  Conduit.WaveRender\n", "",
     ["the driver registers KSCATEGORY_REALTIME {EB115FFC-10C8-4964-831D-6DCB02E6F23F} on"
      ' "wave_r" but no AddInterface']),
    ("no-proxy", "HKR,,CLSID,,%Proxy.CLSID%\nHKR,,FriendlyName,,%Conduit.TopoRender.Name%",
     "HKR,,FriendlyName,,%Conduit.TopoRender.Name%",
     ["[Conduit.TopoRender] does not set CLSID to the kernel-streaming proxy"]),
    ("no-friendly-name", "HKR,,FriendlyName,,%Conduit.WaveRender.Name%", "",
     ["[Conduit.WaveRender] sets no FriendlyName"]),
    ("other-binary", "ServiceBinary = %12%\\conduit.sys", "ServiceBinary = %12%\\audio.sys",
     ["service binary '%12%\\\\audio.sys' in [Conduit.Service] is not conduit.sys"]),
    ("boot-start", "StartType     = 3", "StartType     = 0",
     ["[Conduit.Service] StartType is 0, not 3"]),
    ("not-root", "ROOT\\Conduit", "PCI\\VEN_1234",
     ['hardware id "PCI\\VEN_1234" in [Conduit.NTamd64] lacks ROOT\\']),
    ("no-x64-models", "%ManufacturerName% = Conduit, NTamd64",
     "%ManufacturerName% = Conduit, NTx86",
     ["has no NTamd64 models section", "section [Conduit.NTx86] named by the models"]),
    ("wrong-class", "Class       = MEDIA", "Class       = System",
     ["[Version] Class is 'System', not 'MEDIA'"]),
    ("unnamed-node", "MediaCategories%\\%Conduit.TopologyNodeName.Guid%,Name,,",
     "MediaCategories%\\%Conduit.TopologyNodeName.Guid%,Label,,",
     ["the driver's node name TopologyNodeName {57E24340-FC5B-4612-A562-72B11A29DFAE} gets no"
      " Name"]),
    ("unshipped-file", "[SourceDisksFiles]\nconduit.sys = 1", "[SourceDisksFiles]\nconduit.cat = 1",
     ["conduit.sys in [Conduit.CopyFiles] is not listed in [SourceDisksFiles]"]),
]

CAPTURE_CATEGORIES = ("    ConstantGuid(STATICGUIDOF(KSCATEGORY_CAPTURE)),\n"
                      "    ConstantGuid(STATICGUIDOF(KSCATEGORY_REALTIME)),")

# The real INF against a driver whose tables changed: the check reads them, it does not know
# them. (case, file of driver/audio, old text, new text, reasons)
CHANGED_DRIVERS = [
    ("capture-virtual", "WaveRTDescriptors.cpp", CAPTURE_CATEGORIES,
     CAPTURE_CATEGORIES.replace("KSCATEGORY_REALTIME", "KSCATEGORY_VIRTUAL"),
     ['interface {EB115FFC-10C8-4964-831D-6DCB02E6F23F} on "wave_c" is not a category the driver'
      " registers for it (KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE, KSCATEGORY_VIRTUAL)",
      "the driver registers KSCATEGORY_VIRTUAL {3503EAC4-1F26-11D1-8AB0-00A0C9223196} on"
      ' "wave_c" but no AddInterface']),
    ("categories-overcounted", "WaveRTDescriptors.cpp", CAPTURE_CATEGORIES,
     CAPTURE_CATEGORIES.split("\n")[0],
     ["cannot read the driver's tables: CaptureWaveDescriptor: counts 3 categories in"
      " CaptureWaveCategories of 2"]),
    ("topology-renamed", "MiniportTopology.cpp", 'L"topo", isCapture ? L"_c"',
     'L"topo", isCapture ? L"_in"',
     ['reference string "topo_c" is not a subdevice the driver registers (topo_in, topo_r,'
      " wave_c, wave_r)",
      "the driver registers KSCATEGORY_AUDIO {6994AD04-93EF-11D0-A3CC-00A0C9223196} on"
      ' "topo_in" but no AddInterface']),
    ("descriptors-swapped", "MiniportWaveRT.cpp", "isCapture ? &CaptureWaveDescriptor",
     "isCapture ? &RenderWaveDescriptor",
     ["the driver registers KSCATEGORY_RENDER {65E8773E-8F56-11D0-A3B9-00A0C9223196} on"
      ' "wave_c" but no AddInterface']),
    ("categories-undercounted", "TopologyDescriptors.cpp", "RTL_NUMBER_OF(TopologyCategories),",
     "1,", ['interface {DDA54A40-1E4C-11D1-A050-405705C10000} on "topo_r" is not a category']),
    ("node-renamed", "TopologyDescriptors.cpp", "0x57e24340, 0xfc5b", "0x57e24341, 0xfc5b",
     ["media category {57E24340-FC5B-4612-A562-72B11A29DFAE} is no node name of the driver",
      "gets no Name under MediaCategories"]),
    ("name-unreadable", "MiniportWaveRT.cpp", 'L"%s%s", L"wave"', 'L"wave%s", L"wave"',
     ["cannot read the driver's tables"]),
]


def main():
    with tempfile.TemporaryDirectory() as work:
        # The INF as it is, and as an editor on Windows would save it, passes.
        crlf = os.path.join(work, "crlf.inf")
        with open(crlf, "w", newline="") as out:
            out.write(open(INF, newline="").read().replace("\n", "\r\n"))
        for inf in (INF, crlf):
            if check(inf)[0] != 0:
                failures.append(f"{os.path.basename(inf)} itself is refused")

        for case, old, new, reasons in BROKEN_INFS:
            broken = os.path.join(work, f"{case}.inf")
            with open(broken, "w", newline="") as out:
                out.write(replaced(INF, old, new))
            expect_refusal(case, broken, ROOT, reasons)

        for case, name, old, new, reasons in CHANGED_DRIVERS:
            tree = os.path.join(work, case)
            shutil.copytree(os.path.join(ROOT, "driver", "audio"),
                            os.path.join(tree, "driver", "audio"))
            shutil.copytree(os.path.join(ROOT, "host", "include"),
                            os.path.join(tree, "host", "include"))
            source = os.path.join(tree, "driver", "audio", name)
            text = replaced(source, old, new)
            with open(source, "w", newline="") as out:
                out.write(text)
            expect_refusal(case, INF, tree, reasons)

    for failure in failures:
        print(f"check-inf-rejects: {failure}", file=sys.stderr)
    if failures:
        sys.exit(1)
    print("check-inf-rejects: the INF check refuses every broken INF and driver table")


if __name__ == "__main__":
    main()
