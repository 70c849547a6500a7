#!/usr/bin/env python3
"""The POP3 client a Python user would write: poplib, one request per message.

    poplib_client.py HOST USER PASSWORD retr|top|list COUNT

Logs in, asks RETR n, TOP n 0 or LIST n for n = 1..COUNT on one connection,
sends QUIT and prints the number of messages and of bytes it received, so the
benchmark can check that it read everything.
"""
import poplib
import sys


def main():
    host, user, password, mode, count = sys.argv[1:6]
    count = int(count)
    client = poplib.POP3(host, 110, timeout=60)
    client.user(user)
    client.pass_(password)
    received = 0
    for number in range(1, count + 1):
        if mode == "retr":
            _, lines, octets = client.retr(number)
            received += octets
        elif mode == "top":
            _, lines, octets = client.top(number, 0)
            received += octets
        elif mode == "list":
            received += len(client.list(number))
        else:
            sys.exit("poplib_client.py: unknown mode " + mode)
    client.quit()
    print(count, received)


if __name__ == "__main__":
    main()
