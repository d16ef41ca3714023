#!/usr/bin/env bash
# Lays out the BOINC app version with boinc/app_version.sh and runs it the
# way a volunteer's client would, on a machine without BOINC's libraries.
#
#   tests/boinc/app-version-test.sh path/to/boinc-build
#
# The checks:
#   - the layout: apps/kalvenor/VERSION/PLATFORM/ holds the executable, the
#     BOINC libraries it links and version.xml, which names every file there
#     and nothing else, one main program, the API version the program holds
#     as update_versions reads it (the API_VERSION_x.y.z string of BOINC's
#     headers), and the libraries under their sonames;
#   - the run path: the executable's RPATH is $ORIGIN;
#   - the system's BOINC libraries made unreachable: in a mount namespace
#     (unshare -m, as an unprivileged user in a user namespace of its own)
#     /dev/null is bind-mounted over every libboinc* file of the system, so
#     only the copies of the app version can load. The build's own
#     executable, which has no copies beside it, must then fail to start (so
#     the masking works); ldd resolves libboinc from the app directory; and
#     the known factor's range runs to boinc_finish(0) with the factor in its
#     record, in each layout a client can make: the program started from
#     the project directory with the slot as working directory (files flat
#     under their physical names), through a symbolic link in the slot, and
#     as a copy in the slot beside copies of the libraries;
#   - every tag of the XML files of boinc/ (templates, plan classes, the
#     sample app_info.xml, the daemons) and of the generated version.xml is
#     one BOINC's server or client parses there, as listed in the tables
#     below (from BOINC 7.20's client and 1.4's server source), and each file
#     is well-formed.
# Where no mount namespace can be made, the run instead checks with the
# loader's own trace (LD_DEBUG=libs) that libboinc comes from the app
# directory, and says so.
set -uo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
boinc=$(cd "$here/../../boinc" && pwd)

build=${1:-}
[ -n "$build" ] && [ -x "$build/kalvenor" ] || { echo "usage: app-version-test.sh path/to/boinc-build (with kalvenor built)" >&2; exit 2; }
build=$(cd "$build" && pwd)

short=FermatFactor=36,36,25709300001,25709340001
factor='25709319373*2^36+1'
depth=200000

tmp=$(mktemp -d /tmp/kalvenor-app-version.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# ---- the layout
if ! "$boinc/app_version.sh" "$build" "$tmp/out" >"$tmp/layout.txt" 2>&1; then
  fail "app_version.sh exited with $?:"; cat "$tmp/layout.txt"
  exit 1
fi
cat "$tmp/layout.txt"
mapfile -t dirs < <(find "$tmp/out/apps/kalvenor" -mindepth 2 -maxdepth 2 -type d)
[ ${#dirs[@]} -eq 1 ] || { fail "apps/kalvenor holds ${#dirs[@]} version directories, not 1"; exit 1; }
app=${dirs[0]}
[[ ${app#"$tmp/out/"} =~ ^apps/kalvenor/[0-9]+\.[0-9]{2}/x86_64-pc-linux-gnu(__cuda)?$ ]] && pass "laid out ${app#"$tmp/out/"}" ||
  fail "laid out in ${app#"$tmp/out/"}"
grep -qF "laid out $app" "$tmp/layout.txt" || fail "app_version.sh does not print where it laid out"
glibc=$(sed -n 's/.*minimum glibc \([0-9][0-9.]*\),.*/\1/p' "$tmp/layout.txt")
system_glibc=$(getconf GNU_LIBC_VERSION | awk '{ print $2 }')
if [ -n "$glibc" ] && [ "$(printf '%s\n' "$glibc" "$system_glibc" | sort -t. -k1,1n -k2,2n | tail -n 1)" = "$system_glibc" ]; then
  pass "minimum glibc $glibc printed (this machine has $system_glibc)"
else
  fail "minimum glibc '$glibc' not printed, or above this machine's $system_glibc"
fi

version=$app/version.xml
xmllint --noout "$version" || fail "version.xml is not well-formed"
listed=$(xmllint --xpath '//file/physical_name/text()' "$version" 2>/dev/null | tr ' ' '\n' | grep . | sort)
present=$(cd "$app" && ls | grep -vx version.xml | sort)
[ -n "$listed" ] && [ "$listed" = "$present" ] && pass "version.xml names every file: $(echo $present)" ||
  fail "version.xml names '$(echo $listed)', the directory holds '$(echo $present)'"
main=$(xmllint --xpath '//file[main_program]/physical_name/text()' "$version" 2>/dev/null)
[ "$(xmllint --xpath 'count(//file/main_program)' "$version")" = 1 ] && [ -x "$app/$main" ] ||
  fail "version.xml has no single main program that is an executable ('$main')"
headers=$(sed -n 's/^#define BOINC_VERSION_STRING "\(.*\)"/\1/p' /usr/include/boinc/version.h)
api=$(strings "$app/$main" | grep -x 'API_VERSION_[0-9]*\.[0-9]*\.[0-9]*' | head -n 1)
[ "$api" = "API_VERSION_$headers" ] && pass "the main program holds $api" || fail "the main program holds '$api', BOINC's headers are $headers"
[ "$(xmllint --xpath 'string(/version/api_version)' "$version")" = "$headers" ] || fail "version.xml's api_version is not $headers"
for lib in $(cd "$app" && ls libboinc*); do
  soname=$(readelf -d "$app/$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "$lib" ] || fail "$lib has the soname '$soname': the loader would not find it under its file name"
  [ "$(xmllint --xpath "string(//file[physical_name='$lib']/logical_name)" "$version")" = "$lib" ] &&
    [ "$(xmllint --xpath "count(//file[physical_name='$lib']/copy_file)" "$version")" = 1 ] ||
    fail "$lib is not copied into the slot under its own name"
done
needed=$(readelf -d "$app/$main" | sed -n 's/.*(NEEDED).*\[\(libboinc.*\)\]/\1/p' | sort)
[ -n "$needed" ] && [ "$needed" = "$(cd "$app" && ls libboinc* | sort)" ] ||
  fail "the executable needs '$(echo $needed)', the app version ships '$(cd "$app" && echo libboinc*)'"
rpath=$(readelf -d "$app/$main" | sed -n 's/.*(RPATH).*\[\(.*\)\]/\1/p')
[ "$rpath" = '$ORIGIN' ] && pass "RPATH \$ORIGIN" || fail "the executable's RPATH is '$rpath'"

# ---- runs without the system's BOINC libraries
# A client's layout: the app version's files flat in projects/P/ under their
# physical names, the task's slot in slots/0/, worktodo.txt copied in.
make_slot() {  # make_slot NAME: the slot's path; the project dir is $tmp/NAME/projects/p
  local root=$tmp/$1
  mkdir -p "$root/projects/p" "$root/slots/0"
  cp "$app"/* "$root/projects/p/"
  printf '%s\n' "$short" >"$root/slots/0/worktodo.txt"
  echo "$root/slots/0"
}
runs=$tmp/runs.sh
cat >"$runs" <<EOF
#!/usr/bin/env bash
# Runs inside the namespace: everything BOINC of the system masked first.
set -u
unset LD_LIBRARY_PATH LD_PRELOAD
if [ "\${MASK:-1}" = 1 ]; then
  for f in /usr/lib/x86_64-linux-gnu/libboinc* /usr/lib/libboinc* /usr/local/lib/libboinc*; do
    [ -f "\$f" ] && [ ! -L "\$f" ] && mount --bind /dev/null "\$f"
  done
fi
echo "== build"; (cd "$tmp" && timeout 60 "$build/kalvenor" --version; echo "exit \$?")
echo "== ldd"; ldd "$tmp/flat/projects/p/$main"
echo "== flat"; (cd "$tmp/flat/slots/0" && timeout 120 "../../projects/p/$main" --sieve-primes $depth >console.txt 2>&1; echo "exit \$?")
echo "== symlink"; (cd "$tmp/symlink/slots/0" && ln -s "../../projects/p/$main" "$main" && timeout 120 "./$main" --sieve-primes $depth >console.txt 2>&1; echo "exit \$?")
echo "== copy"; (cd "$tmp/copy/slots/0" && cp ../../projects/p/* . && timeout 120 "./$main" --sieve-primes $depth >console.txt 2>&1; echo "exit \$?")
EOF
chmod +x "$runs"
for layout in flat symlink copy; do make_slot "$layout" >/dev/null; done
masked=1
if ! unshare -m --map-root-user true 2>/dev/null && ! unshare -m true 2>/dev/null; then masked=0; fi
if [ "$masked" = 1 ]; then
  if unshare -m true 2>/dev/null; then unshare -m "$runs" >"$tmp/runs.txt" 2>&1; else unshare -m --map-root-user "$runs" >"$tmp/runs.txt" 2>&1; fi
else
  echo "note: no mount namespace here; checking the loader's search instead of masking the system's libraries"
  MASK=0 "$runs" >"$tmp/runs.txt" 2>&1
fi
section() { sed -n "/^== $1\$/,/^== /p" "$tmp/runs.txt" | sed '1d;/^== /d'; }
if [ "$masked" = 1 ]; then
  if section build | grep -q 'error while loading shared libraries: .*libboinc' && section build | grep -qx 'exit 127'; then
    pass "with the system's libboinc masked, the build's own executable cannot start (exit 127)"
  else
    fail "masking the system's libboinc did not stop the build's executable:"; section build
  fi
else
  LD_DEBUG=libs "$tmp/flat/projects/p/$main" --version 2>&1 >/dev/null | grep -q "trying file=$tmp/flat/projects/p/libboinc_api.so.7" ||
    fail "the loader does not look for libboinc_api.so.7 in the app directory first"
fi
for lib in $(cd "$app" && ls libboinc*); do
  section ldd | grep -qE "^\s*$lib => $tmp/flat/projects/p/$lib " || { fail "ldd does not resolve $lib from the app directory:"; section ldd; }
done
if section ldd | grep -q 'not found'; then fail "ldd finds no copy of a library:"; section ldd
else pass "ldd resolves $(cd "$app" && echo libboinc*) from the app directory"; fi
for layout in flat symlink copy; do
  slot=$tmp/$layout/slots/0
  status=$(section "$layout" | tail -n 1)
  record=$(cat "$slot/results.jsonl" 2>/dev/null)
  if [ "$status" = "exit 0" ] && [ "$(head -n 1 "$slot/boinc_finish_called" 2>/dev/null | tr -d ' \r')" = 0 ] &&
     [[ $record == "{\"line\":\"$short\",\"sievePrimes\":$depth,"*"\"factors\":[{\"factor\":\"$factor\",\"m\":28}],\"status\":\"complete\"}" ]]; then
    pass "$layout layout: the known factor's range runs to boinc_finish(0) with $factor in its record"
  else
    fail "$layout layout: $status, record '$record'"; section "$layout"; tail -n 5 "$slot/console.txt" "$slot/stderr.txt" 2>/dev/null
  fi
done

# ---- every tag one BOINC parses there (boinc-side tables, per file kind)
python3 - "$boinc" "$version" <<'EOF' || failures=$((failures + 1))
import sys, xml.etree.ElementTree as ET
boinc, version = sys.argv[1], sys.argv[2]
# Per file: the element names BOINC's parser reads under each parent.
allowed = {
    "plan_class_spec.xml": {
        "plan_classes": {"plan_class"},
        "plan_class": {"name", "gpu_type", "cuda", "min_nvidia_compcap", "max_nvidia_compcap", "min_cuda_version",
                       "max_cuda_version", "min_driver_version", "max_driver_version", "min_gpu_ram_mb",
                       "gpu_ram_used_mb", "ngpus", "gpu_utilization_tag", "cpu_frac", "avg_ncpus",
                       "gpu_peak_flops_scale", "projected_flops_scale", "min_ncpus", "max_threads",
                       "nthreads_cmdline", "mem_usage_base_mb", "mem_usage_per_cpu_mb", "cpu_feature",
                       "min_os_version", "max_os_version", "os_regex", "min_core_client_version",
                       "max_core_client_version"},
    },
    "app_info.xml": {
        "app_info": {"app", "file_info", "app_version"},
        "app": {"name"},
        "file_info": {"name", "executable"},
        "app_version": {"app_name", "version_num", "platform", "plan_class", "avg_ncpus", "max_ncpus", "flops",
                        "api_version", "cmdline", "coproc", "gpu_ram", "dont_throttle", "is_wrapper",
                        "needs_network", "file_ref"},
        "coproc": {"type", "count"},
        "file_ref": {"file_name", "main_program", "open_name", "copy_file"},
    },
    "version.xml": {
        "version": {"file", "api_version", "dont_throttle", "needs_network", "is_wrapper", "beta", "file_prefix"},
        "file": {"physical_name", "logical_name", "main_program", "copy_file", "url", "gzip"},
    },
    "templates/kalvenor_in.xml": {
        "input_template": {"file_info", "workunit"},
        "file_info": {"number", "physical_name", "url", "md5_cksum", "nbytes"},
        "workunit": {"file_ref", "rsc_fpops_est", "rsc_fpops_bound", "rsc_memory_bound", "rsc_disk_bound",
                     "delay_bound", "min_quorum", "target_nresults", "max_error_results", "max_total_results",
                     "max_success_results", "size_class", "batch", "command_line"},
        "file_ref": {"file_number", "open_name", "copy_file"},
    },
    "templates/kalvenor_out.xml": {
        "output_template": {"file_info", "result"},
        "file_info": {"name", "generated_locally", "upload_when_present", "max_nbytes", "url"},
        "name": {"OUTFILE_0"}, "url": {"UPLOAD_URL"}, "file_name": {"OUTFILE_0"},
        "result": {"file_ref"},
        "file_ref": {"file_name", "open_name", "copy_file", "optional", "no_validate"},
    },
    "config-daemons.xml": {"daemons": {"daemon"}, "daemon": {"cmd"}},
}
# Tags the parsers want empty (flags), and those that must hold a number.
flags = {"cuda", "executable", "main_program", "copy_file", "dont_throttle", "generated_locally",
         "upload_when_present", "nthreads_cmdline", "is_wrapper", "needs_network", "optional", "no_validate",
         "OUTFILE_0", "UPLOAD_URL"}
numbers = {"min_nvidia_compcap", "min_cuda_version", "min_gpu_ram_mb", "gpu_ram_used_mb", "ngpus", "cpu_frac",
           "min_ncpus", "max_threads", "version_num", "avg_ncpus", "count", "gpu_ram", "max_nbytes", "number",
           "file_number", "rsc_memory_bound", "rsc_disk_bound", "delay_bound", "min_quorum", "target_nresults",
           "max_error_results", "max_total_results", "max_success_results"}
bad = 0
for name, table in allowed.items():
    path = version if name == "version.xml" else f"{boinc}/{name}"
    root = ET.parse(path).getroot()
    if root.tag not in table:
        print(f"FAIL: {name}: root <{root.tag}>"); bad += 1
    for parent in root.iter():
        for child in parent:
            if child.tag not in table.get(parent.tag, set()):
                print(f"FAIL: {name}: <{child.tag}> inside <{parent.tag}> is no tag BOINC reads there"); bad += 1
            text = (child.text or "").strip()
            if child.tag in flags and (text or len(child)):
                print(f"FAIL: {name}: <{child.tag}> is a flag and must be empty"); bad += 1
            if child.tag in numbers:
                try: float(text)
                except ValueError: print(f"FAIL: {name}: <{child.tag}> holds '{text}', not a number"); bad += 1
# The templates' per-unit values come from create_work, and the template wins.
wu = ET.parse(f"{boinc}/templates/kalvenor_in.xml").getroot().find("workunit")
for tag in ("rsc_fpops_est", "rsc_fpops_bound", "command_line"):
    if wu.find(tag) is not None: print(f"FAIL: the input template sets <{tag}>, over every unit's own"); bad += 1
if not open(f"{boinc}/templates/kalvenor_out.xml").read().startswith("<output_template>"):
    print("FAIL: the output template does not open with <output_template>, which the server cuts off by length"); bad += 1
plan_classes = {e.findtext("name"): e for e in ET.parse(f"{boinc}/plan_class_spec.xml").getroot()}
cuda = plan_classes.get("cuda")
if cuda is None or cuda.findtext("min_nvidia_compcap") != "705" or cuda.findtext("min_cuda_version") != "13000":
    print("FAIL: the cuda plan class does not ask for compute capability 7.5 (705) and CUDA 13.0 (13000)"); bad += 1
print("ok: every tag of the XML files is one BOINC reads there" if bad == 0 else f"{bad} bad tag(s)")
sys.exit(1 if bad else 0)
EOF

if [ "$failures" -ne 0 ]; then
  echo "app version test: $failures failure(s)"
  exit 1
fi
echo "app version test passed"
