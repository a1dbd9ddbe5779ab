"""Holds N idle TLS connections to 127.0.0.1:PORT open (handshake done, no
request sent), prints "ready N" once they are open, and keeps them until
standard input closes.

    python3 idle_connections.py PORT N
"""
import socket
import ssl
import sys


def main() -> int:
    port, count = int(sys.argv[1]), int(sys.argv[2])
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE  # a load helper on loopback: the certificate is the script's own
    held = []
    for _ in range(count):
        raw = socket.create_connection(("127.0.0.1", port), timeout=10)
        held.append(context.wrap_socket(raw))
    print(f"ready {len(held)}", flush=True)
    sys.stdin.read()
    return 0


if __name__ == "__main__":
    sys.exit(main())
