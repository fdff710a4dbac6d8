"""Opens N idle connections to a server (connected, nothing sent), then times one fresh
request; prints the seconds it took, or 'timeout'.  idle_then_fresh.py PORT N LIMIT_SECONDS"""
import socket, sys, time

port, count, limit = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(count)]
time.sleep(0.5)
start = time.monotonic()
fresh = socket.create_connection(("127.0.0.1", port))
fresh.settimeout(limit)
fresh.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
try:
    answer = fresh.recv(4096)
    print("%.3f" % (time.monotonic() - start) if answer.startswith(b"HTTP/1.1 200") else "refused")
except socket.timeout:
    print("timeout")
for s in idle:
    s.close()
