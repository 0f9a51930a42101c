#!/usr/bin/env python3
"""Profiles tavix-room at chat pace: a host and five members, each a process,
one line at a time with a pause after each, every line waited for at every
member. Prints heap allocations per line for every process (counted by
libtavix_alloccount.so, minus what an idle stretch of the same length costs).
A command can wrap the host (--wrap, e.g. valgrind --tool=callgrind), be
attached to the host or to a listening member (--attach, e.g. strace -c -o F
-p; the pid is appended), or be run on the host's pid just before and after
the lines (--before/--after, e.g. callgrind_control -z / -d).

    bench/chatpace.py --tool build-bench/tools/roomtool/tavix-room \\
        --counter build-bench/bench/libtavix_alloccount.so [--one-sender]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
ap.add_argument('--tool', required=True, help='tavix-room')
ap.add_argument('--counter', required=True, help='libtavix_alloccount.so')
ap.add_argument('--lines', type=int, default=300)
ap.add_argument('--pace-ms', type=float, default=20, help='pause after each line')
ap.add_argument('--one-sender', action='store_true', help='every line from the first member')
ap.add_argument('--idle', type=float, default=3, help='seconds of idle, to subtract')
ap.add_argument('--wrap', default='', help='command the host runs under')
ap.add_argument('--attach', default='', help='command given the pid, once all are in')
ap.add_argument('--attach-to', choices=['host', 'member'], default='host')
ap.add_argument('--before', default='')
ap.add_argument('--after', default='')
args = ap.parse_args()

MEMBERS = 5
folder = tempfile.mkdtemp()
base = dict(os.environ, XDG_CONFIG_HOME=folder + '/config', QT_NO_GLIB='1', LD_PRELOAD=os.path.abspath(args.counter),
            DBUS_SYSTEM_BUS_ADDRESS='unix:path=' + folder + '/no-bus')


def start(arguments, name, prefix=''):
    env = dict(base, TAVIX_ALLOC_COUNTER=folder + '/' + name)
    process = subprocess.Popen(prefix.split() + [args.tool] + arguments, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    for stream in (process.stdout, process.stderr):
        os.set_blocking(stream.fileno(), False)
    return process


def read(stream):
    try:
        return stream.read() or b''
    except BlockingIOError:
        return b''


def wait_for(process, text, what):
    said, deadline = b'', time.time() + 60
    while text not in said:
        said += read(process.stderr)
        if time.time() > deadline:
            sys.exit(what + ': ' + said.decode(errors='replace'))
        time.sleep(0.02)
    return said


def count(name):
    with open(folder + '/' + name, 'rb') as f:
        return int.from_bytes(f.read(8), sys.byteorder)


def run_on_host(command):
    if command:
        subprocess.run(command.split() + [str(host.pid)], stdout=subprocess.DEVNULL)


host = start(['host', '--port', '0', '--size', str(MEMBERS + 1), '--name', 'host', '--no-announce'], 'host', args.wrap)
port = re.search(rb'listening on port (\d+)', wait_for(host, b'listening on port', 'the host did not start')).group(1)
members = []
for m in range(MEMBERS):
    members.append(start(['join', '127.0.0.1', '--port', port.decode(), '--name', 'member%d' % (m + 1)], 'm%d' % m))
    wait_for(members[-1], b"the host's key", 'a member did not join')
attached = None
if args.attach:
    target = host if args.attach_to == 'host' else members[1]
    attached = subprocess.Popen(args.attach.split() + [str(target.pid)])
    time.sleep(8)  # attaching takes a while; nothing is said meanwhile
time.sleep(1)

names = ['host'] + ['m%d' % m for m in range(MEMBERS)]
idle_from = {n: count(n) for n in names}
time.sleep(args.idle)
said_from = {n: count(n) for n in names}
run_on_host(args.before)
started = time.time()
heard = [b''] * MEMBERS
for i in range(args.lines):
    tag = b'line%06d.' % i
    sender = members[0 if args.one_sender else i % MEMBERS]
    sender.stdin.write(tag + b' a chat line of some forty bytes\n')
    sender.stdin.flush()
    deadline = time.time() + 30
    while not all(tag in h for h in heard):
        heard = [h + read(p.stdout) for h, p in zip(heard, members)]
        read(host.stdout)
        if time.time() > deadline:
            sys.exit('line %d did not reach every member' % i)
        time.sleep(0.0005)
    heard = [h[h.index(tag) + len(tag):] for h in heard]
    time.sleep(args.pace_ms / 1000)
said_to = {n: count(n) for n in names}
run_on_host(args.after)
took = time.time() - started

print('%d lines over %.1f s, one every %g ms after the last arrived%s' %
      (args.lines, took, args.pace_ms, ', all from member1' if args.one_sender else ''))
for n in names:
    idle_rate = (said_from[n] - idle_from[n]) / args.idle
    per_line = (said_to[n] - said_from[n] - idle_rate * took) / args.lines
    print('  %-6s heap allocations per line %6.2f   (idle %.1f/s)' % (n, per_line, idle_rate))
for p in members:
    p.stdin.close()
for p in members:
    p.wait(timeout=30)
host.terminate()
host.wait(timeout=120)
if attached:
    attached.wait(timeout=120)
