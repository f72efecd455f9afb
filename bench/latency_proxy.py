#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that delays every byte by a fixed time in each direction, as a distant
server would, without limiting the bandwidth: a stand-in for `tc qdisc ... netem delay` where the kernel
has no netem. Usage: latency_proxy.py LISTEN_PORT TARGET_PORT DELAY_MS  (prints "ready" once listening)."""
import asyncio
import sys


async def pipe(reader, writer, delay):
    """Copies reader to writer, each chunk leaving delay seconds after it arrived, in order."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def send():
        while True:
            due, chunk = await queue.get()
            if chunk is None:
                break
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(chunk)
            await writer.drain()
        writer.close()

    sender = asyncio.ensure_future(send())
    try:
        while True:
            chunk = await reader.read(256 * 1024)
            if not chunk:
                break
            queue.put_nowait((loop.time() + delay, chunk))
    finally:
        queue.put_nowait((loop.time() + delay, None))
        await sender


async def main():
    listen_port, target_port, delay = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000

    async def serve(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pipe(client_reader, server_writer, delay), pipe(server_reader, client_writer, delay),
                             return_exceptions=True)

    server = await asyncio.start_server(serve, "127.0.0.1", listen_port)
    print("ready", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
