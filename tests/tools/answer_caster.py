#!/usr/bin/env python3
"""A caster that gives every connection the same answer: it reads the
request head, sends the answer given on the command line (Python escapes
such as \\r\\n and \\x1b are understood) and closes the connection. It stands
for casters that velto-caster does not imitate: one that answers 501 or 403,
or one whose source table holds bytes a terminal would act on.

    answer_caster.py ANSWER      listens on 127.0.0.1:2101 until killed
    answer_caster.py MODE        a hostile caster (MODES below)
"""
import codecs
import socket
import sys
import threading
import time

TABLE_STATUS = b"SOURCETABLE 200 OK\r\nContent-Type: text/plain\r\n\r\n"


def read_head(connection):
    """The request head, or None when the client went away first."""
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = connection.recv(4096)
        if not chunk:
            return None
        head += chunk
    return head


def serve(connection, answer):
    with connection:
        connection.settimeout(10)
        try:
            if read_head(connection) is not None:
                connection.sendall(answer)
        except OSError:
            pass


# --- hostile source tables: each serves one connection until the client
# leaves; every send waits for the client, so none runs ahead of a reader
# that stopped reading. ------------------------------------------------------
def endless_table(connection, head):
    """STR records without end, as fast as the client takes them."""
    connection.sendall(TABLE_STATUS)
    number = 0
    while True:
        block = b"".join(b"STR;ENDLESS_%d;x;RTCM 3.3;1005(10);2;GPS;NET;DEU;52.4;13.1;0;0;x;none;B;N;"
                         b"9600;\r\n" % (number + i) for i in range(100))
        connection.sendall(block)
        number += 100


def long_line(connection, head):
    """A table of one 1-MiB line, then the caster closes."""
    connection.sendall(TABLE_STATUS + b"A" * (1 << 20))


def dripped_table(connection, head):
    """A record every second, without end: every receive gets something, so
    no receive timeout ever ends the reading."""
    connection.sendall(TABLE_STATUS)
    number = 0
    while True:
        connection.sendall(b"STR;DRIP_%d;x\r\n" % number)
        number += 1
        time.sleep(1)


def not_found_then_dripped(connection, head):
    """404 to every stream request; the source table (GET /) dripped."""
    if head.startswith(b"GET / "):
        dripped_table(connection, head)
    else:
        connection.sendall(b"HTTP/1.1 404 Not Found\r\n\r\n")


def not_found_then_endless(connection, head):
    """404 to every stream request; the source table (GET /) endless."""
    if head.startswith(b"GET / "):
        endless_table(connection, head)
    else:
        connection.sendall(b"HTTP/1.1 404 Not Found\r\n\r\n")


MODES = {
    "--endless-table": endless_table,
    "--long-line": long_line,
    "--dripped-table": dripped_table,
    "--404-then-dripped": not_found_then_dripped,
    "--404-then-endless": not_found_then_endless,
}


def serve_mode(connection, mode):
    with connection:
        try:
            connection.settimeout(10)
            head = read_head(connection)
            if head is not None:
                connection.settimeout(60)
                mode(connection, head)
        except OSError:
            pass


def main():
    mode = MODES.get(sys.argv[1])
    answer = None if mode else codecs.escape_decode(sys.argv[1].encode())[0]
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 2101))
    listener.listen(16)
    print("answer_caster: listening on 127.0.0.1:2101", file=sys.stderr, flush=True)
    while True:
        connection, _ = listener.accept()
        if mode:
            threading.Thread(target=serve_mode, args=(connection, mode), daemon=True).start()
        else:
            threading.Thread(target=serve, args=(connection, answer), daemon=True).start()


if __name__ == "__main__":
    main()
