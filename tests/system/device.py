"""The two ends of a session inside the system test's container.

serve LINK LOG: a pseudo-terminal standing in for the server's real serial
port. LINK is made a symbolic link to its slave, which is set raw and
closed again (the server opens a device only while no other process has
it open). Every byte that arrives is appended to LOG; every complete line
is answered in upper case. Runs until killed.

talk LINK TEXT SECONDS: the application. Waits up to SECONDS for LINK (the
client's virtual port), opens it raw, writes TEXT and a newline and reads
the answer until it is complete, the port hangs up or the time is over.
Exit 0 when the answer is TEXT in upper case, 1 otherwise; what came back
is printed either way.
"""
import errno
import os
import select
import sys
import time
import tty


def serve(link, log_path):
    master, slave = os.openpty()
    tty.setraw(slave)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    os.close(slave)
    pending = b""
    with open(log_path, "ab", buffering=0) as log:
        while True:
            select.select([master], [], [])
            try:
                data = os.read(master, 4096)
            except OSError as e:
                # EIO while no one has the slave open: nothing to wait on
                # but the next open.
                if e.errno != errno.EIO:
                    raise
                time.sleep(0.05)
                continue
            log.write(data)
            pending += data
            while b"\n" in pending:
                line, _, pending = pending.partition(b"\n")
                os.write(master, line.upper() + b"\n")


def talk(link, text, seconds):
    deadline = time.monotonic() + seconds
    while not os.path.exists(link):
        if time.monotonic() > deadline:
            print("talk: %s did not appear within %s s" % (link, seconds))
            return 1
        time.sleep(0.1)
    want = (text.upper() + "\n").encode()
    got = b""
    port = os.open(link, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(port)
        os.write(port, (text + "\n").encode())
        while len(got) < len(want):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([port], [], [], left)
            if not ready:
                break
            try:
                data = os.read(port, 4096)
            except OSError:  # hung up: the session was refused or dropped
                break
            if not data:
                break
            got += data
    except OSError as e:
        print("talk: %s: %s" % (link, e.strerror))
    finally:
        os.close(port)
    print("talk: sent %r, got back %r" % (text, got.decode(errors="replace")))
    return 0 if got == want else 1


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "serve":
        serve(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 5 and sys.argv[1] == "talk":
        sys.exit(talk(sys.argv[2], sys.argv[3], float(sys.argv[4])))
    else:
        sys.exit("usage: device.py serve LINK LOG | talk LINK TEXT SECONDS")
