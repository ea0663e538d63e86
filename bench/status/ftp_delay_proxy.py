#!/usr/bin/python3
"""An FTP link of a given latency on loopback: every byte between the client
and the FTP server arrives `delay` seconds after it was sent, in each
direction, on the control connection and on every data connection; a new
connection reaches the server `delay` after the client connected, as a SYN
over such a link would (the client's side of the handshake completes at
once, but no answer reaches it sooner than over the link). PASV replies are
rewritten so that the data connections pass through the proxy as well.

    ftp_delay_proxy.py LISTEN_PORT SERVER_PORT [DELAY_SECONDS]

Listens on 127.0.0.1:LISTEN_PORT (data connections on ports the system
picks), forwards to 127.0.0.1:SERVER_PORT. Loopback only."""
import asyncio
import re
import sys

PASV = re.compile(rb"^227 .*?\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)")


async def pump(reader, writer, delay, rewrite=None):
    """Copies reader to writer, each chunk (or, with `rewrite`, each line)
    delivered `delay` seconds after it was read; order and EOF kept."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            at, data = await queue.get()
            wait = at - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    task = asyncio.ensure_future(deliver())
    try:
        while True:
            if rewrite:
                data = await reader.readline()
                if data:
                    data = await rewrite(data)
            else:
                data = await reader.read(65536)
            if not data:
                break
            queue.put_nowait((loop.time() + delay, data))
    except (ConnectionError, OSError):
        pass
    queue.put_nowait((loop.time() + delay, None))
    try:
        await task
    except (ConnectionError, OSError):
        pass


async def bridge(client_reader, client_writer, port, delay, control):
    await asyncio.sleep(delay)  # the SYN's way to the server
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", port)
    except OSError:
        client_writer.close()
        return

    async def rewrite(line):
        m = PASV.match(line)
        if not m:
            return line
        target = int(m.group(5)) * 256 + int(m.group(6))
        data_port = await one_shot_listener(target, delay)
        return b"227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n" % (data_port // 256,
                                                                     data_port % 256)

    await asyncio.gather(pump(client_reader, server_writer, delay),
                         pump(server_reader, client_writer, delay,
                              rewrite if control else None))
    for w in (client_writer, server_writer):
        w.close()


async def one_shot_listener(target, delay):
    """A listener for one data connection, forwarded to the server's `target`."""
    holder = {}

    async def on_connect(reader, writer):
        holder["server"].close()
        await bridge(reader, writer, target, delay, False)

    server = await asyncio.start_server(on_connect, "127.0.0.1", 0)
    holder["server"] = server
    return server.sockets[0].getsockname()[1]


async def main():
    listen, target = int(sys.argv[1]), int(sys.argv[2])
    delay = float(sys.argv[3]) if len(sys.argv) > 3 else 0.05
    server = await asyncio.start_server(
        lambda r, w: bridge(r, w, target, delay, True), "127.0.0.1", listen)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
