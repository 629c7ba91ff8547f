#!/usr/bin/python3
"""Web-socket echo server for the network tests, on loopback only.

Echoes every text and binary message; a text message "close" makes the
server close with code 1000, and "binary:<text>" is answered with <text> as
a binary message. The server pings every 0.3 s and drops a client that does
not answer within 1 s. Prints "READY ws=<port>" once it listens.
"""
import asyncio

import websockets

# The HTTP test server beside this file ends itself the same way.
from http_server import exit_with_parent


async def echo(socket, path=None):
    async for message in socket:
        if message == "close":
            await socket.close(1000, "bye")
            return
        if isinstance(message, str) and message.startswith("binary:"):
            await socket.send(message[len("binary:"):].encode())
            continue
        await socket.send(message)


async def main():
    async with websockets.serve(echo, "127.0.0.1", 0, max_size=16 * 1024 * 1024, ping_interval=0.3, ping_timeout=1) as server:
        port = next(iter(server.sockets)).getsockname()[1]
        print("READY ws=%d" % port, flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    exit_with_parent()
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
