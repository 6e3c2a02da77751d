#!/usr/bin/python3
"""pymodbus's own Modbus/TCP server, as test rigs use it, for the quillan-slave
benchmark: four 1024-entry tables starting at address 0, any unit id.

    pymodbus_server.py PORT SECONDS

Listens on 127.0.0.1 only, prints "ready" once listening, and ends after
SECONDS (capped at 600) or on SIGTERM.
"""
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.device import ModbusDeviceIdentification
from pymodbus.server import StartAsyncTcpServer


async def serve(port, seconds):
    def table():
        return ModbusSequentialDataBlock(0, [0] * 1024)

    store = ModbusSlaveContext(di=table(), co=table(), hr=table(), ir=table(), zero_mode=True)
    context = ModbusServerContext(slaves=store, single=True)
    # What quillan-slave says of itself by default, for code 43/14.
    identity = ModbusDeviceIdentification(info_name={"VendorName": "Quillan", "ProductCode": "quillan-slave",
                                                     "MajorMinorRevision": "1.0.0"})
    server = await StartAsyncTcpServer(context=context, identity=identity, address=("127.0.0.1", port),
                                       defer_start=True)
    task = asyncio.create_task(server.serve_forever())
    for _ in range(500):  # the listener is up once a connection gets through
        try:
            _, writer = await asyncio.open_connection("127.0.0.1", port)
            writer.close()
            break
        except OSError:
            await asyncio.sleep(0.01)
    print("ready", flush=True)
    try:
        await asyncio.wait_for(task, timeout=seconds)
    except asyncio.TimeoutError:
        pass


def main():
    logging.disable(logging.CRITICAL)
    port = int(sys.argv[1])
    seconds = min(max(float(sys.argv[2]), 1.0), 600.0)
    asyncio.run(serve(port, seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
