#!/usr/bin/python3
"""The window as a screen reader reads it: over AT-SPI on D-Bus, under Xvfb.

Run inside a private session bus:  dbus-run-session -- tst_atspi.py PROGRAM
Finds every control by its spoken name and role, checks that it is enabled,
then connects to a name that cannot resolve and follows the room control's
status, the two buttons and the log through AT-SPI alone.
"""
import os
import select
import subprocess
import sys
import time

PROGRAM = sys.argv[1]
BUDGET = time.monotonic() + 50  # seconds for the whole test
failures = []


def check(ok, what):
    print(("PASS: " if ok else "FAIL: ") + what)
    if not ok:
        failures.append(what)
    return ok


def wait_for(what, predicate, seconds=15):
    """Polls `predicate` (pumping AT-SPI events) until true or out of time."""
    deadline = min(time.monotonic() + seconds, BUDGET)
    while True:
        GLib.MainContext.default().iteration(False)
        result = predicate()
        if result or time.monotonic() > deadline:
            break
        time.sleep(0.02)
    check(bool(result), what)
    return result


def start_xvfb():
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n") and select.select([read_end], [], [], 10)[0]:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.endswith(b"\n"):
        server.kill()
        sys.exit("Xvfb did not start")
    return server, ":" + number.decode().strip()


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


xvfb, os.environ["DISPLAY"] = start_xvfb()
os.environ.pop("AT_SPI_BUS_ADDRESS", None)  # the private bus's own, found through it
import pyatspi  # noqa: E402  (needs the display and the bus above)
from gi.repository import GLib  # noqa: E402

events = []  # (type, source name, source role, detail1)
pyatspi.Registry.registerEventListener(
    lambda e: events.append((e.type, e.source.name, e.source.getRoleName(), e.detail1)),
    "object:property-change:accessible-description", "object:state-changed:sensitive")

program = subprocess.Popen([PROGRAM], env=dict(os.environ, QT_QPA_PLATFORM="xcb",
                                             QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))
try:
    def window():
        for app in pyatspi.Registry.getDesktop(0):
            for child in app or []:
                if child and child.name == "Tavix Gorvel サンプル":
                    return child
        return None

    frame = wait_for("the window is on the AT-SPI desktop", window)
    if not frame:
        sys.exit(1)
    check(frame.getRoleName() == "frame", f"the window is a frame (is {frame.getRoleName()})")

    controls = {}
    for child in frame:
        controls.setdefault((child.name, child.getRoleName()), []).append(child)

    # The boxes' names come from their labels (the labels are their buddies).
    expected = [
        ("なまえ", "label"), ("なまえ", "text"), ("サーバIP", "label"), ("サーバIP", "text"),
        ("ルームの状態", "status bar"), ("チャットログ", "text"), ("発言内容", "text"),
        ("サーバ開始", "push button"), ("接続", "push button"), ("切断・中止", "push button"),
        ("参加者一覧", "push button"), ("発言", "push button"),
    ]
    found = {}
    for key in expected:
        matches = controls.get(key, [])
        if check(len(matches) == 1, f"one control named {key[0]!r} with role {key[1]}"):
            found[key] = matches[0]
            states = matches[0].getState()
            check(states.contains(pyatspi.STATE_ENABLED) and states.contains(pyatspi.STATE_SENSITIVE)
                  and states.contains(pyatspi.STATE_SHOWING), f"{key[0]!r} ({key[1]}) is enabled and showing")
    unnamed = [role for (name, role) in controls if not name]
    check(not unnamed, f"no control without a name (found {unnamed})")
    if len(found) != len(expected):
        sys.exit(1)

    label = found[("なまえ", "label")]
    relations = found[("なまえ", "text")].getRelationSet()
    check(any(r.getRelationType() == pyatspi.RELATION_LABELLED_BY and r.getTarget(0) == label
              for r in relations), "the name box is labelled by its label")
    check(not found[("チャットログ", "text")].getState().contains(pyatspi.STATE_EDITABLE)
          and found[("発言内容", "text")].getState().contains(pyatspi.STATE_EDITABLE),
          "the log is read-only, the entry box editable")

    status = found[("ルームの状態", "status bar")]
    # While in no room, the status also says how to host a room with a door.
    door = "合言葉付きのルーム: サーバ開始を右クリック、または Ctrl+Shift+S"
    check(status.description == "未接続\n" + door,
          f"the status reads 未接続 and how to host with a passphrase (reads {status.description!r})")

    # A name that can never resolve fails at once, with no network traffic.
    address = found[("サーバIP", "text")]
    address.queryEditableText().setTextContents("no such host!")
    wait_for("the address box took the new text",
             lambda: address.queryText().getText(0, -1) == "no such host!", 5)
    connect = found[("接続", "push button")]
    connect.queryAction().doAction(0)

    gone = "未接続\nホストが見つかりません\n" + door
    wait_for(f"the status turns to {gone!r}", lambda: status.description == gone)
    wait_for("a screen reader was told the status changed",
             lambda: ("object:property-change:accessible-description", "ルームの状態", "status bar", 0)
             in events, 5)
    wait_for("接続 was disabled and enabled again as the room opened and ended",
             lambda: [d for (t, n, _, d) in events if n == "接続" and t.endswith("sensitive")] == [0, 1], 5)
    check(connect.getState().contains(pyatspi.STATE_SENSITIVE), "接続 is enabled again")
    log = found[("チャットログ", "text")].queryText()
    wait_for("the log reads the attempt and its end",
             lambda: log.getText(0, -1).replace("\r\n", "\n") == "\n接続中...\n切断しました。", 5)
finally:
    stop(program)
    stop(xvfb)

print(f"{len(failures)} failed" if failures else "all passed")
sys.exit(1 if failures else 0)
