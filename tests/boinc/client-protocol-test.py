#!/usr/bin/env python3
"""Plays the BOINC client to the BOINC build of kalvenor, over the channel a
real client uses (BOINC 7 on Unix, api_version 6 and later):

  - the slot directory holds init_data.xml (<shm_key>-1</shm_key>: the
    shared memory is the file boinc_mmap_file, which the client creates);
  - boinc_mmap_file is a SHARED_MEM of eight 1024-byte MSG_CHANNELs, in the
    order process_control_request, process_control_reply, graphics_request,
    graphics_reply, heartbeat, app_status, trickle_up, trickle_down; a channel
    holds a message while its first byte is nonzero, the text from the second
    byte on; the sender sets that byte, the receiver clears it;
  - the client sends <heartbeat/> every second, and <suspend/>, <resume/>,
    <quit/>, <abort/> on process_control_request; the app sends its
    <current_cpu_time>, <checkpoint_cpu_time> and <fraction_done> on
    app_status, about once a second;
  - an app that finished leaves boinc_finish_called (its status on the first
    line) and exits with that status; one that exits for now leaves
    boinc_temporary_exit (the delay, then the reason) and exits with 0.

  tests/boinc/client-protocol-test.py path/to/boinc-build/kalvenor

The checks:
  - a unit run to its end on the CPU app version: exit 0 through
    boinc_finish(0), the fraction done rising to near 1, checkpoints reported
    (checkpoint_cpu_time), the known factor in its one record, and the CPU
    count of init_data.xml used (the start-up block's "threads used");
  - the same unit suspended (its fraction done and CPU time stand still,
    heartbeats going on), resumed, quit after a reported checkpoint (exit 0,
    no finish, the checkpoint left), started again: it continues from the
    checkpoint and writes results.jsonl byte for byte as the uninterrupted run;
  - abort: the app ends with EXIT_ABORTED_BY_CLIENT (194) and no finish;
  - the GPU of init_data.xml: device 0 is the (emulated) GPU the run takes;
    device 1, which does not exist, is a device fault that may pass: a
    temporary exit, with its delay and reason, not a failed task;
  - a refused unit: boinc_finish with a nonzero status and the reason in
    stderr.txt.
The GPU is the host's emulation (KALVENOR_EMULATE_GPU), so no GPU is needed.
"""

import mmap
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

CHANNEL = 1024
PROCESS_CONTROL_REQUEST, HEARTBEAT, APP_STATUS = 0, 4, 5
SHARED_MEM_SIZE = 8 * CHANNEL
EXIT_ABORTED_BY_CLIENT = 194

HERE = os.path.dirname(os.path.abspath(__file__))
# The command line make_work.sh gives a unit whose kernel sieves best at this depth.
UNIT_ARGUMENTS = ["--sieve-primes", "200000"]

# Three eighths of the standalone test's long range, with the factor of F28
# in its first tenth: 10 to 20 s on one CPU, long enough to stop in between.
UNIT = "FermatFactor=36,36,25600000001,27100000001"
SHORT_UNIT = "FermatFactor=36,36,25709300001,25709340001"
FACTOR = "25709319373*2^36+1"
LIMIT = 120  # seconds any one run may take before the test gives up on it

failures = 0


def fail(what):
    global failures
    failures += 1
    print("FAIL: " + what, flush=True)


def ok(what):
    print("ok: " + what, flush=True)


def check(condition, what, detail=""):
    if condition:
        ok(what)
    else:
        fail(what + (": " + detail if detail else ""))
    return condition


def init_data(gpu, ncpus):
    # What the client writes (APP_INIT_DATA); the runtime takes the rest as
    # defaults. client_pid is this process, which stays alive throughout.
    return f"""<app_init_data>
<major_version>7</major_version>
<minor_version>20</minor_version>
<release>5</release>
<app_version>100</app_version>
<app_name>kalvenor</app_name>
<wu_name>kalvenor_test</wu_name>
<result_name>kalvenor_test_0</result_name>
<slot>0</slot>
<client_pid>{os.getpid()}</client_pid>
<shm_key>-1</shm_key>
<checkpoint_period>1.000000</checkpoint_period>
<rsc_fpops_est>1e13</rsc_fpops_est>
<rsc_fpops_bound>1e16</rsc_fpops_bound>
<rsc_memory_bound>1e9</rsc_memory_bound>
<rsc_disk_bound>1e9</rsc_disk_bound>
<gpu_type>{"NVIDIA" if gpu >= 0 else ""}</gpu_type>
<gpu_device_num>{gpu}</gpu_device_num>
<gpu_opencl_dev_index>-1</gpu_opencl_dev_index>
<gpu_usage>{1 if gpu >= 0 else 0}</gpu_usage>
<ncpus>{ncpus:f}</ncpus>
</app_init_data>
"""


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def text_of(path):
    data = read_file(path)
    return "" if data is None else data.decode("utf-8", "replace")


class Task:
    """One start of the app in a slot directory, as the client runs it."""

    def __init__(self, program, arguments, slot, env):
        self.slot = slot
        for leftover in ("boinc_finish_called", "boinc_temporary_exit"):
            if os.path.exists(os.path.join(slot, leftover)):
                os.remove(os.path.join(slot, leftover))
        path = os.path.join(slot, "boinc_mmap_file")
        with open(path, "wb") as f:
            f.write(bytes(SHARED_MEM_SIZE))
        self.file = open(path, "r+b")
        self.shm = mmap.mmap(self.file.fileno(), SHARED_MEM_SIZE)
        self.console = open(os.path.join(slot, "console.txt"), "ab")
        self.process = subprocess.Popen([program] + arguments, cwd=slot, env=env, stdout=self.console,
                                        stderr=subprocess.STDOUT)
        self.statuses = []  # (seconds since start, dict of the app_status message)
        self.started = time.monotonic()
        self.last_heartbeat = 0.0

    def receive(self, channel):
        base = channel * CHANNEL
        if self.shm[base] == 0:
            return None
        raw = self.shm[base + 1:base + CHANNEL]
        self.shm[base] = 0
        return raw.split(b"\0", 1)[0].decode("ascii", "replace")

    def send(self, channel, message):
        base = channel * CHANNEL
        # Like the client: a message still unread is not overwritten.
        deadline = time.monotonic() + 10
        while self.shm[base] != 0 and time.monotonic() < deadline:
            self.tick(0.05)
        data = message.encode("ascii") + b"\0"
        self.shm[base + 1:base + 1 + len(data)] = data
        self.shm[base] = 1

    def tick(self, seconds=0.1):
        """Heartbeats and status for `seconds`."""
        end = time.monotonic() + seconds
        while True:
            now = time.monotonic()
            if now - self.last_heartbeat >= 1.0:
                base = HEARTBEAT * CHANNEL
                if self.shm[base] == 0:
                    data = b"<heartbeat/>\0"
                    self.shm[base + 1:base + 1 + len(data)] = data
                    self.shm[base] = 1
                self.last_heartbeat = now
            message = self.receive(APP_STATUS)
            if message is not None:
                values = {name: float(value) for name, value in
                          re.findall(r"<(\w+)>([-+0-9.eE]+)</\1>", message)}
                self.statuses.append((now - self.started, values))
            if now >= end:
                return
            time.sleep(min(0.05, end - now))

    def latest(self, name, default=0.0):
        for _, values in reversed(self.statuses):
            if name in values:
                return values[name]
        return default

    def wait_for(self, condition, seconds=LIMIT):
        """Ticks until condition() holds or the app ends; returns whether it held."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return True
            if self.process.poll() is not None:
                self.tick(0.2)  # the last status
                return condition()
            self.tick(0.1)
        return condition()

    def wait_exit(self, seconds=LIMIT):
        deadline = time.monotonic() + seconds
        while self.process.poll() is None and time.monotonic() < deadline:
            self.tick(0.1)
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
            fail(f"the app did not end within {seconds} s; killed")
        self.close()
        return self.process.returncode

    def cpu_seconds(self):
        """User and system time of the app so far, from /proc."""
        try:
            with open(f"/proc/{self.process.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, IndexError, ValueError):
            return None

    def close(self):
        if not self.shm.closed:
            self.shm.close()
            self.file.close()
            self.console.close()


class Slot:
    def __init__(self, root, name, unit, gpu=-1, ncpus=1, emulate=None):
        self.path = os.path.join(root, name)
        os.makedirs(self.path)
        with open(os.path.join(self.path, "worktodo.txt"), "w") as f:
            f.write(unit + "\n")
        with open(os.path.join(self.path, "init_data.xml"), "w") as f:
            f.write(init_data(gpu, ncpus))
        self.env = dict(os.environ, LC_ALL="C")
        self.env.pop("KALVENOR_EMULATE_GPU", None)
        if emulate:
            self.env["KALVENOR_EMULATE_GPU"] = emulate

    def start(self, program, arguments):
        return Task(program, arguments, self.path, self.env)

    def file(self, name):
        return os.path.join(self.path, name)

    def finish_status(self):
        """The status boinc_finish wrote, or None when it was not called."""
        data = read_file(self.file("boinc_finish_called"))
        if data is None:
            return None
        first = data.decode("ascii", "replace").splitlines()[:1]
        return int(first[0]) if first and first[0].strip().lstrip("-").isdigit() else first

    def output(self):
        return text_of(self.file("console.txt")) + text_of(self.file("stderr.txt"))

    def tail(self):
        return "\n" + "\n".join(self.output().splitlines()[-15:])


def rising(statuses):
    fractions = [values["fraction_done"] for _, values in statuses if "fraction_done" in values]
    return fractions, all(b >= a for a, b in zip(fractions, fractions[1:])) and len(set(fractions)) >= 3


def record_ok(slot, unit):
    records = text_of(slot.file("results.jsonl")).splitlines()
    return (len(records) == 1 and records[0].startswith('{"line":"%s",' % unit) and FACTOR in records[0]
            and '"status":"complete"' in records[0])


def main():
    if len(sys.argv) != 2 or not os.access(sys.argv[1], os.X_OK):
        print("usage: client-protocol-test.py path/to/boinc-build/kalvenor", file=sys.stderr)
        return 2
    program = os.path.abspath(sys.argv[1])
    arguments = UNIT_ARGUMENTS
    # One CPU for the CPU app version, unless that is what the machine has anyway.
    ncpus = 2 if os.cpu_count() == 1 else 1

    root = tempfile.mkdtemp(prefix="kalvenor-client-protocol.")
    try:
        # ---- to the end, uninterrupted
        whole = Slot(root, "whole", UNIT, ncpus=ncpus)
        task = whole.start(program, arguments)
        status = task.wait_exit()
        fractions, up = rising(task.statuses)
        check(status == 0 and whole.finish_status() == 0, "a unit to its end: exit 0 through boinc_finish(0)",
              f"exit {status}, boinc_finish_called {whole.finish_status()}" + whole.tail())
        check(up and fractions[-1] > 0.9, "fraction done reported, rising to near 1",
              f"{fractions[:5]} ... {fractions[-3:]}")
        check(task.latest("checkpoint_cpu_time") > 0, "checkpoints reported (checkpoint_cpu_time)",
              str(task.statuses[-3:]))
        check(record_ok(whole, UNIT), "one complete record with the known factor",
              text_of(whole.file("results.jsonl")))
        check(re.search(r"threads used +%d\n" % ncpus, whole.output()) is not None,
              f"the CPU count of init_data.xml ({ncpus}) is the run's", whole.tail())

        # ---- suspended, resumed, quit, started again
        slot = Slot(root, "stopped", UNIT, ncpus=ncpus)
        task = slot.start(program, arguments)
        task.wait_for(lambda: task.latest("fraction_done") > 0.05 and task.latest("checkpoint_cpu_time") > 0)
        task.send(PROCESS_CONTROL_REQUEST, "<suspend/>")
        task.tick(1.5)  # the suspension reaches every thread within a batch
        before, fraction = task.cpu_seconds(), task.latest("fraction_done")
        task.tick(3.0)
        after = task.cpu_seconds()
        check(task.process.poll() is None and before is not None and after is not None and after - before < 0.3
              and task.latest("fraction_done") == fraction,
              "suspended: no CPU used and the fraction done stands still, heartbeats going on",
              f"CPU {before} -> {after} s, fraction {fraction} -> {task.latest('fraction_done')},"
              f" exit {task.process.poll()}")
        task.send(PROCESS_CONTROL_REQUEST, "<resume/>")
        check(task.wait_for(lambda: task.latest("fraction_done") > fraction, 30),
              "resumed: the fraction done rises again", f"{fraction} -> {task.latest('fraction_done')}")
        # Well before the end; a checkpoint was reported before the suspension.
        task.send(PROCESS_CONTROL_REQUEST, "<quit/>")
        status = task.wait_exit(30)
        quit_fraction = task.latest("fraction_done")
        check(status == 0 and slot.finish_status() is None and os.path.exists(slot.file("kalvenor.cpt"))
              and not os.path.exists(slot.file("results.jsonl")),
              "quit: exit 0 with no finish, the checkpoint left and no record yet",
              f"exit {status}, boinc_finish_called {slot.finish_status()}, checkpoint "
              f"{os.path.exists(slot.file('kalvenor.cpt'))}, fraction {quit_fraction}" + slot.tail())
        task = slot.start(program, arguments)
        status = task.wait_exit()
        fractions, _ = rising(task.statuses)
        check(status == 0 and slot.finish_status() == 0 and "Continue range" in slot.output(),
              "started again: continues from the checkpoint to boinc_finish(0)",
              f"exit {status}, boinc_finish_called {slot.finish_status()}" + slot.tail())
        check(bool(fractions) and fractions[0] > 0.05, "the restart's first fraction done is where the quit left it",
              f"{fractions[:3]}, quit at {quit_fraction}")
        check(read_file(whole.file("results.jsonl")) is not None
              and read_file(slot.file("results.jsonl")) == read_file(whole.file("results.jsonl")),
              "results.jsonl after quit and restart is byte for byte the uninterrupted run's",
              text_of(slot.file("results.jsonl")) + " vs " + text_of(whole.file("results.jsonl")))

        # ---- aborted
        slot = Slot(root, "aborted", UNIT, ncpus=ncpus)
        task = slot.start(program, arguments)
        task.wait_for(lambda: task.latest("fraction_done") > 0.02)
        task.send(PROCESS_CONTROL_REQUEST, "<abort/>")
        status = task.wait_exit(30)
        check(status == EXIT_ABORTED_BY_CLIENT and slot.finish_status() is None,
              f"abort: exit {EXIT_ABORTED_BY_CLIENT} with no finish",
              f"exit {status}, boinc_finish_called {slot.finish_status()}" + slot.tail())

        # ---- the GPU the client assigns
        slot = Slot(root, "gpu0", SHORT_UNIT, gpu=0, ncpus=1, emulate="t4")
        status = slot.start(program, arguments).wait_exit()
        check(status == 0 and slot.finish_status() == 0 and "Tesla T4" in slot.output()
              and record_ok(slot, SHORT_UNIT),
              "GPU 0 of init_data.xml: the run takes the (emulated) GPU and ends through boinc_finish(0)",
              f"exit {status}, boinc_finish_called {slot.finish_status()}" + slot.tail())
        slot = Slot(root, "gpu1", SHORT_UNIT, gpu=1, ncpus=1, emulate="t4")
        status = slot.start(program, arguments).wait_exit()
        temporary = text_of(slot.file("boinc_temporary_exit")).splitlines()
        check(status == 0 and slot.finish_status() is None and len(temporary) >= 2 and temporary[0].strip() == "300"
              and "GPU" in temporary[1] and "device 1" in slot.output(),
              "GPU 1, which does not exist: a temporary exit (delay 300 s, a reason), not a failed task",
              f"exit {status}, boinc_finish_called {slot.finish_status()}, boinc_temporary_exit {temporary}"
              + slot.tail())

        # ---- a refused unit
        slot = Slot(root, "refused", "FermatFactor=36,36,25709340001,25709300001")
        status = slot.start(program, arguments).wait_exit()
        check(status != 0 and slot.finish_status() == status and "the unit fails" in text_of(slot.file("stderr.txt")),
              "a refused unit: boinc_finish with a nonzero status, the reason in stderr.txt",
              f"exit {status}, boinc_finish_called {slot.finish_status()}" + slot.tail())
    finally:
        shutil.rmtree(root, ignore_errors=True)

    if failures:
        print(f"client protocol test: {failures} failure(s)")
        return 1
    print("client protocol test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
