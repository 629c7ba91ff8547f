#!/usr/bin/python3
"""Web-socket echo server for the network tests, on loopback only.

Echoes every text and binary message; a text message "close" makes the
server close with code 1000, "binary:<text>" is answered with <text> as
a binary message, and "rounds" with "rounds <answered> <pongs>": how many of
the client's pings the server answered and how many of its own pings the
client answered. The server pings every 0.3 s and drops a client that leaves
a ping unanswered for 10 s. Prints "READY ws=<port>" once it listens.
"""
import asyncio

import websockets
from websockets.legacy.server import WebSocketServerProtocol

# The HTTP test server beside this file ends itself the same way.
from http_server import exit_with_parent

PING_INTERVAL = 0.3
PONG_LIMIT = 10


class CountingProtocol(WebSocketServerProtocol):
    """Counts the client's pings it answers and the client's pongs."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.answered = 0
        self.pongs = 0

    async def pong(self, data=b""):
        await super().pong(data)
        self.answered += 1


async def keep_alive(socket):
    while True:
        await asyncio.sleep(PING_INTERVAL)
        try:
            waiter = await socket.ping()
            await asyncio.wait_for(waiter, PONG_LIMIT)
        except asyncio.TimeoutError:
            await socket.close(1011, "keepalive ping timeout")
            return
        except websockets.ConnectionClosed:
            return
        socket.pongs += 1


async def echo(socket, path=None):
    pinger = asyncio.ensure_future(keep_alive(socket))
    try:
        async for message in socket:
            if message == "close":
                await socket.close(1000, "bye")
                return
            if message == "rounds":
                await socket.send("rounds %d %d" % (socket.answered, socket.pongs))
                continue
            if isinstance(message, str) and message.startswith("binary:"):
                await socket.send(message[len("binary:"):].encode())
                continue
            await socket.send(message)
    finally:
        pinger.cancel()


async def main():
    async with websockets.serve(echo, "127.0.0.1", 0, create_protocol=CountingProtocol, max_size=16 * 1024 * 1024,
                                ping_interval=None) as server:
        port = next(iter(server.sockets)).getsockname()[1]
        print("READY ws=%d" % port, flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    exit_with_parent()
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
