"""Runs a simulator between norva and itself and writes every line that passes to a log of its
own in a folder: "> " and a request, "< " and an answer.

usage: record_traffic.py FOLDER COMMAND [ARGS]
"""
import os
import subprocess
import sys
import threading

log = open(os.path.join(sys.argv[1], f"{os.getpid()}.log"), "w", buffering=1)
child = subprocess.Popen(sys.argv[2:], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
lock = threading.Lock()


def record(mark, line):
    with lock:
        log.write(mark + line.decode("utf-8", "replace").rstrip("\n") + "\n")


def forward_requests():
    for line in sys.stdin.buffer:
        record("> ", line)
        try:
            child.stdin.write(line)
            child.stdin.flush()
        except BrokenPipeError:
            return
    child.stdin.close()


threading.Thread(target=forward_requests, daemon=True).start()
for answer in child.stdout:
    record("< ", answer)
    sys.stdout.buffer.write(answer)
    sys.stdout.buffer.flush()
status = child.wait()
log.close()
# The thread reading stdin may still wait in it; leave without the interpreter's shutdown.
os._exit(status)
