#!/usr/bin/env python3
"""End-to-end scenarios of the Windows executables under Wine against boxsim.

Usage: wine_e2e.py BUILD_WINDOWS_DIR BOXSIM_BINARY [--smoke]

COM1 of the Wine prefix is mapped (registry key HKLM\\Software\\Wine\\Ports) to a fixed symlink
in a work directory; every scenario starts boxsim with --link on that symlink, runs
`wine update.exe ...` against it and checks the exit code, the output and what the box received.
COM2 is mapped to a path where no device exists, for the port that cannot be opened (Wine then
refuses COM2 with "Invalid function", error 1; a COM port without any mapping gives error 2, but
Wine gives the first free COM number to the host's own /dev/ttyS* devices).
Prints one line per scenario and a closing "N passed, N failed" line; exit status 1 on failure.
"""
import hashlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

WINE_ENV = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=d;mshtml=d")


def pad_image(payload, hardware_type, software_id, tag_length=5):
    tag = b""
    if tag_length >= 1:
        tag += bytes([hardware_type])
    if tag_length == 5:
        tag += struct.pack(">I", software_id)
    return (struct.pack(">I", len(payload)) + tag + payload +
            struct.pack(">I", sum(payload) & 0xFFFFFFFF))


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def sample_payload(length, seed=7):
    return bytes(((i * 37 + seed) ^ (i >> 7)) & 0xFF for i in range(length))


class Scenario:
    def __init__(self, name, image, args, box_args, expect_code=0, expect_out=(),
                 expect_err=(), compare_saved=True, program="update.exe", stdin=b"",
                 setup=None, reject_out=(), gone=(), port_kept=False, interrupt_after=None,
                 forbid_err=(), env=None, check=None, box_code=0):
        self.name = name
        self.image = image
        self.args = args
        self.box_args = box_args
        self.expect_code = expect_code
        self.expect_out = expect_out
        self.expect_err = expect_err
        self.compare_saved = compare_saved
        self.program = program
        self.stdin = stdin
        # Prepares the working directory before the run: setup(work).
        self.setup = setup
        # Texts that must not appear on standard output.
        self.reject_out = reject_out
        # Names in the working directory that must not exist after the run.
        self.gone = gone
        # The terminal is set to 9600 baud before the run and must be back at 9600 after it
        # (boxsim plays a second box meanwhile, so the terminal is still there; it is stopped
        # afterwards and its exit status is not looked at).
        self.port_kept = port_kept
        # Sends SIGINT to the program (Wine turns it into Ctrl-C) once its standard output holds
        # this text.
        self.interrupt_after = interrupt_after
        self.forbid_err = forbid_err
        # Environment entries of the program's run ("{work}" stands for the work directory, also
        # in box_args), and check(work, image) -> problems, run after the other checks.
        self.env = env or {}
        self.check = check
        # The exit status boxsim must end with (4: it pulled the line before the box was played).
        self.box_code = box_code


def terminal_speed(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attributes = termios.tcgetattr(fd)
        return attributes[4], attributes[5]
    finally:
        os.close(fd)


def set_terminal_speed(path, speed):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attributes = termios.tcgetattr(fd)
        attributes[4] = attributes[5] = speed
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
    finally:
        os.close(fd)


def run_program(argv, s, work):
    """Runs the program; with s.interrupt_after, sends SIGINT once stdout holds that text."""
    if s.interrupt_after is None:
        done = subprocess.run(argv, input=s.stdin, capture_output=True, timeout=90,
                              env=dict(WINE_ENV, **s.env), cwd=work)
        return done.returncode, done.stdout, done.stderr
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        program = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                   env=dict(WINE_ENV, **s.env), cwd=work)
        deadline = time.monotonic() + 60
        while program.poll() is None and time.monotonic() < deadline:
            out.seek(0)
            if s.interrupt_after.encode() in out.read():
                program.send_signal(signal.SIGINT)
                break
            time.sleep(0.05)
        try:
            program.wait(timeout=30)
        except subprocess.TimeoutExpired:
            program.kill()
            raise
        out.seek(0)
        err.seek(0)
        return program.returncode, out.read(), err.read()


def run_scenario(s, build_dir, boxsim, work, link):
    image_path = os.path.join(work, "image.pad")
    saved = os.path.join(work, "received.bin")
    if os.path.exists(saved):
        os.remove(saved)
    if s.image is not None:
        with open(image_path, "wb") as f:
            f.write(s.image)
    if s.setup is not None:
        s.setup(work)
    box = None
    if s.box_args is not None:
        box_args = [a.replace("{work}", work) for a in s.box_args]
        box = subprocess.Popen([boxsim, "--link", link, "--save", saved] + box_args,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        box.stdout.readline()  # the terminal's path: the box is listening
    problems = []
    if s.port_kept:
        set_terminal_speed(link, termios.B9600)
    argv = ["wine", os.path.join(build_dir, s.program)] + [
        a.replace("{image}", image_path) for a in s.args]
    try:
        code, raw_out, raw_err = run_program(argv, s, work)
        # The Windows C runtime writes text-mode line ends as CR LF.
        out = raw_out.decode("latin-1").replace("\r\n", "\n")
        err = raw_err.decode("latin-1").replace("\r\n", "\n")
    except subprocess.TimeoutExpired:
        code, out, err = None, "", "timed out"
    if s.port_kept:
        speed = terminal_speed(link)
        if speed != (termios.B9600, termios.B9600):
            problems.append(f"terminal speed codes {speed} after the run, 9600 baud before")
    if box is not None and (s.port_kept or s.interrupt_after is not None):
        box.terminate()
    box_log, box_code = "", None
    if box is not None:
        try:
            _, box_err = box.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            box.kill()
            _, box_err = box.communicate()
        box_log, box_code = box_err.decode("latin-1"), box.returncode
    if code != s.expect_code:
        problems.append(f"exit code {code}, expected {s.expect_code}")
    for text in s.expect_out:
        if text not in out:
            problems.append(f"standard output lacks {text!r}")
    for text in s.expect_err:
        if text not in err:
            problems.append(f"standard error lacks {text!r}")
    for text in s.reject_out:
        if text in out:
            problems.append(f"standard output holds {text!r}")
    for text in s.forbid_err:
        if text in err:
            problems.append(f"standard error has {text!r}")
    for name in s.gone:
        if os.path.lexists(os.path.join(work, name)):
            problems.append(f"{name} is still there")
    if (box is not None and box_code != s.box_code and not s.port_kept
            and s.interrupt_after is None):
        problems.append(f"boxsim exit status {box_code}, expected {s.box_code}")
    if s.compare_saved and box is not None:
        if not os.path.exists(saved):
            problems.append("the box saved nothing")
        else:
            with open(saved, "rb") as f:
                if f.read() != s.image:
                    problems.append("the box received other bytes than the image")
    if s.image is not None:
        with open(image_path, "rb") as f:
            if f.read() != s.image:
                problems.append("the image file was changed")
    if s.check is not None:
        problems.extend(s.check(work, s.image))
    # What a scenario planted at hyper.pad must not meet the next one.
    pad = os.path.join(work, "hyper.pad")
    if os.path.isdir(pad) and not os.path.islink(pad):
        shutil.rmtree(pad)
    elif os.path.lexists(pad):
        os.remove(pad)
    return problems, out, err, box_log


def remove_log(work):
    path = os.path.join(work, "production.log")
    if os.path.lexists(path):
        os.remove(path)


def log_record(image, **expected):
    """A check: production.log holds one JSON line with the image's digest and `expected`."""
    def check(work, _image):
        with open(os.path.join(work, "production.log"), "rb") as f:
            data = f.read()
        lines = data.split(b"\n")
        if len(lines) != 2 or lines[1] != b"":
            return [f"the log holds {data!r}, not one line"]
        try:
            record = json.loads(lines[0])
        except ValueError as e:
            return [f"the log's line is not JSON ({e}): {lines[0]!r}"]
        wanted = dict(expected, image_sha256=hashlib.sha256(image).hexdigest(),
                      image_size=len(image), port=1, device="COM1", image="image.pad")
        problems = [f"{key} is {record.get(key)!r}, expected {value!r}"
                    for key, value in wanted.items() if record.get(key) != value]
        if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d",
                            str(record.get("start"))):
            problems.append(f"start is {record.get('start')!r}")
        if not isinstance(record.get("bytes_sent"), int) or record["bytes_sent"] <= 0:
            problems.append(f"bytes_sent is {record.get('bytes_sent')!r}")
        return problems
    return check


def trace_bytes_to_box(path):
    """The bytes of a line trace's prog>box lines, in order."""
    data = bytearray()
    with open(path, encoding="latin-1") as f:
        for line in f:
            fields = line.split("|", 1)[0].split()
            if len(fields) > 2 and fields[1] == "prog>box":
                data.extend(int(token, 16) for token in fields[2:])
    return bytes(data)


def check_traces(work, image):
    """The program's trace (UPDATE_TRACE=prog.trace) is in place, holds the image, and has the
    same bytes as boxsim's trace of the run."""
    program = os.path.join(work, "prog.trace")
    if not os.path.isfile(program) or os.path.islink(program):
        return ["prog.trace is not a file"]
    left = [n for n in os.listdir(work) if n.startswith("prog.trace.")]
    problems = [f"{name} left behind" for name in left]
    if image[:128] not in trace_bytes_to_box(program):
        problems.append("the trace does not hold the image's first block")
    diff = subprocess.run([os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                        "scripts", "trace-diff"), program,
                           os.path.join(work, "box.trace")], capture_output=True, text=True)
    if diff.returncode != 0:
        problems.append("trace-diff: " + diff.stdout + diff.stderr)
    return problems


def check_interrupted_trace(work, image):
    """After Ctrl-C the trace is in place and complete: the interrupt, then the port's settings
    given back, both after bytes of the transfer."""
    del image
    program = os.path.join(work, "prog.trace")
    if not os.path.isfile(program):
        return ["prog.trace is not there"]
    problems = [f"{n} left behind" for n in os.listdir(work) if n.startswith("prog.trace.")]
    with open(program, encoding="latin-1") as f:
        labels = [line.split()[1] for line in f if line.strip() and not line.startswith("#")]
    if "stop" not in labels or "restored" not in labels[labels.index("stop"):]:
        problems.append("the trace lacks the interrupt and the port's settings after it")
    if labels.count("prog>box") < 10:
        problems.append("the trace holds too few bytes")
    return problems


def scenarios(smoke):
    legacy_payload = bytearray(sample_payload(0x4000 + 4096))
    legacy_payload[0x4000:0x4008] = bytes.fromhex("00001f3816002000")
    listing_first = "update.exe 2.16\n"
    all_scenarios = [
        Scenario("start-up: bare start prints the usage and ends with 1", None, [], None,
                 expect_code=1, expect_err=("Usage: update [-p <int>] [-b] [-l] [-w] [-i] "
                                            "<image>\n",)),
        Scenario("start-up: -V under update.exe", None, ["-V"], None,
                 expect_out=(listing_first, "\t24.10 \n")),
        Scenario("start-up: -V under aktualisieren.exe (German, name after the backslash)",
                 None, ["-V"], None, program="aktualisieren.exe",
                 expect_out=("aktualisieren.exe 2.16\n",
                             "Diese Programm unterstuetzt die folgenden Bootloader")),
        Scenario("start-up: -p 5", None, ["-p", "5", "x.pad"], None, expect_code=1,
                 expect_err=("Invalid Port: 5\n",)),
        Scenario("port: COM2 does not exist; the line after message 5 says what to do",
                 pad_image(sample_payload(1000), 0x14, 0x00180004), ["-p", "2", "{image}"],
                 None, expect_code=1, compare_saved=False,
                 expect_err=("Inititialization of COM-port failed (Error: ", ")\nPort 2 (COM2): ",
                             ". No such COM port: Device Manager, \"Ports (COM & LPT)\", shows "
                             "the adapter's port; give it one of the numbers COM1 to COM4.\n"),
                 forbid_err=("..",)),
        Scenario("port: the same in German under aktualisieren.exe",
                 pad_image(sample_payload(1000), 0x14, 0x00180004), ["-p", "2", "{image}"],
                 None, program="aktualisieren.exe", expect_code=1, compare_saved=False,
                 expect_err=("Initialisierung der seriellen Schnittstelle fehlgeschlagen "
                             "(Fehler: ", ")\nSchnittstelle 2 (COM2): ",
                             ". Keine solche COM-Schnittstelle: ")),
        Scenario("start-up: an option after the image name is refused before anything is opened",
                 pad_image(sample_payload(1000), 0x14, 0x00180004), ["{image}", "-p", "2"],
                 None, expect_code=1, compare_saved=False,
                 expect_err=("Options go before the image name, and nothing may follow it; "
                             "found after it: -p 2\n\nUsage: update ",),
                 reject_out=("Checking file",), forbid_err=("COM-port",)),
        Scenario("streaming: 24.4 box, hardware type 0x14",
                 pad_image(sample_payload(6000), 0x14, 0x00180004), ["-p", "1", "{image}"],
                 ["--version", "24.4", "--hw", "0x14"],
                 expect_out=("Checking file ... OK\n", "Access to bootloader version:  24.4\n",
                             "Download successfully finished. (com port: 1)\n")),
        Scenario("streaming: German output under aktualisieren.exe",
                 pad_image(sample_payload(3000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14"], program="aktualisieren.exe",
                 expect_out=("Datei pruefen ... OK\n",
                             "Uebertragung erfolgreich beendet (Schnittstelle:  1)\n")),
        Scenario("menu loader 2.0: encoded download",
                 pad_image(sample_payload(20000), 0x02, 0x00020000, tag_length=5),
                 ["{image}"], ["--version", "2.0", "--hw", "2"],
                 expect_out=("Start download ...\n", "Programming the flash memory...")),
        Scenario("menu loader 4.2: compressed here",
                 pad_image(sample_payload(20000), 0x04, 0x00040002), ["{image}"],
                 ["--version", "4.2", "--hw", "4"], compare_saved=False,
                 expect_out=("Compressing file ...\n", "Download successfully finished.")),
        Scenario("4.11 loader: time stamp, announcement, image and byte sum",
                 pad_image(sample_payload(5000), 0x07, 0x0004000B), ["{image}"],
                 ["--version", "4.11", "--hw", "7"],
                 expect_out=("Choice found\n", "Download successfully finished.")),
        Scenario("5.1 loader: X-modem and the success verdict",
                 pad_image(sample_payload(5000), 0x04, 0x00050001), ["{image}"],
                 ["--version", "5.1", "--hw", "4", "--verdict", "success"],
                 expect_out=("Start application", "Download successfully finished.")),
        Scenario("legacy 10.0 loader: application image",
                 pad_image(bytes(legacy_payload), 0x04, 0x000A0000), ["{image}"],
                 ["--version", "10.0", "--hw", "4", "--legacy"], compare_saved=False,
                 expect_out=("bootloader accessed, check version\n", "sending flashimage\n",
                             "ready.\n")),
        Scenario("1.6 box: a file planted as hyper.pad is replaced, the box gets the hyper "
                 "bootloader", pad_image(sample_payload(5000), 0x00, 0x00010006), ["{image}"],
                 ["--version", "1.6", "--hw", "0"],
                 setup=lambda work: write_file(os.path.join(work, "hyper.pad"),
                                               b"\x5a" * 100000),
                 expect_out=("Download hyper bootloader...\n",
                             "Download successfully finished."),
                 gone=("hyper.pad",)),
        Scenario("1.4 box: a directory named hyper.pad gives message 24 and the reason",
                 pad_image(sample_payload(5000), 0x00, 0x00010004), ["{image}"],
                 ["--version", "1.4", "--hw", "0"], expect_code=1, compare_saved=False,
                 setup=lambda work: os.mkdir(os.path.join(work, "hyper.pad")),
                 expect_err=("Cannot create hyper bootloader file, try to restart!\nhyper.pad: ",)),
        Scenario("streaming at the line rate: no message 54, the port's speed as found",
                 pad_image(sample_payload(100000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14", "--pace", "--boxes", "2"],
                 port_kept=True, reject_out=("Cannot send data to box, still trying.",),
                 expect_out=("Download successfully finished.",)),
        Scenario("Ctrl-C during a transfer: the notice, exit code 1, the port's speed as found",
                 pad_image(sample_payload(200000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14", "--pace"], expect_code=1,
                 compare_saved=False, port_kept=True, interrupt_after="% transmitted\r",
                 expect_out=("% transmitted\r\n",),
                 expect_err=("Update interrupted. Switch the box off and on again before the "
                             "next attempt.\n",)),
        Scenario("production log: a 24.4 update appends its record, the digest from CNG",
                 pad_image(sample_payload(6000), 0x14, 0x00180004), ["image.pad"],
                 ["--version", "24.4", "--hw", "0x14"], setup=remove_log,
                 env={"UPDATE_LOG": "production.log"},
                 check=log_record(pad_image(sample_payload(6000), 0x14, 0x00180004),
                                  result="ok", exit_code=0, loader_version="24.4",
                                  family="StreamingDownload", message=None),
                 expect_out=("Download successfully finished. (com port: 1)\n",)),
        Scenario("production log: an id mismatch is logged with message 32",
                 pad_image(sample_payload(6000), 0x14, 0x00180004), ["image.pad"],
                 ["--version", "24.2", "--hw", "0x14"], setup=remove_log, expect_code=1,
                 compare_saved=False, env={"UPDATE_LOG": "production.log"},
                 check=log_record(pad_image(sample_payload(6000), 0x14, 0x00180004),
                                  result="failed", exit_code=1, loader_version="24.2",
                                  message=32, message_text="error -> wrong hardware IDs ")),
        Scenario("production log: Ctrl-C leaves a record interrupted with exit code 1",
                 pad_image(sample_payload(200000), 0x14, 0x00180004), ["image.pad"],
                 ["--version", "24.4", "--hw", "0x14", "--pace"], expect_code=1,
                 compare_saved=False, setup=remove_log, interrupt_after="% transmitted\r",
                 env={"UPDATE_LOG": "production.log"},
                 check=log_record(pad_image(sample_payload(200000), 0x14, 0x00180004),
                                  result="interrupted", exit_code=1, message=None)),
        Scenario("production log: a directory at the name costs one line, the update goes on",
                 pad_image(sample_payload(3000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14"],
                 setup=lambda work: os.makedirs(os.path.join(work, "logdir"), exist_ok=True),
                 env={"UPDATE_LOG": "logdir"},
                 expect_err=("UPDATE_LOG=logdir: ",
                             "; the update goes on without a production log.\n"),
                 expect_out=("Download successfully finished. (com port: 1)\n",)),
        Scenario("line trace: UPDATE_TRACE holds the bytes the box saw (trace-diff agrees)",
                 pad_image(sample_payload(6000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14", "--trace", "{work}/box.trace"],
                 env={"UPDATE_TRACE": "prog.trace"}, check=check_traces,
                 expect_out=("Download successfully finished. (com port: 1)\n",),
                 forbid_err=("UPDATE_TRACE",)),
        Scenario("line trace: Ctrl-C during a transfer leaves the trace complete at its name",
                 pad_image(sample_payload(200000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14", "--pace"], expect_code=1,
                 compare_saved=False, port_kept=True, interrupt_after="% transmitted\r",
                 env={"UPDATE_TRACE": "prog.trace"}, check=check_interrupted_trace),
        Scenario("line trace: a file that cannot be created costs one line, the update succeeds",
                 pad_image(sample_payload(6000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14"],
                 env={"UPDATE_TRACE": "no-such-dir\\prog.trace"},
                 expect_out=("Download successfully finished. (com port: 1)\n",),
                 expect_err=("UPDATE_TRACE no-such-dir\\prog.trace: ",
                             "; the update runs without a line trace.\n")),
        Scenario("line trace: a directory at the name shows at the start, nothing is left",
                 pad_image(sample_payload(6000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14"],
                 setup=lambda work: os.makedirs(os.path.join(work, "trace.d"), exist_ok=True),
                 env={"UPDATE_TRACE": "trace.d"},
                 check=lambda work, image: [f"{n} left behind" for n in os.listdir(work)
                                            if n.startswith("trace.d.")],
                 expect_out=("Download successfully finished. (com port: 1)\n",),
                 expect_err=("UPDATE_TRACE trace.d: ", "; the update runs without a line trace.\n")),
        Scenario("line pulled during the synchronisation: one failure line with the device "
                 "gone, exit code 1, no endless WriteFile errors",
                 pad_image(sample_payload(3000), 0x14, 0x00180004), ["{image}"],
                 ["--version", "24.4", "--hw", "0x14", "--hangup-after", "10"], expect_code=1,
                 compare_saved=False, box_code=4,
                 expect_err=("WriteFile error  995\nPort 1 (COM1): ", "the device is gone"),
                 forbid_err=("WriteFile error \n",)),
        Scenario("line trace: a trace named as the image (other case) is refused, the image "
                 "stays", pad_image(sample_payload(6000), 0x14, 0x00180004), ["image.pad"],
                 ["--version", "24.4", "--hw", "0x14"], env={"UPDATE_TRACE": "IMAGE.PAD"},
                 check=lambda work, image: [f"{n} left behind" for n in os.listdir(work)
                                            if n.lower().startswith("image.pad.")],
                 expect_out=("Download successfully finished. (com port: 1)\n",),
                 expect_err=("UPDATE_TRACE IMAGE.PAD is the image file; the update runs "
                             "without a line trace.\n",)),
        Scenario("satellite request: eol", None, ["-s", "eol"],
                 ["--version", "24.4", "--hw", "2", "--satellite", "--expect-answer", "5"],
                 compare_saved=False,
                 expect_out=("Please be patient and wait for update to be finished",)),
    ]
    if smoke:
        keep = {"start-up: bare start prints the usage and ends with 1",
                "start-up: -V under update.exe",
                "streaming: 24.4 box, hardware type 0x14", "menu loader 2.0: encoded download"}
        return [s for s in all_scenarios if s.name in keep]
    return all_scenarios


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    build_dir, boxsim = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    smoke = "--smoke" in sys.argv[3:]
    work = tempfile.mkdtemp(prefix="update-wine-")
    link = os.path.join(work, "com1")
    subprocess.run(["wine", "reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM1", "/d", link,
                    "/f"], env=WINE_ENV, capture_output=True, check=True)
    subprocess.run(["wine", "reg", "add", r"HKLM\Software\Wine\Ports", "/v", "COM2", "/d",
                    os.path.join(work, "no-such-device"), "/f"], env=WINE_ENV, capture_output=True,
                   check=True)
    subprocess.run(["wineserver", "-w"], env=WINE_ENV, capture_output=True)
    # One persistent server for all scenarios, with its own output kept out of the programs'.
    subprocess.Popen(["wineserver", "-p"], env=WINE_ENV, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
    time.sleep(1)
    try:
        subprocess.run(["wine", "cmd.exe", "/c", "exit"], env=WINE_ENV, timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        pass
    passed = failed = 0
    try:
        for s in scenarios(smoke):
            start = time.monotonic()
            problems, out, err, box_log = run_scenario(s, build_dir, boxsim, work, link)
            took = time.monotonic() - start
            if problems:
                failed += 1
                print(f"FAIL {s.name} ({took:.1f} s)")
                for p in problems:
                    print(f"     {p}")
                print("     --- stdout ---\n" + out[-2000:])
                print("     --- stderr ---\n" + err[-2000:])
                print("     --- boxsim ---\n" + box_log[-2000:])
            else:
                passed += 1
                print(f"ok   {s.name} ({took:.1f} s)")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        subprocess.run(["wineserver", "-k"], env=WINE_ENV, capture_output=True)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
