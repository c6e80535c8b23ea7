"""Serves a dot-terminated stream of 73-byte lines to every client that
sends "GO\\r\\n". Usage: stream_peer.py PORT MEBIBYTES"""
import socket
import sys
import threading


def stream(size):
    line = (b"0123456789" * 8)[:71] + b"\r\n"
    count = size // len(line)
    return line * count + b".\r\n"


def serve(conn, data):
    with conn:
        f = conn.makefile("rb")
        if f.readline() == b"GO\r\n":
            conn.sendall(data)
            try:
                conn.recv(1)
            except OSError:
                pass


def main():
    port = int(sys.argv[1])
    data = stream(int(float(sys.argv[2]) * 1024 * 1024))
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(8)
    print("ready", flush=True)
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=serve, args=(conn, data), daemon=True).start()


if __name__ == "__main__":
    main()
