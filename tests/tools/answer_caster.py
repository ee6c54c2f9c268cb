"""A caster that gives every connection the same answer: it reads the
request head, sends the answer given on the command line (Python escapes
such as \\r\\n and \\x1b are understood) and closes the connection. It stands
for casters that velto-caster does not imitate: one that answers 501 or 403,
or one whose source table holds bytes a terminal would act on.

    answer_caster.py ANSWER      listens on 127.0.0.1:2101 until killed
"""
import codecs
import socket
import sys
import threading


def serve(connection, answer):
    with connection:
        connection.settimeout(10)
        head = b""
        try:
            while b"\r\n\r\n" not in head:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                head += chunk
            connection.sendall(answer)
        except OSError:
            pass


def main():
    answer = codecs.escape_decode(sys.argv[1].encode())[0]
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 2101))
    listener.listen(16)
    print("answer_caster: listening on 127.0.0.1:2101", file=sys.stderr, flush=True)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, answer), daemon=True).start()


if __name__ == "__main__":
    main()
