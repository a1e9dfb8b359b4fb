#!/usr/bin/env bash
# The INF check must refuse an INF that would install something other than what the driver
# registers: feed it broken copies of driver/conduit.inf (and the real INF against altered copies
# of the driver's tables) and require each refusal with its reason.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
inf=$root/driver/conduit.inf
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
complain() {
    echo "check-inf-rejects: $*" >&2
    status=1
}

# replace FILE OLD NEW: one exact replacement; a change that no longer applies is a failure of
# this test, not a silently vacuous case.
replace() {
    python3 - "$@" <<'PY' || complain "\"$2\" not found in $1"
import sys
path, old, new = sys.argv[1:]
text = open(path, newline="").read()
if text.count(old) != 1:
    sys.exit(1)
open(path, "w", newline="").write(text.replace(old, new))
PY
}

# expect_refusal CASE INF SOURCE-ROOT REASON...: the check fails and names every reason.
expect_refusal() {
    local case=$1 file=$2 source=$3 output
    shift 3
    if output=$("$root/scripts/check-inf.sh" --source "$source" "$file" 2>&1); then
        complain "$case: accepted"
        return
    fi
    for reason in "$@"; do
        grep -q -F -- "$reason" <<<"$output" || complain "$case: no \"$reason\" in: $output"
    done
}

# broken CASE OLD NEW REASON...: a copy of the INF with one change, checked against the driver.
broken() {
    local case=$1 old=$2 new=$3
    shift 3
    cp "$inf" "$work/$case.inf"
    replace "$work/$case.inf" "$old" "$new"
    expect_refusal "$case" "$work/$case.inf" "$root" "$@"
}

# The INF as it is, and as an editor on Windows would save it, passes.
"$root/scripts/check-inf.sh" "$inf" >/dev/null || complain "the INF itself is refused"
sed 's/$/\r/' "$inf" >"$work/crlf.inf"
"$root/scripts/check-inf.sh" "$work/crlf.inf" >/dev/null || complain "the INF with CRLF is refused"

broken missing-addreg '[Conduit.TopoCapture.AddReg]' '[Conduit.TopoCapture.Registry]' \
    'section [Conduit.TopoCapture.AddReg] named by AddReg in [Conduit.TopoCapture] does not exist'
broken missing-copyfiles '[Conduit.CopyFiles]' '[Conduit.Files]' \
    'section [Conduit.CopyFiles] named by CopyFiles in [Conduit.Device.NTamd64] does not exist'
broken missing-service '[Conduit.Service]' '[Conduit.Svc]' \
    'section [Conduit.Service] named by AddService'
broken missing-interface-section '[Conduit.WaveRender]' '[Conduit.WaveRenderer]' \
    'section [Conduit.WaveRender] named by AddInterface'
broken missing-install 'Conduit.Device, ROOT' 'Conduit.Install, ROOT' \
    'section [Conduit.Install] (nor .NTamd64 nor .NT) named by model'
broken unknown-token 'FriendlyName,,%Conduit.WaveCapture.Name%' 'FriendlyName,,%Conduit.WaveIn.Name%' \
    '%Conduit.WaveIn.Name% in [Conduit.WaveCapture.AddReg] has no entry in [Strings]'
broken unknown-token-in-version 'Provider    = %ProviderName%' 'Provider    = %Vendor%' \
    '%Vendor% in [Version] has no entry in [Strings]'
broken category-on-wrong-filter \
    'AddInterface = %KSCATEGORY_CAPTURE%,  %KSNAME_WaveCapture%' \
    'AddInterface = %KSCATEGORY_RENDER%,  %KSNAME_WaveCapture%' \
    'interface {65E8773E-8F56-11D0-A3B9-00A0C9223196} on "wave_c" is not a category the driver registers' \
    'the driver registers KSCATEGORY_CAPTURE {65E8773D-8F56-11D0-A3B9-00A0C9223196} on "wave_c" but no AddInterface'
broken mistyped-guid '"{EB115FFC-10C8-4964-831D-6DCB02E6F23F}"' '"{EB115FFC-10C8-4964-831D-6DCB02E6F23E}"' \
    'interface {EB115FFC-10C8-4964-831D-6DCB02E6F23E} on "wave_r" is not a category' \
    'interface {EB115FFC-10C8-4964-831D-6DCB02E6F23E} on "wave_c" is not a category'
broken unknown-reference 'KSNAME_TopoCapture = "topo_c"' 'KSNAME_TopoCapture = "topo_in"' \
    'reference string "topo_in" is not a subdevice the driver registers' \
    'the driver registers KSCATEGORY_TOPOLOGY {DDA54A40-1E4C-11D1-A050-405705C10000} on "topo_c" but no AddInterface'
broken missing-interface \
    $'AddInterface = %KSCATEGORY_REALTIME%, %KSNAME_WaveRender%,  Conduit.WaveRender\n' '' \
    'the driver registers KSCATEGORY_REALTIME {EB115FFC-10C8-4964-831D-6DCB02E6F23F} on "wave_r" but no AddInterface'
broken no-proxy $'HKR,,CLSID,,%Proxy.CLSID%\nHKR,,FriendlyName,,%Conduit.TopoRender.Name%' \
    'HKR,,FriendlyName,,%Conduit.TopoRender.Name%' \
    '[Conduit.TopoRender] does not set CLSID to the kernel-streaming proxy'
broken no-friendly-name 'HKR,,FriendlyName,,%Conduit.WaveRender.Name%' '' \
    '[Conduit.WaveRender] sets no FriendlyName'
broken other-binary 'ServiceBinary = %12%\conduit.sys' 'ServiceBinary = %12%\audio.sys' \
    "service binary '%12%\\\\audio.sys' in [Conduit.Service] is not conduit.sys"
broken boot-start 'StartType     = 3' 'StartType     = 0' '[Conduit.Service] StartType is 0, not 3'
broken not-root 'ROOT\Conduit' 'PCI\VEN_1234' "hardware id \"PCI\\VEN_1234\" in [Conduit.NTamd64] lacks ROOT\\"
broken no-x64-models '%ManufacturerName% = Conduit, NTamd64' '%ManufacturerName% = Conduit, NTx86' \
    'has no NTamd64 models section' 'section [Conduit.NTx86] named by the models'
broken wrong-class 'Class       = MEDIA' 'Class       = System' "[Version] Class is 'System', not 'MEDIA'"
broken unnamed-node 'MediaCategories%\%Conduit.TopologyNodeName.Guid%,Name,,' \
    'MediaCategories%\%Conduit.TopologyNodeName.Guid%,Label,,' \
    'the driver'"'"'s node name TopologyNodeName {57E24340-FC5B-4612-A562-72B11A29DFAE} gets no Name'
broken unshipped-file $'[SourceDisksFiles]\nconduit.sys = 1' $'[SourceDisksFiles]\nconduit.cat = 1' \
    'conduit.sys in [Conduit.CopyFiles] is not listed in [SourceDisksFiles]'

# The real INF against a driver whose tables changed: the check reads them, it does not know them.
driver_copy() { # CASE FILE OLD NEW: a source tree with one change in driver/audio/FILE
    local tree=$work/$1
    mkdir -p "$tree/driver" "$tree/host"
    cp -r "$root/driver/audio" "$tree/driver/"
    cp -r "$root/host/include" "$tree/host/"
    replace "$tree/driver/audio/$2" "$3" "$4"
}
driver_copy capture-virtual WaveRTDescriptors.cpp \
    $'    ConstantGuid(STATICGUIDOF(KSCATEGORY_CAPTURE)),\n    ConstantGuid(STATICGUIDOF(KSCATEGORY_REALTIME)),' \
    $'    ConstantGuid(STATICGUIDOF(KSCATEGORY_CAPTURE)),\n    ConstantGuid(STATICGUIDOF(KSCATEGORY_VIRTUAL)),'
expect_refusal capture-virtual "$inf" "$work/capture-virtual" \
    'interface {EB115FFC-10C8-4964-831D-6DCB02E6F23F} on "wave_c" is not a category the driver registers for it (KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE, KSCATEGORY_VIRTUAL)' \
    'the driver registers KSCATEGORY_VIRTUAL {3503EAC4-1F26-11D1-8AB0-00A0C9223196} on "wave_c" but no AddInterface'
driver_copy categories-overcounted WaveRTDescriptors.cpp \
    $'    ConstantGuid(STATICGUIDOF(KSCATEGORY_CAPTURE)),\n    ConstantGuid(STATICGUIDOF(KSCATEGORY_REALTIME)),' \
    $'    ConstantGuid(STATICGUIDOF(KSCATEGORY_CAPTURE)),'
expect_refusal categories-overcounted "$inf" "$work/categories-overcounted" \
    "cannot read the driver's tables: CaptureWaveDescriptor: counts 3 categories in CaptureWaveCategories of 2"
driver_copy topology-renamed MiniportTopology.cpp 'L"topo", isCapture ? L"_c"' 'L"topo", isCapture ? L"_in"'
expect_refusal topology-renamed "$inf" "$work/topology-renamed" \
    'reference string "topo_c" is not a subdevice the driver registers (topo_in, topo_r, wave_c, wave_r)' \
    'the driver registers KSCATEGORY_AUDIO {6994AD04-93EF-11D0-A3CC-00A0C9223196} on "topo_in" but no AddInterface'
driver_copy descriptors-swapped MiniportWaveRT.cpp \
    'isCapture ? &CaptureWaveDescriptor' 'isCapture ? &RenderWaveDescriptor'
expect_refusal descriptors-swapped "$inf" "$work/descriptors-swapped" \
    'the driver registers KSCATEGORY_RENDER {65E8773E-8F56-11D0-A3B9-00A0C9223196} on "wave_c" but no AddInterface'
driver_copy categories-undercounted TopologyDescriptors.cpp \
    'RTL_NUMBER_OF(TopologyCategories),' '1,'
expect_refusal categories-undercounted "$inf" "$work/categories-undercounted" \
    'interface {DDA54A40-1E4C-11D1-A050-405705C10000} on "topo_r" is not a category'
driver_copy node-renamed TopologyDescriptors.cpp '0x57e24340, 0xfc5b' '0x57e24341, 0xfc5b'
expect_refusal node-renamed "$inf" "$work/node-renamed" \
    'media category {57E24340-FC5B-4612-A562-72B11A29DFAE} is no node name of the driver' \
    'gets no Name under MediaCategories'
driver_copy name-unreadable MiniportWaveRT.cpp 'L"%s%s", L"wave"' 'L"wave%s", L"wave"'
expect_refusal name-unreadable "$inf" "$work/name-unreadable" "cannot read the driver's tables"

[ $status -eq 0 ] && echo "check-inf-rejects: the INF check refuses every broken INF and driver table"
exit $status
