#!/usr/bin/env python3
"""A TLS front for a test's plain HTTP server (tests/support/TlsFront.h).

    tls_front.py FOLDER BACKEND_PORT NAME...

Makes, with openssl, one self-signed certificate per NAME for 127.0.0.1
(FOLDER/NAME.der for the test to trust or not; NAME.pem and NAME.key for
this front), listens on a free port of 127.0.0.1, then writes that port to
FOLDER/port. Each TLS connection it accepts is handshaken with the
certificate FOLDER/present names (the first NAME until the test writes
another) and relayed byte for byte to 127.0.0.1:BACKEND_PORT. When the
certificate to present changes, connections made with the earlier one are
closed, so that every client meets the new one. A failed handshake (a
client that does not trust the certificate) closes the connection without
reaching the backend.

It stops when FOLDER/stop appears, or after three minutes at the latest
(the test cannot wait on a process started from Wine: it only writes stop).
"""
import os
import select
import socket
import ssl
import subprocess
import sys
import threading
import time

LIFETIME = 180.0


def main():
    folder, backend_port, names = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    # Started from Wine, it would otherwise hold the test's own output open.
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    contexts = {}
    for name in names:
        base = os.path.join(folder, name)
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1",
             "-addext", "extendedKeyUsage=serverAuth", "-keyout", base + ".key", "-out", base + ".pem"],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["openssl", "x509", "-in", base + ".pem", "-outform", "DER", "-out", base + ".der"],
                       check=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(base + ".pem", base + ".key")
        contexts[name] = context

    present_path = os.path.join(folder, "present")
    stop_path = os.path.join(folder, "stop")

    def presented():
        try:
            with open(present_path) as f:
                name = f.read().strip()
        except OSError:
            name = ""
        return name if name in contexts else names[0]

    def stopping():
        return os.path.exists(stop_path)

    def relay(client, name):
        try:
            tls = contexts[name].wrap_socket(client, server_side=True)
        except (ssl.SSLError, OSError):
            client.close()
            return
        try:
            backend = socket.create_connection(("127.0.0.1", backend_port))
        except OSError:
            tls.close()
            return
        try:
            while not stopping() and presented() == name:
                if tls.pending():
                    readable = [tls]
                else:
                    readable, _, _ = select.select([tls, backend], [], [], 0.05)
                # Checked again after the wait: what arrived may already be
                # meant for the new certificate.
                if presented() != name:
                    break
                if tls in readable:
                    try:
                        data = tls.recv(65536)
                    except ssl.SSLWantReadError:
                        data = None
                    if data == b"":
                        break
                    if data:
                        backend.sendall(data)
                if backend in readable:
                    data = backend.recv(65536)
                    if not data:
                        break
                    tls.sendall(data)
        except (ssl.SSLError, OSError):
            pass
        finally:
            backend.close()
            tls.close()

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    listener.settimeout(0.05)
    with open(os.path.join(folder, "port.tmp"), "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(os.path.join(folder, "port.tmp"), os.path.join(folder, "port"))

    started = time.monotonic()
    while not stopping() and time.monotonic() - started < LIFETIME:
        try:
            client, _ = listener.accept()
        except socket.timeout:
            continue
        client.settimeout(30)
        threading.Thread(target=relay, args=(client, presented()), daemon=True).start()
    listener.close()


if __name__ == "__main__":
    main()
