#!/usr/bin/python3
"""A slow link for an FTP server's control connection, for the upload benchmarks.

    bench/ftp_delay_proxy.py --listen-port 0 --server-port 2121 [--delay-ms 10] [--port-file F]

Listens on 127.0.0.1 and forwards every connection to the server's control port
on 127.0.0.1, holding each chunk back by the delay in each direction (10 ms each
way: a round trip of 20 ms), in order, without limiting the throughput or
changing a byte, so a control connection that turns to TLS passes too. Data
connections do not pass here: in passive mode the server answers an address on
127.0.0.1 and the client connects to it directly. The port it listens on is
printed as "port=N" and, with --port-file, written to that file once it
listens. Stops on SIGTERM or SIGINT.
"""

import argparse
import asyncio
import os
import signal
import sys

CHUNK = 64 * 1024


async def pump(reader, writer, delay):
    """Copies one direction; each chunk leaves `delay` seconds after it came."""
    loop = asyncio.get_running_loop()
    held = asyncio.Queue()

    async def receive():
        try:
            while True:
                data = await reader.read(CHUNK)
                await held.put((loop.time() + delay, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            await held.put((loop.time() + delay, b""))

    receiving = asyncio.ensure_future(receive())
    try:
        while True:
            due, data = await held.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        return
    finally:
        receiving.cancel()


async def serve_one(client_reader, client_writer, server_port, delay):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", server_port)
    except OSError as e:
        print("ftp_delay_proxy: cannot reach 127.0.0.1:%d: %s" % (server_port, e), file=sys.stderr)
        client_writer.close()
        return
    try:
        await asyncio.gather(pump(client_reader, server_writer, delay), pump(server_reader, client_writer, delay))
    finally:
        for w in (client_writer, server_writer):
            w.close()


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--listen-port", type=int, default=0, help="port on 127.0.0.1 (0: a free one)")
    parser.add_argument("--server-port", type=int, required=True, help="the FTP server's control port on 127.0.0.1")
    parser.add_argument("--delay-ms", type=float, default=10.0, help="delay each way in milliseconds")
    parser.add_argument("--port-file", help="file to write the listening port to")
    args = parser.parse_args()
    if not 0 <= args.delay_ms <= 10000:
        parser.error("--delay-ms must lie between 0 and 10000")
    delay = args.delay_ms / 1000.0

    server = await asyncio.start_server(
        lambda r, w: serve_one(r, w, args.server_port, delay), "127.0.0.1", args.listen_port)
    port = server.sockets[0].getsockname()[1]
    if args.port_file:
        # Written whole under another name first: a reader never sees half a number.
        partial = args.port_file + ".partial"
        with open(os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600), "w") as f:
            f.write("%d\n" % port)
        os.replace(partial, args.port_file)
    print("port=%d" % port, flush=True)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for s in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(s, stop.set)
    async with server:
        await stop.wait()


if __name__ == "__main__":
    asyncio.run(main())
