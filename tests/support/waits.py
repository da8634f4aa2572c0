"""Helpers the Python suites share: a free loopback port, and a wait for a condition."""
import socket
import time

# The probes of the ports handed out, bound until this process ends.
_held = []


def _probe(family):
    probe = socket.socket(family)
    probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    probe.bind(('::' if family == socket.AF_INET6 else '0.0.0.0', 0))
    return probe


def free_port():
    """A TCP port, free on every address, that the kernel handed out and keeps for this
    process until it ends; clients reach the server there on 127.0.0.1. The probe that learned
    it stays bound: while it is, the kernel gives the port to no other bind to port 0 and to
    no outgoing connection, so no other test, here or in another process, is given it before
    the server binds it. It is bound to every address, as the server's socket is: a probe of
    127.0.0.1 alone could be handed a port that a connection of another loopback address still
    holds, which the server's bind then finds in use. The probe never listens and sets
    SO_REUSEADDR, as the server's listening sockets do, so the server's own bind succeeds."""
    try:
        probe = _probe(socket.AF_INET6)
    except OSError:  # no IPv6 here
        probe = _probe(socket.AF_INET)
    _held.append(probe)
    return probe.getsockname()[1]


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()
