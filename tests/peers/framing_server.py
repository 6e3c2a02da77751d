#!/usr/bin/python3
"""pymodbus's own servers in the framings a master may choose, for the
Master TCP station's tests.

  framing_server.py rtu-over-tcp PORT   TCP server taking RTU frames
  framing_server.py udp PORT            UDP server (Modbus/TCP messages)

Listens on 127.0.0.1. Holding register i (from 0) holds 1000 + i, 100 of
each table; any unit is answered. Prints READY once it serves.
"""
import asyncio
import sys

from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.server.async_io import ModbusTcpServer, ModbusUdpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

SIZE = 100


async def main():
    kind, port = sys.argv[1], int(sys.argv[2])
    slave = ModbusSlaveContext(
        co=ModbusSequentialDataBlock(0, [False] * SIZE),
        di=ModbusSequentialDataBlock(0, [False] * SIZE),
        hr=ModbusSequentialDataBlock(0, [1000 + i for i in range(SIZE)]),
        ir=ModbusSequentialDataBlock(0, [0] * SIZE),
        zero_mode=True,
    )
    context = ModbusServerContext(slaves=slave, single=True)
    address = ("127.0.0.1", port)
    if kind == "udp":
        server = ModbusUdpServer(context, ModbusSocketFramer, None, address)
    else:
        server = ModbusTcpServer(context, ModbusRtuFramer, None, address)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print("READY", flush=True)
    await task


if __name__ == "__main__":
    asyncio.run(main())
